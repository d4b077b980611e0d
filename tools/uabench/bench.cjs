// The OPC UA benchmark's client: one program, one run, two servers in turn.
// First the floor (the bare stack, ua_floor_server.exe), then the program
// ("Tovi Explorer.exe" /Serve) on a configuration of the same tags; both are
// met by the same requests, and each figure is printed for both with the
// ratio ours/floor. scripts/ua-bench.sh builds, imports the tags and runs it.
"use strict";
const { spawn, execFile, execFileSync } = require("node:child_process");
const fs = require("node:fs");
const net = require("node:net");
const path = require("node:path");
const { performance } = require("node:perf_hooks");
const {
  OPCUAClient, AttributeIds, DataType, MessageSecurityMode, SecurityPolicy, TimestampsToReturn, ClientSubscription,
  ClientMonitoredItem, ClientMonitoredItemGroup, StatusCodes,
} = require("node-opcua-client");

const usage = `usage: node bench.cjs --wine WINE --floor-exe EXE --tovi-exe EXE --config 'Z:\\...\\Bench.tvf'
       --tovi-opc EXE [--tags 100000] [--measured 10000] [--per-group 1000] [--seconds 60]
       [--floor-port 48461] [--port 48462] [--latency-writes 50] [--da-writes 50] [--json FILE]`;

function parseArguments(argv) {
  const options = {
    tags: 100000, measured: 10000, perGroup: 1000, seconds: 60, floorPort: 48461, port: 48462,
    latencyWrites: 50, daWrites: 50,
  };
  const numeric = new Set(["tags", "measured", "perGroup", "seconds", "floorPort", "port", "latencyWrites",
    "daWrites"]);
  for (let i = 0; i < argv.length; i += 2) {
    const name = argv[i].replace(/^--/, "").replace(/-([a-z])/g, (_, c) => c.toUpperCase());
    const value = argv[i + 1];
    if (value === undefined) throw new Error(usage);
    options[name] = numeric.has(name) ? Number(value) : value;
  }
  for (const needed of ["wine", "floorExe", "toviExe", "config", "toviOpc"]) {
    if (!options[needed]) throw new Error(`--${needed} is missing\n${usage}`);
  }
  if (!(options.measured > 0 && options.measured <= options.tags)) throw new Error("--measured must be 1..--tags");
  return options;
}

const options = parseArguments(process.argv.slice(2));
const kFloorNamespace = "urn:Zelkor:ToviExplorer:UaBenchFloor";
const kOurNamespace = "urn:Zelkor:ToviExplorer:Tags";
const kPeriodMs = 100;           // the sustained phase's change period and every subscription's publishing interval
const kSampling = 100;           // the monitored items' sampling interval in the creation and sustained phases
const kBatch = 1000;             // monitored items per CreateMonitoredItems call
const kLateMs = kSampling + kPeriodMs + 100;  // a period's last change after this is late
const kTicks = Number(execFileSync("getconf", ["CLK_TCK"], { encoding: "utf8" }).trim()) || 100;

const now = () => performance.now();
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, Math.max(0, ms)));
const tagId = (k) => `Dev.G${Math.floor(k / options.perGroup)}.T${k}`;
const stride = Math.floor(options.tags / options.measured);
const measured = Array.from({ length: options.measured }, (_, i) => tagId(i * stride));
const lastTag = tagId(options.tags - 1);

function median(values) { return quantile(values, 0.5); }
function quantile(values, q) {
  if (values.length === 0) return NaN;
  const sorted = [...values].sort((a, b) => a - b);
  const position = (sorted.length - 1) * q;
  const low = Math.floor(position), high = Math.ceil(position);
  return sorted[low] + (sorted[high] - sorted[low]) * (position - low);
}

async function within(promise, ms, what) {
  let timer;
  const timeout = new Promise((_, reject) => { timer = setTimeout(() => reject(new Error(`${what}: no answer in ${ms} ms`)), ms); });
  try { return await Promise.race([promise, timeout]); } finally { clearTimeout(timer); }
}

// ---- the server processes, seen from Linux ----

function cpuTicks(pid) {
  if (!pid) return NaN;
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, "utf8");
    const fields = stat.slice(stat.lastIndexOf(")") + 2).split(" ");
    return Number(fields[11]) + Number(fields[12]);  // utime + stime
  } catch { return NaN; }
}

