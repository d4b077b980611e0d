// The OPC UA endpoint of the real program, seen by a real UA client: the
// server it describes, its tags as nodes, values and qualities, writes and
// their results, subscriptions, and DA and UA writes meeting. The program
// serves tags.csv beside this file (run-ua-tests.sh starts it).
"use strict";
const test = require("node:test");
const assert = require("node:assert/strict");
const { execFile } = require("node:child_process");
const {
  OPCUAClient, AttributeIds, DataType, StatusCodes, MessageSecurityMode, SecurityPolicy, TimestampsToReturn,
  ClientSubscription, ClientMonitoredItem, DataChangeFilter, DeadbandType, DataChangeTrigger, BrowseDirection,
  NodeClass, Variant, VariantArrayType,
} = require("node-opcua-client");

const url = process.env.UA_URL;
const tagsNamespace = "urn:Zelkor:ToviExplorer:Tags";
let ns = 0;
const id = (itemId) => `ns=${ns};s=${itemId}`;

async function connect(securityMode = MessageSecurityMode.None, securityPolicy = SecurityPolicy.None) {
  const client = OPCUAClient.create({
    endpointMustExist: false, securityMode, securityPolicy,
    connectionStrategy: { maxRetry: 1, initialDelay: 100, maxDelay: 500 },
  });
  await client.connect(url);
  const session = await client.createSession();
  return { client, session, async close() { await session.close(); await client.disconnect(); } };
}

async function readValue(session, itemId) {
  return session.read({ nodeId: id(itemId), attributeId: AttributeIds.Value });
}

// A DA client's write through the command-line client under Wine.
function daWrite(itemId, value) {
  return new Promise((resolve, reject) => {
    execFile(process.env.WINE, [process.env.TOVI_OPC, "write", "Zelkor.Tovi.1", `${itemId}=${value}`],
      { timeout: 60000 }, (error, stdout, stderr) => (error ? reject(new Error(stderr || stdout)) : resolve(stdout)));
  });
}

// Every data change of a monitored item, from its first on.
function watch(item) {
  const seen = [];
  item.on("changed", (dataValue) => seen.push(dataValue));
  return {
    seen,
    // The first change from `from` on that `predicate` accepts.
    async next(predicate = () => true, from = 0, timeoutMs = 5000) {
      const end = Date.now() + timeoutMs;
      for (;;) {
        const found = seen.slice(from).find(predicate);
        if (found) return found;
        if (Date.now() > end) throw new Error(`no data change (${seen.length} seen)`);
        await new Promise((r) => setTimeout(r, 10));
      }
    },
  };
}

let main;
test.before(async () => {
  main = await connect();
  const namespaces = await main.session.readNamespaceArray();
  ns = namespaces.indexOf(tagsNamespace);
  assert.ok(ns > 0, `namespace ${tagsNamespace} in ${namespaces}`);
});
test.after(async () => { if (main) await main.close(); });

test("the server describes itself and offers the secure endpoints", async () => {
  const client = OPCUAClient.create({ endpointMustExist: false });
  await client.connect(url);
  const endpoints = await client.getEndpoints();
  await client.disconnect();
  const offered = endpoints.map((e) => `${e.securityPolicyUri.split("#")[1]}/${MessageSecurityMode[e.securityMode]}`);
  const wanted = ["None/None"];
  for (const policy of ["Basic256Sha256", "Aes128_Sha256_RsaOaep", "Aes256_Sha256_RsaPss"]) {
    wanted.push(`${policy}/Sign`, `${policy}/SignAndEncrypt`);
  }
  assert.deepEqual([...new Set(offered)].sort(), wanted.sort());
  const server = endpoints[0].server;
  assert.match(server.applicationUri, /^urn:[^:]+:Zelkor:ToviExplorer$/);
  const [productName, state] = await main.session.read([
    { nodeId: "ns=0;i=2261", attributeId: AttributeIds.Value }, // BuildInfo.ProductName
    { nodeId: "ns=0;i=2259", attributeId: AttributeIds.Value }, // ServerStatus.State
  ]);
  assert.equal(productName.value.value, "Tovi Explorer");
  assert.equal(state.value.value, 0); // Running
});

