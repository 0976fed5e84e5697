// The console's entry: pairing, the session and its still frames, input on the picture, the
// windows, apps and Codex controls, tabs and start-up.
import {
  afterCommands, api, buildToken, controllerKeyPair, forgetPairing, isPaired, openFrame,
  readProfile, saveProfile, sealCommand, sendCommand, sessionPath, state,
} from './api.js';
import {inputChannelOpen, isLive, sendLowLatency, startLive, stopLive} from './live.js';
import {bindPhone, loadPhoneSnapshot, phoneRunning, stopPhoneLoop} from './phone.js';
import {keyCommand, normalizedPoint} from './picture.js';
import {bindSecurity, loadAudit} from './security.js';
import {
  $, escapeHTML, failed, renderDetails, setConnectionState, setFrameStatus, setPlatform,
  setStatusMessage, toast, words,
} from './ui.js';

const FRAME_DELAY = {visible: 240, hidden: 1000};
const SCROLL_INTERVAL_MS = 70;
const LIST_LIMIT = 80;

const frames = {
  timer: 0, busy: false, running: false, count: 0, shownAt: [], url: '', blocked: false,
  width: 0, height: 0,
};
const pointer = {mode: 'click', dragging: false, lastDragPoint: null, pendingDragPoint: null, lastScrollAt: 0};
let connecting = false;

function updateButtons() {
  const connected = Boolean(state.session);
  // Connect needs a pairing; until then the form above is the way in.
  $('connectButton').hidden = !isPaired();
  $('connectButton').disabled = connected || connecting;
  $('liveToggle').disabled = connecting;
  $('disconnectButton').disabled = !connected;
  $('screenPlaceholder').textContent = isPaired()
    ? 'Click Connect to see the screen.'
    : 'Pair this browser with the code the agent shows, then the screen appears here.';
}

function rememberDevice(device) {
  state.profile.deviceId = device.id;
  state.profile.deviceName = device.name;
  if (device.publicKey)
    state.profile.agentPublicKey = device.publicKey;
  if (device.platform)
    state.profile.platform = device.platform;
  state.profile.codex = device.capabilities?.codex === true;
  setPlatform(state.profile.platform);
  showCodexTab(state.profile.codex);
  saveProfile();
}

// The Codex tab is offered only by an agent that says it drives Codex.
function showCodexTab(available) {
  $('tab-codex').hidden = !available;
}

// ---- pairing and connection ----

async function pair(event) {
  event.preventDefault();
  const input = $('pairingCode');
  const code = input.value.trim();
  if (!/^\d{8}$/.test(code)) {
    const message = 'Enter the 8-digit pairing code ' + words().codeSource + '.';
    setStatusMessage(message);
    toast(message, 'bad');
    input.focus();
    return;
  }
  setConnectionState('Pairing…', 'warn');
  try {
    await controllerKeyPair();
    const answer = await api('POST', '/v1/web/pair', {pairingCode: code, publicKey: state.publicKey},
                             {authorized: false});
    state.profile = {
      directSecret: answer.directAccess.tokenSecret,
      routeName: answer.routeName,
      pairedAt: answer.pairedAt,
    };
    rememberDevice(answer.device);
    buildToken();
    input.value = '';
    setStatusMessage('Paired with ' + (answer.device.name || words().computer) + '.');
  } catch (error) {
    setConnectionState('Pairing failed', 'bad');
    setStatusMessage(error.message);
    failed(error);
    return;
  }
  await connect();
}