function rssBytes(pid) {
  const status = fs.readFileSync(`/proc/${pid}/status`, "utf8");
  const match = status.match(/^VmRSS:\s+(\d+) kB/m);
  return match ? Number(match[1]) * 1024 : NaN;
}

// A process whose command line holds every word given. Wine shows the
// Windows command line there; the listening socket itself is held by the
// wineserver, so the port does not lead to the program's process.
function pidByCommandLine(words) {
  for (const entry of fs.readdirSync("/proc")) {
    if (!/^\d+$/.test(entry)) continue;
    let line;
    try { line = fs.readFileSync(`/proc/${entry}/cmdline`, "utf8").split("\0"); } catch { continue; }
    if (words.every((w) => line.some((arg) => arg.includes(w)))) return Number(entry);
  }
  return null;
}

// The prefix's wineserver: it works in /tmp/.wine-UID/server-<dev>-<inode> of the prefix folder.
function wineserverPid() {
  const prefix = process.env.WINEPREFIX;
  if (!prefix) return null;
  try {
    const st = fs.statSync(prefix, { bigint: true });
    const folder = `server-${st.dev.toString(16)}-${st.ino.toString(16)}`;
    for (const entry of fs.readdirSync("/proc")) {
      if (!/^\d+$/.test(entry)) continue;
      try {
        if (path.basename(fs.readlinkSync(`/proc/${entry}/cwd`)) === folder &&
            fs.readFileSync(`/proc/${entry}/comm`, "utf8").startsWith("wineserver")) return Number(entry);
      } catch { /* not ours or gone */ }
    }
  } catch { /* no prefix */ }
  return null;
}

function portOpen(port) {
  return new Promise((resolve) => {
    const socket = net.connect({ host: "127.0.0.1", port });
    socket.setTimeout(500);
    socket.once("connect", () => { socket.destroy(); resolve(true); });
    socket.once("error", () => resolve(false));
    socket.once("timeout", () => { socket.destroy(); resolve(false); });
  });
}

function startProcess(args) {
  const child = spawn(options.wine, args, { stdio: ["ignore", "pipe", "pipe"] });
  const record = { child, out: "", exited: false, code: null };
  child.stdout.on("data", (d) => { record.out += d; });
  child.stderr.on("data", (d) => { record.out += d; });
  child.on("exit", (code) => { record.exited = true; record.code = code; });
  return record;
}

async function waitForExit(record, ms) {
  const end = now() + ms;
  while (!record.exited && now() < end) await sleep(50);
  return record.exited;
}

function runWine(args, ms) {
  return new Promise((resolve) => {
    execFile(options.wine, args, { timeout: ms }, (error, stdout, stderr) =>
      resolve({ code: error ? (error.code ?? 1) : 0, out: `${stdout}${stderr}` }));
  });
}

// ---- UA sessions ----

async function connect(url) {
  const client = OPCUAClient.create({
    endpointMustExist: false, keepSessionAlive: true,
    securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None,
    connectionStrategy: { maxRetry: 0, initialDelay: 100, maxDelay: 200 },
    requestedSessionTimeout: 600000, defaultTransactionTimeout: 60000,
  });
  await client.connect(url);
  try {
    const session = await client.createSession();
    return {
      client, session,
      async close() {
        try { await within(session.close(), 10000, "closing the session"); } catch { /* the server may be gone */ }
        try { await within(client.disconnect(), 10000, "disconnecting"); } catch { /* likewise */ }
      },
    };
  } catch (error) {
    await client.disconnect();
    throw error;
  }
}

function readValues(session, ids) {
  return session.read(ids.map((nodeId) => ({ nodeId, attributeId: AttributeIds.Value })));
}

async function createSubscription(session) {
  const subscription = ClientSubscription.create(session, {
    requestedPublishingInterval: kPeriodMs, requestedLifetimeCount: 6000, requestedMaxKeepAliveCount: 20,
    maxNotificationsPerPublish: 0, publishingEnabled: true, priority: 10,
  });
  await within(new Promise((resolve, reject) => {
    subscription.once("started", resolve);
    subscription.once("internal_error", reject);
  }), 10000, "creating a subscription");
  return subscription;
}

// ---- the server under measurement ----

class Server {
  constructor(kind) {
    this.kind = kind;  // "floor" | "ours"
    this.port = kind === "floor" ? options.floorPort : options.port;
    this.url = `opc.tcp://localhost:${this.port}/`;
    this.namespaceUri = kind === "floor" ? kFloorNamespace : kOurNamespace;
    this.process = null;
    this.pid = null;
  }

