// Bad bytes on the port, chunks beyond the agreed sizes, a client that stops
// reading, many sessions coming and going, many channels at once: the
// endpoint survives each, leaves nothing behind and serves on.
"use strict";
const test = require("node:test");
const assert = require("node:assert/strict");
const net = require("node:net");
const { spawn } = require("node:child_process");
const { OPCUAClient, AttributeIds } = require("node-opcua-client");

const url = process.env.UA_URL;
const port = Number(new URL(url.replace("opc.tcp", "http")).port);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Sends `bytes` on a fresh connection and waits until the server closes it (or 3 s pass).
function send(bytes) {
  return new Promise((resolve) => {
    const socket = net.connect(port, "127.0.0.1", () => socket.write(bytes));
    const timer = setTimeout(() => { socket.destroy(); resolve("open"); }, 3000);
    socket.on("data", () => {});
    socket.on("error", () => {});
    socket.on("close", () => { clearTimeout(timer); resolve("closed"); });
  });
}

function hello({ size, receive = 65536, send = 65536, maxMessage = 0, maxChunks = 0, endpoint = url }) {
  const text = Buffer.from(endpoint);
  const body = Buffer.alloc(32 + text.length);
  body.write("HELF", 0, "latin1");
  body.writeUInt32LE(size ?? body.length, 4);
  body.writeUInt32LE(0, 8); // protocol version
  body.writeUInt32LE(receive, 12);
  body.writeUInt32LE(send, 16);
  body.writeUInt32LE(maxMessage, 20);
  body.writeUInt32LE(maxChunks, 24);
  body.writeUInt32LE(text.length, 28);
  text.copy(body, 32);
  return body;
}

async function connected() {
  const client = OPCUAClient.create({ endpointMustExist: false, connectionStrategy: { maxRetry: 1 } });
  await client.connect(url);
  const session = await client.createSession();
  return { client, session, async close() { await session.close(); await client.disconnect(); } };
}

// A call that the client would otherwise wait on for long.
function within(promise, ms, what) {
  return Promise.race([promise, sleep(ms).then(() => { throw new Error(`no answer within ${ms} ms: ${what}`); })]);
}

async function until(condition, ms) {
  for (const end = Date.now() + ms; !(await condition());) {
    if (Date.now() > end) return false;
    await sleep(20);
  }
  return true;
}

const u32 = (...values) => Buffer.from(new Uint32Array(values).buffer);
const uaString = (text) => (text === null ? u32(0xffffffff) : Buffer.concat([u32(Buffer.byteLength(text)), Buffer.from(text)]));
function requestHeader() {
  const now = Buffer.alloc(8);
  now.writeBigInt64LE((BigInt(Date.now()) + 11644473600000n) * 10000n);
  // No session, the time, handle 1, no diagnostics, no audit entry, 10 s, no additional header.
  return Buffer.concat([Buffer.from([0, 0]), now, u32(1, 0), uaString(null), u32(10000), Buffer.from([0, 0, 0])]);
}
// Its four-byte NodeId, the header, then the fields.
const request = (typeId, ...fields) => Buffer.concat([Buffer.from([1, 0]), Buffer.from(new Uint16Array([typeId]).buffer),
  requestHeader(), ...fields]);
const getEndpoints = () => request(428, uaString(url), u32(0xffffffff, 0xffffffff));

