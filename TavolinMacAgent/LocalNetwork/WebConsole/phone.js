// Phone host mode: the agent relays a phone's screen; the page starts and stops it and polls the
// latest frame with the stream's health.
import {api, requireToken} from './api.js';
import {base64ToBytes} from './crypto.js';
import {$, explain, renderDetails, toast} from './ui.js';

const DELAY = {visible: 260, hidden: 1200};

const phone = {timer: 0, busy: false, running: false, url: ''};

export const phoneRunning = () => phone.running;

function showFailure(error) {
  $('phoneReason').textContent = explain(error.message);
  toast(error.message, 'bad');
}

function render(snapshot, frame) {
  $('phoneReason').textContent = '';
  if (!snapshot)
    return;
  const latest = snapshot.latestFrame || {};
  const fixed = (value, digits, unit) => (typeof value === 'number' ? value.toFixed(digits) + unit : undefined);
  renderDetails($('phoneDetails'), [
    ['State', snapshot.state],
    ['Health', snapshot.streamHealth],
    ['Status', snapshot.statusMessage],
    ['Route', snapshot.routeName],
    ['Device', snapshot.deviceName],
    ['Quality', snapshot.qualityPreset || latest.qualityPreset],
    ['Resolution', latest.width && latest.height ? latest.width + ' × ' + latest.height : undefined],
    ['Frame rate', fixed(latest.framesPerSecond, 1, ' fps')],
    ['Bit rate', fixed(latest.bitrateKbps, 0, ' kbps')],
    ['Delay', fixed(latest.latencyMilliseconds, 0, ' ms')],
    ['Last frame', fixed(snapshot.secondsSinceLastFrame, 1, ' s ago')],
    ['Encryption', snapshot.encryption],
  ]);
  if (frame?.imageBase64) {
    // The agent has already opened the phone's sealing: this is a plain JPEG.
    const url = URL.createObjectURL(new Blob([base64ToBytes(frame.imageBase64)], {type: 'image/jpeg'}));
    $('phoneFrame').src = url;
    if (phone.url)
      URL.revokeObjectURL(phone.url);
    phone.url = url;
  }
}

export async function loadPhoneSnapshot() {
  if (!requireToken())
    return;
  try {
    render((await api('GET', '/v1/controllers/phone-host/snapshot'))?.snapshot);
  } catch (error) {
    showFailure(error);
  }
}

async function startPhone() {
  if (!requireToken())
    return;
  try {
    render((await api('POST', '/v1/controllers/phone-host/start'))?.snapshot);
  } catch (error) {
    showFailure(error);
    return;
  }
  phone.running = true;
  schedule(0);
}

export function stopPhoneLoop() {
  phone.running = false;
  clearTimeout(phone.timer);
  phone.timer = 0;
}

async function stopPhone() {
  if (!requireToken())
    return;
  stopPhoneLoop();
  try {
    await api('POST', '/v1/controllers/phone-host/stop');
  } catch (error) {
    showFailure(error);
    return;
  }
  await loadPhoneSnapshot();
}

function schedule(delay = document.visibilityState === 'hidden' ? DELAY.hidden : DELAY.visible) {
  clearTimeout(phone.timer);
  phone.timer = setTimeout(tick, delay);
}

async function tick() {
  if (!phone.running)
    return;
  if (!phone.busy) {
    phone.busy = true;
    try {
      const answer = await api('GET', '/v1/controllers/phone-host/frame/latest');
      if (phone.running)
        render(answer?.snapshot, answer?.frame);
    } catch (error) {
      if (phone.running)
        $('phoneReason').textContent = explain(error.message);
    } finally {
      phone.busy = false;
    }
  }
  if (phone.running)
    schedule();
}

async function openMirroring() {
  if (!requireToken())
    return;
  try {
    const answer = await api('POST', '/v1/local/phone-viewer/open-mirroring');
    toast(answer?.opened ? 'Phone mirroring opened' : 'Phone mirroring is not available here');
  } catch (error) {
    showFailure(error);
  }
}

export function bindPhone() {
  $('phoneStart').addEventListener('click', startPhone);
  $('phoneStop').addEventListener('click', stopPhone);
  $('phoneRefresh').addEventListener('click', loadPhoneSnapshot);
  $('phoneMirroring').addEventListener('click', openMirroring);
  document.addEventListener('visibilitychange', () => {
    if (phone.running && !phone.busy)
      schedule();
  });
}