  args(tags, port) {
    if (this.kind === "floor") {
      return [options.floorExe, "--port", String(port), "--tags", String(tags), "--per-group", String(options.perGroup)];
    }
    return [options.toviExe, options.config, "/Serve", "/UaPort", String(port)];
  }

  start(tags = options.tags, port = this.port) {
    this.startedAt = now();
    this.startPort = port;
    this.process = startProcess(this.args(tags, port));
  }

  // Connects as soon as the endpoint answers a Read of the last tag; the time from the start is the figure.
  async waitReady(lastId, ms = 300000) {
    const end = this.startedAt + ms;
    while (now() < end) {
      if (this.process.exited) throw new Error(`${this.kind} ended (exit ${this.process.code}): ${this.process.out}`);
      if (await portOpen(this.port)) {
        let connection = null;
        try {
          connection = await within(connect(this.url), 20000, "connecting");
          const namespaces = await connection.session.readNamespaceArray();
          const ns = namespaces.indexOf(this.namespaceUri);
          if (ns > 0) {
            const id = lastId === null ? null : `ns=${ns};s=${lastId}`;
            const answer = id === null ? null : await connection.session.read({ nodeId: id, attributeId: AttributeIds.Value });
            if (id === null || answer.statusCode.isGood()) {
              this.readyMs = now() - this.startedAt;
              this.ns = ns;
              this.pid = this.findPid(this.startPort);
              return connection;
            }
          }
        } catch { /* not yet */ }
        if (connection) await connection.close();
      }
      await sleep(50);
    }
    throw new Error(`${this.kind}: the endpoint did not answer in ${ms} ms`);
  }

  // The Wine process started for the server: the loader's pid becomes the program's.
  findPid(port) {
    const exe = path.win32.basename(this.kind === "floor" ? options.floorExe : options.toviExe);
    const pid = this.process.child.pid;
    try {
      if (fs.readFileSync(`/proc/${pid}/cmdline`, "utf8").includes(exe)) return pid;
    } catch { /* ended */ }
    const found = pidByCommandLine([exe, String(port)]);
    if (found === null) throw new Error(`${this.kind}: no process found for ${exe}`);
    return found;
  }

  ids(list) { return list.map((id) => `ns=${this.ns};s=${id}`); }

  async stop() {
    if (!this.process || this.process.exited) return;
    if (this.kind === "floor") {
      // The bare server keeps nothing: its process is ended.
      try { process.kill(this.pid ?? this.process.child.pid, "SIGKILL"); } catch { /* gone */ }
      try { process.kill(this.process.child.pid, "SIGKILL"); } catch { /* gone */ }
    } else {
      // Only this prefix's copies hear /Close: the benchmark's own.
      await runWine([options.toviExe, "/Close", "30"], 90000);
    }
    if (!(await waitForExit(this.process, 60000))) throw new Error(`${this.kind} did not end`);
  }
}

// ---- the measurements ----

async function measureRead(session, ids) {
  const times = [];
  for (let i = 0; i < 5; ++i) {
    const start = now();
    const values = await within(readValues(session, ids), 60000, "the Read");
    times.push(now() - start);
    const bad = values.filter((v) => !v.statusCode.isGood()).length;
    if (bad > 0) throw new Error(`the Read of ${ids.length} values answered ${bad} bad statuses`);
  }
  return { median: median(times), all: times };
}

// Creates the monitored items in batches, one call after the other, and waits for every first value.
async function createMonitoredItems(session, ids, onChange) {
  const subscription = await createSubscription(session);
  const first = new Uint8Array(ids.length);
  let firsts = 0;
  const start = now();
  for (let offset = 0; offset < ids.length; offset += kBatch) {
    const slice = ids.slice(offset, offset + kBatch);
    const group = ClientMonitoredItemGroup.create(subscription,
      slice.map((nodeId) => ({ nodeId, attributeId: AttributeIds.Value })),
      { samplingInterval: kSampling, queueSize: 1, discardOldest: true }, TimestampsToReturn.Both);
    group.on("changed", (_item, dataValue, index) => {
      const i = offset + index;
      if (!first[i]) { first[i] = 1; ++firsts; }
      onChange(i, dataValue, now());
    });
    await within(new Promise((resolve, reject) => {
      group.once("initialized", resolve);
      group.once("err", (message) => reject(new Error(message)));
    }), 60000, "CreateMonitoredItems");
    const refused = group.monitoredItems.filter((item) => item.statusCode && !item.statusCode.isGood()).length;
    if (refused > 0) throw new Error(`${refused} monitored items refused`);
  }
  const created = now() - start;
  const end = start + 120000;
  while (firsts < ids.length && now() < end) await sleep(5);
  if (firsts < ids.length) throw new Error(`only ${firsts} of ${ids.length} first values arrived`);
  return { subscription, createdMs: created, allFirstMs: now() - start };
}

