// Bad bytes on the port, many sessions coming and going, many channels at
// once: the endpoint survives each, leaves nothing behind and serves on.
"use strict";
const test = require("node:test");
const assert = require("node:assert/strict");
const net = require("node:net");
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
  const body = Buffer.alloc(28 + text.length);
  body.write("HELF", 0, "latin1");
  body.writeUInt32LE(size ?? body.length, 4);
  body.writeUInt32LE(0, 8); // protocol version
  body.writeUInt32LE(receive, 12);
  body.writeUInt32LE(send, 16);
  body.writeUInt32LE(maxMessage, 20);
  body.writeUInt32LE(maxChunks, 24);
  text.copy(body, 28);
  return body;
}

async function connected() {
  const client = OPCUAClient.create({ endpointMustExist: false, connectionStrategy: { maxRetry: 1 } });
  await client.connect(url);
  const session = await client.createSession();
  return { client, session, async close() { await session.close(); await client.disconnect(); } };
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
