// What the page tells the person in front of it: toasts, the status lines, and wording that
// follows the platform of the desktop being controlled.

export const $ = (id) => document.getElementById(id);

const TOAST_MS = 2600;
const TOAST_LIMIT = 3;

export function escapeHTML(value) {
  return String(value ?? '').replace(/[&<>"']/g, (c) => (
    {'&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;'}[c]));
}

// Wording that names the controlled desktop, by the platform the agent reports; an agent of a
// platform without an entry, or none known yet (before pairing), gets the Linux words.
const PLATFORM_TEXT = {
  linux: {
    shortcutModifier: 'control',
    modifierLabel: 'Ctrl',
    switchModifier: 'option',
    switchLabel: 'Alt Tab',
    codeSource: 'the agent shows',
    computer: 'this computer',
    clipboard: 'Desktop clipboard',
  },
};
const NEUTRAL_TEXT = PLATFORM_TEXT.linux;

let platformText = NEUTRAL_TEXT;

export function setPlatform(platform) {
  platformText = PLATFORM_TEXT[platform] ?? NEUTRAL_TEXT;
  for (const button of document.querySelectorAll('[data-shortcut][data-platform-modifier]')) {
    const isSwitch = button.dataset.shortcut === 'tab';
    button.dataset.modifiers = isSwitch ? platformText.switchModifier : platformText.shortcutModifier;
    button.textContent = isSwitch ? platformText.switchLabel
                                  : platformText.modifierLabel + ' ' + button.dataset.shortcut.toUpperCase();
  }
}

export const words = () => platformText;

// Reason codes the agent answers with, said as sentences; the code itself goes in small print.
const SENTENCES = {
  invalid_web_pairing_code: () => 'That code is not the one the agent shows.',
  too_many_web_pairing_failures: () => 'Too many wrong codes: wait a minute, then try again.',
  too_many_auth_failures: () => 'Too many refused requests: wait a minute, then try again.',
  invalid_direct_access_token: () =>
    'Direct access changed on ' + platformText.computer + ': pair this browser again.',
  remote_peer_blocked: () => 'The agent has blocked this address.',
  session_not_found: () => 'The session has ended: connect again.',
  screen_frame_not_available: () => 'The agent has no picture of the screen yet.',
  unknown_command_type: () => 'The agent cannot do that.',
  live_channel_closed: () => 'The live view closed before the command went out.',
  command_result_timeout: () => 'The agent did not answer the command in time.',
  live_view_closed: () => 'The live view closed before the agent answered.',
  frame_too_short: () => 'A frame arrived damaged.',
  'Failed to fetch': () => 'The agent cannot be reached.',
};

// The sentence for a failure, or the failure's own text when it already is one.
export const explain = (reason) => SENTENCES[reason]?.() ?? reason;

// A message element: the sentence, and under it the reason code when it was translated.
function fillMessage(element, reason) {
  const sentence = explain(reason);
  element.textContent = sentence;
  if (sentence !== reason) {
    const code = document.createElement('small');
    code.className = 'reason';
    code.textContent = reason;
    element.append(code);
  }
}

// The same message again restarts its toast rather than stacking a copy.
export function toast(reason, tone) {
  const shelf = $('toasts');
  let element = [...shelf.children].find((child) => child.dataset.reason === reason);
  if (element) {
    clearTimeout(element.timer);
  } else {
    element = document.createElement('div');
    element.className = 'toast';
    element.dataset.reason = reason;
    fillMessage(element, reason);
    shelf.append(element);
    while (shelf.children.length > TOAST_LIMIT)
      shelf.firstElementChild.remove();
  }
  setTone(element, tone);
  element.timer = setTimeout(() => element.remove(), TOAST_MS);
}

function setTone(element, tone) {
  if (tone)
    element.dataset.tone = tone;
  else
    delete element.dataset.tone;
}

export const failed = (error) => toast(error.message, 'bad');

export function setConnectionState(text, tone) {
  const pill = $('connectionState');
  pill.textContent = text;
  setTone(pill, tone);
}

export function setStatusMessage(reason) { fillMessage($('statusMessage'), reason); }

export function setFrameStatus(text, reason, tone) {
  const status = $('frameStatus');
  status.textContent = text;
  setTone(status, tone);
  fillMessage($('frameMessage'), reason || '');
}

export function renderDetails(list, rows) {
  list.innerHTML = rows.filter(([, value]) => value !== undefined && value !== null && value !== '')
                       .map(([name, value]) => `<dt>${escapeHTML(name)}</dt><dd>${escapeHTML(value)}</dd>`)
                       .join('');
}
