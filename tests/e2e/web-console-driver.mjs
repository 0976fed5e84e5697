// Drives the agent's web console in Debian's headless Chromium for the end-to-end tests. It reads
// one JSON request per line on standard input and answers each with one JSON line on standard
// output: {"ok":true, ...result} or {"ok":false,"error":"..."}. The test on the other end owns
// the display and the agent and asserts on what reaches them; this side only acts like a person
// in the page and reports what the page shows and which requests it made.
//
//   launch {url, userDataDir, width, height, withholdVideo, serveConsole}  fresh persistent
//                                              profile, page opened at url; withholdVideo: the
//                                              page's peer connections never hand it a video
//                                              track; serveConsole: the console's files come from
//                                              the source tree under /console/ (its page at
//                                              /console/), for an origin that does not serve them
//   controllerKey -> {publicKey}               the console's own key for this browser
//   hostedLive {token} -> {sessionId}          as a controller of the hosted control plane with
//                                              that token, through the console's own modules: a
//                                              session for the first device, sealed for this
//                                              browser's key, and the live view on it
//   endLive {reason} -> {status}               stops the live view and ends its session
//   reload                                     reloads the page
//   fill {selector, value} / click {selector} / press {selector, key} / type {selector, text}
//   select {selector, value}                   chooses an option
//   waitForScreenSize {width, height}          until the shown picture has that pixel size
//   text {selector} -> {text}                  textContent of the first match
//   value {selector} -> {value}                value of an input
//   count {selector} -> {count}                how many elements match
//   waitForText {selector, text}               until the element's text contains text
//   waitForToast {text}                        until a toast containing text has been shown
//   toasts -> {toasts}                         every toast shown so far
//   waitForFrames {count}                      until the frame counter reaches count
//   screenPixels {points:[[x,y],...], live}    RGB of the shown screen image at those fractions
//                                              (of the live video's current frame with live)
//   imagePixels {selector, points}             RGB of an image or video element's picture at
//                                              those fractions, with its natural size
//   clickScreen {x, y, button}                 click at fractions of the drawn picture (outside
//                                              0..1 lands on the letterbox around it); the live
//                                              video when it is shown, else the still frame
//   dragScreen {from:[x,y], to:[x,y], steps}   left-button drag across the drawn picture
//   wheelScreen {x, y, deltaY}                 turns the wheel over the drawn picture
//   channelMessages {type} -> {messages}       text messages of that type the page received on
//                                              its data channels, parsed, with their label
//   mark -> {mark}                             position in the request log
//   requests {after, pathIncludes} -> {requests:[{method, path, tokenKind, controllerKey,
//                                      body, status, sessionId}]}
//   dialogs -> {dialogs}                       messages of dialogs shown (all are accepted)
//   localStorage {key} -> {value}
//   resize {width, height}                     new viewport size
//   screenshot {path}
//   close                                      closes the browser (the driver ends with its input)
import fs from 'node:fs';
import path from 'node:path';
import readline from 'node:readline';
import {fileURLToPath} from 'node:url';
import {chromium} from 'playwright-core';

const chromiumPath = '/usr/bin/chromium';
const consolePrefix = '/console/';
const consoleDirectory =
    fileURLToPath(new URL('../../TavolinMacAgent/LocalNetwork/WebConsole/', import.meta.url));
const waitTimeout = 20000;

let context = null;
let page = null;
const requestLog = [];
const dialogs = [];

function pathOf(url) {
  const parsed = new URL(url);
  return parsed.pathname;
}