async function connect() {
  if (!isPaired()) {
    setStatusMessage('Pair this browser first.');
    toast('Pair this browser first.', 'bad');
    return;
  }
  stopFrameLoop();
  const live = isLiveRequested();
  connecting = true;
  updateButtons();
  setConnectionState('Connecting…', 'warn');
  try {
    await controllerKeyPair();
    buildToken();
    const listed = await api('GET', '/v1/controllers/devices');
    const device = listed?.devices?.[0] || {
      id: state.profile.deviceId, name: state.profile.deviceName, publicKey: state.profile.agentPublicKey,
    };
    const created = await api('POST', '/v1/controllers/sessions', {
      deviceId: device.id,
      transportMode: 'hybrid',
      // A web console session gets still frames; a live one must not claim to be one.
      metadata: live
        ? {requestedVideoTransport: 'webrtc', client: 'web', quality: $('quality').value}
        : {
          requestedVideoTransport: 'encrypted_jpeg',
          videoTransportFallback: 'encrypted_jpeg',
          webConsole: true,
          client: 'web',
        },
    });
    state.device = device;
    state.session = created.session;
    rememberDevice(device);
    setStatusMessage('Connected to ' + (device.name || words().computer) + '.');
    loadApps();
    if (live) {
      setConnectionState('Live: connecting…', 'warn');
      startLive(fallBackToFrames);
    } else {
      setConnectionState('Connected', 'ok');
      await sendQuality();
      startFrameLoop();
    }
  } catch (error) {
    state.session = null;
    setConnectionState('Connect failed', 'bad');
    setStatusMessage(error.message);
    failed(error);
  } finally {
    connecting = false;
    updateButtons();
  }
}

async function disconnect(reason = 'web_console_disconnect') {
  stopFrameLoop();
  stopPhoneLoop();
  await stopLive(reason);
  const session = state.session;
  state.session = null;
  updateButtons();
  if (session) {
    try {
      await api('POST', '/v1/controllers/sessions/' + encodeURIComponent(session.id) + '/end', {reason});
    } catch {
      // The session may already be gone (emergency stop, revoked access): nothing left to end.
    }
  }
  setConnectionState('Disconnected');
  setFrameStatus('Frames: stopped', '');
}

async function clearPairing() {
  if (!confirm('Forget this browser\'s pairing with ' + words().computer + '?'))
    return;
  await disconnect('web_console_clear');
  await forgetPairing();
  location.reload();
}

async function sendQuality() {
  if (!state.session)
    return;
  const quality = $('quality').value;
  const payload = {quality, label: quality === 'native' ? 'Max' : quality};
  if (quality.endsWith('p'))
    payload.maxHeight = Number.parseInt(quality, 10);
  try {
    await api('POST', sessionPath('/signals'), {type: 'quality', payload});
  } catch (error) {
    failed(error);
  }
}

// ---- live view on and off ----

const isLiveRequested = () => $('liveToggle').getAttribute('aria-pressed') === 'true';

function setLiveRequested(on) { $('liveToggle').setAttribute('aria-pressed', String(on)); }

// The session's video transport is fixed when it opens, so switching while connected opens a
// new one.
async function toggleLive() {
  setLiveRequested(!isLiveRequested());
  if (!state.session)
    return;
  await disconnect('web_console_view_switched');
  await connect();
}

// Still frames take over when the live view cannot be had.
async function fallBackToFrames(why) {
  const note = 'Live view unavailable (' + why + '): showing still frames.';
  await disconnect('live_view_unavailable');
  setLiveRequested(false);
  toast(note, 'bad');
  await connect();
  setStatusMessage(note);
}

// ---- still frames ----

function startFrameLoop() {
  frames.running = true;
  frames.count = 0;
  frames.shownAt = [];
  frames.blocked = false;
  setFrameStatus('Frames: waiting', '');
  scheduleFrame(0);
}

function stopFrameLoop() {
  frames.running = false;
  clearTimeout(frames.timer);
  frames.timer = 0;
}

function scheduleFrame(delay = document.visibilityState === 'hidden' ? FRAME_DELAY.hidden : FRAME_DELAY.visible) {
  clearTimeout(frames.timer);
  frames.timer = setTimeout(frameTick, delay);
}

async function frameTick() {
  if (!frames.running || !state.session)
    return;
  if (!frames.busy) {
    frames.busy = true;
    const started = performance.now();
    try {
      const frame = (await api('GET', sessionPath('/screen/latest'))).frame;
      const blob = await openFrame(frame);
      if (!frames.running)
        return;
      showFrame(blob, frame, performance.now() - started);
    } catch (error) {
      if (frames.running) {
        if (!frames.blocked)
          failed(error);
        frames.blocked = true;
        setFrameStatus('Frames: blocked', error.message, 'bad');
        setStatusMessage(error.message);
      }
    } finally {
      frames.busy = false;
    }
  }
  if (frames.running)
    scheduleFrame();
}

