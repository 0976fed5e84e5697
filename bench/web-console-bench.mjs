// The web console in Debian's headless Chromium against a running agent. Prints one JSON line
// per figure:
// - still frames: frame rate and frame round trip at the page's own polling cadence, and the
//   agent's CPU time per still frame it served;
// - glass to glass: a "benchmark_flash" command from the page until its colour shows at the
//   reported point of the picture the page receives, in the still-frame mode and in the live
//   view (command over the data channel), with the live/still ratio per quality;
// - live sustain: the live view's frame rate at 720p over a longer run, from the agent's frame
//   telemetry and from Chromium's receive statistics, with the frames lost on the way.
//   node bench/web-console-bench.mjs <agent url> <pairing code> <agent pid> <seconds> <quality>...
import fs from 'node:fs';

import {launchBenchBrowser} from './browser.mjs';

const [url, code, agentPid, seconds, ...qualities] = process.argv.slice(2);
const ticksPerSecond = 100;  // USER_HZ on Linux
const flashes = Number(process.env.BENCH_FLASHES ?? 30);
const sustainQuality = '720p';

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

const rounded = (value, digits = 1) => value == null ? null : Number(value.toFixed(digits));
const sortedNumbers = (values) => values.filter((value) => value != null).sort((a, b) => a - b);

// Installed in the page: watches every picture it shows (still frame or live video frame) and
// notes when the centre pixel first turns the colour a pending flash expects.
function installFlashWatch() {
  const canvas = document.createElement('canvas');
  canvas.width = canvas.height = 1;
  const context = canvas.getContext('2d', {willReadFrequently: true});
  const colourAt = (source, width, height, x, y) => {
    context.drawImage(source, Math.floor(width * x), Math.floor(height * y), 1, 1, 0, 0, 1, 1);
    const [red, green, blue] = context.getImageData(0, 0, 1, 1).data;
    if (red > 150 && green < 100 && blue > 150) return 'magenta';
    if (green > 150 && red < 100 && blue < 100) return 'green';
    return 'other';
  };
  window.benchFlash = {pending: null};
  // `shownAt` resolves to when the picture reached the screen.
  const check = (source, width, height, shownAt) => {
    const pending = window.benchFlash.pending;
    if (!pending || pending.seen || !width || !height) return;
    if (colourAt(source, width, height, pending.x, pending.y) === pending.colour) {
      pending.seen = shownAt.then((at) => { pending.seenAt = at; });
    }
  };
  // A still frame is on screen with the first paint after it loaded.
  const image = document.getElementById('screen');
  image.addEventListener('load', () => check(image, image.naturalWidth, image.naturalHeight,
                                             new Promise(requestAnimationFrame)));
  // A video frame's callback runs after the frame was presented, and says when that was.
  const video = document.getElementById('liveVideo');
  const onVideoFrame = (_, metadata) => {
    check(video, metadata.width, metadata.height, Promise.resolve(metadata.presentationTime));
    video.requestVideoFrameCallback(onVideoFrame);
  };
  video.requestVideoFrameCallback(onVideoFrame);
}

// One flash from the page: the time from sending the command until the colour was seen, and
// the command's own leg (send until the agent showed the square, on the shared wall clock).
async function flashOnce(page, sequence) {
  return page.evaluate(async (sequence) => {
    const colour = sequence % 2 ? 'magenta' : 'green';
    const pending = {colour, x: 0.5, y: 0.5, seen: null, seenAt: 0};
    window.benchFlash.pending = pending;
    const sentAt = performance.now();
    const sentWall = Date.now();
    // The page's own module, so the command goes out with the page's session and keys.
    const {sendCommand} = await import('/console/api.js');
    const command = await sendCommand('benchmark_flash', {sequence}, {quiet: true});
    const result = command?.result || {};
    if (command?.status !== 'succeeded') return {failed: result.reason || 'no_result'};
    pending.x = result.targetNormalizedX;
    pending.y = result.targetNormalizedY;
    const deadline = performance.now() + 3000;
    while (!pending.seenAt && performance.now() < deadline) {
      await new Promise((resolve) => setTimeout(resolve, 5));
    }
    window.benchFlash.pending = null;
    if (!pending.seenAt) return {failed: 'flash_not_seen'};
    return {glassMs: pending.seenAt - sentAt, commandMs: Date.parse(result.shownAt) - sentWall};
  }, sequence);
}