test("devices and groups are folders, tags are variables named by their item IDs", async () => {
  const objects = await main.session.browse({ nodeId: "ns=0;i=85", browseDirection: BrowseDirection.Forward,
    referenceTypeId: "Organizes", includeSubtypes: true, resultMask: 63 });
  const plant = objects.references.find((r) => r.browseName.name === "Plant");
  assert.ok(plant, "device folder Plant under Objects");
  assert.equal(plant.nodeId.toString(), id("Plant"));
  assert.equal(plant.typeDefinition.toString(), "ns=0;i=61"); // FolderType
  const inPlant = await main.session.browse({ nodeId: id("Plant"), browseDirection: BrowseDirection.Forward,
    referenceTypeId: "HierarchicalReferences", includeSubtypes: true, resultMask: 63 });
  const byName = Object.fromEntries(inPlant.references.map((r) => [r.browseName.name, r]));
  assert.equal(byName.Area.nodeClass, NodeClass.Object);
  assert.equal(byName.Area.referenceTypeId.toString(), "ns=0;i=35"); // Organizes
  assert.equal(byName.Flow.nodeClass, NodeClass.Variable);
  assert.equal(byName.Flow.referenceTypeId.toString(), "ns=0;i=47"); // HasComponent
  assert.equal(byName.Flow.nodeId.toString(), id("Plant.Flow"));
  const deep = await readValue(main.session, "Plant.Area.Deep.Probe");
  assert.equal(deep.statusCode, StatusCodes.Good);
  const unknown = await readValue(main.session, "Plant.NoSuchTag");
  assert.equal(unknown.statusCode, StatusCodes.BadNodeIdUnknown);
});

test("each tag's attributes follow its DA type, access and description", async () => {
  const rows = [
    // item ID, DataType, value, writable, description
    ["Plant.Flow", DataType.Double, 12.5, true, "Flow into the tank"],
    ["Plant.Level", DataType.Float, 40, true, "Tank level in percent"],
    ["Plant.Count", DataType.Int32, 7, true, "Items counted"],
    ["Plant.Small", DataType.Int16, -3, true, "A short number"],
    ["Plant.Octet", DataType.Byte, 200, true, "A byte"],
    ["Plant.Running", DataType.Boolean, true, true, "Pump running"],
    ["Plant.Name", DataType.String, "Batch A", true, "Batch name"],
    ["Plant.Fixed", DataType.Double, 3.25, false, "Set at the factory"],
  ];
  for (const [itemId, dataType, value, writable, description] of rows) {
    const attributes = [AttributeIds.DataType, AttributeIds.ValueRank, AttributeIds.AccessLevel,
      AttributeIds.UserAccessLevel, AttributeIds.Description, AttributeIds.Value];
    const read = await main.session.read(attributes.map((attributeId) => ({ nodeId: id(itemId), attributeId })));
    assert.equal(read[0].value.value.value, dataType, `${itemId} DataType`);
    assert.equal(read[1].value.value, -1, `${itemId} ValueRank`);
    assert.equal(read[2].value.value, writable ? 3 : 1, `${itemId} AccessLevel`);
    assert.equal(read[3].value.value, writable ? 3 : 1, `${itemId} UserAccessLevel`);
    assert.equal(read[4].value.value.text, description, `${itemId} Description`);
    assert.equal(read[5].value.dataType, dataType, `${itemId} value type`);
    assert.equal(read[5].value.value, value, `${itemId} value`);
    assert.ok(read[5].sourceTimestamp instanceof Date && read[5].sourceTimestamp.getFullYear() > 2000);
  }
  // Value limits make an analog item with its range.
  const level = await main.session.browse({ nodeId: id("Plant.Level"), browseDirection: BrowseDirection.Forward,
    referenceTypeId: "HasTypeDefinition", resultMask: 63 });
  assert.equal(level.references[0].nodeId.toString(), "ns=0;i=2368"); // AnalogItemType
  const range = await main.session.translateBrowsePath({ startingNode: id("Plant.Level"),
    relativePath: { elements: [{ referenceTypeId: "ns=0;i=46", isInverse: false, includeSubtypes: true,
      targetName: { namespaceIndex: 0, name: "EURange" } }] } });
  const euRange = await main.session.read({ nodeId: range.targets[0].targetId, attributeId: AttributeIds.Value });
  assert.equal(euRange.value.value.low, 0);
  assert.equal(euRange.value.value.high, 100);
});

