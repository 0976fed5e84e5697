// A controller on the hosted route: the control plane's API through fetch, and the web console's
// crypto (through webcrypto-controller.mjs) with one key pair per session. It reads one JSON
// request per line on standard input and answers each with one JSON line on standard output:
// {"ok":true, ...result} or {"ok":false,"error":"..."}, an HTTP failure as "HTTP <code>: <body>".
//
//   start {baseURL, bootstrapToken}          bootstraps the owner and creates this controller
//   approve {code} -> {device}               approves the enrolment with that pairing code
//   deny {code} -> {request}                 refuses it
//   revoke {deviceId} -> {device}            revokes an enrolled device
//   device {deviceId} -> {device, snapshot}
//   createSession {deviceId, metadata, keyOf} -> {session}
//                                            metadata gets the public key of a fresh key pair,
//                                            or of the one session keyOf was created with
//   session {sessionId} -> {session}
//   end {sessionId, reason} -> {session}
//   enqueue {sessionId, commands:[{type, payload}]} -> {commands}
//                                            each sealed for the session, queued in order
//   commands {ids} -> {commands}
//   frame {sessionId} -> {frame, jpegBase64} the latest screen frame and its opened JPEG
import readline from 'node:readline';

import {
  bytesToBase64,
  exportPublicKey,
  generateKeyPair,
} from '../../TavolinMacAgent/LocalNetwork/WebConsole/crypto.js';

import {openedFrame, sealedCommand} from './webcrypto-controller.mjs';

let baseURL = '';
let controllerToken = '';
// Per session id: the key pair its metadata names and the agent's public key.
const sessionKeys = new Map();

async function api(method, path, {token = controllerToken, headers = {}, body} = {}) {
  const response = await fetch(baseURL + path, {
    method,
    headers: {
      accept: 'application/json',
      ...(token ? {authorization: `Bearer ${token}`} : {}),
      ...(body === undefined ? {} : {'content-type': 'application/json'}),
      ...headers,
    },
    body: body === undefined ? undefined : JSON.stringify(body),
  });
  const text = await response.text();
  if (!response.ok)
    throw new Error(`HTTP ${response.status}: ${text}`);
  return JSON.parse(text);
}

const sessionPath = (sessionId) => `/v1/controllers/sessions/${encodeURIComponent(sessionId)}`;

function keysOf(sessionId) {
  const keys = sessionKeys.get(sessionId);
  if (!keys)
    throw new Error(`no key pair for session ${sessionId}`);
  return keys;
}

const operations = {
  async start(request) {
    baseURL = request.baseURL;
    const headers = {'x-bootstrap-token': request.bootstrapToken};
    const owner = await api('POST', '/v1/bootstrap/owner',
                            {headers, body: {displayName: 'Tester', credentialLabel: 'test'}});
    const identity = await generateKeyPair();
    const created = await api('POST', '/v1/owner/controllers', {
      token: owner.ownerToken,
      body: {
        name: 'Hosted test',
        platform: 'web',
        publicKey: await exportPublicKey(identity.publicKey),
      },
    });
    controllerToken = created.controllerToken;
    return {controller: created.controller};
  },

  approve: (request) =>
      api('POST', '/v1/controllers/enrollment-requests/approve', {body: {code: request.code}}),

  deny: (request) =>
      api('POST', '/v1/controllers/enrollment-requests/deny', {body: {code: request.code}}),

  revoke: (request) =>
      api('POST', `/v1/controllers/devices/${encodeURIComponent(request.deviceId)}/revoke`),

  device: (request) =>
      api('GET', `/v1/controllers/devices/${encodeURIComponent(request.deviceId)}`),

  async createSession(request) {
    const {device} = await operations.device(request);
    const pair = request.keyOf ? keysOf(request.keyOf).pair : await generateKeyPair();
    const metadata = {
      ...request.metadata,
      controllerPublicKey: await exportPublicKey(pair.publicKey),
    };
    const created = await api('POST', '/v1/controllers/sessions',
                              {body: {deviceId: device.id, transportMode: 'hybrid', metadata}});
    sessionKeys.set(created.session.id, {pair, agentPublicKey: device.publicKey});
    return created;
  },

  session: (request) => api('GET', sessionPath(request.sessionId)),

  end: (request) =>
      api('POST', `${sessionPath(request.sessionId)}/end`, {body: {reason: request.reason}}),

  async enqueue(request) {
    const {pair, agentPublicKey} = keysOf(request.sessionId);
    const commands = [];
    for (const command of request.commands) {
      const sealed = await sealedCommand(pair, agentPublicKey, request.sessionId,
                                         {...command, commandId: crypto.randomUUID()});
      const queued =
          await api('POST', `${sessionPath(request.sessionId)}/commands`, {body: sealed});
      commands.push(queued.command);
    }
    return {commands};
  },

  async commands(request) {
    const commands = [];
    for (const id of request.ids) {
      const read = await api('GET', `/v1/controllers/commands/${encodeURIComponent(id)}`);
      commands.push(read.command);
    }
    return {commands};
  },

  async frame(request) {
    const {pair, agentPublicKey} = keysOf(request.sessionId);
    const {frame} = await api('GET', `${sessionPath(request.sessionId)}/screen/latest`);
    const jpeg = await openedFrame(pair.privateKey, agentPublicKey, request.sessionId,
                                   frame.imageBase64);
    return {frame, jpegBase64: bytesToBase64(jpeg)};
  },
};

for await (const line of readline.createInterface({input: process.stdin})) {
  let answer;
  try {
    const request = JSON.parse(line);
    const operation = operations[request.op];
    if (!operation)
      throw new Error(`unknown op ${request.op}`);
    answer = {ok: true, ...(await operation(request))};
  } catch (error) {
    answer = {ok: false, error: String(error.message ?? error)};
  }
  process.stdout.write(JSON.stringify(answer) + '\n');
}