function showFrame(blob, frame, roundTripMs) {
  const url = URL.createObjectURL(blob);
  $('screen').src = url;
  if (frames.url)
    URL.revokeObjectURL(frames.url);
  frames.url = url;
  // The picture's pixel size, kept apart from the image element: while a new source decodes the
  // element may report none, and a click then must still map.
  frames.width = frame.width;
  frames.height = frame.height;
  frames.count += 1;
  frames.blocked = false;
  const now = performance.now();
  frames.shownAt.push(now);
  while (frames.shownAt.length > 2 && now - frames.shownAt[0] > 2000)
    frames.shownAt.shift();
  const span = (now - frames.shownAt[0]) / 1000;
  $('fpsLabel').textContent = frames.shownAt.length > 1 && span > 0
    ? ((frames.shownAt.length - 1) / span).toFixed(1) : '–';
  $('rttLabel').textContent = Math.round(roundTripMs) + ' ms';
  $('frameCounter').textContent = String(frames.count);
  const width = frame.displayWidth || frame.width;
  const height = frame.displayHeight || frame.height;
  $('sizeLabel').textContent = width && height ? width + ' × ' + height : '';
  $('screenPlaceholder').hidden = true;
  setFrameStatus('Frames: live', '');
}

// ---- pointer, wheel and keys ----

// The picture shown and its pixel size: the live video, or the latest still frame.
function shownPicture() {
  if (isLive()) {
    const video = $('liveVideo');
    return {element: video, width: video.videoWidth, height: video.videoHeight};
  }
  return {element: $('screen'), width: frames.width, height: frames.height};
}

function pointOf(event) {
  const {element, width, height} = shownPicture();
  return normalizedPoint(element.getBoundingClientRect(), width, height, event.clientX, event.clientY);
}

function queueDragMove(point) {
  const queued = pointer.pendingDragPoint !== null;
  pointer.pendingDragPoint = point;
  if (queued)
    return;
  // Moves made while one is on its way collapse into the newest.
  afterCommands(async () => {
    const latest = pointer.pendingDragPoint;
    pointer.pendingDragPoint = null;
    if (!latest || !state.session)
      return;
    // The move handler reads normalizedX/Y; toNormalizedX/Y names the drag end as well.
    const payload = {button: 'left', ...latest, toNormalizedX: latest.normalizedX, toNormalizedY: latest.normalizedY};
    try {
      await api('POST', sessionPath('/commands'), await sealCommand('pointer_drag_move', payload));
    } catch {
      // A lost move is replaced by the next one or the release.
    }
  });
}

// Live, a drag moves the pointer by deltas on the input channel; in display pixels as far as the
// video's size tells them.
function liveDragMove(point) {
  const last = pointer.lastDragPoint;
  const {width, height} = shownPicture();
  if (!last || !width || !height)
    return;
  const deltaX = Math.round((point.normalizedX - last.normalizedX) * width);
  const deltaY = Math.round((point.normalizedY - last.normalizedY) * height);
  if (!deltaX && !deltaY)
    return;
  pointer.lastDragPoint = {
    normalizedX: last.normalizedX + deltaX / width, normalizedY: last.normalizedY + deltaY / height,
  };
  sendLowLatency('pointer_move', {deltaX, deltaY});
}

function onLiveKey(event) {
  const command = keyCommand(event);
  if (!command)
    return;
  event.preventDefault();
  sendCommand(command.type, command.payload, {quiet: true});
}

