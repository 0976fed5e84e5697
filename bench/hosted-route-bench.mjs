// The hosted route against a running agent and control plane, sealing commands with the web
// console's own crypto module. Prints one JSON line per figure:
// - the agent's CPU (percent of one core) and resident set while online with no session;
// - the control-plane requests per second its loop makes, idle and with one live session,
//   counted by a proxy between the agent and the control plane (the signal event stream, one
//   long-lived request, counted apart);
// - the round trip of a sealed "benchmark_noop" over the hosted route (enqueue until the
//   completion is read) and over the agent's local route (one request, answered with the
//   completion), and their ratio. The agent claims hosted commands in its 100 ms polls, so the
//   hosted figure is mostly the wait for the next poll.
//   node bench/hosted-route-bench.mjs <control plane URL> <bootstrap token> <work dir>
// Hand-over with the script that starts the agent: this writes <work dir>/proxy-port (the URL
// the agent must use) and waits for <work dir>/agent.json ({pid, base, code}); the agent's
// standard error is <work dir>/agent.log.
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';

import {
  COMMAND_LABEL,
  deriveSessionKey,
  exportPublicKey,
  generateKeyPair,
  sealCommand,
} from '../TavolinMacAgent/LocalNetwork/WebConsole/crypto.js';

const [controlPlane, bootstrapToken, workDir] = process.argv.slice(2);
const shortRun = Boolean(process.env.TAVOLIN_BENCH_SHORT);
const roundTrips = shortRun ? 10 : 200;
const cpuSeconds = shortRun ? 2 : 20;
const countSeconds = shortRun ? 2 : 10;
// How often the controller asks whether its hosted command completed: fine against the agent's
// 100 ms polls, without loading the two cores the agent shares.
const completionPollMs = 2;
const ticksPerSecond = 100;  // USER_HZ on Linux

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const rounded = (value, digits = 2) => Number(value.toFixed(digits));

function percentile(sorted, p) {
  const index = Math.min(sorted.length - 1, Math.max(0, Math.ceil(p * sorted.length) - 1));
  return sorted[index];
}

async function waitFor(what, check, timeoutMs, everyMs = 50) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = await check();
    if (value)
      return value;
    if (Date.now() > deadline)
      throw new Error(`timed out waiting for ${what}`);
    await sleep(everyMs);
  }
}

// Ids become ":id", so requests group by route.
const routeOf = (method, url) => method + ' ' +
    url.split('?')[0].split('/').map((part) => part.length > 3 && /\d/.test(part) ? ':id' : part)
        .join('/');

// Forwards everything to the control plane and counts what passes. Event streams are piped as
// they come, never buffered.
function startCountingProxy(target) {
  const upstream = new URL(target);
  const agent = new http.Agent({keepAlive: true});
  const counts = {requests: 0, byRoute: {}, streamsOpened: 0, streamsOpen: 0};
  const server = http.createServer((request, response) => {
    if (/\/signals\/events$/.test(request.url.split('?')[0])) {
      counts.streamsOpened += 1;
      counts.streamsOpen += 1;
      response.on('close', () => { counts.streamsOpen -= 1; });
    } else {
      const route = routeOf(request.method, request.url);
      counts.requests += 1;
      counts.byRoute[route] = (counts.byRoute[route] ?? 0) + 1;
    }
    const forwarded = http.request({
      host: upstream.hostname, port: upstream.port, method: request.method, path: request.url,
      headers: {...request.headers, host: upstream.host}, agent,
    }, (answer) => {
      response.writeHead(answer.statusCode, answer.headers);
      answer.pipe(response);
    });
    forwarded.on('error', () => response.destroy());
    request.pipe(forwarded);
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () =>
    resolve({server, counts, port: server.address().port})));
}

function snapshot(counts) {
  return {requests: counts.requests, byRoute: {...counts.byRoute},
          streamsOpened: counts.streamsOpened, at: performance.now()};
}

function requestFigure(state, before, after, counts) {
  const seconds = (after.at - before.at) / 1000;
  const byRoute = {};
  for (const [route, total] of Object.entries(after.byRoute)) {
    const inWindow = total - (before.byRoute[route] ?? 0);
    if (inWindow > 0)
      byRoute[route] = rounded(inWindow / seconds);
  }
  return {
    figure: 'agent_control_plane_requests',
    state,
    seconds: rounded(seconds, 1),
    requestsPerSecond: rounded((after.requests - before.requests) / seconds),
    requests: after.requests - before.requests,
    perSecondByRoute: byRoute,
    eventStreamsOpened: after.streamsOpened - before.streamsOpened,
    eventStreamsOpen: counts.streamsOpen,
  };
}

