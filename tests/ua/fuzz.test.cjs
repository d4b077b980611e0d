// A protocol fuzz of the UA port. Conversations are built with the client
// library's own encoders, so each message is valid in its channel; a case
// replays one up to a message, sends that message with its bytes mutated and
// a plain Read after it. Beside the fuzz a live session reads, writes and
// watches a tag: it must be served throughout, and the server's sessions,
// subscriptions and sockets must come back to where they were.
// UA_FUZZ_CASES (0: until UA_FUZZ_SECONDS pass), UA_FUZZ_SEED, UA_FUZZ_WORKERS,
// UA_FUZZ_ONLY=N,M,... (those cases one after another, each told), UA_FUZZ_TARGETS (the messages
// to mutate, by name, see `targets`), UA_SERVER_PID (for its memory).
"use strict";
const test = require("node:test");
const assert = require("node:assert/strict");
const net = require("node:net");
const fs = require("node:fs");
const { OPCUAClient, AttributeIds, ClientSubscription, ClientMonitoredItem, TimestampsToReturn, DataType,
  MessageSecurityMode, UserTokenType, NodeId } = require("node-opcua-client");
const ua = require("node-opcua-types");
const { BinaryStream } = require("node-opcua-binary-stream");
const { encodeExpandedNodeId, decodeExpandedNodeId } = require("node-opcua-basic-types");
const { getStandardDataTypeFactory } = require("node-opcua-factory");

const env = process.env;
const url = env.UA_URL;
const port = Number(new URL(url.replace("opc.tcp", "http")).port);
const seed = (env.UA_FUZZ_SEED ? Number(env.UA_FUZZ_SEED) : Date.now() % 0x100000000) >>> 0;
const only = env.UA_FUZZ_ONLY ? env.UA_FUZZ_ONLY.split(",").map(Number) : null;
const limit = only ? only.length : Number(env.UA_FUZZ_CASES || 0);
const seconds = Number(env.UA_FUZZ_SECONDS || 60);
const workerCount = only ? 1 : Number(env.UA_FUZZ_WORKERS || 32);
const quietMs = 400; // what a case waits for an answer before it counts the server as waiting for more bytes
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const u32 = (...v) => Buffer.from(new Uint32Array(v.map((x) => x >>> 0)).buffer);
const uaString = (s) => (s == null ? u32(0xffffffff) : Buffer.concat([u32(Buffer.byteLength(s)), Buffer.from(s)]));
const policyNone = "http://opcfoundation.org/UA/SecurityPolicy#None";
const factory = getStandardDataTypeFactory();
const describe = (answer) => (typeof answer === "string" ? answer : answer.responseHeader.serviceResult.toString());

