// The live view: a WebRTC peer connection the agent offers through the session's signals, video
// on the screen, and data channels for commands, low-latency input, pings and the clipboard.
import {api, sealCommand, sessionPath, state} from './api.js';
import {$, setConnectionState, setFrameStatus, toast, words} from './ui.js';

const SIGNAL_DELAY = {negotiating: 100, connected: 1000};
const VIDEO_TIMEOUT_MS = 8000;
const PING_INTERVAL_MS = 1000;
const RESULT_TIMEOUT_MS = 15000;
// Errors of this phase end the stream; others (a signal path the agent cannot use while another
// works) are only reported.
const START_FAILURE_PHASE = 'mac_webrtc_start';
const CHANNELS = {
  telemetry: 'tavolin.telemetry', input: 'tavolin.input', commands: 'tavolin.commands',
  clipboard: 'tavolin.clipboard',
};

let live = null;

export const isLive = () => live !== null;

function channelOpen(name) { return live?.channels[CHANNELS[name]]?.readyState === 'open'; }

export const inputChannelOpen = () => channelOpen('input');

function sendOnChannel(name, message) {
  if (!channelOpen(name))
    return false;
  live.channels[CHANNELS[name]].send(JSON.stringify(message));
  return true;
}

function directCommand(sealed, {expectsResult, idempotencyKey = sealed.idempotencyKey}) {
  return {
    type: 'command',
    commandId: sealed.idempotencyKey,
    sessionId: state.session.id,
    commandType: sealed.type,
    payload: sealed.payload,
    idempotencyKey,
    expectsResult,
    sentAt: new Date().toISOString(),
  };
}

// A command on the commands channel, answered by its command_result; null while it is closed.
function sendOverChannel(sealed) {
  if (!channelOpen('commands'))
    return null;
  const current = live;
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      current.results.delete(sealed.idempotencyKey);
      reject(new Error('command_result_timeout'));
    }, RESULT_TIMEOUT_MS);
    current.results.set(sealed.idempotencyKey, (result) => { clearTimeout(timer); resolve(result); });
    if (!sendOnChannel('commands', directCommand(sealed, {expectsResult: true}))) {
      clearTimeout(timer);
      current.results.delete(sealed.idempotencyKey);
      reject(new Error('live_channel_closed'));
    }
  });
}

// Pointer moves and scrolls take the agent's low-latency path: no result, and a lost one is
// simply superseded by the next.
export async function sendLowLatency(type, payload) {
  if (!channelOpen('input'))
    return;
  const sealed = await sealCommand(type, payload);
  sendOnChannel('input', directCommand(sealed, {
    expectsResult: false, idempotencyKey: type + '-' + sealed.idempotencyKey,
  }));
}

const postSignal = (type, payload) => api('POST', sessionPath('/signals'), {type, payload});

// `onUnavailable(why)` is called once when the live view cannot be had.
export function startLive(onUnavailable) {
  const pc = new RTCPeerConnection({bundlePolicy: 'max-bundle'});
  const current = {
    pc, channels: {}, results: new Map(), pings: new Map(), after: 0, connected: false,
    remoteSet: false, pendingCandidates: [], signalTimer: 0, pingTimer: 0, videoTimer: 0,
    frames: 0, telemetry: [], ended: false,
    unavailable: (why) => { if (!current.ended) onUnavailable(why); },
  };
  live = current;
  state.commandChannel = sendOverChannel;
  const video = $('liveVideo');
  pc.ontrack = (event) => {
    // Show each frame as soon as it is decoded: a remote screen wants latency, not smoothness.
    if ('playoutDelayHint' in event.receiver)
      event.receiver.playoutDelayHint = 0;
    if ('jitterBufferTarget' in event.receiver)
      event.receiver.jitterBufferTarget = 0;
    video.srcObject = event.streams[0] || new MediaStream([event.track]);
  };
  pc.onicecandidate = ({candidate}) => {
    if (!candidate?.candidate || current.ended)
      return;
    postSignal('ice', {
      candidate: candidate.candidate, sdpMid: candidate.sdpMid, sdpMLineIndex: candidate.sdpMLineIndex,
    }).catch(() => {});
  };
  pc.onconnectionstatechange = () => {
    if (current.ended)
      return;
    if (pc.connectionState === 'connected') {
      current.connected = true;
      setConnectionState('Live', 'ok');
    } else if (pc.connectionState === 'failed') {
      current.unavailable('the connection failed');
    }
  };
  pc.ondatachannel = ({channel}) => {
    current.channels[channel.label] = channel;
    channel.onmessage = (event) => {
      if (typeof event.data === 'string')
        onLiveMessage(current, event.data);
    };
    if (channel.label === CHANNELS.commands)
      channel.onopen = () => sendPing(current);
  };
  setFrameStatus('Live: negotiating', '');
  $('screen').hidden = true;
  video.hidden = false;
  watchVideoFrames(current);
  current.videoTimer = setTimeout(() => {
    if (!current.frames)
      current.unavailable('no video arrived');
  }, VIDEO_TIMEOUT_MS);
  current.pingTimer = setInterval(() => sendPing(current), PING_INTERVAL_MS);
  pollSignals(current);
}