test("DA qualities arrive as the mapped status codes, limit bits included", async () => {
  const limits = { low: 0x0400 | 0x0100, high: 0x0400 | 0x0200, constant: 0x0400 | 0x0300 };
  const rows = [
    ["Quality.Override", 0x00960000],
    ["Quality.Uncertain", 0x40000000],
    ["Quality.LastUsable", 0x40900000],
    ["Quality.SensorCal", 0x40930000],
    ["Quality.EuExceededLow", 0x40940000 | limits.low],
    ["Quality.SubNormal", 0x40950000],
    ["Quality.Bad", 0x80000000],
    ["Quality.ConfigError", 0x80890000],
    ["Quality.NotConnected", 0x808a0000],
    ["Quality.DeviceFailure", 0x808b0000],
    ["Quality.SensorFailure", 0x808c0000],
    ["Quality.LastKnown", 0x808d0000],
    ["Quality.CommFailureHigh", 0x80310000 | limits.high],
    ["Quality.OutOfService", 0x808d0000],
    ["Quality.WaitingConst", 0x80320000 | limits.constant],
  ];
  for (const [itemId, code] of rows) {
    const value = await readValue(main.session, itemId);
    assert.equal(value.statusCode.value >>> 0, code >>> 0, `${itemId}: ${value.statusCode.toString()}`);
  }
});

test("writes convert as a DA write does and answer the mapped codes", async () => {
  const write = (itemId, value, extra = {}) =>
    main.session.write({ nodeId: id(itemId), attributeId: AttributeIds.Value, value: { value, ...extra } });
  const rows = [
    // item ID, value written, status, value read afterwards (undefined: unchanged)
    ["Plant.Flow", { dataType: DataType.Double, value: 21.75 }, StatusCodes.Good, 21.75],
    ["Plant.Name", { dataType: DataType.String, value: "Batch B" }, StatusCodes.Good, "Batch B"],
    ["Plant.Running", { dataType: DataType.Boolean, value: false }, StatusCodes.Good, false],
    ["Plant.Level", { dataType: DataType.Float, value: 250 }, StatusCodes.GoodClamped, 100],
    ["Plant.Level", { dataType: DataType.Float, value: -5 }, StatusCodes.GoodClamped, 0],
    ["Plant.Level", { dataType: DataType.Float, value: 55 }, StatusCodes.Good, 55],
    ["Plant.Fixed", { dataType: DataType.Double, value: 1 }, StatusCodes.BadNotWritable, 3.25],
    ["Plant.Count", { dataType: DataType.Double, value: 1.5 }, StatusCodes.BadTypeMismatch, 7],
    ["Plant.Count", { dataType: DataType.String, value: "12" }, StatusCodes.BadTypeMismatch, 7],
    ["Plant.Count", { dataType: DataType.Int32, arrayType: VariantArrayType.Array, value: [1, 2] },
      StatusCodes.BadTypeMismatch, 7],
    ["Plant.Count", { dataType: DataType.Null, value: null }, StatusCodes.BadTypeMismatch, 7],
    ["Plant.NoSuchTag", { dataType: DataType.Double, value: 1 }, StatusCodes.BadNodeIdUnknown, undefined],
  ];
  for (const [itemId, value, status, after] of rows) {
    const result = await write(itemId, new Variant(value));
    assert.equal(result.name, status.name, `${itemId} <- ${JSON.stringify(value.value)}`);
    if (after !== undefined) {
      const read = await readValue(main.session, itemId);
      assert.equal(read.value.value, after, `${itemId} after the write`);
    }
  }
  // A DA server writes values only.
  for (const extra of [{ sourceTimestamp: new Date() }, { statusCode: StatusCodes.Uncertain }]) {
    const result = await write("Plant.Flow", new Variant({ dataType: DataType.Double, value: 99 }), extra);
    assert.equal(result.name, "BadWriteNotSupported", JSON.stringify(Object.keys(extra)));
  }
  assert.equal((await readValue(main.session, "Plant.Flow")).value.value, 21.75);
});