// mulberry32: one stream per case, so that a case is the same whatever ran beside it.
function random(caseNumber) {
  let s = (seed ^ Math.imul(caseNumber + 1, 0x9e3779b9)) >>> 0;
  const next = () => {
    s = (s + 0x6d2b79f5) >>> 0;
    let t = Math.imul(s ^ (s >>> 15), s | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
  next.int = (n) => Math.floor(next() * n);
  next.pick = (list) => list[next.int(list.length)];
  return next;
}

// Encodes a request and notes where its four-byte fields (lengths, counts,
// ids) and its single bytes (encoding masks, flags) lie.
class Recorder extends BinaryStream {
  constructor(size) { super(Buffer.allocUnsafe(size)); this.ints = []; this.bytes = []; }
  writeInteger(v) { this.ints.push(this.length); super.writeInteger(v); }
  writeUInt32(v) { this.ints.push(this.length); super.writeUInt32(v); }
  reserveUInt32() { this.ints.push(this.length); return super.reserveUInt32(); }
  writeUInt8(v) { this.bytes.push(this.length); super.writeUInt8(v); }
}
function encode(request) {
  const s = new Recorder(request instanceof ua.WriteRequest ? 1 << 16 : 1 << 12); // the longest string written fits
  encodeExpandedNodeId(request.schema.encodingDefaultBinary, s);
  request.encode(s);
  return { body: Buffer.from(s.buffer.subarray(0, s.length)), ints: s.ints, bytes: s.bytes };
}

// A message as sent: its bytes, its chunks' starts, and the fields the mutations aim at.
function framed(header, { body, ints = [], bytes = [] }, headerInts) {
  return { data: Buffer.concat([header, body]), chunks: [0], ints: [...headerInts, ...ints.map((o) => o + header.length)],
    bytes: bytes.map((o) => o + header.length) };
}
function hello(receive = 65536) {
  const m = framed(Buffer.concat([Buffer.from("HELF"), u32(0, 0, receive, 65536, 0, 0)]), { body: uaString(url) },
    [4, 8, 12, 16, 20, 24, 28]);
  m.data.writeUInt32LE(m.data.length, 4);
  return m;
}

// One TCP connection and the secure channel on it (security None).
class Channel {
  constructor(stats) {
    Object.assign(this, { stats, received: Buffer.alloc(0), waiting: new Map(), partial: [], answers: new Map(),
      closed: false, sequence: 0, requestId: 0, id: 0, token: 0, payload: 8192 - 24 });
    this.socket = net.connect(port, "127.0.0.1");
    this.socket.setNoDelay(true);
    this.socket.on("data", (d) => this.take(d));
    this.socket.on("error", () => {});
    this.socket.on("close", () => { this.closed = true; for (const w of this.waiting.values()) w("closed"); });
  }
  take(data) {
    this.received = this.received.length ? Buffer.concat([this.received, data]) : data;
    while (this.received.length >= 8 && this.received.length >= this.received.readUInt32LE(4)) {
      const size = this.received.readUInt32LE(4);
      if (size < 8) {
        this.stats.undecodable.push(`a frame of ${size} bytes`);
        return this.socket.destroy();
      }
      const frame = this.received.subarray(0, size);
      this.received = this.received.subarray(size);
      const type = frame.toString("latin1", 0, 3);
      if (type === "ACK") this.settle("ACK", frame);
      else if (type === "OPN") {
        let at = 12;
        for (let i = 0; i < 3; i++) at += 4 + Math.max(0, frame.readInt32LE(at));
        this.decode(frame.readUInt32LE(at + 4), frame.subarray(at + 8));
      } else if (type === "MSG") {
        if (frame[3] === 0x41) this.partial = []; // 'A': the server gave the message up
        else this.partial.push(frame.subarray(24));
        if (frame[3] === 0x46) this.decode(frame.readUInt32LE(20), Buffer.concat(this.partial.splice(0)));
      }
    }
  }
  decode(requestId, body) {
    let answer;
    try {
      const s = new BinaryStream(body);
      answer = factory.constructObject(decodeExpandedNodeId(s));
      answer.decode(s);
    } catch (e) {
      this.stats.undecodable.push(`${e.message}: ${body.subarray(0, 64).toString("hex")}`);
      return;
    }
    this.answers.set(requestId, answer);
    if (this.answers.size > 64) this.answers.delete(this.answers.keys().next().value);
    this.settle(requestId, answer);
  }
  settle(key, value) { this.waiting.get(key)?.(value); }
  // The answer to `key`, "closed" or "quiet".
  wait(key, ms = quietMs) {
    if (this.answers.has(key)) return Promise.resolve(this.answers.get(key));
    if (this.closed) return Promise.resolve("closed");
    return new Promise((resolve) => {
      const done = (v) => { clearTimeout(timer); this.waiting.delete(key); resolve(v); };
      const timer = setTimeout(() => done("quiet"), ms);
      this.waiting.set(key, done);
    });
  }
  send(m) { if (!this.closed) this.socket.write(m.data); }
  // A service request in as many chunks as the server takes.
  message(request, authenticationToken, lastValue) {
    const requestId = ++this.requestId;
    Object.assign(request.requestHeader, { authenticationToken: authenticationToken ?? NodeId.nullNodeId, requestHandle: requestId, timestamp: new Date(),
      timeoutHint: 10000 });
    let { body, ints, bytes } = encode(request);
    if (lastValue) {
      body = Buffer.concat([body.subarray(0, -2), lastValue]);
      [ints, bytes] = [ints, bytes].map((list) => list.filter((o) => o < body.length - lastValue.length));
    }
    const m = { data: [], chunks: [], ints: [], bytes: [], requestId };
    let at = 0;
    for (let from = 0; from < body.length || from === 0; from += this.payload) {
      const piece = body.subarray(from, from + this.payload);
      const last = from + this.payload >= body.length;
      m.chunks.push(at);
      m.ints.push(...[4, 8, 12, 16, 20].map((o) => at + o));
      const shift = (o) => o >= from && o < from + piece.length;
      m.ints.push(...ints.filter(shift).map((o) => at + 24 + o - from));
      m.bytes.push(...bytes.filter(shift).map((o) => at + 24 + o - from));
      m.data.push(Buffer.concat([Buffer.from(last ? "MSGF" : "MSGC"), u32(24 + piece.length, this.id, this.token,
        ++this.sequence, requestId), piece]));
      at += 24 + piece.length;
    }
    m.data = Buffer.concat(m.data);
    return m;
  }
  open() {
    const requestId = ++this.requestId;
    const request = new ua.OpenSecureChannelRequest({ requestHeader: { requestHandle: requestId, timestamp: new Date() },
      requestType: 0, securityMode: MessageSecurityMode.None, requestedLifetime: 600000 });
    const head = Buffer.concat([Buffer.from("OPNF"), u32(0, 0), uaString(policyNone), u32(0xffffffff, 0xffffffff,
      ++this.sequence, requestId)]);
    const m = framed(head, encode(request), [4, 8, 12, head.length - 16, head.length - 12, head.length - 8,
      head.length - 4]);
    m.data.writeUInt32LE(m.data.length, 4);
    return Object.assign(m, { requestId });
  }
  // Hello and the channel; what went wrong, if anything.
  async establish() {
    this.send(hello());
    const ack = await this.wait("ACK", 5000);
    if (!Buffer.isBuffer(ack)) return `Hello: ${ack}`;
    this.payload = Math.min(ack.readUInt32LE(12), 65536) - 24;
    const m = this.open();
    this.send(m);
    const opened = await this.wait(m.requestId, 5000);
    if (!(opened instanceof ua.OpenSecureChannelResponse)) return `OpenSecureChannel: ${opened}`;
    [this.id, this.token] = [opened.securityToken.channelId, opened.securityToken.tokenId];
    return "";
  }
  close() {
    if (this.id && !this.closed) {
      const m = this.message(new ua.CloseSecureChannelRequest({ requestHeader: {} }));
      m.data.write("CLO", 0, "latin1");
      this.send(m);
    }
    this.socket.destroy();
  }
}

// ---- mutations ----------------------------------------------------------------

const values32 = [0, 1, 2, 0xff, 0xffff, 0x10000, 0x7ffffffe, 0x7fffffff, 0x80000000, 0xfffffffe, 0xffffffff, 0x1000000];
const values8 = [0, 1, 0x7f, 0x80, 0xfe, 0xff, 0x3f, 0x40];

// Each mutation takes the message and its random stream and returns the bytes to send.
const mutations = {
  flip: (m, r) => { for (let n = 1 + r.int(8); n--;) m.data[r.int(m.data.length)] ^= 1 << r.int(8); },
  byte: (m, r) => { m.data[r.int(m.data.length)] = r.pick(values8); },
  field: (m, r) => {
    const at = r.pick(m.ints);
    if (at + 4 > m.data.length) return;
    m.data.writeUInt32LE(r() < 0.7 ? r.pick(values32) : (m.data.readUInt32LE(at) + r.int(9) - 4) >>> 0, at);
  },
  mask: (m, r) => {
    const at = r.pick(m.bytes);
    if (at !== undefined) m.data[at] = r.pick([r.int(256), m.data[at] ^ (1 << r.int(8)), r.pick(values8)]);
  },
  truncate: (m, r) => { m.data = m.data.subarray(0, r.int(m.data.length)); m.resized = true; },
  insert: (m, r) => {
    const at = r.int(m.data.length + 1);
    const piece = r() < 0.5 ? Buffer.from(Array.from({ length: 1 + r.int(32) }, () => r.int(256)))
      : Buffer.alloc(1 + r.int(8), r.pick(values8));
    m.data = Buffer.concat([m.data.subarray(0, at), piece, m.data.subarray(at)]);
    m.resized = true;
  },
  duplicate: (m, r) => {
    const from = r.int(m.data.length);
    const range = m.data.subarray(from, from + 1 + r.int(64));
    const times = r() < 0.9 ? 1 + r.int(4) : 100 + r.int(4000);
    m.data = Buffer.concat([m.data.subarray(0, from), ...Array(times).fill(range), m.data.subarray(from)]);
    m.resized = true;
  },
  remove: (m, r) => {
    const from = r.int(m.data.length);
    m.data = Buffer.concat([m.data.subarray(0, from), m.data.subarray(from + 1 + r.int(32))]);
    m.resized = true;
  },
  chunkType: (m, r) => { m.data[r.pick(m.chunks) + 3] = r.pick([0x46, 0x43, 0x41, 0x46, 0x43, 0x41, r.int(256)]); },
  size: (m, r) => {
    const at = r.pick(m.chunks) + 4;
    if (at + 4 > m.data.length) return;
    m.data.writeUInt32LE(r() < 0.5 ? r.pick(values32) : (m.data.readUInt32LE(at) + r.int(33) - 16) >>> 0, at);
  },
};
const mutationNames = Object.keys(mutations);

function mutate(m, r) {
  const applied = [];
  for (let n = r() < 0.7 ? 1 : 2 + r.int(3); n--;) {
    const name = r.pick(mutationNames);
    applied.push(name);
    m.data = Buffer.from(m.data);
    if (m.data.length) mutations[name](m, r);
  }
  // Mostly the header follows a changed length, so that the body is what the server meets.
  if (m.resized && m.chunks.length === 1 && m.data.length >= 8 && r() < 0.8) m.data.writeUInt32LE(m.data.length, 4);
  return applied.join("+");
}

// A value nested deeper than a decoder may follow: DataValues in Variants,
// arrays of one Variant, or WriteValues in ExtensionObjects in Variants.
function deepValue(r) {
  const depth = r.pick([8, 50, 99, 100, 101, 500, 5000]);
  const kind = r.int(3);
  const heads = [];
  let inner = 2; // the innermost value: a Byte
  for (let i = 0; i < depth; i++) {
    if (kind === 0) heads.push(Buffer.from([23, 1]));
    else if (kind === 1) heads.push(Buffer.from([24 | 0x80, 1, 0, 0, 0]));
    else {
      // Its body: node i=0, attribute Value, no index range, a DataValue with a value.
      heads.push(Buffer.concat([Buffer.from([22, 1, 0, 0x9e, 0x02, 1]), u32(11 + inner), Buffer.from([0, 0]),
        u32(13, 0xffffffff), Buffer.from([1])]));
      inner += 21;
    }
  }
  return Buffer.concat([...heads.reverse(), Buffer.from([3, 42])]);
}

// ---- the conversation ---------------------------------------------------------

// Each worker keeps a channel and a session on it as long as the server lets it,
// and brings its session to a new channel when the server closed the old one.
class Worker {
  constructor(stats, ns, policies) { Object.assign(this, { stats, ns, policies, channel: null, session: null, cases: 0 }); }
  tag(name) { return `ns=${this.ns};s=${name}`; }
  async call(request, token = this.session?.token, ms = 5000) {
    const m = this.channel.message(request, token);
    this.channel.send(m);
    return this.channel.wait(m.requestId, ms);
  }
  async channelUp() {
    if (this.channel && !this.channel.closed) return "";
    this.channel = new Channel(this.stats);
    this.stats.channels++;
    return this.channel.establish();
  }
  activation(userName) {
    const token = userName ? new ua.UserNameIdentityToken({ policyId: this.policies.user, userName,
      password: Buffer.from("not the password") }) : new ua.AnonymousIdentityToken({ policyId: this.policies.anonymous });
    return new ua.ActivateSessionRequest({ requestHeader: {}, userIdentityToken: token, localeIds: ["en"] });
  }
  createSession() {
    return new ua.CreateSessionRequest({ requestHeader: {}, clientDescription: { applicationUri: "urn:fuzz",
      applicationName: { text: "fuzz" }, applicationType: 1 }, endpointUrl: url, sessionName: "fuzz",
    requestedSessionTimeout: 10000, maxResponseMessageSize: 0 });
  }
  // A channel with an activated session and, when asked, a subscription with an item; what went wrong, if anything.
  async ready(withSubscription) {
    const up = await this.channelUp();
    if (up) return up;
    if (this.session && this.session.channel !== this.channel) {
      const moved = await this.call(this.activation());
      if (moved?.responseHeader?.serviceResult?.value !== 0) this.session = null;
      else this.session.channel = this.channel;
    }
    if (!this.session) {
      const created = await this.call(this.createSession(), null);
      if (!(created instanceof ua.CreateSessionResponse)) return `CreateSession: ${describe(created)}`;
      this.session = { token: created.authenticationToken, channel: this.channel, subscription: 0, strays: 0 };
      this.stats.sessions++;
      const activated = await this.call(this.activation());
      if (activated?.responseHeader?.serviceResult?.value !== 0) return `ActivateSession: ${describe(activated)}`;
    }
    if (withSubscription && !this.session.subscription) {
      const made = await this.call(this.subscription());
      if (!(made instanceof ua.CreateSubscriptionResponse)) return `CreateSubscription: ${describe(made)}`;
      this.session.subscription = made.subscriptionId;
      await this.call(this.monitor());
    }
    return "";
  }
  subscription() {
    return new ua.CreateSubscriptionRequest({ requestHeader: {}, requestedPublishingInterval: 100,
      requestedLifetimeCount: 60, requestedMaxKeepAliveCount: 5, maxNotificationsPerPublish: 100, publishingEnabled: true });
  }
  monitor() {
    return new ua.CreateMonitoredItemsRequest({ requestHeader: {}, subscriptionId: this.session.subscription,
      timestampsToReturn: TimestampsToReturn.Both, itemsToCreate: [{ itemToMonitor: { nodeId: this.tag("Plant.Level"),
        attributeId: AttributeIds.Value }, monitoringMode: 2, requestedParameters: { clientHandle: 1,
        samplingInterval: 0, queueSize: 5, discardOldest: true } }] });
  }
  // The message a case aims at, built for this channel and session.
  build(target, r) {
    const c = this.channel;
    const read = (ids) => new ua.ReadRequest({ requestHeader: {}, timestampsToReturn: TimestampsToReturn.Both,
      nodesToRead: ids.map((nodeId) => ({ nodeId, attributeId: AttributeIds.Value })) });
    switch (target) {
    case "createSession": return c.message(this.createSession(), null);
    case "activate": return c.message(this.activation(), this.session.token);
    case "activateUser": return c.message(this.activation("fuzz"), this.session.token);
    case "read": return c.message(read([this.tag("Plant.Flow"), "ns=0;i=2258", this.tag("Plant.Name")]),
      this.session.token);
    case "write": {
      const deep = r() < 0.1;
      const [dataType, value, arrayType = 0] = deep ? [DataType.Byte, 42] : r.pick(writeValues);
      const request = new ua.WriteRequest({ requestHeader: {}, nodesToWrite: [{ nodeId: this.tag(r.pick(writeTags)),
        attributeId: AttributeIds.Value, value: { value: { dataType, value, arrayType } } }] });
      // A Byte value ends the message: a value nested deep takes its place.
      return c.message(request, this.session.token, deep && deepValue(r));
    }
    case "browse": return c.message(new ua.BrowseRequest({ requestHeader: {}, requestedMaxReferencesPerNode: 50,
      nodesToBrowse: [{ nodeId: this.tag("Plant"), browseDirection: 0, includeSubtypes: true, nodeClassMask: 0,
        resultMask: 63 }, { nodeId: "ns=0;i=85", browseDirection: 2, resultMask: 63 }] }), this.session.token);
    case "createSubscription": return c.message(this.subscription(), this.session.token);
    case "createMonitoredItems": return c.message(this.monitor(), this.session.token);
    case "publish": return c.message(new ua.PublishRequest({ requestHeader: {}, subscriptionAcknowledgements: [
      { subscriptionId: this.session.subscription, sequenceNumber: 1 }] }), this.session.token);
    }
    throw new Error(target);
  }
  async run(caseNumber) {
    const r = random(caseNumber);
    const target = r.pick(targets);
    let outcome;
    let applied;
    if (target === "hello" || target === "open") {
      const c = new Channel(this.stats);
      this.stats.channels++;
      let m = hello();
      if (target === "open") {
        c.send(m);
        if (!Buffer.isBuffer(await c.wait("ACK", 5000))) throw new Error("no Acknowledge to a valid Hello");
        m = c.open();
      }
      applied = mutate(m, r);
      c.send(m);
      outcome = await c.wait(target === "hello" ? "ACK" : m.requestId);
      // Whatever the server made of it, the conversation goes on where it can.
      if (Buffer.isBuffer(outcome)) {
        const open = c.open();
        c.send(open);
        outcome = await c.wait(open.requestId);
      }
      if (outcome instanceof ua.OpenSecureChannelResponse) {
        [c.id, c.token] = [outcome.securityToken.channelId, outcome.securityToken.tokenId];
        const ask = c.message(new ua.GetEndpointsRequest({ requestHeader: {}, endpointUrl: url }), null);
        c.send(ask);
        outcome = await c.wait(ask.requestId);
      }
      c.close();
    } else {
      const trouble = await this.ready(target === "publish" || target === "createMonitoredItems");
      if (trouble) {
        this.stats.notReady.push(trouble);
        this.drop();
        return "not ready";
      }
      const c = this.channel;
      const m = this.build(target, r);
      applied = mutate(m, r);
      c.send(m);
      outcome = await this.probe();
      this.tidy(c.answers.get(m.requestId), c);
    }
    const kind = typeof outcome === "string" ? outcome : "answered";
    this.stats.outcomes[kind] = (this.stats.outcomes[kind] || 0) + 1;
    this.stats.byTarget[target] = (this.stats.byTarget[target] || 0) + 1;
    if (only) console.log(`# case ${caseNumber}: ${target} ${applied} -> ${kind}`);
    return kind;
  }
  // A plain Read after the mutated message: the channel and the session serve on, or the server said why not.
  async probe() {
    const c = this.channel;
    const m = c.message(new ua.ReadRequest({ requestHeader: {}, nodesToRead: [{ nodeId: "ns=0;i=2259",
      attributeId: AttributeIds.Value }] }), this.session.token);
    c.send(m);
    const answer = await c.wait(m.requestId);
    if (typeof answer === "string") {
      this.drop();
      return answer;
    }
    if (answer.responseHeader.serviceResult.value !== 0) {
      // The session is gone or no longer activated: close what may be left of it.
      this.closeSession(this.session.token);
      this.session = null;
    }
    if (++this.cases % 400 === 0 || (this.session && this.session.strays > 50)) this.recycle();
    return answer;
  }
  // What a mutated request made that the worker did not ask for goes at once;
  // a session whose channel the server closed first stays until its time-out.
  tidy(answer, c) {
    if (!answer || answer.responseHeader.serviceResult.value !== 0) return;
    const gone = c.closed || c !== this.channel;
    if (answer instanceof ua.CreateSessionResponse) {
      if (gone) this.stats.lingering.push(Date.now() + answer.revisedSessionTimeout);
      else this.closeSession(answer.authenticationToken);
    } else if (answer instanceof ua.CreateSubscriptionResponse && !gone) {
      this.call(new ua.DeleteSubscriptionsRequest({ requestHeader: {}, subscriptionIds: [answer.subscriptionId] }));
    } else if (answer instanceof ua.CreateSubscriptionResponse || answer instanceof ua.CreateMonitoredItemsResponse) {
      if (this.session) this.session.strays++;
    }
  }
  closeSession(token) {
    if (this.channel && !this.channel.closed) {
      this.call(new ua.CloseSessionRequest({ requestHeader: {}, deleteSubscriptions: true }), token);
    }
  }
  // A new session now and then: a session's history of activations only grows.
  recycle() {
    if (this.session) this.closeSession(this.session.token);
    this.session = null;
  }
  drop() {
    this.channel?.close();
    this.channel = null;
  }
  async finish() {
    if (this.session && !(await this.ready(false))) {
      await this.call(new ua.CloseSessionRequest({ requestHeader: {}, deleteSubscriptions: true }));
    }
    this.channel?.close();
  }
}
// Values each tag type should take or refuse as the mapping says, and the tags of every type.
const writeValues = [[DataType.Double, 12.5], [DataType.Double, NaN], [DataType.Double, -Infinity],
  [DataType.Double, 1e308], [DataType.Double, -0], [DataType.Float, 3.4e38], [DataType.Int32, -2147483648],
  [DataType.Int32, 7], [DataType.Int16, -3], [DataType.Byte, 255], [DataType.SByte, -128], [DataType.Boolean, true],
  [DataType.UInt64, [0xffffffff, 0xffffffff]], [DataType.Int64, [0x80000000, 0]], [DataType.String, "fuzz"],
  [DataType.String, "a\0b"], [DataType.String, ""], [DataType.String, "\u00e9\ud83d\ude00".repeat(3000)],
  [DataType.DateTime, new Date(-62135596800000)], [DataType.DateTime, new Date(0)], [DataType.Int32, [1, 2, 3], 1],
  [DataType.String, ["a", null], 1]];
const writeTags = ["Plant.Flow", "Plant.Level", "Plant.Count", "Plant.Small", "Plant.Octet", "Plant.Running",
  "Plant.Name", "Plant.Fixed", "Plant"];
const targets = env.UA_FUZZ_TARGETS?.split(",") ?? ["hello", "open", "createSession", "activate", "activateUser", "read",
  "write", "write", "browse", "createSubscription", "createMonitoredItems", "publish"];

// ---- what is watched ------------------------------------------------------------

function within(promise, ms, what) {
  let timer;
  return Promise.race([promise, new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`no answer within ${ms} ms: ${what}`)), ms);
  })]).finally(() => clearTimeout(timer));
}

