// Frame rate and frame round trip of the web console in Debian's headless Chromium against a
// running agent, at the page's own polling cadence, plus the agent's CPU time per still frame it
// served. Prints one JSON line per quality.
//   node bench/web-console-bench.mjs <agent url> <pairing code> <agent pid> <seconds> <quality>...
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {createRequire} from 'node:module';

const require = createRequire(new URL('../tests/e2e/package.json', import.meta.url));
const {chromium} = require('playwright-core');

const [url, code, agentPid, seconds, ...qualities] = process.argv.slice(2);
const ticksPerSecond = 100;  // USER_HZ on Linux

// The agent's user + system CPU time so far, in milliseconds.
function agentCPUMilliseconds() {
  const stat = fs.readFileSync(`/proc/${agentPid}/stat`, 'utf8');
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  return (Number(fields[11]) + Number(fields[12])) * 1000 / ticksPerSecond;
}

function percentile(sorted, p) {
  if (sorted.length === 0) return null;
  const index = Math.min(sorted.length - 1, Math.max(0, Math.ceil(p * sorted.length) - 1));
  return sorted[index];
}

const userDataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'tavolin-bench-'));
const context = await chromium.launchPersistentContext(userDataDir, {
  executablePath: process.env.TAVOLIN_CHROMIUM ?? '/usr/bin/chromium',
  headless: true,
  viewport: {width: 1600, height: 1000},
  args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking',
         '--disable-component-update', '--disable-sync', '--no-first-run'],
});
try {
  const page = context.pages()[0] ?? await context.newPage();
  await page.goto(url);
  // Each shown frame: when its request started and when the decoded image was on the page.
  await page.evaluate(() => {
    window.benchFrames = [];
    const screen = document.getElementById('screen');
    screen.addEventListener('load', () => {
      const requests = performance.getEntriesByType('resource')
          .filter((entry) => entry.name.includes('/screen/latest'));
      const request = requests.at(-1);
      if (request) window.benchFrames.push({start: request.startTime, shown: performance.now()});
      performance.clearResourceTimings();
    });
  });
  await page.fill('#pairingCode', code);
  await page.click('#pairButton');
  await page.waitForFunction(() => Number(document.getElementById('frameCounter').textContent) > 2,
                             null, {timeout: 30000});

  for (const quality of qualities) {
    await page.selectOption('#quality', quality);
    await page.waitForTimeout(1500);  // frames of the old size drain
    await page.evaluate(() => { window.benchFrames = []; });
    const cpuBefore = agentCPUMilliseconds();
    const started = Date.now();
    await page.waitForTimeout(Number(seconds) * 1000);
    const elapsed = (Date.now() - started) / 1000;
    const cpu = agentCPUMilliseconds() - cpuBefore;
    const frames = await page.evaluate(() => window.benchFrames);
    const trips = frames.map((frame) => frame.shown - frame.start).sort((a, b) => a - b);
    console.log(JSON.stringify({
      figure: 'web_console_still_frames',
      quality,
      cadenceMs: 240,
      framesPerSecond: Number((frames.length / elapsed).toFixed(2)),
      roundTripP50Ms: Number(percentile(trips, 0.5)?.toFixed(1)),
      roundTripP95Ms: Number(percentile(trips, 0.95)?.toFixed(1)),
      agentCPUMsPerFrame: frames.length ? Number((cpu / frames.length).toFixed(2)) : null,
      frames: frames.length,
    }));
  }
} finally {
  await context.close();
  fs.rmSync(userDataDir, {recursive: true, force: true});
}