function watch(newPage) {
  newPage.on('request', (request) => {
    const authorization = request.headers().authorization ?? '';
    request.logEntry = {
      method: request.method(),
      path: pathOf(request.url()),
      // The token's first and last pieces ("Bearer direct", the browser's public key); never
      // the secret.
      tokenKind: authorization.split('.')[0],
      controllerKey: authorization.split('.').at(-1),
      body: request.method() === 'POST' && !request.url().includes('/commands') ?
          request.postData() ?? '' :
          '',
      status: 0,
    };
    requestLog.push(request.logEntry);
  });
  const finish = async (request) => {
    const entry = request.logEntry;
    if (!entry)
      return;
    const response = await request.response().catch(() => null);
    entry.status = response ? response.status() : -1;
    if (entry.method === 'POST' && entry.path === '/v1/controllers/sessions' && response?.ok())
      entry.sessionId = (await response.json().catch(() => ({}))).session?.id ?? '';
  };
  newPage.on('requestfinished', finish);
  newPage.on('requestfailed', finish);
  newPage.on('dialog', (dialog) => {
    dialogs.push(dialog.message());
    dialog.accept().catch(() => {});
  });
}

// Toasts leave after a few seconds; keep every one shown so a test cannot miss it.
function recordToasts() {
  window.__shownToasts = [];
  document.addEventListener('DOMContentLoaded', () => {
    const toasts = document.getElementById('toasts');
    if (!toasts)
      return;
    new MutationObserver((changes) => {
      for (const change of changes) {
        for (const node of change.addedNodes)
          window.__shownToasts.push(node.textContent);
      }
    }).observe(toasts, {childList: true});
  });
}

// Every text message arriving on a data channel the page accepts, seen from outside the page's
// own code.
function recordChannelMessages() {
  window.__channelMessages = [];
  const Original = window.RTCPeerConnection;
  window.RTCPeerConnection = class extends Original {
    constructor(...args) {
      super(...args);
      this.addEventListener('datachannel', ({channel}) => {
        channel.addEventListener('message', (event) => {
          if (typeof event.data === 'string')
            window.__channelMessages.push({label: channel.label, text: event.data});
        });
      });
    }
  };
}

// A browser whose media never arrives: the page's track handler is never called.
function dropVideoTracks() {
  const Original = window.RTCPeerConnection;
  window.RTCPeerConnection = class extends Original {
    get ontrack() { return null; }
    set ontrack(handler) {}
  };
}

// Where the agent would serve them: the page under /console/ and the modules beside it. Every
// other request goes on to the server.
async function routeConsoleFiles() {
  await context.route((url) => url.pathname.startsWith(consolePrefix), (route) => {
    const name = path.basename(new URL(route.request().url()).pathname.slice(consolePrefix.length));
    const file = path.join(consoleDirectory, name || 'index.html');
    return fs.existsSync(file) ? route.fulfill({path: file}) : route.fulfill({status: 404});
  });
}

function matching(after, pathIncludes) {
  return requestLog.slice(after ?? 0).filter((entry) => entry.path.includes(pathIncludes ?? ''));
}

async function until(condition, what) {
  const deadline = Date.now() + waitTimeout;
  for (;;) {
    const value = await condition();
    if (value)
      return value;
    if (Date.now() > deadline)
      throw new Error('timed out waiting for ' + what());
    await new Promise((resolve) => setTimeout(resolve, 25));
  }
}

// Where fractions (x, y) of the picture drawn by object-fit: contain fall on the page.
async function screenPoint(x, y) {
  const measure = () => page.evaluate(() => {
    const video = document.getElementById('liveVideo');
    const live = video && !video.hidden;
    const element = live ? video : document.getElementById('screen');
    const box = element.getBoundingClientRect();
    return {
      left: box.left,
      top: box.top,
      width: box.width,
      height: box.height,
      naturalWidth: live ? video.videoWidth : element.naturalWidth,
      naturalHeight: live ? video.videoHeight : element.naturalHeight,
    };
  });
  // A frame being swapped in may briefly report no size.
  const geometry = await until(async () => {
    const measured = await measure();
    return measured.naturalWidth ? measured : null;
  }, () => 'a screen image');
  const scale =
      Math.min(geometry.width / geometry.naturalWidth, geometry.height / geometry.naturalHeight);
  const drawnWidth = geometry.naturalWidth * scale;
  const drawnHeight = geometry.naturalHeight * scale;
  return {
    x: geometry.left + (geometry.width - drawnWidth) / 2 + x * drawnWidth,
    y: geometry.top + (geometry.height - drawnHeight) / 2 + y * drawnHeight,
  };
}

