// A controller's side of the session crypto: the web console's own crypto module run under Node.
// Run as a program it reads one JSON request on stdin and writes one JSON answer on stdout;
// hosted-controller.mjs imports its sealing and opening.
//
//   {"operation":"seal", "agentPublicKey", "sessionId", "command":{type,payload,commandId},
//    "frameBase64"}
//     -> a fresh controller key pair seals the command envelope and the frame (when given) for
//        the agent.
//   {"operation":"open", "controllerPrivateKeyJwk", "agentPublicKey", "sessionId",
//    "commandBase64", "frameBase64"}
//     -> opens what the agent sealed; a failure is reported by the error's name.
import {realpathSync} from 'node:fs';
import {pathToFileURL} from 'node:url';

import {
  base64ToBytes,
  bytesToBase64,
  COMMAND_LABEL,
  deriveSessionKey,
  deriveSessionKeyBytes,
  ECDH,
  exportPublicKey,
  FRAME_LABEL,
  generateKeyPair,
  open,
  seal,
  sealCommand,
} from '../../TavolinMacAgent/LocalNetwork/WebConsole/crypto.js';

// The encrypted_command a controller holding `pair` posts for `command` ({type, payload,
// commandId}) in the agent's session, as the console seals it.
export async function sealedCommand(pair, agentPublicKey, sessionId, command) {
  const key = await deriveSessionKey(pair.privateKey, agentPublicKey, sessionId, COMMAND_LABEL);
  return sealCommand(key, await exportPublicKey(pair.publicKey), {
    type: command.type,
    payload: command.payload,
    sessionId,
    commandId: command.commandId,
    idempotencyKey: crypto.randomUUID(),
    sentAt: new Date().toISOString(),
  });
}

// The bytes of a screen frame the agent sealed for the controller's `privateKey`.
export async function openedFrame(privateKey, agentPublicKey, sessionId, frameBase64) {
  const key = await deriveSessionKey(privateKey, agentPublicKey, sessionId, FRAME_LABEL);
  return open(key, base64ToBytes(frameBase64));
}

async function sealOperation(request) {
  const pair = await generateKeyPair();
  const derive = (label) =>
      deriveSessionKey(pair.privateKey, request.agentPublicKey, request.sessionId, label);
  const senderPublicKey = await exportPublicKey(pair.publicKey);
  const encryptedCommand =
      await sealedCommand(pair, request.agentPublicKey, request.sessionId, request.command);
  const commandKey = await deriveSessionKeyBytes(pair.privateKey, request.agentPublicKey,
                                                 request.sessionId, COMMAND_LABEL);
  const frame = request.frameBase64 ?
      bytesToBase64(await seal(await derive(FRAME_LABEL), base64ToBytes(request.frameBase64))) :
      null;
  return {
    controllerPublicKey: senderPublicKey,
    controllerPrivateKeyJwk: await crypto.subtle.exportKey('jwk', pair.privateKey),
    commandKeyHex: Array.from(commandKey, (b) => b.toString(16).padStart(2, '0')).join(''),
    encryptedCommand,
    frameBase64: frame,
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
  const privateKey = await crypto.subtle.importKey('jwk', request.controllerPrivateKeyJwk, ECDH,
                                                   false, ['deriveBits']);
  const derive = (label) =>
      deriveSessionKey(privateKey, request.agentPublicKey, request.sessionId, label);
  const decoder = new TextDecoder('utf-8', {fatal: true});
  const command = await attempt(async () => decoder.decode(
      await open(await derive(COMMAND_LABEL), base64ToBytes(request.commandBase64))));
  const frame = await attempt(async () => bytesToBase64(await openedFrame(
      privateKey, request.agentPublicKey, request.sessionId, request.frameBase64)));
  return {
    command: command.value ?? null,
    commandError: command.error ?? null,
    frameBase64: frame.value ?? null,
    frameError: frame.error ?? null,
  };
}

async function main() {
  const chunks = [];
  for await (const chunk of process.stdin)
    chunks.push(chunk);
  const request = JSON.parse(Buffer.concat(chunks).toString('utf8'));
  const operation = {seal: sealOperation, open: openOperation}[request.operation];
  if (!operation) {
    process.stderr.write(`unknown operation ${request.operation}\n`);
    process.exit(2);
  }
  process.stdout.write(JSON.stringify(await operation(request)) + '\n');
}

// Node names a module by its real path, symbolic links resolved.
if (import.meta.url === pathToFileURL(realpathSync(process.argv[1])).href)
  await main();