// A normal client beside the fuzz: it writes a tag every 100 ms, reads it
// back, and its subscription must bring each change.
async function liveSession(failures) {
  const client = OPCUAClient.create({ endpointMustExist: false, connectionStrategy: { maxRetry: 0 },
    requestedSessionTimeout: 120000 });
  await client.connect(url);
  const session = await client.createSession();
  client.on("connection_lost", () => failures.push("the live session's connection was lost"));
  const names = await session.read({ nodeId: "ns=0;i=2255", attributeId: AttributeIds.Value });
  const ns = names.value.value.indexOf("urn:Zelkor:ToviExplorer:Tags");
  const endpoint = (await client.getEndpoints()).find((e) => e.securityMode === MessageSecurityMode.None);
  const policy = (type) => endpoint.userIdentityTokens.find((t) => t.tokenType === type)?.policyId;
  const live = { client, session, ns, slowest: 0, longestGap: 0, changes: 0,
    policies: { anonymous: policy(UserTokenType.Anonymous), user: policy(UserTokenType.UserName) ?? "username" } };
  const nodeId = `ns=${ns};s=Plant.Count`;
  const subscription = ClientSubscription.create(session, { requestedPublishingInterval: 100,
    requestedMaxKeepAliveCount: 10, requestedLifetimeCount: 600, publishingEnabled: true });
  const item = ClientMonitoredItem.create(subscription, { nodeId, attributeId: AttributeIds.Value },
    { samplingInterval: 0, queueSize: 10 }, TimestampsToReturn.Both);
  let lastChange = Date.now();
  item.on("changed", () => { live.changes++; lastChange = Date.now(); });
  let running = true;
  const fail = (text) => { if (failures.length < 10) failures.push(`${new Date().toISOString()} ${text}`); };
  const loop = (async () => {
    for (let n = 1000; running; n++) {
      const start = Date.now();
      try {
        const written = await within(session.write({ nodeId, attributeId: AttributeIds.Value,
          value: { value: { dataType: DataType.Int32, value: n } } }), 5000, "the live write");
        const read = await within(session.read({ nodeId, attributeId: AttributeIds.Value }), 5000, "the live read");
        if (!written.isGood() || !read.statusCode.isGood()) fail(`live write ${written}, read ${read.statusCode}`);
      } catch (e) {
        fail(e.message);
      }
      live.slowest = Math.max(live.slowest, Date.now() - start);
      live.longestGap = Math.max(live.longestGap, Date.now() - lastChange);
      if (Date.now() - lastChange > 5000) fail("the live subscription brought no change for 5 s");
      await sleep(100);
    }
  })();
  live.stop = async () => {
    running = false;
    await loop;
    await subscription.terminate();
    await session.close();
    await client.disconnect();
  };
  return live;
}

