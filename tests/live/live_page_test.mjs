// The live device page in Debian's chromium, driven by playwright-core (no browser of its
// own): the host runs with --listen --h2c --ui, pushes go to it over HTTP/2 as a backend sends
// them, and the page is watched as a person would watch it; each check() says what it checks.
// Leaves BUILD_DIR/live-screenshot.png for a person to look at.
//
//   node tests/live/live_page_test.mjs BUILD_DIR
import {spawn} from 'node:child_process';
import {mkdtempSync, readFileSync, rmSync} from 'node:fs';
import http from 'node:http';
import http2 from 'node:http2';
import {tmpdir} from 'node:os';
import path from 'node:path';
import {fileURLToPath} from 'node:url';

const build = path.resolve(process.argv[2] || 'build');
const source = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const browserPath = process.env.CHROMIUM || '/usr/bin/chromium';
const device = 'ab'.repeat(32);
const appearBoundMs = 3000;  // the page promises a second; slack for a loaded machine

const failures = [];
const check = (ok, what) => {
  if (!ok) failures.push(what);
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${what}`);
};

// The host, and the two addresses it says on standard error.
async function startHost(work) {
  const host = spawn(path.join(build, 'corvanta-nse'),
                     ['--listen', '127.0.0.1:0', '--h2c', '--ui', '127.0.0.1:0', '--container',
                      path.join(work, 'container'), '--time-limit', '3', '--quiet'],
                     {stdio: ['ignore', 'ignore', 'pipe']});
  let said = '';
  const addresses = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('the host said no addresses: ' + said)), 10000);
    host.stderr.on('data', (chunk) => {
      said += chunk;
      const endpoint = said.match(/listening on http:\/\/(\S+)/);
      const ui = said.match(/live page at (http:\/\/\S+\/)/);
      if (endpoint && ui) {
        clearTimeout(timer);
        resolve({endpoint: endpoint[1], ui: ui[1]});
      }
    });
    host.on('exit', (code) => reject(new Error(`the host exited ${code}: ${said}`)));
  });
  return {host, ...addresses, said: () => said};
}

// The media origin a push's att_url names.
async function startOrigin() {
  const png = readFileSync(path.join(source, 'examples/media/pic.png'));
  const origin = http.createServer((req, res) => {
    res.writeHead(200, {'content-type': 'image/png'});
    res.end(png);
  });
  await new Promise((resolve) => origin.listen(0, '127.0.0.1', resolve));
  return origin;
}

// A push over one HTTP/2 session, as a provider sends it; its status, apns-id and body.
function pusher(endpoint) {
  const session = http2.connect(`http://${endpoint}`);
  const send = (payload, headers = {}) => new Promise((resolve, reject) => {
    const stream = session.request({':method': 'POST', ':path': `/3/device/${device}`, ...headers});
    let status = 0, id = '', body = '';
    stream.on('response', (h) => {
      status = h[':status'];
      id = h['apns-id'];
    });
    stream.setEncoding('utf8');
    stream.on('data', (chunk) => body += chunk);
    stream.on('end', () => resolve({status, id, body}));
    stream.on('error', reject);
    stream.end(JSON.stringify(payload));
  });
  return {send, close: () => session.close()};
}