async function connect(page, live) {
  if (live !== (await page.getAttribute('#liveToggle', 'aria-pressed') === 'true')) {
    await page.click('#liveToggle');
  }
  await page.click('#connectButton');
  const status = live ? 'Live: playing' : 'Frames: live';
  await page.waitForFunction((status) => document.getElementById('frameStatus').textContent
                                             .startsWith(status), status, {timeout: 30000});
}

async function disconnect(page) {
  await page.click('#disconnectButton');
  await page.waitForFunction(() => !document.getElementById('connectButton').disabled, null,
                             {timeout: 15000});
}

async function chooseQuality(page, quality) {
  await page.selectOption('#quality', quality);
  await page.waitForTimeout(1500);  // frames of the old size drain
}

async function stillFrames(page, quality) {
  await page.evaluate(() => { window.benchFrames = []; });
  const cpuBefore = agentCPUMilliseconds();
  const started = Date.now();
  await page.waitForTimeout(Number(seconds) * 1000);
  const elapsed = (Date.now() - started) / 1000;
  const cpu = agentCPUMilliseconds() - cpuBefore;
  const frames = await page.evaluate(() => window.benchFrames);
  const trips = sortedNumbers(frames.map((frame) => frame.shown - frame.start));
  return {
    figure: 'web_console_still_frames',
    quality,
    cadenceMs: 240,
    framesPerSecond: rounded(frames.length / elapsed, 2),
    roundTripP50Ms: rounded(percentile(trips, 0.5)),
    roundTripP95Ms: rounded(percentile(trips, 0.95)),
    agentCPUMsPerFrame: frames.length ? rounded(cpu / frames.length, 2) : null,
    frames: frames.length,
  };
}

let nextSequence = 1;
async function glassToGlass(page, mode, quality) {
  const glass = [];
  const command = [];
  const failures = {};
  for (let index = 0; index < flashes; index += 1) {
    const outcome = await flashOnce(page, nextSequence++);
    if (outcome.failed) {
      failures[outcome.failed] = (failures[outcome.failed] ?? 0) + 1;
    } else {
      glass.push(outcome.glassMs);
      command.push(outcome.commandMs);
    }
    // An uneven gap, so that flashes do not lock onto the still-frame cadence.
    await page.waitForTimeout(150 + Math.random() * 250);
  }
  const sortedGlass = sortedNumbers(glass);
  const sortedCommand = sortedNumbers(command);
  return {
    figure: 'glass_to_glass',
    mode,
    quality,
    p50Ms: rounded(percentile(sortedGlass, 0.5)),
    p95Ms: rounded(percentile(sortedGlass, 0.95)),
    commandLegP50Ms: rounded(percentile(sortedCommand, 0.5)),
    flashes: glass.length,
    failures,
  };
}