function bindPicture(image, area) {
  image.addEventListener('pointerdown', () => area.focus({preventScroll: true}));
  image.addEventListener('click', (event) => {
    if (pointer.mode === 'drag' || event.button !== 0)
      return;
    const point = pointOf(event);
    if (point)
      sendCommand('pointer_click', {...point, button: pointer.mode === 'right' ? 'right' : 'left'}, {quiet: true});
  });
  image.addEventListener('contextmenu', (event) => {
    event.preventDefault();
    const point = pointOf(event);
    if (point)
      sendCommand('pointer_click', {...point, button: 'right'}, {quiet: true});
  });
  image.addEventListener('pointerdown', (event) => {
    if (pointer.mode !== 'drag' || event.button !== 0)
      return;
    const point = pointOf(event);
    if (!point)
      return;
    event.preventDefault();
    image.setPointerCapture(event.pointerId);
    pointer.dragging = true;
    pointer.lastDragPoint = point;
    sendCommand('pointer_button_down', {...point, button: 'left'}, {quiet: true});
  });
  image.addEventListener('pointermove', (event) => {
    if (!pointer.dragging)
      return;
    const point = pointOf(event);
    if (!point)
      return;
    if (inputChannelOpen())
      liveDragMove(point);
    else
      queueDragMove(point);
  });
  const release = (event) => {
    if (!pointer.dragging)
      return;
    pointer.dragging = false;
    const point = pointOf(event);
    if (point)
      sendCommand('pointer_button_up', {...point, button: 'left'}, {quiet: true});
  };
  image.addEventListener('pointerup', release);
  image.addEventListener('pointercancel', release);
}

function bindScreen() {
  const area = $('screenArea');
  // Once the picture is used, keys typed go to the computer as from the live key field.
  area.addEventListener('keydown', (event) => {
    if (state.session)
      onLiveKey(event);
  });
  for (const image of [$('screen'), $('liveVideo')])
    bindPicture(image, area);
  area.addEventListener('wheel', (event) => {
    if (!state.session)
      return;
    event.preventDefault();
    const now = performance.now();
    if (now - pointer.lastScrollAt < SCROLL_INTERVAL_MS)
      return;
    const deltaX = Math.round(-event.deltaX);
    const deltaY = Math.round(-event.deltaY);
    if (!deltaX && !deltaY)
      return;
    pointer.lastScrollAt = now;
    if (inputChannelOpen())
      sendLowLatency('scroll', {deltaX, deltaY});
    else
      sendCommand('scroll', {deltaX, deltaY}, {quiet: true});
  }, {passive: false});
}

function setMode(mode) {
  pointer.mode = mode;
  for (const button of document.querySelectorAll('[data-mode]'))
    button.setAttribute('aria-pressed', String(button.dataset.mode === mode));
}

// ---- windows and applications ----

let listedWindows = [];
let listedApps = [];

async function loadApps() {
  if (!state.session || !state.device)
    return;
  try {
    const detail = await api('GET', '/v1/controllers/devices/' + encodeURIComponent(state.device.id));
    renderApps(detail?.snapshot || {});
  } catch (error) {
    failed(error);
  }
}

function renderApps(snapshot) {
  listedWindows = (snapshot.windows || []).slice(0, LIST_LIMIT);
  listedApps = (snapshot.runningApps || []).filter((app) => app.hasVisibleWindows).slice(0, LIST_LIMIT);
  $('windowList').innerHTML = listedWindows.length
    ? listedWindows.map((item, index) => `<li><button type="button" data-window="${index}">
        <span class="${item.isFocused ? 'focused' : ''}">${escapeHTML(item.title || 'Untitled')}</span>
        <span class="sub">${escapeHTML(item.appName || '')}</span></button></li>`).join('')
    : '<li class="empty">No windows.</li>';
  $('appList').innerHTML = listedApps.length
    ? listedApps.map((app, index) => `<li><button type="button" data-app="${index}">
        <span class="${app.isActive ? 'focused' : ''}">${escapeHTML(app.name)}</span>
        <span class="sub">${escapeHTML(app.bundleIdentifier || '')}</span></button></li>`).join('')
    : '<li class="empty">No applications with windows.</li>';
}

// ---- Codex ----

function codexAction(kind) {
  const payload = {kind};
  if (kind !== 'focus') {
    const prompt = $('codexPrompt').value;
    if (!prompt.trim()) {
      toast('Write a prompt first.', 'bad');
      return;
    }
    payload.prompt = prompt;
  }
  sendCommand('codex_action', payload);
}

async function codexSnapshot() {
  const command = await sendCommand('codex_snapshot', {}, {quiet: true});
  const snapshot = command?.status === 'succeeded' ? command.result?.snapshot : null;
  if (!snapshot)
    return;
  renderDetails($('codexDetails'), [
    ['Command-line tool', snapshot.cliAvailable ? 'available' + (snapshot.cliVersion ? ' (' + snapshot.cliVersion + ')' : '') : 'not found'],
    ['App', snapshot.appRunning ? 'running' : 'not running'],
    ['Windows', (snapshot.windows || []).length],
    ['Projects', (snapshot.projects || []).length],
  ]);
}