// 10% of the monitored items change every period, each item every tenth period, through writes from a second session.
async function sustained(server, writer, ids, handler) {
  const seconds = options.seconds;
  const periods = Math.round((seconds * 1000) / kPeriodMs);
  const setSize = Math.ceil(ids.length / 10);
  const sets = Math.ceil(ids.length / setSize);
  const setOf = (p) => p % sets;
  const dueAt = new Float64Array(periods);
  const sentAt = new Float64Array(periods).fill(NaN);
  const madeIn = new Uint32Array(periods);
  const deliveredIn = new Uint32Array(periods);
  const lastArrival = new Float64Array(periods);
  const lastValue = new Float64Array(ids.length);
  const latencies = [];
  let made = 0, delivered = 0, strays = 0;
  handler.onChange = (i, dataValue, arrival) => {
    const v = dataValue.value?.value;
    if (typeof v !== "number" || v <= lastValue[i]) return;
    lastValue[i] = v;
    const p = v - 1;
    if (!Number.isInteger(p) || p >= periods || Math.floor(i / setSize) !== setOf(p) || Number.isNaN(sentAt[p])) {
      ++strays;
      return;
    }
    ++delivered;
    ++deliveredIn[p];
    lastArrival[p] = Math.max(lastArrival[p], arrival);
    latencies.push(arrival - sentAt[p]);
  };
  const wineserver = wineserverPid();
  const cpuStart = { server: cpuTicks(server.pid), wineserver: cpuTicks(wineserver), client: process.cpuUsage() };
  const start = now();
  let lateWrites = 0;
  for (let p = 0; p < periods; ++p) {
    dueAt[p] = start + p * kPeriodMs;
    await sleep(dueAt[p] - now());
    if (now() - dueAt[p] > kPeriodMs) ++lateWrites;
    const set = setOf(p);
    const nodes = [];
    for (let i = set * setSize; i < Math.min(ids.length, (set + 1) * setSize); ++i) {
      nodes.push({ nodeId: ids[i], attributeId: AttributeIds.Value,
        value: { value: { dataType: DataType.Double, value: p + 1 } } });
    }
    sentAt[p] = now();
    const results = await within(writer.session.write(nodes), 30000, "the sustained Write");
    const good = results.filter((s) => s.isGood()).length;
    madeIn[p] = good;
    made += good;
  }
  const elapsed = (now() - start) / 1000;
  const cpu = {
    server: ((cpuTicks(server.pid) - cpuStart.server) / kTicks / elapsed) * 100,
    wineserver: ((cpuTicks(wineserver) - cpuStart.wineserver) / kTicks / elapsed) * 100,
  };
  const clientCpu = process.cpuUsage(cpuStart.client);
  cpu.client = ((clientCpu.user + clientCpu.system) / 1e6 / elapsed) * 100;
  // Late changes still count as delivered: they are waited for a while.
  const graceEnd = now() + 3000;
  while (delivered < made && now() < graceEnd) await sleep(20);
  handler.onChange = () => {};
  let late = 0;
  for (let p = 0; p < periods; ++p) {
    if (deliveredIn[p] < madeIn[p] || madeIn[p] === 0 || lastArrival[p] - dueAt[p] > kLateMs) ++late;
  }
  return {
    seconds: elapsed, periods, made, delivered, strays, late, lateWrites, cpu,
    latencyMedian: median(latencies), latencyP95: quantile(latencies, 0.95),
  };
}

// Waits for the data change carrying `value` on one monitored item.
class ChangeWaiter {
  constructor(item) {
    this.waiting = null;
    item.on("changed", (dataValue) => {
      const arrival = now();
      const epoch = Date.now();
      if (this.waiting && dataValue.value?.value === this.waiting.value) {
        const w = this.waiting;
        this.waiting = null;
        w.resolve({ arrival, epoch, source: dataValue.sourceTimestamp ? dataValue.sourceTimestamp.getTime() : NaN });
      }
    });
  }
  expect(value, ms) {
    return within(new Promise((resolve) => { this.waiting = { value, resolve }; }), ms, `the change to ${value}`);
  }
}

