// A process that COM started for a DA client: it stays while UA sessions
// remain, ends with the last client of either kind, and tells open sessions
// that it shuts down before the endpoint closes. No copy of the program runs
// when this file starts; the settings name the UA port (UA_PORT) and, as the
// last used file, a configuration with Plant.Flow.
"use strict";
const test = require("node:test");
const assert = require("node:assert/strict");
const net = require("node:net");
const { spawn } = require("node:child_process");
const { OPCUAClient, AttributeIds, ClientSubscription, ClientMonitoredItem, TimestampsToReturn } =
  require("node-opcua-client");

const url = process.env.UA_URL;
const port = Number(process.env.UA_PORT);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function listening() {
  return new Promise((resolve) => {
    const socket = net.connect(port, "127.0.0.1");
    socket.once("connect", () => { socket.destroy(); resolve(true); });
    socket.once("error", () => resolve(false));
  });
}

// A call that the client would otherwise wait on for ever once the server is gone.
function within(promise, ms, what) {
  return Promise.race([promise, sleep(ms).then(() => { throw new Error(`no answer: ${what}`); })]);
}

async function until(condition, timeoutMs, what) {
  const end = Date.now() + timeoutMs;
  while (!(await condition())) {
    if (Date.now() > end) throw new Error(`timed out: ${what}`);
    await sleep(100);
  }
}

// A DA client that COM starts the server for, watching for `seconds`.
function daClientFor(seconds) {
  const child = spawn(process.env.WINE, [process.env.TOVI_OPC, "watch", "Zelkor.Tovi.1", "Plant.Flow", "--for",
    String(seconds)], { stdio: "ignore" });
  return new Promise((resolve) => child.on("exit", resolve));
}

async function session() {
  const client = OPCUAClient.create({ endpointMustExist: false, connectionStrategy: { maxRetry: 1 } });
  await client.connect(url);
  return { client, session: await client.createSession() };
}

test("the last UA session keeps a COM-started process, which ends when it leaves", async () => {
  assert.equal(await listening(), false, "no copy runs before");
  const daDone = daClientFor(6);
  await until(listening, 30000, "the COM-started process serves UA");
  const { client, session: ua } = await session();
  assert.equal(await daDone, 0, "the DA client watched Plant.Flow");
  await sleep(1500);
  const state = await within(ua.read({ nodeId: "ns=0;i=2259", attributeId: AttributeIds.Value }), 5000,
    "the server after the DA client left");
  assert.equal(state.value.value, 0, "still running after the DA client left");
  await ua.close();
  await client.disconnect();
  await until(async () => !(await listening()), 15000, "the process ends with its last client");
});

// Closed while a DA client is connected, the process ends at once after:
// its endpoint stays the seconds it announced first, so that sessions hear
// the shutdown whenever their subscriptions publish, or leave.
test("open sessions see the shutdown, its seconds and its reason before the endpoint closes", async () => {
  const daDone = daClientFor(30);
  await until(listening, 30000, "the COM-started process serves UA");
  const { client, session: ua } = await session();
  const subscription = ClientSubscription.create(ua, { requestedPublishingInterval: 100, publishingEnabled: true,
    requestedLifetimeCount: 100, requestedMaxKeepAliveCount: 10 });
  const seen = { state: [], seconds: [], reason: [] };
  for (const [key, nodeId] of [["state", "ns=0;i=2259"], ["seconds", "ns=0;i=2992"], ["reason", "ns=0;i=2993"]]) {
    const item = ClientMonitoredItem.create(subscription, { nodeId, attributeId: AttributeIds.Value },
      { samplingInterval: 100, queueSize: 10 }, TimestampsToReturn.Both);
    item.on("changed", (dv) => seen[key].push(dv.value.value));
  }
  await until(async () => seen.state.length > 0, 5000, "the first server state");
  assert.equal(seen.state[0], 0); // Running
  const closer = spawn(process.env.WINE, [process.env.TOVI_EXE, "/Close", "20"], { stdio: "ignore" });
  await until(async () => seen.state.includes(4), 20000, `ServerState Shutdown (seen ${JSON.stringify(seen)})`);
  assert.ok(seen.seconds.some((s) => s > 0), `SecondsTillShutdown ${seen.seconds}`);
  assert.ok(seen.reason.some((r) => r && /shutting down|closing/i.test(r.text)), JSON.stringify(seen.reason));
  await sleep(1000);
  const state = await within(ua.read({ nodeId: "ns=0;i=2259", attributeId: AttributeIds.Value }), 3000,
    "the server a second into the seconds it announced");
  assert.equal(state.value.value, 4);
  await new Promise((resolve) => closer.on("exit", resolve));
  await until(async () => !(await listening()), 15000, "the endpoint closes");
  await Promise.race([client.disconnect().catch(() => {}), sleep(3000)]);
  await daDone;
});
