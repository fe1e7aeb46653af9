// The water demo's page in headless Chromium, driven as a user would drive
// it, and judged by its screenshots against the lighting of flat water
// computed here in double:
//   - the title shows the frame rate;
//   - the water starts flat, and shades as flat water does;
//   - a click makes rings where it landed, and nowhere else;
//   - p pauses (two screenshots a second apart are identical, the title says
//     so at once), held or not, and resumes (the rings move on);
//   - F1 pressed, released and pressed again prints the help each time;
//   - space starts random drops all over the water;
//   - Esc ends the demo, and the page says so;
//   - in a browser without WebGL the page says the demo could not start.
//
//   node demo-page.mjs SITE_DIRECTORY [--save DIRECTORY]
import { writeFileSync } from 'node:fs';
import { join } from 'node:path';

import { Browser, serveDirectory } from './chromium.mjs';
import { decodePng } from './png.mjs';

const [site, saveFlag, saveDirectory] = process.argv.slice(2);
const save = saveFlag === '--save' ? saveDirectory : null;
const kGrid = 512;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
// Frames come a few a second from SwiftShader, fewer on a busy machine: what
// a frame should show is waited for, up to kPatienceMs.
const kPatienceMs = 30000;

const normalize = (v) => { const l = Math.hypot(...v); return v.map((c) => c / l); };
const dot = (a, b) => a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
const clamp01 = (x) => Math.min(1, Math.max(0, x));

// The grey of flat water (normal straight up, height 0) at a canvas pixel,
// row 0 at the top: the lighting pass's diffuse and highlight terms.
function flatWater(x, y, width, height) {
  const s = (x + 0.5) / width, t = 1 - (y + 0.5) / height;
  const uv = [s - 0.5, t - 1 / kGrid - 0.5];  // the pass's first varying carries t - dy
  const light = normalize([0.2, 1.0, 0.5]);
  const toLight = normalize([light[0] - uv[0], light[1], light[2] - uv[1]]);
  const half = normalize([light[0], light[1] + 1, light[2]]);
  const up = [0, 1, 0];
  return Math.round(clamp01(0.4 * clamp01(dot(toLight, up)) + Math.pow(clamp01(dot(half, up)), 32)) * 255);
}

let failures = 0;
function check(condition, what) {
  console.log(`${condition ? 'ok  ' : 'FAIL'} ${what}`);
  if (!condition) failures += 1;
}

