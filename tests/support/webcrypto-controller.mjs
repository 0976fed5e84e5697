// A controller's side of the session crypto written the way a browser does it: WebCrypto only
// (crypto.subtle), btoa/atob for Base64. Reads one JSON request on stdin, writes one JSON answer
// on stdout.
//
//   {"operation":"seal", "agentPublicKey", "sessionId", "command":{type,payload,commandId},
//    "frameBase64"}
//     -> a fresh controller key pair seals the command envelope and the frame (when given) for
//        the agent.
//   {"operation":"open", "controllerPrivateKeyJwk", "agentPublicKey", "sessionId",
//    "commandBase64", "frameBase64"}
//     -> opens what the agent sealed; a failure is reported by the error's name.

// A browser's `crypto` object; Node 18 keeps it in node:crypto rather than on the global.
const webcrypto = globalThis.crypto ?? (await import('node:crypto')).webcrypto;
const subtle = webcrypto.subtle;
const encoder = new TextEncoder();
const decoder = new TextDecoder('utf-8', {fatal: true});

const commandLabel = 'tavolin-command-v1';
const frameLabel = 'tavolin-screen-frame-v1';
const ecdh = {
  name: 'ECDH',
  namedCurve: 'P-256'
};

function bytesToBase64(bytes) {
  let binary = '';
  for (const byte of bytes)
    binary += String.fromCharCode(byte);
  return btoa(binary);
}

function base64ToBytes(text) { return Uint8Array.from(atob(text), (c) => c.charCodeAt(0)); }

function bytesToBase64URL(bytes) {
  return bytesToBase64(bytes).replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '');
}

function base64URLToBytes(text) {
  let standard = text.replace(/-/g, '+').replace(/_/g, '/');
  while (standard.length % 4 !== 0)
    standard += '=';
  return base64ToBytes(standard);
}

// Raw 64-byte X ‖ Y in base64url, as the agent publishes it; WebCrypto wants the 0x04 prefix.
async function importPeerKey(base64url) {
  const raw = base64URLToBytes(base64url);
  const prefixed = new Uint8Array(65);
  prefixed[0] = 4;
  prefixed.set(raw, 1);
  return subtle.importKey('raw', prefixed, ecdh, false, []);
}

async function exportRawPublicKey(publicKey) {
  const prefixed = new Uint8Array(await subtle.exportKey('raw', publicKey));
  return bytesToBase64URL(prefixed.subarray(1));
}

function hkdfParameters(sessionId, label) {
  return {
    name: 'HKDF',
    hash: 'SHA-256',
    salt: encoder.encode(sessionId),
    info: encoder.encode(label),
  };
}

async function sessionKey(privateKey, peerPublicKey, sessionId, label) {
  const shared = await subtle.deriveBits({name: 'ECDH', public: peerPublicKey}, privateKey, 256);
  const keyMaterial = await subtle.importKey('raw', shared, 'HKDF', false, ['deriveKey']);
  return subtle.deriveKey(
      hkdfParameters(sessionId, label),
      keyMaterial,
      {name: 'AES-GCM', length: 256},
      false,
      ['encrypt', 'decrypt'],
  );
}

// Only for the test to compare against the agent's derivation.
async function sessionKeyBits(privateKey, peerPublicKey, sessionId, label) {
  const shared = await subtle.deriveBits({name: 'ECDH', public: peerPublicKey}, privateKey, 256);
  const keyMaterial = await subtle.importKey('raw', shared, 'HKDF', false, ['deriveBits']);
  return new Uint8Array(
      await subtle.deriveBits(hkdfParameters(sessionId, label), keyMaterial, 256));
}

async function seal(key, plaintext) {
  const iv = webcrypto.getRandomValues(new Uint8Array(12));
  const ciphertext = new Uint8Array(
      await subtle.encrypt({name: 'AES-GCM', iv, tagLength: 128}, key, plaintext),
  );
  const sealed = new Uint8Array(iv.length + ciphertext.length);
  sealed.set(iv, 0);
  sealed.set(ciphertext, iv.length);
  return sealed;
}

async function open(key, sealed) {
  const plaintext = await subtle.decrypt(
      {name: 'AES-GCM', iv: sealed.subarray(0, 12), tagLength: 128},
      key,
      sealed.subarray(12),
  );
  return new Uint8Array(plaintext);
}

async function sealOperation(request) {
  const pair = await subtle.generateKey(ecdh, true, ['deriveBits']);
  const agentKey = await importPeerKey(request.agentPublicKey);
  const commandKey = await sessionKey(pair.privateKey, agentKey, request.sessionId, commandLabel);
  const frameKey = await sessionKey(pair.privateKey, agentKey, request.sessionId, frameLabel);
  const senderPublicKey = await exportRawPublicKey(pair.publicKey);

  const envelope = {
    type: request.command.type,
    payload: request.command.payload,
    sessionId: request.sessionId,
    commandId: request.command.commandId,
    idempotencyKey: webcrypto.randomUUID(),
    sentAt: new Date().toISOString(),
  };
  const sealedCommand = await seal(commandKey, encoder.encode(JSON.stringify(envelope)));
  const sealedFrame = await seal(frameKey, base64ToBytes(request.frameBase64 ?? ''));
  const commandKeyBits = await sessionKeyBits(
      pair.privateKey,
      agentKey,
      request.sessionId,
      commandLabel,
  );

  return {
    controllerPublicKey: senderPublicKey,
    controllerPrivateKeyJwk: await subtle.exportKey('jwk', pair.privateKey),
    commandKeyHex: Array.from(commandKeyBits, (b) => b.toString(16).padStart(2, '0')).join(''),
    encryptedCommand: {
      type: 'encrypted_command',
      payload: {
        encryption: 'p256-hkdf-sha256-aes-gcm',
        contentFormat: 'tavolin-command-v1+json',
        senderPublicKey,
        commandBase64: bytesToBase64(sealedCommand),
        byteLength: sealedCommand.length,
      },
    },
    frameBase64: request.frameBase64 ? bytesToBase64(sealedFrame) : null,
  };
}

async function attempt(action) {
  try {
    return {value: await action()};
  } catch (error) {
    return {error: error.name};
  }
}

async function openOperation(request) {
  const privateKey = await subtle.importKey('jwk', request.controllerPrivateKeyJwk, ecdh, false, [
    'deriveBits',
  ]);
  const agentKey = await importPeerKey(request.agentPublicKey);
  const commandKey = await sessionKey(privateKey, agentKey, request.sessionId, commandLabel);
  const frameKey = await sessionKey(privateKey, agentKey, request.sessionId, frameLabel);

  const command = await attempt(
      async () => decoder.decode(await open(commandKey, base64ToBytes(request.commandBase64))),
  );
  const frame = await attempt(
      async () => bytesToBase64(await open(frameKey, base64ToBytes(request.frameBase64))),
  );
  return {
    command: command.value ?? null,
    commandError: command.error ?? null,
    frameBase64: frame.value ?? null,
    frameError: frame.error ?? null,
  };
}

async function readStandardInput() {
  const chunks = [];
  for await (const chunk of process.stdin)
    chunks.push(chunk);
  return Buffer.concat(chunks).toString('utf8');
}

const request = JSON.parse(await readStandardInput());
const operations = {
  seal: sealOperation,
  open: openOperation,
};
const operation = operations[request.operation];
if (!operation) {
  process.stderr.write(`unknown operation ${request.operation}\n`);
  process.exit(2);
}
process.stdout.write(JSON.stringify(await operation(request)) + '\n');