function watchVideoFrames(current) {
  const video = $('liveVideo');
  const onFrame = () => {
    if (current.ended)
      return;
    current.frames += 1;
    $('frameCounter').textContent = String(current.frames);
    if (current.frames === 1) {
      $('screenPlaceholder').hidden = true;
      setFrameStatus('Live: playing', '');
    }
    video.requestVideoFrameCallback(onFrame);
  };
  video.requestVideoFrameCallback(onFrame);
}

async function pollSignals(current) {
  if (current.ended)
    return;
  try {
    const answer = await api('GET', sessionPath('/signals?after=' + current.after));
    for (const signal of answer?.signals || []) {
      if (current.ended)
        return;
      current.after = Math.max(current.after, signal.sequence || 0);
      // A hosted control plane lists the page's own signals too.
      if (signal.sender !== 'controller')
        await onAgentSignal(current, signal);
    }
  } catch (error) {
    if (!current.ended)
      setFrameStatus('Live: negotiating', error.message, 'bad');
  }
  if (current.ended)
    return;
  const delay = current.connected ? SIGNAL_DELAY.connected : SIGNAL_DELAY.negotiating;
  current.signalTimer = setTimeout(() => pollSignals(current), delay);
}

async function onAgentSignal(current, signal) {
  const payload = signal.payload || {};
  if (signal.type === 'offer' && typeof payload.sdp === 'string' && !current.remoteSet) {
    try {
      await current.pc.setRemoteDescription({type: 'offer', sdp: payload.sdp});
      current.remoteSet = true;
      for (const candidate of current.pendingCandidates.splice(0))
        await current.pc.addIceCandidate(candidate);
      const description = await current.pc.createAnswer();
      await current.pc.setLocalDescription(description);
      await postSignal('answer', {sdp: description.sdp, type: 'answer', sdpType: 'answer'});
    } catch (error) {
      current.unavailable(error.message);
    }
  } else if (signal.type === 'ice' && typeof payload.candidate === 'string') {
    const candidate = {
      candidate: payload.candidate,
      sdpMid: payload.sdpMid ?? null,
      sdpMLineIndex: payload.sdpMLineIndex ?? null,
    };
    if (current.remoteSet)
      await current.pc.addIceCandidate(candidate).catch(() => {});
    else
      current.pendingCandidates.push(candidate);
  } else if (signal.type === 'error' && payload.phase === START_FAILURE_PHASE) {
    current.unavailable(payload.message || 'the agent could not start it');
  } else if (signal.type === 'disconnected') {
    current.unavailable('the agent ended it');
  }
}

function sendPing(current) {
  if (current.ended || !state.session)
    return;
  const pingId = crypto.randomUUID();
  if (sendOnChannel('commands', {
    type: 'ping', pingId, sessionId: state.session.id, sentAt: new Date().toISOString(),
  })) {
    current.pings.set(pingId, performance.now());
    // Unanswered pings are forgotten rather than collected.
    while (current.pings.size > 10)
      current.pings.delete(current.pings.keys().next().value);
  }
}

function onLiveMessage(current, text) {
  let message;
  try {
    message = JSON.parse(text);
  } catch {
    return;
  }
  if (current.ended || !message || typeof message !== 'object')
    return;
  if (message.type === 'pong') {
    const sentAt = current.pings.get(message.pingId);
    if (sentAt === undefined)
      return;
    current.pings.delete(message.pingId);
    $('rttLabel').textContent = Math.round(performance.now() - sentAt) + ' ms';
  } else if (message.type === 'command_result') {
    const settle = current.results.get(message.commandId);
    current.results.delete(message.commandId);
    settle?.({id: message.commandId, status: message.status, result: message.result || {}});
  } else if (message.type === 'frame_telemetry') {
    showTelemetry(current, message);
  } else if (message.type === 'clipboard_update' && typeof message.text === 'string') {
    const line = $('remoteClipboard');
    line.textContent = words().clipboard + ': ' + message.text;
    line.hidden = false;
    toast(words().clipboard + ' updated');
  }
}

function showTelemetry(current, message) {
  const now = performance.now();
  current.telemetry.push({at: now, frameId: Number(message.frameId) || 0});
  while (current.telemetry.length > 2 && now - current.telemetry[0].at > 2000)
    current.telemetry.shift();
  const first = current.telemetry[0];
  const span = (now - first.at) / 1000;
  const framesBetween = current.telemetry.at(-1).frameId - first.frameId;
  if (span > 0 && framesBetween > 0)
    $('fpsLabel').textContent = (framesBetween / span).toFixed(1);
  if (message.width && message.height)
    $('sizeLabel').textContent = message.width + ' × ' + message.height;
}

export async function stopLive(reason) {
  const current = live;
  if (!current)
    return;
  current.ended = true;
  live = null;
  state.commandChannel = null;
  clearTimeout(current.signalTimer);
  clearTimeout(current.videoTimer);
  clearInterval(current.pingTimer);
  for (const settle of current.results.values())
    settle({status: 'failed', result: {reason: 'live_view_closed'}});
  current.pc.close();
  const video = $('liveVideo');
  video.srcObject = null;
  video.hidden = true;
  $('screen').hidden = false;
  $('rttLabel').textContent = '–';
  $('fpsLabel').textContent = '–';
  if (state.session)
    await postSignal('disconnected', {reason}).catch(() => {});
}
