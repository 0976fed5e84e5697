// How long the agent takes to answer a local route while the web console's live view streams
// and the clipboard belongs to an application that never answers (the caller starts one), so
// that every clipboard read waits for its timeout. Prints one JSON line.
//   node bench/slow-clipboard-bench.mjs <agent url> <pairing code> <seconds> <label>
// Requests go out at a fixed cadence whatever the answers do, each on a connection of its own,
// and a request's time counts from when it was due: a stalled agent shows as the stall.
import http from 'node:http';

import {launchBenchBrowser} from './browser.mjs';

const [url, code, seconds, label] = process.argv.slice(2);
const cadenceMs = 25;
const timeoutMs = 10000;

function percentile(sorted, p) {
  if (sorted.length === 0) return null;
  return sorted[Math.min(sorted.length - 1, Math.max(0, Math.ceil(p * sorted.length) - 1))];
}

const rounded = (value) => value == null ? null : Number(value.toFixed(1));

// One GET of the device record, answered in milliseconds since `due`, or null.
function deviceRequest(due) {
  return new Promise((resolve) => {
    const request = http.get(new URL('/v1/local/device', url), {agent: false}, (response) => {
      response.resume();
      response.on('end', () => resolve(response.statusCode === 200 ? performance.now() - due : null));
    });
    request.setTimeout(timeoutMs, () => request.destroy());
    request.on('error', () => resolve(null));
  });
}

async function measure(milliseconds) {
  const started = performance.now();
  const pending = [];
  for (let index = 0; index * cadenceMs < milliseconds; index += 1) {
    const due = started + index * cadenceMs;
    const wait = due - performance.now();
    if (wait > 0) await new Promise((resolve) => setTimeout(resolve, wait));
    pending.push(deviceRequest(due));
  }
  const answers = await Promise.all(pending);
  const times = answers.filter((time) => time != null).sort((a, b) => a - b);
  return {times, failed: answers.length - times.length};
}

const {browser, close} = await launchBenchBrowser({width: 1280, height: 900});
try {
  const page = browser.pages()[0] ?? await browser.newPage();
  await page.goto(url);
  await page.fill('#pairingCode', code);
  await page.click('#pairButton');
  await page.waitForFunction(() => Number(document.getElementById('frameCounter').textContent) > 2,
                             null, {timeout: 30000});
  // From still frames to the live view, whose session carries the clipboard channel.
  await page.click('#disconnectButton');
  await page.waitForFunction(() => !document.getElementById('connectButton').disabled, null,
                             {timeout: 15000});
  if (await page.getAttribute('#liveToggle', 'aria-pressed') !== 'true') {
    await page.click('#liveToggle');
  }
  await page.click('#connectButton');
  await page.waitForFunction(() => document.getElementById('frameStatus').textContent
                                       .startsWith('Live: playing'), null, {timeout: 60000});
  await page.waitForTimeout(1000);

  const {times, failed} = await measure(Number(seconds) * 1000);
  const stillLive = await page.evaluate(() => document.getElementById('frameStatus').textContent);
  console.log(JSON.stringify({
    figure: 'local_route_latency_slow_clipboard_owner',
    agent: label,
    route: 'GET /v1/local/device',
    liveView: stillLive.startsWith('Live: playing') ? 'playing' : stillLive,
    requests: times.length + failed,
    failed,
    p50Ms: rounded(percentile(times, 0.5)),
    p99Ms: rounded(percentile(times, 0.99)),
    maxMs: rounded(times.at(-1)),
  }));
} finally {
  await close();
}