// The agent's telemetry (frame ids count captured frames, gaps are frames dropped before
// encoding) next to what Chromium received, decoded and dropped, over one window.
async function liveSustain(page, quality) {
  const sample = () => page.evaluate(async () => {
    const stats = await window.benchPeer.getStats();
    let video = {};
    stats.forEach((report) => {
      if (report.type === 'inbound-rtp' && report.kind === 'video') video = report;
    });
    return {
      at: performance.now(),
      received: video.framesReceived ?? 0,
      decoded: video.framesDecoded ?? 0,
      dropped: video.framesDropped ?? 0,
      jitterBufferSeconds: video.jitterBufferDelay ?? 0,
      jitterBufferFrames: video.jitterBufferEmittedCount ?? 0,
      processingSeconds: video.totalProcessingDelay ?? 0,
      frameWidth: video.frameWidth ?? 0,
      frameHeight: video.frameHeight ?? 0,
    };
  });
  await page.evaluate(() => { window.benchTelemetry = []; });
  const before = await sample();
  await page.waitForTimeout(Number(seconds) * 1000);
  const after = await sample();
  const telemetry = await page.evaluate(() => window.benchTelemetry);
  const span = (after.at - before.at) / 1000;
  const inWindow = telemetry.filter((entry) => entry.at >= before.at && entry.at <= after.at);
  const captured = inWindow.length > 1 ? inWindow.at(-1).frameId - inWindow[0].frameId : 0;
  const capturedSpan = inWindow.length > 1 ? (inWindow.at(-1).at - inWindow[0].at) / 1000 : 0;
  return {
    figure: 'live_view_sustained',
    quality,
    seconds: rounded(span, 2),
    frameSize: `${after.frameWidth}x${after.frameHeight}`,
    capturedFramesPerSecond: capturedSpan ? rounded(captured / capturedSpan) : null,
    telemetryPerSecond: rounded(inWindow.length / span),
    receivedFramesPerSecond: rounded((after.received - before.received) / span),
    decodedFramesPerSecond: rounded((after.decoded - before.decoded) / span),
    droppedByChromium: after.dropped - before.dropped,
    // Receive to hand-off for decoding, and receive to decoded, averaged per frame.
    jitterBufferMs: rounded(1000 * (after.jitterBufferSeconds - before.jitterBufferSeconds) /
                            Math.max(1, after.jitterBufferFrames - before.jitterBufferFrames)),
    receiveToDecodedMs: rounded(1000 * (after.processingSeconds - before.processingSeconds) /
                                Math.max(1, after.decoded - before.decoded)),
    goalFramesPerSecond: 60,
  };
}

const {browser, close} = await launchBenchBrowser({width: 1600, height: 1000});
// The live view's peer connection and its telemetry, as the page's modules keep them to
// themselves: the latest connection, and every telemetry message while a window is open.
await browser.addInitScript(() => {
  const Original = window.RTCPeerConnection;
  window.RTCPeerConnection = class extends Original {
    constructor(...args) {
      super(...args);
      window.benchPeer = this;
      this.addEventListener('datachannel', ({channel}) => {
        if (channel.label !== 'tavolin.telemetry')
          return;
        channel.addEventListener('message', (event) => {
          const message = JSON.parse(event.data);
          window.benchTelemetry?.push({frameId: message.frameId, at: performance.now()});
        });
      });
    }
  };
});
try {
  const page = browser.pages()[0] ?? await browser.newPage();
  await page.goto(url);
  // Each shown still frame: when its request started and when the decoded image was on the page.
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
  await page.evaluate(installFlashWatch);
  await page.fill('#pairingCode', code);
  await page.click('#pairButton');
  await page.waitForFunction(() => Number(document.getElementById('frameCounter').textContent) > 2,
                             null, {timeout: 30000});

  const stillGlass = {};
  for (const quality of qualities) {
    await chooseQuality(page, quality);
    console.log(JSON.stringify(await stillFrames(page, quality)));
    stillGlass[quality] = await glassToGlass(page, 'still_frames', quality);
    console.log(JSON.stringify(stillGlass[quality]));
  }
  await disconnect(page);
  await connect(page, true);
  for (const quality of qualities) {
    await chooseQuality(page, quality);
    const live = await glassToGlass(page, 'live_webrtc', quality);
    const still = stillGlass[quality];
    live.p50RatioToStill = live.p50Ms && still.p50Ms ? rounded(live.p50Ms / still.p50Ms, 2) : null;
    live.p95RatioToStill = live.p95Ms && still.p95Ms ? rounded(live.p95Ms / still.p95Ms, 2) : null;
    console.log(JSON.stringify(live));
  }
  await chooseQuality(page, sustainQuality);
  console.log(JSON.stringify(await liveSustain(page, sustainQuality)));
  await disconnect(page);
} finally {
  await close();
}
