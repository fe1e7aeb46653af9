// Runs one test program of the browser build in headless Chromium and
// reports back as a test executable would: its output on standard output,
// its exit status as ours.
//
//   node run-test-page.mjs DIRECTORY PROGRAM.js [program arguments...]
//
// DIRECTORY holds the program and test-page.html; it is served on 127.0.0.1.
import { Browser, serveDirectory } from './chromium.mjs';

const [directory, program, ...programArguments] = process.argv.slice(2);
if (!directory || !program) {
  console.error('usage: run-test-page.mjs DIRECTORY PROGRAM.js [arguments...]');
  process.exit(2);
}
const kTimeoutMs = Number(process.env.ZENTOR_WEB_TEST_TIMEOUT_MS || 540000);

const { server, url } = await serveDirectory(directory);
const browser = await Browser.launch();
let status = 1;
try {
  const page = await browser.newPage();
  page.onLine = (text, type) =>
    (type === 'log' ? process.stdout : process.stderr).write((type === 'browser' ? 'browser: ' : '') + text + '\n');
  const query = new URLSearchParams({ program });
  for (const argument of programArguments) query.append('arg', argument);
  await page.navigate(`${url}test-page.html?${query}`);
  const exit = await Promise.race([
    page.evaluate('window.zentorExit'),
    new Promise((resolve) => setTimeout(() => resolve(`no exit within ${kTimeoutMs} ms`), kTimeoutMs)),
  ]);
  if (typeof exit === 'number') {
    status = exit;
  } else if (exit === undefined) {
    console.error(`${program}: no test page in ${directory}`);
  } else {
    console.error(`${program}: ${exit}`);
  }
  if (page.log.some((line) => line.type === 'exception')) {
    console.error(`${program}: the page threw`);
    status = status || 1;
  }
} catch (error) {
  console.error(`${program}: ${error.message}`);
} finally {
  await browser.close();
  server.close();
}
process.exit(status);