const { server, url } = await serveDirectory(site);
const browser = await Browser.launch({ width: 900, height: 900 });
try {
  const page = await browser.newPage();
  page.onLine = (text, type) => { if (type !== 'log') console.log(`page ${type}: ${text}`); };
  await page.navigate(`${url}index.html`);
  const canvas = JSON.parse(await page.evaluate(
    'JSON.stringify((({x, y, width, height}) => ({x, y, width, height}))(Module.canvas.getBoundingClientRect()))'));
  const title = await page.waitFor('/ @ \\d+\\.\\d\\d fps$/.test(document.title) && ' +
    'parseFloat(document.title.split(" @ ")[1]) > 0 && document.title', 60000, 'a frame-rate title');
  check(/^Zentor Water Surface Demo @ \d+\.\d\d fps$/.test(title), `the title shows the frame rate: "${title}"`);
  const help = await page.evaluate('document.getElementById("help").textContent');
  check(help.includes('Zentor Water Surface Demo') && help.includes('p      : pause / resume the water'),
    'the help text is on the page');

  // Canvas pixels of a screenshot, by canvas coordinates.
  const shoot = async (name) => {
    const png = await page.screenshot();
    if (save) writeFileSync(join(save, `${name}.png`), png);
    const image = decodePng(png);
    return (x, y) => image.pixel(Math.round(canvas.x) + x, Math.round(canvas.y) + y);
  };
  const grid = (step, visit) => {
    for (let y = step / 2; y < canvas.height; y += step)
      for (let x = step / 2; x < canvas.width; x += step) visit(x, y);
  };
  const offFlat = (shot, x, y) => Math.max(...shot(x, y).map((c) => Math.abs(c - flatWater(x, y, canvas.width, canvas.height))));
  // Screenshots until one passes the test; the last one taken.
  const shootUntil = async (name, passes) => {
    const deadline = Date.now() + kPatienceMs;
    for (;;) {
      const shot = await shoot(name);
      if (passes(shot) || Date.now() > deadline) return shot;
      await sleep(200);
    }
  };
  const same = (a, b, x, y) => a(x, y).every((c, i) => c === b(x, y)[i]);

  const flat = await shoot('flat');
  let worst = 0;
  grid(20, (x, y) => { worst = Math.max(worst, offFlat(flat, x, y)); });
  check(worst <= 2, `flat water shades as flat water does (largest difference ${worst} of 255)`);

  // A drop falls in every frame the button is down: it is held until one shows.
  const click = { x: 200, y: 150 };
  await page.mouse('mouseMoved', canvas.x + click.x, canvas.y + click.y);
  await page.mouse('mousePressed', canvas.x + click.x, canvas.y + click.y);
  await shootUntil('drop', (shot) => offFlat(shot, click.x, click.y) > 6);
  await page.mouse('mouseReleased', canvas.x + click.x, canvas.y + click.y);
  await sleep(1500);
  const rings = await shoot('rings');
  let count = 0, sumX = 0, sumY = 0, farthest = 0;
  grid(4, (x, y) => {
    if (offFlat(rings, x, y) <= 6) return;
    count += 1;
    sumX += x;
    sumY += y;
    farthest = Math.max(farthest, Math.hypot(x - click.x, y - click.y));
  });
  const centre = { x: sumX / Math.max(count, 1), y: sumY / Math.max(count, 1) };
  check(count >= 10 && Math.hypot(centre.x - click.x, centre.y - click.y) <= 12 && farthest <= 150,
    `the click made rings where it landed (${count} disturbed samples around (${centre.x.toFixed(1)}, ` +
    `${centre.y.toFixed(1)}), the farthest ${farthest.toFixed(0)} px from the click at (${click.x}, ${click.y}))`);

  // p held over several frames, then repeated by the keyboard, pauses once,
  // the title saying so at once.
  const titles = [];
  await page.key('p', 'KeyP', 80, async () => {
    titles.push(await page.evaluate('document.title'));
    await sleep(1500);
    await page.keyDown('p', 'KeyP', 80, true);
    titles.push(await page.evaluate('document.title'));
  });
  check(titles.every((t) => /^Zentor Water Surface Demo \(paused\) @ \d+\.\d\d fps$/.test(t)),
    `p pauses at once, held or not: ${JSON.stringify(titles)}`);
  const helpTexts = async () => (await page.evaluate('document.getElementById("help").textContent'))
    .split('Zentor Water Surface Demo\n===').length - 1;
  await page.key('F1', 'F1', 112);
  await page.key('F1', 'F1', 112);
  check(await helpTexts() === 3, `F1 pressed, released and pressed again prints the help twice more`);
  const before = await shoot('paused');
  await sleep(1000);
  const after = await shoot('paused-later');
  let changed = 0;
  grid(2, (x, y) => { if (before(x, y).some((c, i) => c !== after(x, y)[i])) changed += 1; });
  check(changed === 0, `paused, two screenshots a second apart are identical (${changed} samples differ)`);

  await page.key('p', 'KeyP', 80);
  await page.waitFor('!document.title.includes("(paused)")', 5000, 'the running title');
  const moved = (shot) => {
    let count = 0;
    grid(2, (x, y) => { if (!same(after, shot, x, y)) count += 1; });
    return count;
  };
  changed = moved(await shootUntil('resumed', (shot) => moved(shot) > 0));
  check(changed > 0, `p again resumes: the rings move on (${changed} samples changed)`);

  await page.key(' ', 'Space', 32);
  const farDrops = (shot) => {
    let count = 0;
    grid(8, (x, y) => { if (Math.hypot(x - click.x, y - click.y) > 200 && offFlat(shot, x, y) > 6) count += 1; });
    return count;
  };
  const drops = farDrops(await shootUntil('drops', (shot) => farDrops(shot) >= 3));
  check(drops >= 3, `space starts random drops all over the water (${drops} disturbed samples far from the click)`);

  await page.key('Escape', 'Escape', 27);
  const ended = await page.waitFor('document.getElementById("status").textContent.includes("ended") && ' +
    'document.getElementById("status").textContent', 5000, 'the end of the demo');
  check(Boolean(ended), `Esc ends the demo: "${ended}"`);
  const thrown = page.log.filter((line) => ['exception', 'error', 'browser'].includes(line.type));
  check(thrown.length === 0, `nothing went wrong on the page${thrown.length ? ': ' + thrown[0].text : ''}`);
} catch (error) {
  check(false, error.message);
} finally {
  await browser.close();
}

const withoutWebGl = await Browser.launch({ flags: ['--disable-webgl'] });
try {
  const page = await withoutWebGl.newPage();
  await page.navigate(`${url}index.html`);
  const status = await page.waitFor('document.getElementById("status").textContent.includes("could not") && ' +
    'document.getElementById("status").textContent', 30000, 'the page to give up');
  const output = await page.evaluate('document.getElementById("help").textContent');
  check(output.includes('Zentor failed to initalize.'), `without WebGL: "${status}", and the program said why`);
} catch (error) {
  check(false, `without WebGL: ${error.message}`);
} finally {
  await withoutWebGl.close();
  server.close();
}
process.exit(failures === 0 ? 0 : 1);