// A secure channel with security None opened by hand, for sending chunks the clients never send.
async function rawChannel() {
  const socket = net.connect(port, "127.0.0.1");
  const channel = { socket, received: Buffer.alloc(0), closed: false, sequence: 1 };
  socket.on("data", (data) => { channel.received = Buffer.concat([channel.received, data]); });
  socket.on("error", () => {});
  socket.on("close", () => { channel.closed = true; });
  socket.write(hello({ send: 8192 })); // the server takes chunks of 8 kB from us
  assert.ok(await until(() => channel.received.length >= 28, 5000), "Acknowledge");
  // What the server takes from us: its receive buffer, the most bytes and chunks of one message.
  [channel.receive, channel.maxMessage, channel.maxChunks] = [12, 20, 24].map((at) => channel.received.readUInt32LE(at));
  channel.received = channel.received.subarray(28);
  const open = request(446, u32(0, 0, 1), uaString(null), u32(600000)); // Issue, mode None, no nonce
  const body = Buffer.concat([u32(0), uaString("http://opcfoundation.org/UA/SecurityPolicy#None"), uaString(null),
    uaString(null), u32(1, 1), open]);
  socket.write(Buffer.concat([Buffer.from("OPNF"), u32(body.length + 8), body]));
  assert.ok(await until(() => channel.received.length >= 8 && channel.received.length >= channel.received.readUInt32LE(4),
    5000), "OpenSecureChannel response");
  // Past the headers, the policy URI and the two empty certificates: the SecurityToken.
  let at = 12 + 4 + channel.received.readInt32LE(12);
  at += 4 + Math.max(0, channel.received.readInt32LE(at));
  at += 4 + Math.max(0, channel.received.readInt32LE(at));
  at += 8 + 4 + 8 + 4 + 4 + 1 + 4 + 3 + 4; // sequence, type, header (no diagnostics), protocol version
  [channel.id, channel.token] = [channel.received.readUInt32LE(at), channel.received.readUInt32LE(at + 4)];
  channel.received = Buffer.alloc(0);
  channel.chunk = (kind, payload, requestId) => {
    const header = Buffer.concat([Buffer.from(`MSG${kind}`), u32(24 + payload.length, channel.id, channel.token,
      ++channel.sequence, requestId)]);
    return Buffer.concat([header, payload]);
  };
  return channel;
}

async function sessionCount(session) {
  const value = await session.read({ nodeId: "ns=0;i=2277", attributeId: AttributeIds.Value }); // CurrentSessionCount
  return value.value.value;
}

test("garbage, truncated and absurd Hello messages cost nothing but their own connection", async () => {
  const bad = [
    ["garbage", Buffer.from("GET / HTTP/1.1\r\nHost: x\r\n\r\n")],
    ["random bytes", Buffer.from(Array.from({ length: 4096 }, (_, i) => (i * 7919 + 13) & 0xff))],
    ["truncated Hello", hello({}).subarray(0, 17)],
    ["Hello claiming 4 GB", hello({ size: 0xffffffff })],
    ["Hello with tiny buffers", hello({ receive: 1, send: 1 })],
    ["Hello with absurd buffers", hello({ receive: 0xffffffff, send: 0xffffffff, maxMessage: 0xffffffff,
      maxChunks: 0xffffffff })],
    ["endpoint URL of 100 kB", hello({ endpoint: "opc.tcp://localhost/" + "x".repeat(100000) })],
    ["message before Hello", Buffer.concat([Buffer.from("MSGF"), Buffer.alloc(60, 0x41)])],
  ];
  const main = await connected();
  for (const [what, bytes] of bad) {
    const outcome = await send(bytes);
    const value = await main.session.read({ nodeId: "ns=0;i=2259", attributeId: AttributeIds.Value });
    assert.equal(value.value.value, 0, `still running after ${what} (${outcome})`);
  }
  await main.close();
});

test("rounds of sessions coming and going leave no session behind", async () => {
  const watcher = await connected();
  const before = await sessionCount(watcher.session);
  for (let round = 0; round < 20; round++) {
    const clients = await Promise.all(Array.from({ length: 10 }, () => connected()));
    await Promise.all(clients.map(async ({ session }) => {
      const value = await session.read({ nodeId: "ns=0;i=2258", attributeId: AttributeIds.Value });
      assert.ok(value.statusCode.isGood());
    }));
    await Promise.all(clients.map((c) => c.close()));
  }
  const end = Date.now() + 5000;
  while ((await sessionCount(watcher.session)) !== before && Date.now() < end) await sleep(100);
  assert.equal(await sessionCount(watcher.session), before);
  await watcher.close();
});

test("a hundred channels at once are each served", async () => {
  // Past Winsock's default of 64 sockets in one select(): the endpoint is built for more.
  const clients = await Promise.all(Array.from({ length: 100 }, async () => {
    const client = OPCUAClient.create({ endpointMustExist: false, connectionStrategy: { maxRetry: 1 } });
    await client.connect(url);
    return client;
  }));
  const probe = await connected();
  const value = await probe.session.read({ nodeId: "ns=0;i=2259", attributeId: AttributeIds.Value });
  assert.equal(value.value.value, 0);
  await probe.close();
  await Promise.all(clients.map((c) => c.disconnect()));
});

