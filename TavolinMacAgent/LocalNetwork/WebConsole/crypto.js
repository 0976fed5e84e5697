// A controller's session crypto, WebCrypto only. The page uses it and the interop tests run this
// same file under Node, so nothing here may touch the DOM.

export const FRAME_LABEL = 'tavolin-screen-frame-v1';
export const COMMAND_LABEL = 'tavolin-command-v1';
export const ECDH = {name: 'ECDH', namedCurve: 'P-256'};

const subtle = () => globalThis.crypto.subtle;
const utf8 = new TextEncoder();

export function bytesToBase64(bytes) {
  let binary = '';
  // Chunked: spreading a whole frame into one call overflows the argument limit.
  for (let i = 0; i < bytes.length; i += 0x8000)
    binary += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
  return btoa(binary);
}

export function base64ToBytes(text) {
  const binary = atob(text);
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; i++)
    bytes[i] = binary.charCodeAt(i);
  return bytes;
}

export function bytesToBase64URL(bytes) {
  return bytesToBase64(bytes).replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '');
}

export function base64URLToBytes(text) {
  let standard = text.replace(/-/g, '+').replace(/_/g, '/');
  while (standard.length % 4)
    standard += '=';
  return base64ToBytes(standard);
}

export function generateKeyPair() { return subtle().generateKey(ECDH, true, ['deriveBits']); }

// Keys travel as the raw 64-byte X ‖ Y in base64url; WebCrypto wants the 0x04 prefix.
export async function exportPublicKey(publicKey) {
  const prefixed = new Uint8Array(await subtle().exportKey('raw', publicKey));
  return bytesToBase64URL(prefixed.subarray(1));
}

async function importPeerKey(base64url) {
  const raw = base64URLToBytes(base64url);
  if (raw.length !== 64)
    throw new Error('invalid_agent_public_key');
  const prefixed = new Uint8Array(65);
  prefixed[0] = 4;
  prefixed.set(raw, 1);
  return subtle().importKey('raw', prefixed, ECDH, false, []);
}

async function keyMaterial(privateKey, peerPublicKey, usage) {
  const peer = await importPeerKey(peerPublicKey);
  const shared = await subtle().deriveBits({name: 'ECDH', public: peer}, privateKey, 256);
  return subtle().importKey('raw', shared, 'HKDF', false, [usage]);
}

const hkdf = (sessionId, label) =>
    ({name: 'HKDF', hash: 'SHA-256', salt: utf8.encode(sessionId), info: utf8.encode(label)});

// The AES-GCM key both sides derive for one session and purpose (label).
export async function deriveSessionKey(privateKey, peerPublicKey, sessionId, label) {
  return subtle().deriveKey(hkdf(sessionId, label),
                            await keyMaterial(privateKey, peerPublicKey, 'deriveKey'),
                            {name: 'AES-GCM', length: 256}, false, ['encrypt', 'decrypt']);
}

// The same key as bytes, for comparing with another implementation's derivation.
export async function deriveSessionKeyBytes(privateKey, peerPublicKey, sessionId, label) {
  return new Uint8Array(await subtle().deriveBits(
      hkdf(sessionId, label), await keyMaterial(privateKey, peerPublicKey, 'deriveBits'), 256));
}

// Sealed = 12-byte nonce ‖ ciphertext ‖ 16-byte tag.
export async function seal(key, plaintext) {
  const iv = globalThis.crypto.getRandomValues(new Uint8Array(12));
  const ciphertext = new Uint8Array(await subtle().encrypt({name: 'AES-GCM', iv}, key, plaintext));
  const sealed = new Uint8Array(iv.length + ciphertext.length);
  sealed.set(iv);
  sealed.set(ciphertext, iv.length);
  return sealed;
}

export async function open(key, sealed) {
  return new Uint8Array(await subtle().decrypt({name: 'AES-GCM', iv: sealed.subarray(0, 12)}, key,
                                               sealed.subarray(12)));
}

// The body posted for a command: the inner envelope sealed with the session's command key.
export async function sealCommand(key, senderPublicKey, envelope) {
  const sealed = await seal(key, utf8.encode(JSON.stringify(envelope)));
  return {
    type: 'encrypted_command',
    payload: {
      encryption: 'p256-hkdf-sha256-aes-gcm',
      contentFormat: 'tavolin-command-v1+json',
      senderPublicKey,
      commandBase64: bytesToBase64(sealed),
      byteLength: sealed.length,
    },
    idempotencyKey: envelope.idempotencyKey,
  };
}