async function monitorOne(session, nodeId, samplingInterval) {
  const subscription = await createSubscription(session);
  const item = ClientMonitoredItem.create(subscription, { nodeId, attributeId: AttributeIds.Value },
    { samplingInterval, queueSize: 10, discardOldest: true }, TimestampsToReturn.Both);
  const waiter = new ChangeWaiter(item);
  let firstSeen = false;
  item.once("changed", () => { firstSeen = true; });
  await within(new Promise((resolve, reject) => {
    item.once("initialized", resolve);
    item.once("err", (message) => reject(new Error(message)));
  }), 10000, "monitoring one item");
  const end = now() + 5000;
  while (!firstSeen && now() < end) await sleep(5);
  return { subscription, waiter };
}

// UA write from the second session → data change in the first, at a random moment of the publishing cycle.
async function writeLatency(session, writer, nodeId, samplingInterval, base) {
  const { subscription, waiter } = await monitorOne(session, nodeId, samplingInterval);
  const latencies = [];
  let missed = 0;
  for (let j = 0; j < options.latencyWrites; ++j) {
    await sleep(100 + Math.random() * 200);
    const value = base + j;
    const change = waiter.expect(value, 5000);
    const sent = now();
    const status = await within(writer.session.write({ nodeId, attributeId: AttributeIds.Value,
      value: { value: { dataType: DataType.Double, value } } }), 10000, "the Write");
    if (!status.isGood()) throw new Error(`the Write answered ${status.toString()}`);
    try {
      latencies.push((await change).arrival - sent);
    } catch { ++missed; }
  }
  await subscription.terminate();
  return { median: median(latencies), p95: quantile(latencies, 0.95), missed };
}

// A DA client's write (tovi-opc under Wine) → data change at the UA client.
async function daWriteLatency(session, itemId, nodeId, base) {
  const { subscription, waiter } = await monitorOne(session, nodeId, 0);
  const fromStamp = [];
  const fromStart = [];
  let missed = 0, failed = 0;
  for (let j = 0; j < options.daWrites; ++j) {
    await sleep(Math.random() * 200);
    const value = base + j;
    const change = waiter.expect(value, 30000);
    change.catch(() => {});
    const started = now();
    const result = await runWine([options.toviOpc, "write", "Zelkor.Tovi.1", `${itemId}=${value}`], 60000);
    if (result.code !== 0) {
      ++failed;
      if (failed === 1) process.stderr.write(`tovi-opc write failed: ${result.out}\n`);
      continue;
    }
    try {
      const seen = await change;
      fromStart.push(seen.arrival - started);
      // The server stamps the tag when the write is applied: from there to the UA client.
      if (Number.isFinite(seen.source)) fromStamp.push(seen.epoch - seen.source);
    } catch { ++missed; }
  }
  await subscription.terminate();
  return {
    median: median(fromStamp), p95: quantile(fromStamp, 0.95), startMedian: median(fromStart), missed, failed,
    count: fromStamp.length,
  };
}

// Everything measured on one running server, through a reading/subscribing session and a writing one.
async function measureServer(server, main) {
  const result = { readyMs: server.readyMs };
  await sleep(2000);
  result.rss = rssBytes(server.pid);
  const ids = server.ids(measured);
  const writer = await connect(server.url);
  try {
    log(`${server.kind}: Read of ${ids.length} values`);
    result.read = await measureRead(main.session, ids);
    log(`${server.kind}: ${ids.length} monitored items`);
    const handler = { onChange: () => {} };
    const items = await createMonitoredItems(main.session, ids, (i, dv, t) => handler.onChange(i, dv, t));
    result.monitor = { createdMs: items.createdMs, allFirstMs: items.allFirstMs };
    log(`${server.kind}: sustained changes for ${options.seconds} s`);
    result.sustained = await sustained(server, writer, ids, handler);
    await within(items.subscription.terminate(), 60000, "deleting the subscription");
    log(`${server.kind}: write latency`);
    result.latency0 = await writeLatency(main.session, writer, ids[1], 0, 1e6);
    result.latency100 = await writeLatency(main.session, writer, ids[2], 100, 2e6);
    if (server.kind === "ours" && options.daWrites > 0) {
      log(`${server.kind}: DA write latency`);
      result.da = await daWriteLatency(main.session, measured[3], ids[3], 3e6);
    }
  } finally {
    await writer.close();
  }
  return result;
}