test("chunks beyond the agreed sizes and counts close only their channel", async () => {
  const main = await connected();
  const filler = (c, bytes) => c.chunk("C", Buffer.alloc(bytes - 24), 2);
  const bad = [
    ["a chunk larger than the receive buffer", (c) => c.chunk("F", Buffer.alloc(c.receive), 2)],
    ["a chunk header claiming 4 GB", (c) => Buffer.concat([Buffer.from("MSGF"), u32(0xfffffff0, c.id, c.token)])],
    ["one chunk more than the most", (c) => Buffer.concat(Array.from({ length: c.maxChunks + 1 }, () => filler(c, 64)))],
    ["a message larger than the most", (c) => Buffer.concat(Array.from(
      { length: Math.ceil(c.maxMessage / (c.receive - 24)) + 1 }, () => filler(c, c.receive)))],
  ];
  for (const [what, make] of bad) {
    const c = await rawChannel();
    assert.ok(c.maxMessage > 0 && c.maxChunks > 0,
      `the server bounds a message it takes in (it said ${c.maxMessage} bytes in ${c.maxChunks} chunks)`);
    c.socket.write(make(c));
    assert.ok(await until(() => c.closed, 10000), `${what}: the channel is closed`);
    assert.equal(c.received.subarray(0, 4).toString(), "ERRF", what);
    assert.equal(c.received.readUInt32LE(8).toString(16), "80800000", `${what}: BadTcpMessageTooLarge`);
    const state = await main.session.read({ nodeId: "ns=0;i=2259", attributeId: AttributeIds.Value });
    assert.equal(state.value.value, 0, `still running after ${what}`);
  }
  await main.close();
});

test("an abort chunk drops the message begun and the channel serves on", async () => {
  const c = await rawChannel();
  const started = getEndpoints();
  // The same request begun, aborted and sent whole: only the whole one counts.
  c.socket.write(Buffer.concat([c.chunk("C", started.subarray(0, 20), 2), c.chunk("A", Buffer.concat([u32(0x80000000),
    uaString("changed my mind")]), 2), c.chunk("F", started, 2)]));
  assert.ok(await until(() => c.received.length >= 28 || c.closed, 5000), "an answer");
  assert.equal(c.received.subarray(0, 4).toString(), "MSGF");
  assert.equal(c.received.readUInt32LE(20), 2);
  assert.equal(c.received.readUInt16LE(26), 431, "GetEndpointsResponse");
  assert.equal(c.closed, false);
  c.socket.destroy();
});

// Asks for much and never reads the answers: a process of its own, so that it can be stopped and killed.
function stuckClient(url) {
  const { OPCUAClient, AttributeIds } = require("node-opcua-client");
  (async () => {
    const client = OPCUAClient.create({ endpointMustExist: false, requestedSessionTimeout: 3000,
      connectionStrategy: { maxRetry: 0 } });
    await client.connect(url);
    const session = await client.createSession();
    const statuses = Array.from({ length: 5000 }, () => ({ nodeId: "ns=0;i=2256", attributeId: AttributeIds.Value }));
    for (let i = 0; i < 60; i++) session.read(statuses).catch(() => {});
    setTimeout(() => process.stdout.write("asked\n"), 300);
  })();
}

test("a client that stops reading holds up no other and leaves nothing once killed", async () => {
  const main = await connected();
  const before = await sessionCount(main.session);
  const stuck = spawn(process.execPath, ["-e", `(${stuckClient})(${JSON.stringify(url)})`],
    { stdio: ["ignore", "pipe", "inherit"] });
  try {
    await new Promise((resolve, reject) => {
      stuck.stdout.on("data", (text) => String(text).includes("asked") && resolve());
      stuck.on("exit", () => reject(new Error("the stuck client ended by itself")));
    });
    stuck.kill("SIGSTOP"); // its answers pile up in the sockets from now on
    for (let i = 0; i < 10; i++) {
      // The stuck client's session may outlive its severed channel, or go with it.
      const count = await within(sessionCount(main.session), 2000, `read ${i} beside the stuck client`);
      assert.ok(count === before + 1 || count === before, `${count} sessions beside ${before}`);
      await sleep(300);
    }
  } finally {
    stuck.kill("SIGKILL");
  }
  assert.ok(await until(async () => (await sessionCount(main.session)) === before, 15000), "the stuck session is freed");
  await main.close();
});