test("a subscription hears UA and DA writes, and each deadband as asked", async () => {
  const subscription = ClientSubscription.create(main.session, {
    requestedPublishingInterval: 100, requestedLifetimeCount: 600, requestedMaxKeepAliveCount: 20,
    maxNotificationsPerPublish: 0, publishingEnabled: true, priority: 1 });
  const monitor = (itemId, samplingInterval, filter) => ClientMonitoredItem.create(subscription,
    { nodeId: id(itemId), attributeId: AttributeIds.Value },
    { samplingInterval, discardOldest: true, queueSize: 10, filter }, TimestampsToReturn.Both);
  const byException = watch(monitor("Plant.Count", 0));
  const sampled = watch(monitor("Plant.Small", 100));
  await byException.next(); // the first values
  await sampled.next();

  // Another session's UA write, and a DA client's write, reach the monitored items.
  const other = await connect(MessageSecurityMode.SignAndEncrypt, SecurityPolicy.Basic256Sha256);
  const started = Date.now();
  await other.session.write({ nodeId: id("Plant.Count"), attributeId: AttributeIds.Value,
    value: { value: { dataType: DataType.Int32, value: 41 } } });
  await byException.next((dv) => dv.value.value === 41);
  const latency = Date.now() - started;
  await other.close();
  await daWrite("Plant.Small", "17");
  const daValue = await sampled.next((dv) => dv.value.value === 17);
  assert.equal(daValue.statusCode, StatusCodes.Good);
  assert.ok(latency < 2000, `UA write to data change took ${latency} ms`);

  // Deadbands: absolute anywhere, percent only where the range is known.
  const absolute = new DataChangeFilter({ trigger: DataChangeTrigger.StatusValue, deadbandType: DeadbandType.Absolute,
    deadbandValue: 5 });
  const percent = new DataChangeFilter({ trigger: DataChangeTrigger.StatusValue, deadbandType: DeadbandType.Percent,
    deadbandValue: 10 });
  const flow = watch(monitor("Plant.Flow", 0, absolute));
  const level = watch(monitor("Plant.Level", 0, percent));
  await flow.next();
  await level.next();
  for (const [itemId, dataType, value] of [["Plant.Flow", DataType.Double, 23], ["Plant.Flow", DataType.Double, 30],
    ["Plant.Level", DataType.Float, 60], ["Plant.Level", DataType.Float, 70]]) {
    await main.session.write({ nodeId: id(itemId), attributeId: AttributeIds.Value, value: { value: { dataType, value } } });
  }
  await new Promise((r) => setTimeout(r, 800));
  assert.deepEqual(flow.seen.slice(1).map((dv) => dv.value.value), [30]); // 21.75 -> 23 is within 5
  assert.deepEqual(level.seen.slice(1).map((dv) => dv.value.value), [70]); // 55 -> 60 is within 10 % of 0..100
  const refused = await subscription.monitor({ nodeId: id("Plant.Flow"), attributeId: AttributeIds.Value },
    { samplingInterval: 0, queueSize: 1, filter: percent }, TimestampsToReturn.Both).catch((e) => e);
  assert.ok(refused instanceof Error || refused.statusCode !== StatusCodes.Good, "percent deadband without EURange");
  await subscription.terminate();
});

test("a monitored simulated tag moves while watched and stands still once nobody watches, as for DA", async () => {
  // Sim polls for nobody by itself: its counter counts only while a client watches.
  const read = async () => (await readValue(main.session, "Sim.Counter")).value.value;
  const before = await read();
  await new Promise((r) => setTimeout(r, 700));
  assert.equal(await read(), before, "the device polls with nobody watching");
  const subscription = ClientSubscription.create(main.session, {
    requestedPublishingInterval: 100, requestedLifetimeCount: 600, requestedMaxKeepAliveCount: 20,
    maxNotificationsPerPublish: 0, publishingEnabled: true, priority: 1 });
  const counter = watch(ClientMonitoredItem.create(subscription, { nodeId: id("Sim.Counter"), attributeId: AttributeIds.Value },
    { samplingInterval: 0, discardOldest: true, queueSize: 100 }, TimestampsToReturn.Both));
  await counter.next((dv) => dv.value.value !== before);
  await counter.next((dv) => dv.value.value > before + 5, 0, 10000);
  await subscription.terminate();
  await new Promise((r) => setTimeout(r, 500));
  const stopped = await read();
  await new Promise((r) => setTimeout(r, 700));
  assert.equal(await read(), stopped, "the device still polls once the subscription is gone");
});
