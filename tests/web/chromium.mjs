// Headless Chromium driven through the DevTools protocol on a pipe, and a
// static file server on 127.0.0.1 (wasm does not load from file://). Needs
// nothing beyond Node and Debian's chromium: WebGL 2 comes from SwiftShader.
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, statSync } from 'node:fs';
import { createServer } from 'node:http';
import { tmpdir } from 'node:os';
import { extname, join, normalize, sep } from 'node:path';

const kTypes = {
  '.html': 'text/html', '.js': 'text/javascript', '.mjs': 'text/javascript', '.wasm': 'application/wasm',
  '.png': 'image/png', '.json': 'application/json', '.css': 'text/css', '.txt': 'text/plain',
};

// Serves root's files; resolves to the server and its base URL.
export function serveDirectory(root) {
  const server = createServer((request, response) => {
    const path = normalize(join(root, decodeURIComponent(new URL(request.url, 'http://x').pathname)));
    const file = path.endsWith(sep) ? join(path, 'index.html') : path;
    let body;
    try {
      if (!file.startsWith(normalize(root + sep)) || !statSync(file).isFile()) throw new Error('not served');
      body = readFileSync(file);
    } catch {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, { 'Content-Type': kTypes[extname(file)] || 'application/octet-stream',
      'Cache-Control': 'no-store' });
    response.end(body);
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () =>
    resolve({ server, url: `http://127.0.0.1:${server.address().port}/` })));
}

export const kChromiumFlags = ['--headless=new', '--use-angle=swiftshader', '--enable-unsafe-swiftshader'];

// A protocol session: the browser's own (no id) or a page's.
class Session {
  constructor(browser, id) {
    this.browser = browser;
    this.id = id;
    this.handlers = new Map();
  }
  send(method, params = {}) { return this.browser.call(method, params, this.id); }
  on(event, handler) { this.handlers.set(event, [...(this.handlers.get(event) || []), handler]); }
  emit(event, params) { for (const handler of this.handlers.get(event) || []) handler(params); }
}

export class Browser {
  static async launch({ width = 1024, height = 768, flags = [] } = {}) {
    const profile = mkdtempSync(join(tmpdir(), 'zentor-chromium-'));
    const args = [...kChromiumFlags, '--remote-debugging-pipe', `--user-data-dir=${profile}`, '--no-first-run',
      '--no-default-browser-check', `--window-size=${width},${height}`, '--hide-scrollbars', ...flags, 'about:blank'];
    // Chromium's sandbox refuses to run as root, which CI containers are.
    if (process.getuid && process.getuid() === 0) args.unshift('--no-sandbox');
    const child = spawn(process.env.ZENTOR_CHROMIUM || 'chromium', args,
      { stdio: ['ignore', 'ignore', 'pipe', 'pipe', 'pipe'] });
    const browser = new Browser(child, profile);
    await browser.send('Target.setDiscoverTargets', { discover: true });
    return browser;
  }

  constructor(child, profile) {
    this.child = child;
    this.profile = profile;
    this.nextId = 1;
    this.pending = new Map();
    this.sessions = new Map();
    this.root = new Session(this, undefined);
    this.stderr = '';
    child.stderr.on('data', (chunk) => { this.stderr = (this.stderr + chunk).slice(-20000); });
    let buffered = '';
    child.stdio[4].on('data', (chunk) => {
      buffered += chunk.toString('utf8');
      let end;
      while ((end = buffered.indexOf('\0')) >= 0) {
        this.dispatch(JSON.parse(buffered.slice(0, end)));
        buffered = buffered.slice(end + 1);
      }
    });
    this.exited = new Promise((resolve) => child.on('exit', resolve));
    this.exited.then(() => {
      for (const { reject } of this.pending.values()) reject(new Error('chromium exited:\n' + this.stderr));
    });
  }

  dispatch(message) {
    if (message.id !== undefined) {
      const call = this.pending.get(message.id);
      this.pending.delete(message.id);
      if (message.error) call.reject(new Error(`${call.method}: ${message.error.message}`));
      else call.resolve(message.result);
      return;
    }
    const session = message.sessionId ? this.sessions.get(message.sessionId) : this.root;
    if (session) session.emit(message.method, message.params);
  }