function log(text) { process.stderr.write(`[ua-bench ${new Date().toISOString().slice(11, 19)}] ${text}\n`); }

// Starts a server, waits until it is ready, reads its memory, and ends it.
async function memoryOnly(server, tags, port, readyWhen) {
  server.start(tags, port);
  let pid = null;
  try {
    if (readyWhen === "port") {
      const connection = await server.waitReady(tags > 0 ? tagId(tags - 1) : null);
      await connection.close();
      pid = server.pid;
    } else {
      // No endpoint: ready once the program says it serves.
      const end = now() + 300000;
      while (!/Close with/.test(server.process.out) && now() < end && !server.process.exited) await sleep(50);
      if (!/Close with/.test(server.process.out)) throw new Error(`ours did not start serving: ${server.process.out}`);
      pid = server.findPid(port);
    }
    await sleep(2000);
    return rssBytes(pid);
  } finally {
    await server.stop();
  }
}

async function main() {
  const startedAt = Date.now();
  const report = { options: { ...options }, load: fs.readFileSync("/proc/loadavg", "utf8").split(" ").slice(0, 3) };
  const floor = new Server("floor");
  const ours = new Server("ours");
  const servers = [floor, ours];
  const watchdog = setTimeout(() => {
    log("the benchmark took longer than its limit");
    for (const s of servers) if (s.process && !s.process.exited) try { s.process.child.kill("SIGKILL"); } catch { /* gone */ }
    process.exit(3);
  }, (1800 + 2 * options.seconds) * 1000);
  watchdog.unref();
  try {
    log("floor: memory with no tags");
    report.floorEmptyRss = await memoryOnly(floor, 0, options.floorPort, "port");
    log("ours: memory with the UA endpoint off");
    report.oursOffRss = await memoryOnly(ours, options.tags, 0, "stdout");

    for (const server of servers) {
      log(`${server.kind}: starting with ${options.tags} tags`);
      server.start();
      const main = await server.waitReady(lastTag);
      try {
        report[server.kind] = await measureServer(server, main);
      } finally {
        await main.close();
        await server.stop();
      }
    }
  } catch (error) {
    for (const s of servers) await s.stop().catch(() => {});
    throw error;
  }
  report.minutes = (Date.now() - startedAt) / 60000;
  printTable(report);
  if (options.json) fs.writeFileSync(options.json, JSON.stringify(report, null, 2));
}

// ---- the table ----

