// The console's state and its calls to the agent: the saved pairing, the browser's key pair, the
// bearer token, and commands sealed for the open session.
import {
  COMMAND_LABEL,
  deriveSessionKey,
  exportPublicKey,
  FRAME_LABEL,
  generateKeyPair,
  open,
  base64ToBytes,
  sealCommand as sealCommandBody,
} from './crypto.js';
import {toast} from './ui.js';

const PROFILE_KEY = 'tavolin.webConsole.profile.v1';
const KEY_DATABASE = 'TavolinWebConsole';
const KEY_STORE = 'keys';
const KEY_PAIR_ENTRY = 'controllerKeyPair';

export const state = {
  profile: null,
  keyPair: null,
  publicKey: '',
  token: '',
  device: null,
  session: null,
  // The live view's command channel: (sealed) => Promise<command>, or null while it is closed.
  commandChannel: null,
  keys: new Map(),
  commands: Promise.resolve(),
};

export const isPaired = () => Boolean(state.profile?.directSecret);

export function readProfile() {
  try {
    const profile = JSON.parse(localStorage.getItem(PROFILE_KEY) || 'null');
    state.profile = profile && typeof profile === 'object' ? profile : null;
  } catch {
    state.profile = null;
  }
  return state.profile;
}

export function saveProfile() { localStorage.setItem(PROFILE_KEY, JSON.stringify(state.profile)); }

function keyStore(mode, action) {
  return new Promise((resolve, reject) => {
    const opening = indexedDB.open(KEY_DATABASE, 1);
    opening.onupgradeneeded = () => opening.result.createObjectStore(KEY_STORE);
    opening.onerror = () => reject(opening.error);
    opening.onsuccess = () => {
      const database = opening.result;
      const transaction = database.transaction(KEY_STORE, mode);
      const request = action(transaction.objectStore(KEY_STORE));
      transaction.oncomplete = () => { database.close(); resolve(request.result); };
      transaction.onerror = transaction.onabort = () => { database.close(); reject(transaction.error); };
    };
  });
}

export async function forgetPairing() {
  try {
    await keyStore('readwrite', (store) => store.clear());
  } catch {
    // Nothing was stored.
  }
  localStorage.removeItem(PROFILE_KEY);
}

let keyPairLoading = null;

// One key pair per browser, made on first use and kept in IndexedDB.
export function controllerKeyPair() {
  keyPairLoading ??= (async () => {
    let pair = await keyStore('readonly', (store) => store.get(KEY_PAIR_ENTRY));
    if (!pair) {
      pair = await generateKeyPair();
      await keyStore('readwrite', (store) => store.put(pair, KEY_PAIR_ENTRY));
    }
    state.keyPair = pair;
    state.publicKey = await exportPublicKey(pair.publicKey);
    return pair;
  })().catch((error) => { keyPairLoading = null; throw error; });
  return keyPairLoading;
}

export function buildToken() {
  state.token = isPaired() && state.publicKey
    ? 'direct.v1.' + state.profile.directSecret + '.' + state.publicKey
    : '';
  return state.token;
}

// A non-2xx answer throws the agent's reason code.
export async function api(method, path, body, {authorized = true} = {}) {
  const headers = {};
  if (authorized && state.token)
    headers.Authorization = 'Bearer ' + state.token;
  const init = {method, headers, cache: 'no-store'};
  if (body !== undefined) {
    headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  const response = await fetch(path, init);
  const text = await response.text();
  let data = null;
  try {
    data = text ? JSON.parse(text) : null;
  } catch {
    data = null;
  }
  if (!response.ok)
    throw new Error(typeof data?.error === 'string' && data.error ? data.error : 'HTTP ' + response.status);
  return data;
}

export const sessionPath = (suffix) =>
  '/v1/controllers/sessions/' + encodeURIComponent(state.session.id) + suffix;

// Keys are cached per label, session and agent key: a frame every 240 ms must not cost an ECDH.
function sessionKey(sessionId, label) {
  const agentKey = state.profile?.agentPublicKey || '';
  const cacheKey = label + '\n' + sessionId + '\n' + agentKey;
  if (!state.keys.has(cacheKey)) {
    if (state.keys.size > 8)
      state.keys.clear();
    const deriving = controllerKeyPair().then(
      ({privateKey}) => deriveSessionKey(privateKey, agentKey, sessionId, label));
    deriving.catch(() => state.keys.delete(cacheKey));
    state.keys.set(cacheKey, deriving);
  }
  return state.keys.get(cacheKey);
}

export async function openFrame(frame) {
  const sealed = base64ToBytes(frame.imageBase64);
  if (sealed.length < 28)
    throw new Error('frame_too_short');
  const jpeg = await open(await sessionKey(frame.sessionId, FRAME_LABEL), sealed);
  return new Blob([jpeg], {type: 'image/jpeg'});
}

export async function sealCommand(type, payload) {
  const id = crypto.randomUUID();
  return sealCommandBody(await sessionKey(state.session.id, COMMAND_LABEL), state.publicKey, {
    type, payload, sessionId: state.session.id, commandId: id, idempotencyKey: id,
    sentAt: new Date().toISOString(),
  });
}

// Commands go out one at a time so keys and clicks reach the desktop in the order made.
export function sendCommand(type, payload, {quiet = false} = {}) {
  const run = async () => {
    if (!state.session) {
      if (!quiet)
        toast('Connect first.', 'bad');
      return null;
    }
    try {
      const sealed = await sealCommand(type, payload);
      const overChannel = state.commandChannel?.(sealed);
      const command = overChannel
        ? await overChannel
        : (await api('POST', sessionPath('/commands'), sealed))?.command;
      if (command?.status === 'succeeded') {
        if (!quiet)
          toast('Command sent');
      } else {
        toast(command?.result?.reason || 'Command failed', 'bad');
      }
      return command;
    } catch (error) {
      toast(error.message, 'bad');
      return null;
    }
  };
  const result = state.commands.then(run);
  state.commands = result.catch(() => null);
  return result;
}

// Runs after the commands already queued, so a drag move never overtakes its button press.
export function afterCommands(action) { state.commands = state.commands.then(action); }

export function requireToken() {
  if (buildToken())
    return true;
  toast('Pair this browser first.', 'bad');
  return false;
}