const megabytes = (pid) => {
  try {
    return Number(/VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, "latin1"))[1]) / 1024;
  } catch {
    return NaN;
  }
};
// The server's end of every TCP connection to the port but the listener.
function serverSockets() {
  let count = 0;
  for (const file of ["/proc/net/tcp", "/proc/net/tcp6"]) {
    for (const line of fs.readFileSync(file, "latin1").split("\n").slice(1)) {
      const f = line.trim().split(/\s+/);
      if (f.length > 3 && parseInt(f[1].split(":")[1], 16) === port && !["0A", "06"].includes(f[3])) count++;
    }
  }
  return count;
}
// Every session, activated or not (the diagnostics' array), every subscription, and the server's sockets.
async function counts(session) {
  const values = await within(session.read([3707, 2285].map((i) => ({ nodeId: `ns=0;i=${i}`,
    attributeId: AttributeIds.Value }))), 10000, "the counts");
  return { sessions: values[0].value.value.length, subscriptions: values[1].value.value, sockets: serverSockets() };
}

// A run bounded by time is bounded as a whole too: a hung server must not hold up the suite.
test(`malformed messages on the UA port cost only their own channel (seed ${seed})`, {
  timeout: limit ? undefined : (seconds + 150) * 1000 }, async (t) => {
  const pid = Number(env.UA_SERVER_PID);
  const failures = [];
  const live = await liveSession(failures);
  await sleep(1000);
  const before = await counts(live.session);
  const memory = { before: megabytes(pid) };
  memory.peak = memory.before;
  const stats = { undecodable: [], errors: [], outcomes: {}, byTarget: {}, channels: 0, sessions: 0, notReady: [],
    lingering: [] };
  const sampler = setInterval(() => { memory.peak = Math.max(memory.peak, megabytes(pid)); }, 500);
  const inFlight = new Set();
  let next = 0;
  let cases = 0;
  const start = Date.now();
  const stopAt = start + seconds * 1000;
  const more = () => (limit ? cases < limit : Date.now() < stopAt) && failures.length === 0;
  // The cases running when the server last answered a probe, and those begun since: the one that broke it is among them.
  let suspects = [];
  await Promise.all(Array.from({ length: workerCount }, async () => {
    const worker = new Worker(stats, live.ns, live.policies);
    while (more()) {
      const n = only ? only[next++] : next++;
      cases++;
      inFlight.add(n);
      suspects.push(n);
      try {
        if ((await worker.run(n)) === "answered") suspects = [...inFlight];
      } catch (e) {
        stats.errors.push(`case ${n}: ${e.stack.split("\n").slice(0, 3).join(" ")}`);
        worker.drop();
      }
      inFlight.delete(n);
    }
    await worker.finish();
  }));
  const elapsed = (Date.now() - start) / 1000;
  clearInterval(sampler);
  const mb = (x) => x.toFixed(1);
  t.diagnostic(`seed ${seed}: ${cases} cases in ${elapsed.toFixed(1)} s (${Math.round(cases / elapsed)}/s), ` +
    `${workerCount} connections at a time; ${stats.channels} channels and ${stats.sessions} sessions opened`);
  t.diagnostic(`outcomes ${JSON.stringify(stats.outcomes)}; targets ${JSON.stringify(stats.byTarget)}; ` +
    `not ready ${stats.notReady.length} ${stats.notReady.slice(0, 5).join("; ")}`);
  t.diagnostic(`live session: slowest call ${live.slowest} ms, longest wait for a change ${live.longestGap} ms, ` +
    `${live.changes} changes`);
  assert.deepEqual(failures, [], `the live session was not served; replay the cases running when the server last ` +
    `answered with UA_FUZZ_SEED=${seed} UA_FUZZ_ONLY=${suspects.join(",")}`);
  assert.deepEqual(stats.undecodable, [], "answers that do not decode");
  assert.deepEqual(stats.errors.slice(0, 5), []);
  assert.ok(cases > 0 && stats.outcomes.answered > 0, "cases that reached the services");
  // Sessions left on channels the server closed time out by themselves (10 s, or what a mutation asked for).
  const lingering = () => stats.lingering.filter((until) => until > Date.now() - 5000).length;
  const settled = (c) => c.subscriptions === before.subscriptions && c.sockets === before.sockets &&
    c.sessions >= before.sessions && c.sessions <= before.sessions + lingering();
  let after = await counts(live.session);
  for (const end = Date.now() + 30000; Date.now() < end && !settled(after);) {
    await sleep(500);
    after = await counts(live.session);
  }
  memory.after = megabytes(pid);
  await live.stop();
  // The port takes a new client as it took the first.
  const client = OPCUAClient.create({ endpointMustExist: false, connectionStrategy: { maxRetry: 0 } });
  const newcomer = await within((async () => {
    await client.connect(url);
    const session = await client.createSession();
    const state = await session.read({ nodeId: "ns=0;i=2259", attributeId: AttributeIds.Value });
    await session.close();
    return state.value.value;
  })(), 10000, "a new client").catch((e) => e.message).finally(() => client.disconnect());
  t.diagnostic(`server memory (MB): before ${mb(memory.before)}, peak ${mb(memory.peak)}, after ${mb(memory.after)}; ` +
    `before ${JSON.stringify(before)}, after ${JSON.stringify(after)}; ${stats.lingering.length} sessions left to time ` +
    `out, the last ${Math.round((Math.max(0, ...stats.lingering) - Date.now()) / 1000)} s from now`);
  assert.equal(newcomer, 0, "a new client's session reads the server running");
  assert.ok(settled(after), `sessions, subscriptions and sockets back to where they were (${lingering()} sessions ` +
    "may still be within their time-out)");
});