// ---- tabs and start-up ----

function selectTab(name) {
  for (const tab of document.querySelectorAll('[data-tab]'))
    tab.setAttribute('aria-selected', String(tab.dataset.tab === name));
  for (const panel of document.querySelectorAll('[data-panel]'))
    panel.hidden = panel.dataset.panel !== name;
  if (name === 'security' && isPaired())
    loadAudit();
  if (name === 'phone' && isPaired() && !phoneRunning())
    loadPhoneSnapshot();
  if (name === 'apps')
    loadApps();
}

function bindControls() {
  $('pairForm').addEventListener('submit', pair);
  $('connectButton').addEventListener('click', connect);
  $('liveToggle').addEventListener('click', toggleLive);
  $('disconnectButton').addEventListener('click', () => disconnect());
  $('clearPairing').addEventListener('click', clearPairing);
  for (const tab of document.querySelectorAll('[data-tab]'))
    tab.addEventListener('click', () => selectTab(tab.dataset.tab));
  for (const button of document.querySelectorAll('[data-mode]'))
    button.addEventListener('click', () => setMode(button.dataset.mode));
  $('quality').addEventListener('change', sendQuality);
  $('keyField').addEventListener('keydown', onLiveKey);
  for (const button of document.querySelectorAll('[data-shortcut]')) {
    button.addEventListener('click', () => sendCommand('keyboard_shortcut', {
      key: button.dataset.shortcut,
      modifiers: button.dataset.modifiers ? button.dataset.modifiers.split(' ') : [],
    }));
  }
  $('doubleClickCentre').addEventListener('click', () => sendCommand('pointer_click',
    {normalizedX: 0.5, normalizedY: 0.5, button: 'left', clickCount: 2}));
  $('rightClickCentre').addEventListener('click', () => sendCommand('pointer_click',
    {normalizedX: 0.5, normalizedY: 0.5, button: 'right'}));
  $('textForm').addEventListener('submit', async (event) => {
    event.preventDefault();
    const text = $('textInput').value;
    if (!text)
      return;
    const command = await sendCommand('keyboard_text', {text});
    if (command?.status === 'succeeded')
      $('textInput').value = '';
  });
  $('clipboardForm').addEventListener('submit', (event) => {
    event.preventDefault();
    sendCommand('clipboard_set', {text: $('clipboardInput').value});
  });
  $('appsRefresh').addEventListener('click', loadApps);
  $('windowList').addEventListener('click', (event) => {
    const button = event.target.closest('[data-window]');
    const item = button && listedWindows[Number(button.dataset.window)];
    if (item)
      sendCommand('focus_window', item);
  });
  $('appList').addEventListener('click', (event) => {
    const button = event.target.closest('[data-app]');
    const app = button && listedApps[Number(button.dataset.app)];
    if (app)
      sendCommand('focus_app', {appName: app.name, bundleIdentifier: app.bundleIdentifier});
  });
  $('codexPaste').addEventListener('click', () => codexAction('pastePrompt'));
  $('codexSend').addEventListener('click', () => codexAction('sendPrompt'));
  $('codexFocus').addEventListener('click', () => codexAction('focus'));
  $('codexSnapshot').addEventListener('click', codexSnapshot);
  bindPhone();
  bindSecurity(disconnect);
  document.addEventListener('visibilitychange', () => {
    if (frames.running && !frames.busy)
      scheduleFrame();
  });
  bindScreen();
}

function start() {
  bindControls();
  setMode('click');
  readProfile();
  setPlatform(state.profile?.platform);
  showCodexTab(state.profile?.codex === true);
  updateButtons();
  if (!window.isSecureContext || !window.crypto?.subtle) {
    $('secureNotice').hidden = false;
    for (const id of ['pairButton', 'connectButton', 'liveToggle'])
      $(id).disabled = true;
    return;
  }
  // A remembered pairing picks up where the last visit left off.
  if (isPaired())
    connect();
}

start();