  call(method, params, sessionId) {
    const id = this.nextId++;
    const message = { id, method, params };
    if (sessionId) message.sessionId = sessionId;
    this.child.stdio[3].write(JSON.stringify(message) + '\0');
    return new Promise((resolve, reject) => this.pending.set(id, { resolve, reject, method }));
  }

  send(method, params) { return this.call(method, params); }

  // A new tab with its console and exceptions collected in page.log.
  async newPage() {
    const { targetId } = await this.send('Target.createTarget', { url: 'about:blank' });
    const { sessionId } = await this.send('Target.attachToTarget', { targetId, flatten: true });
    const page = new Page(this, sessionId);
    this.sessions.set(sessionId, page.session);
    await page.session.send('Runtime.enable');
    await page.session.send('Page.enable');
    await page.session.send('Log.enable');
    return page;
  }

  async close() {
    try {
      await Promise.race([this.send('Browser.close'), new Promise((r) => setTimeout(r, 2000))]);
    } catch { /* already gone */ }
    if (this.child.exitCode === null) this.child.kill('SIGKILL');
    await this.exited;
    // Chromium's helper processes may still be writing the profile for a moment.
    try {
      rmSync(this.profile, { recursive: true, force: true, maxRetries: 10, retryDelay: 100 });
    } catch (error) {
      console.error(`chromium: profile ${this.profile} left behind: ${error.code}`);
    }
  }
}

export class Page {
  constructor(browser, sessionId) {
    this.session = new Session(browser, sessionId);
    this.log = [];
    this.onLine = null;  // called with every console line as it comes
    this.session.on('Runtime.consoleAPICalled', ({ type, args }) => {
      const text = args.map((a) => (a.value !== undefined ? String(a.value) : a.description || '')).join(' ');
      this.record(text, type);
    });
    // What the browser itself reports, WebGL's errors among it.
    this.session.on('Log.entryAdded', ({ entry }) => {
      if (entry.level === 'warning' || entry.level === 'error') this.record(`${entry.source}: ${entry.text}`, 'browser');
    });
    this.session.on('Runtime.exceptionThrown', ({ exceptionDetails }) => {
      const d = exceptionDetails;
      this.record(`uncaught: ${d.exception ? d.exception.description || d.exception.value : d.text}`, 'exception');
    });
  }

  record(text, type) {
    this.log.push({ text, type });
    if (this.onLine) this.onLine(text, type);
  }

  async navigate(url) {
    const loaded = new Promise((resolve) => this.session.on('Page.loadEventFired', resolve));
    await this.session.send('Page.navigate', { url });
    await loaded;
  }

  // The value of a JavaScript expression in the page, promises awaited.
  async evaluate(expression) {
    const { result, exceptionDetails } = await this.session.send('Runtime.evaluate',
      { expression, awaitPromise: true, returnByValue: true });
    if (exceptionDetails) throw new Error(`${expression}: ${exceptionDetails.exception?.description || exceptionDetails.text}`);
    return result.value;
  }

  async waitFor(expression, timeoutMs, what = expression) {
    const deadline = Date.now() + timeoutMs;
    for (;;) {
      const value = await this.evaluate(expression);
      if (value) return value;
      if (Date.now() > deadline) throw new Error(`timed out after ${timeoutMs} ms waiting for ${what}`);
      await new Promise((r) => setTimeout(r, 50));
    }
  }

  async screenshot() {
    const { data } = await this.session.send('Page.captureScreenshot', { format: 'png' });
    return Buffer.from(data, 'base64');
  }

  mouse(type, x, y, button = 'left') {
    return this.session.send('Input.dispatchMouseEvent', { type, x, y, button, clickCount: 1 });
  }

  // A key pressed (a character's text, or a name such as F1) and released;
  // whileHeld runs in between. keyDown with repeat sends an auto-repeat.
  keyDown(name, code, keyCode, repeat = false) {
    const text = name.length === 1 ? { text: name } : {};
    return this.session.send('Input.dispatchKeyEvent', { type: 'keyDown', autoRepeat: repeat, ...text,
      key: name, code, windowsVirtualKeyCode: keyCode, nativeVirtualKeyCode: keyCode });
  }

  async key(name, code, keyCode, whileHeld = async () => {}) {
    await this.keyDown(name, code, keyCode);
    await whileHeld();
    await this.session.send('Input.dispatchKeyEvent',
      { type: 'keyUp', key: name, code, windowsVirtualKeyCode: keyCode, nativeVirtualKeyCode: keyCode });
  }
}