function printTable(r) {
  const f = r.floor, o = r.ours;
  const ms = (v) => (Number.isFinite(v) ? `${v < 10 ? v.toFixed(2) : v < 100 ? v.toFixed(1) : Math.round(v)} ms` : "n/a");
  const pct = (v) => (Number.isFinite(v) ? `${v.toFixed(1)} %` : "n/a");
  const bytes = (v) => (Number.isFinite(v) ? `${Math.round(v)} B` : "n/a");
  const mib = (v) => (Number.isFinite(v) ? `${(v / 1048576).toFixed(1)} MiB` : "n/a");
  const ratio = (a, b) => (Number.isFinite(a) && Number.isFinite(b) && b !== 0 ? `${(a / b).toFixed(2)}` : "—");
  const rows = [];
  const row = (name, floorValue, ourValue, floorText, ourText) =>
    rows.push([name, floorText, ourText, ratio(ourValue, floorValue)]);
  const n = options.measured.toLocaleString("en");
  const sf = f.sustained, so = o.sustained;
  const floorPerTag = (f.rss - r.floorEmptyRss) / options.tags;
  const ourPerTag = (o.rss - r.oursOffRss) / options.tags;

  row("Address space ready (start → Read of the last tag)", f.readyMs, o.readyMs, ms(f.readyMs), ms(o.readyMs));
  row("Memory (RSS) when ready", f.rss, o.rss, mib(f.rss), mib(o.rss));
  row("  bytes per tag added by UA (floor: vs 0 tags; ours: vs /UaPort 0)", floorPerTag, ourPerTag,
    bytes(floorPerTag), bytes(ourPerTag));
  row(`Read of ${n} values in one Read (median of 5)`, f.read.median, o.read.median, ms(f.read.median), ms(o.read.median));
  row(`${n} monitored items: created (batches of ${kBatch})`, f.monitor.createdMs, o.monitor.createdMs,
    ms(f.monitor.createdMs), ms(o.monitor.createdMs));
  row(`${n} monitored items: every first value arrived`, f.monitor.allFirstMs, o.monitor.allFirstMs,
    ms(f.monitor.allFirstMs), ms(o.monitor.allFirstMs));
  for (const [key, label] of [["latency0", "sampling 0"], ["latency100", "sampling 100 ms"]]) {
    const a = f[key], b = o[key];
    row(`UA write → data change, ${label}: median`, a.median, b.median, ms(a.median), ms(b.median));
    row(`UA write → data change, ${label}: p95`, a.p95, b.p95, ms(a.p95), ms(b.p95));
    if (a.missed + b.missed > 0) row(`  ${label}: changes never seen`, a.missed, b.missed, String(a.missed), String(b.missed));
  }
  const share = (s) => s.delivered / s.made;
  const shareText = (s) => `${s.delivered}/${s.made} (${(share(s) * 100).toFixed(2)} %)`;
  row(`Sustained ${sf.seconds.toFixed(0)} s: changes delivered / made`, share(sf), share(so), shareText(sf), shareText(so));
  row(`Sustained: late periods (last change > ${kLateMs} ms, of ${sf.periods})`, sf.late, so.late, String(sf.late),
    String(so.late));
  row("Sustained: periods whose Write went out a period late", sf.lateWrites, so.lateWrites, String(sf.lateWrites),
    String(so.lateWrites));
  row("Sustained: write → change latency, median", sf.latencyMedian, so.latencyMedian, ms(sf.latencyMedian),
    ms(so.latencyMedian));
  row("Sustained: write → change latency, p95", sf.latencyP95, so.latencyP95, ms(sf.latencyP95), ms(so.latencyP95));
  row("Sustained: server CPU (% of one core)", sf.cpu.server, so.cpu.server, pct(sf.cpu.server), pct(so.cpu.server));
  row("Sustained: wineserver CPU (% of one core)", sf.cpu.wineserver, so.cpu.wineserver, pct(sf.cpu.wineserver),
    pct(so.cpu.wineserver));
  row("Sustained: this client's CPU (% of one core)", sf.cpu.client, so.cpu.client, pct(sf.cpu.client),
    pct(so.cpu.client));
  if (o.da) {
    rows.push([`DA write (tovi-opc) → UA data change, sampling 0: median`, "—", ms(o.da.median), "—"]);
    rows.push([`DA write (tovi-opc) → UA data change, sampling 0: p95`, "—", ms(o.da.p95), "—"]);
    rows.push([`  the same from tovi-opc's start (Wine process, COM connect), median`, "—", ms(o.da.startMedian), "—"]);
    if (o.da.missed + o.da.failed > 0) {
      rows.push([`  DA writes failed / changes never seen`, "—", `${o.da.failed} / ${o.da.missed}`, "—"]);
    }
  }

  const head = ["figure", "floor", "ours", "ours/floor"];
  const widths = head.map((h, c) => Math.max(h.length, ...rows.map((x) => x[c].length)));
  const line = (cells) => cells.map((cell, c) => (c === 0 ? cell.padEnd(widths[c]) : cell.padStart(widths[c]))).join("  ");
  console.log(`OPC UA benchmark: ${options.tags.toLocaleString("en")} tags, ${n} measured, sustained ${sf.seconds.toFixed(0)} s, ` +
    `load average before ${r.load.join(" ")}, ${r.minutes.toFixed(1)} min`);
  console.log(`floor: open62541 alone (ua_floor_server.exe); ours: "Tovi Explorer.exe" /Serve; one node-opcua client`);
  console.log(line(head));
  console.log(widths.map((w) => "-".repeat(w)).join("  "));
  for (const x of rows) console.log(line(x));
  if (o.da) console.log(`DA latency: from the write's source timestamp to the UA client (${o.da.count} of ${options.daWrites} writes).`);
  if (sf.strays + so.strays > 0) console.log(`Values that matched no write: floor ${sf.strays}, ours ${so.strays}.`);
}

main().then(() => process.exit(0), (error) => {
  process.stderr.write(`ua-bench: ${error.stack || error}\n`);
  process.exit(1);
});