// The agent's user + system CPU time so far, in seconds, and its resident set in KiB.
function agentCPUSeconds(pid) {
  const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  return (Number(fields[11]) + Number(fields[12])) / ticksPerSecond;
}

function agentResidentKiB(pid) {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  return Number(/^VmRSS:\s+(\d+) kB/m.exec(status)[1]);
}

// A JSON call; a non-2xx answer throws with its body.
async function call(base, method, route, {token, headers = {}, body} = {}) {
  const init = {method, headers: {...headers}};
  if (token)
    init.headers.authorization = 'Bearer ' + token;
  if (body !== undefined) {
    init.headers['content-type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  const response = await fetch(base + route, init);
  const text = await response.text();
  if (!response.ok)
    throw new Error(`${method} ${route}: HTTP ${response.status} ${text}`);
  return text ? JSON.parse(text) : null;
}

function agentLog() { return fs.readFileSync(path.join(workDir, 'agent.log'), 'utf8'); }

// The body the console posts for a command, sealed for `sessionId`.
function sealed(key, publicKey, sessionId, sequence) {
  const id = crypto.randomUUID();
  return sealCommand(key, publicKey, {
    type: 'benchmark_noop', payload: {sequence, requestedAt: new Date().toISOString()},
    sessionId, commandId: id, idempotencyKey: id, sentAt: new Date().toISOString(),
  });
}

function checkCompleted(route, command) {
  if (command?.status !== 'succeeded' || command.result?.innerType !== 'benchmark_noop')
    throw new Error(`${route} command did not succeed: ${JSON.stringify(command)}`);
}

// Sealed commands one at a time; `send` resolves to the completed command. An uneven gap before
// each, so that hosted commands do not lock onto the agent's poll cadence.
async function roundTripFigure(route, key, publicKey, sessionId, send) {
  const trips = [];
  for (let sequence = 1; sequence <= roundTrips; sequence += 1) {
    await sleep(Math.random() * 100);
    const body = await sealed(key, publicKey, sessionId, sequence);
    const sentAt = performance.now();
    checkCompleted(route, await send(body));
    trips.push(performance.now() - sentAt);
  }
  trips.sort((a, b) => a - b);
  return {
    figure: 'command_round_trip',
    route,
    commands: trips.length,
    p50Ms: rounded(percentile(trips, 0.5)),
    p95Ms: rounded(percentile(trips, 0.95)),
    p99Ms: rounded(percentile(trips, 0.99)),
  };
}

const print = (figure) => console.log(JSON.stringify(figure));

async function main() {
  const proxy = await startCountingProxy(controlPlane);
  fs.writeFileSync(path.join(workDir, 'proxy-port.tmp'), String(proxy.port));
  fs.renameSync(path.join(workDir, 'proxy-port.tmp'), path.join(workDir, 'proxy-port'));
  const agentFile = path.join(workDir, 'agent.json');
  const agent = await waitFor('the agent', () =>
    fs.existsSync(agentFile) && JSON.parse(fs.readFileSync(agentFile, 'utf8')), 60000, 100);

  const pair = await generateKeyPair();
  const publicKey = await exportPublicKey(pair.publicKey);

  // Enrolment: an owner, a controller, and the agent's code approved.
  const {ownerToken} = await call(controlPlane, 'POST', '/v1/bootstrap/owner', {
    headers: {'x-bootstrap-token': bootstrapToken},
    body: {displayName: 'Bench', credentialLabel: 'bench'},
  });
  const {controllerToken} = await call(controlPlane, 'POST', '/v1/owner/controllers', {
    token: ownerToken, body: {name: 'Bench', platform: 'web', publicKey},
  });
  const code = await waitFor('the pairing code', () =>
    /TAVOLIN_AGENT_PAIRING code=(\d+)/.exec(agentLog())?.[1], 30000);
  await call(controlPlane, 'POST', '/v1/controllers/enrollment-requests/approve',
             {token: controllerToken, body: {code}});
  await waitFor('the agent online', () => /TAVOLIN_AGENT_ONLINE/.test(agentLog()), 30000);
  const {devices} = await call(controlPlane, 'GET', '/v1/controllers/devices',
                               {token: controllerToken});
  const device = devices[0];
  await sleep(1000);  // past the enrolment's own requests

  // Online with no session: CPU and memory over the long window, requests over the first part.
  const cpuBefore = agentCPUSeconds(agent.pid);
  const rssStart = agentResidentKiB(agent.pid);
  const cpuStartedAt = performance.now();
  const idleBefore = snapshot(proxy.counts);
  await sleep(countSeconds * 1000);
  const idleAfter = snapshot(proxy.counts);
  await sleep(Math.max(0, cpuSeconds - countSeconds) * 1000);
  const cpuElapsed = (performance.now() - cpuStartedAt) / 1000;
  const cpuPercent = (agentCPUSeconds(agent.pid) - cpuBefore) / cpuElapsed * 100;
  print({
    figure: 'agent_online_idle_cpu',
    seconds: rounded(cpuElapsed, 1),
    cpuPercentOfOneCore: rounded(cpuPercent),
    goalPercent: 1,
    rssStartKiB: rssStart,
    rssEndKiB: agentResidentKiB(agent.pid),
  });
  const idle = requestFigure('idle', idleBefore, idleAfter, proxy.counts);
  if (idle.requests === 0)
    throw new Error('no request of the agent passed the proxy');
  print(idle);

  // The baseline: the local route with a still-frame session, as the web console uses it.
  const localToken = `local.v1.${agent.code}.${publicKey}`;
  const {devices: [localDevice]} = await call(agent.base, 'GET', '/v1/controllers/devices',
                                              {token: localToken});
  const {session: localSession} = await call(agent.base, 'POST', '/v1/controllers/sessions', {
    token: localToken,
    body: {deviceId: localDevice.id, transportMode: 'hybrid', metadata: {webConsole: true}},
  });
  const localKey = await deriveSessionKey(pair.privateKey, localDevice.publicKey,
                                          localSession.id, COMMAND_LABEL);
  const local = await roundTripFigure(
      'local', localKey, publicKey, localSession.id,
      async (body) => (await call(agent.base, 'POST',
                                  `/v1/controllers/sessions/${localSession.id}/commands`,
                                  {token: localToken, body})).command);
  await call(agent.base, 'POST', `/v1/controllers/sessions/${localSession.id}/end`,
             {token: localToken, body: {}});

  // One live hosted session.
  const {session} = await call(controlPlane, 'POST', '/v1/controllers/sessions', {
    token: controllerToken,
    body: {deviceId: device.id, transportMode: 'webrtc', metadata: {controllerPublicKey: publicKey}},
  });
  await waitFor('the hosted session accepted', async () =>
    (await call(controlPlane, 'GET', `/v1/controllers/sessions/${session.id}`,
                {token: controllerToken})).session.status === 'active', 15000, 20);
  // The publisher's event stream shows it started (its first start may scan GStreamer's
  // plugins for seconds); its offer and candidates go out first, and are not the steady state.
  await waitFor('the publisher\'s event stream', () => proxy.counts.streamsOpen > 0, 60000);
  await sleep(2000);
  const liveBefore = snapshot(proxy.counts);
  await sleep(countSeconds * 1000);
  print(requestFigure('live_session', liveBefore, snapshot(proxy.counts), proxy.counts));

  const hostedKey = await deriveSessionKey(pair.privateKey, device.publicKey, session.id,
                                           COMMAND_LABEL);
  const hosted = await roundTripFigure('hosted', hostedKey, publicKey, session.id, async (body) => {
    const {command} = await call(controlPlane, 'POST',
                                 `/v1/controllers/sessions/${session.id}/commands`,
                                 {token: controllerToken, body});
    for (;;) {
      const {command: current} = await call(controlPlane, 'GET',
                                            `/v1/controllers/commands/${command.id}`,
                                            {token: controllerToken});
      if (current.status !== 'queued' && current.status !== 'claimed')
        return current;
      await sleep(completionPollMs);
    }
  });
  await call(controlPlane, 'POST', `/v1/controllers/sessions/${session.id}/end`,
             {token: controllerToken, body: {}});

  print({...hosted, agentPollIntervalMs: 100, completionPollMs});
  print(local);
  print({figure: 'hosted_vs_local_command_round_trip', ratio: rounded(hosted.p50Ms / local.p50Ms)});
  proxy.server.close();
}

main().then(() => process.exit(0), (error) => {
  console.error(`hosted-route-bench: ${error.stack || error}`);
  process.exit(1);
});