const operations = {
  async launch({url, userDataDir, width, height, withholdVideo, serveConsole}) {
    context = await chromium.launchPersistentContext(userDataDir, {
      executablePath: chromiumPath,
      headless: true,
      viewport: {width, height},
      args: [
        '--no-sandbox',
        '--disable-gpu',
        '--disable-background-networking',
        '--disable-component-update',
        '--disable-sync',
        '--no-first-run',
      ],
    });
    await context.addInitScript(recordToasts);
    await context.addInitScript(recordChannelMessages);
    if (withholdVideo)
      await context.addInitScript(dropVideoTracks);
    if (serveConsole)
      await routeConsoleFiles();
    page = context.pages()[0] ?? await context.newPage();
    watch(page);
    await page.goto(url);
    return {title: await page.title()};
  },
  async reload() {
    await page.reload();
    return {};
  },
  async fill({selector, value}) {
    await page.fill(selector, value);
    return {};
  },
  async click({selector}) {
    await page.click(selector);
    return {};
  },
  async press({selector, key}) {
    await page.press(selector, key);
    return {};
  },
  async type({selector, text}) {
    await page.focus(selector);
    await page.keyboard.type(text);
    return {};
  },
  async select({selector, value}) {
    await page.selectOption(selector, value);
    return {};
  },
  async waitForScreenSize({width, height}) {
    let shown = {};
    await until(async () => {
      shown = await page.$eval(
          '#screen', (image) => ({width: image.naturalWidth, height: image.naturalHeight}));
      return shown.width === width && shown.height === height;
    }, () => `a ${width} x ${height} picture, shown ${shown.width} x ${shown.height}`);
    return {};
  },
  async text({selector}) { return {text: await page.textContent(selector)}; },
  async value({selector}) { return {value: await page.inputValue(selector)}; },
  async count({selector}) { return {count: await page.locator(selector).count()}; },
  async waitForText({selector, text}) {
    let last = '';
    await until(async () => {
      last = (await page.textContent(selector)) ?? '';
      return last.includes(text);
    }, () => `"${text}" in ${selector}, which shows "${last}"`);
    return {text: last};
  },
  async waitForToast({text}) {
    let shown = [];
    await until(async () => {
      shown = await page.evaluate(() => window.__shownToasts);
      return shown.some((toast) => toast.includes(text));
    }, () => `a toast "${text}"; shown: ${JSON.stringify(shown)}`);
    return {toasts: shown};
  },
  async toasts() { return {toasts: await page.evaluate(() => window.__shownToasts)}; },
  async waitForFrames({count}) {
    let shown = '0';
    let status = '';
    await until(async () => {
      shown = await page.textContent('#frameCounter');
      status = await page.textContent('.stage-footer');
      return Number(shown) >= count;
    }, () => `${count} frames, ${shown} shown; "${status}"`);
    return {frames: Number(shown)};
  },
  async screenPixels({points, live}) {
    return operations.imagePixels({selector: live ? '#liveVideo' : '#screen', points});
  },
  async imagePixels({selector, points}) {
    // A picture may be swapped while it is read: read again until one decoded picture is read.
    return until(() => page.$eval(selector, async (image, fractions) => {
      if (image instanceof HTMLImageElement) {
        try {
          await image.decode();
        } catch {
          return null;
        }
      }
      const canvas = document.createElement('canvas');
      canvas.width = image.naturalWidth ?? image.videoWidth;
      canvas.height = image.naturalHeight ?? image.videoHeight;
      if (!canvas.width || !canvas.height)
        return null;
      const context2d = canvas.getContext('2d');
      context2d.drawImage(image, 0, 0);
      const pixels = fractions.map(([x, y]) => {
        const px = Math.min(canvas.width - 1, Math.floor(x * canvas.width));
        const py = Math.min(canvas.height - 1, Math.floor(y * canvas.height));
        return Array.from(context2d.getImageData(px, py, 1, 1).data.slice(0, 3));
      });
      return {width: canvas.width, height: canvas.height, pixels};
    }, points), () => `a decoded picture in ${selector}`);
  },
  async clickScreen({x, y, button}) {
    const point = await screenPoint(x, y);
    await page.mouse.click(point.x, point.y, {button: button ?? 'left'});
    return point;
  },
  async dragScreen({from, to, steps}) {
    const start = await screenPoint(from[0], from[1]);
    const end = await screenPoint(to[0], to[1]);
    await page.mouse.move(start.x, start.y);
    await page.mouse.down();
    await page.mouse.move(end.x, end.y, {steps: steps ?? 10});
    await page.mouse.up();
    return {start, end};
  },
  async wheelScreen({x, y, deltaY}) {
    const point = await screenPoint(x, y);
    await page.mouse.move(point.x, point.y);
    await page.mouse.wheel(0, deltaY);
    return point;
  },
  async channelMessages({type}) {
    const received = await page.evaluate(() => window.__channelMessages ?? []);
    const messages = [];
    for (const {label, text} of received) {
      try {
        const message = JSON.parse(text);
        if (message?.type === type)
          messages.push({label, message});
      } catch {
        // Not JSON: not a message of any type.
      }
    }
    return {messages};
  },
  async controllerKey() {
    return page.evaluate(async () => {
      const {controllerKeyPair, state} = await import('/console/api.js');
      await controllerKeyPair();
      return {publicKey: state.publicKey};
    });
  },
  async hostedLive({token}) {
    return page.evaluate(async (controllerToken) => {
      const {api, controllerKeyPair, state} = await import('/console/api.js');
      const {startLive} = await import('/console/live.js');
      const {setFrameStatus} = await import('/console/ui.js');
      await controllerKeyPair();
      state.token = controllerToken;
      const device = (await api('GET', '/v1/controllers/devices')).devices[0];
      // Commands are sealed for the device's key, as a paired console keeps it in its profile.
      state.profile = {agentPublicKey: device.publicKey};
      state.device = device;
      state.session = (await api('POST', '/v1/controllers/sessions', {
        deviceId: device.id,
        transportMode: 'hybrid',
        metadata: {controllerPublicKey: state.publicKey, requestedVideoTransport: 'webrtc'},
      })).session;
      startLive((why) => setFrameStatus('Live: unavailable', why, 'bad'));
      return {sessionId: state.session.id};
    }, token);
  },
  async endLive({reason}) {
    return page.evaluate(async (why) => {
      const {api, sessionPath, state} = await import('/console/api.js');
      const {stopLive} = await import('/console/live.js');
      await stopLive(why);
      const ended = await api('POST', sessionPath('/end'), {reason: why});
      state.session = null;
      return {status: ended.session.status};
    }, reason);
  },
  async mark() { return {mark: requestLog.length}; },
  async requests({after, pathIncludes}) { return {requests: matching(after, pathIncludes)}; },
  async dialogs() { return {dialogs}; },
  async localStorage(
      {key}) { return {value: await page.evaluate((name) => localStorage.getItem(name), key)}; },
  async resize({width, height}) {
    await page.setViewportSize({width, height});
    return {};
  },
  async screenshot({path: file}) {
    fs.mkdirSync(path.dirname(file), {recursive: true});
    await page.screenshot({path: file});
    return {};
  },
  async close() {
    if (context)
      await context.close();
    context = null;
    return {};
  },
};

const input = readline.createInterface({input: process.stdin});
for await (const line of input) {
  if (!line.trim())
    continue;
  let answer;
  try {
    const request = JSON.parse(line);
    const operation = operations[request.op];
    if (!operation)
      throw new Error('unknown op ' + request.op);
    answer = {ok: true, ...(await operation(request))};
  } catch (error) {
    answer = {ok: false, error: String(error?.message ?? error)};
  }
  process.stdout.write(JSON.stringify(answer) + '\n');
}
await operations.close();