async function main() {
  const {chromium} = await import('playwright-core').catch(() => {
    throw new Error('playwright-core is missing: run scripts/install-deps');
  });
  const work = mkdtempSync(path.join(tmpdir(), 'live-page-'));
  const origin = await startOrigin();
  const host = await startHost(work);
  const pushes = pusher(host.endpoint);
  const browser = await chromium.launch({
    executablePath: browserPath,
    args: ['--no-sandbox', '--disable-gpu', '--no-proxy-server', '--disable-quic'],
  });
  try {
    const page = await browser.newPage({viewport: {width: 1100, height: 1400}});
    const problems = [];
    page.on('console', (m) => m.type() === 'error' && problems.push('console: ' + m.text()));
    page.on('pageerror', (e) => problems.push('page error: ' + e.message));
    page.on('requestfailed', (r) => problems.push(`request failed: ${r.url()}`));
    page.on('response', (r) => r.status() >= 400 && problems.push(`${r.status()}: ${r.url()}`));
    // Init scripts run outside the page's policy, so this one sees every violation.
    await page.addInitScript(() => {
      window.violations = [];
      document.addEventListener('securitypolicyviolation',
                                (e) => window.violations.push(`${e.violatedDirective} ${e.blockedURI}`));
    });
    await page.goto(host.ui);
    await page.waitForSelector('#live-state:text("live")', {timeout: 10000});

    // A push appears, its medium loaded from the host by the request's id.
    const attUrl = `http://127.0.0.1:${origin.address().port}/pic.png`;
    const started = performance.now();
    const photo = await pushes.send(
        {aps: {alert: {title: 'Photo', body: 'From the album'}, 'mutable-content': 1},
         att_url: attUrl});
    check(photo.status === 200, `the photo push is answered 200 (${photo.status} ${photo.body})`);
    const card = page.locator(`article[data-request="${photo.id}"]`);
    await card.waitFor({timeout: 10000});
    const appearedMs = performance.now() - started;
    console.log(`time to appear on the page: ${appearedMs.toFixed(0)} ms`);
    check(appearedMs < appearBoundMs, `a push appears within ${appearBoundMs} ms (${appearedMs.toFixed(0)} ms)`);
    // It appears once taken, and turns into what the device shows once delivered.
    const attached = await page.locator(`article[data-request="${photo.id}"][data-outcome="attached"]`)
                         .waitFor({timeout: 10000}).then(() => true, () => false);
    console.log(`time to show it attached: ${(performance.now() - started).toFixed(0)} ms`);
    check(attached, 'its card comes to say attached');
    const image = card.locator('img[src^="/api/requests/"]').first();
    await image.waitFor({timeout: 5000});
    check(await image.evaluate((img) => img.complete && img.naturalWidth > 0),
          'its image is loaded from /api/requests/<id>/attachment');

    // Its story opens on a click, and stays open when the cards are reloaded.
    await card.locator('summary').first().click();
    const story = card.locator('details[open]').first();
    await story.waitFor({timeout: 5000});
    check((await card.innerText()).includes(attUrl), 'the opened card tells its att_url');

    // Two pushes of one thread stack.
    const first = await pushes.send({aps: {alert: {title: 'Ann', body: 'Lunch?'}, 'thread-id': 'chat'}});
    const second = await pushes.send({aps: {alert: {title: 'Ann', body: 'At noon'}, 'thread-id': 'chat'}});
    const stacked = await page.waitForFunction(([a, b]) => {
      const stacks = document.querySelectorAll('[data-thread="chat"]');
      return stacks.length === 1 && stacks[0].querySelector(`article[data-request="${a}"]`) &&
          stacks[0].querySelector(`article[data-request="${b}"]`);
    }, [first.id, second.id], {timeout: 10000}).then(() => true, () => false);
    check(stacked, 'two pushes with thread-id "chat" stack together');
    check(await page.locator(`article[data-request="${photo.id}"] details[open]`).count() > 0,
          'the opened card is still open after the reload');

    // A push the endpoint refuses shows as a refused card with its reason.
    const refused = await pushes.send({aps: {alert: 'Too eager'}}, {'apns-priority': '7'});
    check(refused.status === 400, `a push of priority 7 is refused (${refused.status})`);
    const refusedCard = page.locator(`article[id^="x"][data-request="${refused.id}"]`);
    await refusedCard.waitFor({timeout: 10000});
    check((await refusedCard.innerText()).includes('BadPriority'), 'the refused card says BadPriority');

    await page.screenshot({path: path.join(build, 'live-screenshot.png'), fullPage: true});

    // The filters: refused only, then a device no push went to.
    await page.selectOption('#outcome', 'refused');
    await page.waitForFunction(() => [...document.querySelectorAll('#cards article')]
                                         .every((a) => a.dataset.outcome === 'refused'));
    check(await page.locator('#cards article').count() === 1, 'the refused filter leaves the refused card');
    await page.selectOption('#outcome', '');
    await page.fill('#device', 'cd'.repeat(32));
    await page.waitForFunction(() => document.querySelectorAll('#cards article').length === 0);
    check(new URL(page.url()).searchParams.get('device') === 'cd'.repeat(32),
          'the filter is kept in the address');

    const violations = await page.evaluate(() => window.violations);
    check(violations.length === 0, `no CSP violation (${violations.join('; ')})`);
    check(problems.length === 0, `no console error, page error or failed request (${problems.join('; ')})`);
  } finally {
    await browser.close();
    pushes.close();
    origin.close();
    host.host.kill('SIGTERM');
    const code = await new Promise((resolve) => host.host.once('exit', resolve));
    check(code === 0, `the host exits 0 on SIGTERM (${code}${code ? ': ' + host.said().slice(-2000) : ''})`);
    rmSync(work, {recursive: true, force: true});
  }
  if (failures.length) {
    console.error(`FAIL: ${failures.length} check(s) failed`);
    process.exit(1);
  }
}

main().catch((error) => {
  console.error('FAIL:', error.message);
  process.exit(1);
});
