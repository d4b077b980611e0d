// Alarms as OPC UA conditions, seen by a real UA client: the conditions the
// tags lead to, every transition as an event with the standard fields, the
// condition methods and their results, ConditionRefresh beside data items,
// the device folders as notifiers, where clauses. The program serves
// alarms.csv beside this file (run-ua-tests.sh imports it).
"use strict";
const test = require("node:test");
const assert = require("node:assert/strict");
const crypto = require("node:crypto");
const { execFile } = require("node:child_process");
const {
  OPCUAClient, AttributeIds, DataType, StatusCodes, TimestampsToReturn, ClientSubscription, ClientMonitoredItem,
  BrowseDirection, constructEventFilter, ofType, FilterOperator, ContentFilterElement, LiteralOperand, ElementOperand,
} = require("node-opcua-client");

const url = process.env.UA_URL;
let ns = 0;
let alarmsNs = 0;
const id = (itemId) => `ns=${ns};s=${itemId}`;
const conditionOf = (itemId) => `ns=${alarmsNs};s=${itemId}`;

const fields = ["EventId", "EventType", "SourceNode", "SourceName", "Time", "Message", "Severity", "ConditionName",
  "Retain", "EnabledState.Id", "ActiveState.Id", "AckedState.Id", "ConfirmedState.Id", "Quality", "LastSeverity",
  "Comment", "ClientUserId", "LimitState.CurrentState", "LimitState.CurrentState.Id", "HighHighState.Id",
  "HighState.Id", "LowState.Id", "LowLowState.Id", "ConditionId", "NoSuchField.Id"];

// An event's fields by name.
const named = (values) => Object.fromEntries(fields.map((f, i) => [f, values[i] ? values[i].value : null]));

let client, session;
test.before(async () => {
  client = OPCUAClient.create({ endpointMustExist: false, connectionStrategy: { maxRetry: 1 } });
  await client.connect(url);
  session = await client.createSession();
  const namespaces = await session.readNamespaceArray();
  ns = namespaces.indexOf("urn:Zelkor:ToviExplorer:Tags");
  alarmsNs = namespaces.indexOf("urn:Zelkor:ToviExplorer:Alarms");
  assert.ok(ns > 0 && alarmsNs > 0, `namespaces ${namespaces}`);
});
test.after(async () => {
  if (session) await session.close();
  if (client) await client.disconnect();
});

async function subscribe(notifier = "i=2253", where = undefined) {
  const subscription = ClientSubscription.create(session, {
    requestedPublishingInterval: 50, requestedLifetimeCount: 600, requestedMaxKeepAliveCount: 20,
    maxNotificationsPerPublish: 0, publishingEnabled: true, priority: 1 });
  const item = ClientMonitoredItem.create(subscription, { nodeId: notifier, attributeId: AttributeIds.EventNotifier },
    { samplingInterval: 0, queueSize: 10000, discardOldest: false, filter: constructEventFilter(fields, where) },
    TimestampsToReturn.Neither);
  const events = [];
  item.on("changed", (values) => events.push(named(values)));
  await new Promise((resolve, reject) => { item.once("initialized", resolve); item.once("err", reject); });
  return {
    subscription, item, events,
    // The first event from `from` on that `predicate` accepts.
    async next(predicate, from = 0, timeoutMs = 5000) {
      const end = Date.now() + timeoutMs;
      for (;;) {
        const found = events.slice(from).find(predicate);
        if (found) return found;
        if (Date.now() > end) throw new Error(`no such event among ${events.length}: ${JSON.stringify(events.map((e) => [e.SourceName, e.Message]))}`);
        await new Promise((r) => setTimeout(r, 10));
      }
    },
    async quiet(ms = 400) { await new Promise((r) => setTimeout(r, ms)); },
    async close() { await subscription.terminate(); },
  };
}

const write = (itemId, value, dataType = DataType.Double) =>
  session.write({ nodeId: id(itemId), attributeId: AttributeIds.Value, value: { value: { dataType, value } } });

async function call(itemId, method, args = [], onSession = session) {
  const methods = { Acknowledge: "i=9111", Confirm: "i=9113", AddComment: "i=9029", Enable: "i=9027", Disable: "i=9028" };
  const result = await onSession.call({ objectId: conditionOf(itemId), methodId: methods[method], inputArguments: args });
  return result.statusCode;
}
const commented = (eventId, text) => [{ dataType: DataType.ByteString, value: eventId },
  { dataType: DataType.LocalizedText, value: { text } }];

// The state the condition shows now, read from its own nodes.
async function conditionState(itemId) {
  const read = async (path) => {
    const result = await session.translateBrowsePath({ startingNode: conditionOf(itemId),
      relativePath: { elements: path.split("/").map((name) => ({ referenceTypeId: "i=33", isInverse: false,
        includeSubtypes: true, targetName: { namespaceIndex: 0, name } })) } });
    assert.equal(result.statusCode, StatusCodes.Good, `${itemId} ${path}`);
    return (await session.read({ nodeId: result.targets[0].targetId, attributeId: AttributeIds.Value })).value.value;
  };
  return { eventId: await read("EventId"), active: await read("ActiveState/Id"), acked: await read("AckedState/Id"),
    retain: await read("Retain"), enabled: await read("EnabledState/Id") };
}

test("an alarmed tag leads to its condition, of its alarm's type, with its limits", async () => {
  const refs = await session.browse({ nodeId: id("Alarms.Level"), browseDirection: BrowseDirection.Forward,
    referenceTypeId: "i=9006", includeSubtypes: false, resultMask: 63 });
  assert.equal(refs.references.length, 1);
  assert.equal(refs.references[0].nodeId.toString(), conditionOf("Alarms.Level"));
  assert.equal(refs.references[0].typeDefinition.toString(), "ns=0;i=9341"); // ExclusiveLimitAlarmType
  const types = { "Alarms.Pressure": "ns=0;i=9906", "Alarms.Pump": "ns=0;i=10637" };
  for (const [itemId, type] of Object.entries(types)) {
    const r = await session.browse({ nodeId: conditionOf(itemId), browseDirection: BrowseDirection.Forward,
      referenceTypeId: "i=40", resultMask: 63 });
    assert.equal(r.references[0].nodeId.toString(), type, itemId);
  }
  const children = await session.browse({ nodeId: conditionOf("Alarms.Level"), browseDirection: BrowseDirection.Forward,
    referenceTypeId: "i=33", includeSubtypes: true, resultMask: 63 });
  const names = children.references.map((r) => r.browseName.name);
  for (const name of ["HighHighLimit", "HighLimit", "LowLimit", "LowLowLimit", "LimitState", "ActiveState", "AckedState",
    "EnabledState", "Acknowledge", "Confirm", "Enable", "Disable", "AddComment"]) {
    assert.ok(names.includes(name), `${name} in ${names}`);
  }
  const high = children.references.find((r) => r.browseName.name === "HighLimit");
  assert.equal((await session.read({ nodeId: high.nodeId, attributeId: AttributeIds.Value })).value.value, 80);
  // A tag without an alarm has none.
  const plain = await session.browse({ nodeId: id("Plant.Flow"), browseDirection: BrowseDirection.Forward,
    referenceTypeId: "i=9006", resultMask: 63 });
  assert.equal(plain.references.length, 0);
});

test("the Server object and the folders lead to the alarmed tags as notifiers and event sources", async () => {
  const targets = async (nodeId, referenceTypeId, browseDirection = BrowseDirection.Forward) =>
    (await session.browse({ nodeId, browseDirection, referenceTypeId, includeSubtypes: false, resultMask: 63 }))
      .references.map((r) => r.nodeId.toString()).sort();
  const [hasEventSource, hasNotifier] = ["i=36", "i=48"];
  const rows = [ // node, reference, direction, targets
    ["i=2253", hasNotifier, BrowseDirection.Forward, [id("Alarms"), id("Other")]],
    [id("Alarms"), hasEventSource, BrowseDirection.Forward,
      ["Alarms.Level", "Alarms.Pressure", "Alarms.Pump", "Alarms.Spare", "Alarms.Temp"].map(id)],
    [id("Alarms"), hasNotifier, BrowseDirection.Forward, []],
    [id("Alarms"), hasNotifier, BrowseDirection.Inverse, ["ns=0;i=2253"]],
    [id("Other"), hasEventSource, BrowseDirection.Forward, [id("Other.Flow")]],
    [id("Other"), hasNotifier, BrowseDirection.Forward, [id("Other.Line")]],
    [id("Other.Line"), hasEventSource, BrowseDirection.Forward, [id("Other.Line.Valve")]],
    [id("Other.Line"), hasNotifier, BrowseDirection.Inverse, [id("Other")]],
    [id("Other.Line.Valve"), hasEventSource, BrowseDirection.Inverse, [id("Other.Line")]],
    [id("Plant"), hasEventSource, BrowseDirection.Forward, []],
  ];
  for (const [nodeId, reference, direction, expected] of rows) {
    assert.deepEqual(await targets(nodeId, reference, direction), expected.sort(), `${nodeId} ${reference} ${direction}`);
  }
  // A browse of every hierarchical reference has the tags both as components and as event sources.
  const all = await session.browse({ nodeId: id("Other.Line"), browseDirection: BrowseDirection.Forward,
    referenceTypeId: "HierarchicalReferences", includeSubtypes: true, resultMask: 63 });
  assert.deepEqual(all.references.map((r) => r.referenceTypeId.toString()).sort(), ["ns=0;i=36", "ns=0;i=47"]);
  // A device folder is a notifier of the alarms in its groups too.
  const watch = await subscribe(id("Other"));
  try {
    await write("Other.Line.Valve", 95);
    const e = await watch.next((x) => x.SourceName === "Other.Line.Valve");
    assert.equal(e["ActiveState.Id"], true);
  } finally {
    await watch.close();
    await write("Other.Line.Valve", 0);
  }
});

test("each transition across the limits is an event with the standard fields", async () => {
  const watch = await subscribe();
  try {
    const steps = [ // value, active, limit state, severity, retain
      [85, true, "High", 500], [95, true, "HighHigh", 800], [89, true, "HighHigh", 800], [79, true, "High", 500],
      [50, false, "", 500], [15, true, "Low", 500], [5, true, "LowLow", 800], [50, false, "", 800]];
    for (const [value, active, state, severity] of steps) {
      const from = watch.events.length;
      assert.equal(await write("Alarms.Level", value), StatusCodes.Good);
      if (value === 89) { await watch.quiet(); assert.equal(watch.events.length, from, "inside the deadband: no event"); continue; }
      const e = await watch.next((x) => x.SourceName === "Alarms.Level", from);
      assert.equal(e["ActiveState.Id"], active, `${value}`);
      assert.equal(e["LimitState.CurrentState"].text ?? "", state, `${value}`);
      assert.equal(e.Severity, severity, `${value}`);
      assert.equal(e["AckedState.Id"], false, `${value}: a new alarm, or one not yet acknowledged`);
      assert.equal(e.Retain, true);
      assert.equal(e.EventType.toString(), "ns=0;i=9341");
      assert.equal(e.SourceNode.toString(), id("Alarms.Level"));
      assert.equal(e.ConditionId.toString(), conditionOf("Alarms.Level"));
      assert.equal(e.ConditionName, "Alarm");
      assert.equal(e["NoSuchField.Id"], null);
      if (active) assert.equal(e.Message.text, `Alarms.Level ${state}`);
      assert.equal(e.EventId.length, 16);
    }
    // Every event has an EventId of its own.
    const ids = watch.events.map((e) => e.EventId.toString("hex"));
    assert.equal(new Set(ids).size, ids.length);
  } finally { await watch.close(); }
});

test("acknowledge and confirm answer as the standard says, and each is an event", async () => {
  const watch = await subscribe();
  try {
    await write("Alarms.Temp", 120);
    const raised = await watch.next((e) => e.SourceName === "Alarms.Temp" && e["ActiveState.Id"] === true);
    assert.equal(raised.Message.text, "Bearing too hot");
    assert.equal(raised.Severity, 600);
    assert.equal(await call("Alarms.Temp", "Acknowledge", commented(crypto.randomBytes(16), "x")), StatusCodes.BadEventIdUnknown);
    assert.equal(await call("Alarms.Temp", "Acknowledge", commented(Buffer.alloc(0), "x")), StatusCodes.BadEventIdUnknown);
    assert.equal(await call("Alarms.Temp", "Confirm", commented(raised.EventId, "early")),
      StatusCodes.BadConditionBranchAlreadyConfirmed, "nothing to confirm before the acknowledgement");
    let from = watch.events.length;
    const latest = (await conditionState("Alarms.Temp")).eventId;
    assert.equal(await call("Alarms.Temp", "Acknowledge", commented(latest, "seen it")), StatusCodes.Good);
    const acked = await watch.next((e) => e.SourceName === "Alarms.Temp", from);
    assert.equal(acked["AckedState.Id"], true);
    assert.equal(acked["ConfirmedState.Id"], false, "needs confirm: unconfirmed once acknowledged");
    assert.equal(acked.Comment.text, "seen it");
    assert.ok(acked.ClientUserId.length > 0);
    assert.equal(await call("Alarms.Temp", "Acknowledge", commented(acked.EventId, "again")), StatusCodes.BadConditionBranchAlreadyAcked);
    from = watch.events.length;
    assert.equal(await call("Alarms.Temp", "Confirm", commented(acked.EventId, "done")), StatusCodes.Good);
    const confirmed = await watch.next((e) => e.SourceName === "Alarms.Temp", from);
    assert.equal(confirmed["ConfirmedState.Id"], true);
    assert.equal(confirmed.Retain, true, "still active");
    assert.equal(await call("Alarms.Temp", "Confirm", commented(confirmed.EventId, "again")), StatusCodes.BadConditionBranchAlreadyConfirmed);
    from = watch.events.length;
    assert.equal(await call("Alarms.Temp", "AddComment", commented(confirmed.EventId, "a note")), StatusCodes.Good);
    assert.equal((await watch.next((e) => e.SourceName === "Alarms.Temp", from)).Comment.text, "a note");
    from = watch.events.length;
    await write("Alarms.Temp", 20);
    const normal = await watch.next((e) => e.SourceName === "Alarms.Temp", from);
    assert.equal(normal["ActiveState.Id"], false);
    assert.equal(normal.Retain, false, "inactive, acknowledged and confirmed: no longer retained");
  } finally { await watch.close(); }
});

test("enable and disable, and what a disabled condition answers", async () => {
  const watch = await subscribe();
  try {
    assert.equal((await conditionState("Alarms.Spare")).enabled, false);
    assert.equal(await call("Alarms.Spare", "Disable"), StatusCodes.BadConditionAlreadyDisabled);
    await write("Alarms.Spare", 60); // disabled: judged by nothing
    await watch.quiet();
    assert.equal(watch.events.filter((e) => e.SourceName === "Alarms.Spare").length, 0);
    assert.equal(await call("Alarms.Spare", "Enable"), StatusCodes.Good);
    const enabled = await watch.next((e) => e.SourceName === "Alarms.Spare" && e["EnabledState.Id"] === true);
    assert.equal(enabled["ActiveState.Id"], true, "judged again at once: 60 is above High");
    assert.equal(await call("Alarms.Spare", "Enable"), StatusCodes.BadConditionAlreadyEnabled);
    const from = watch.events.length;
    assert.equal(await call("Alarms.Spare", "Disable"), StatusCodes.Good);
    const disabled = await watch.next((e) => e.SourceName === "Alarms.Spare", from);
    assert.equal(disabled["EnabledState.Id"], false);
    assert.equal(disabled.Retain, false);
    assert.equal(await call("Alarms.Spare", "Acknowledge", commented(disabled.EventId, "x")), StatusCodes.BadConditionDisabled);
    await write("Alarms.Spare", 0);
  } finally { await watch.close(); }
});

test("ConditionRefresh sends the retained conditions between start and end, beside data items", async () => {
  await write("Alarms.Level", 85); // retained: active
  await write("Other.Flow", 20);
  const watch = await subscribe();
  try {
    const data = ClientMonitoredItem.create(watch.subscription, { nodeId: id("Plant.Flow"), attributeId: AttributeIds.Value },
      { samplingInterval: 0, queueSize: 10 }, TimestampsToReturn.Both);
    await new Promise((resolve) => data.once("initialized", resolve));
    await watch.quiet();
    const from = watch.events.length;
    const result = await session.call({ objectId: "i=2782", methodId: "i=3875",
      inputArguments: [{ dataType: DataType.UInt32, value: watch.subscription.subscriptionId }] });
    assert.equal(result.statusCode, StatusCodes.Good, `${result.inputArgumentResults}`);
    const end = await watch.next((e) => e.EventType.toString() === "ns=0;i=2788", from);
    const refreshed = watch.events.slice(from, watch.events.indexOf(end) + 1);
    assert.equal(refreshed[0].EventType.toString(), "ns=0;i=2787", "RefreshStartEvent first");
    const sources = refreshed.slice(1, -1).map((e) => e.SourceName);
    assert.ok(sources.includes("Alarms.Level") && sources.includes("Other.Flow"), sources.join());
    assert.ok(refreshed.slice(1, -1).every((e) => e.Retain === true));
    const again = await session.call({ objectId: "i=2782", methodId: "i=3875",
      inputArguments: [{ dataType: DataType.UInt32, value: 987654 }] });
    assert.equal(again.statusCode, StatusCodes.BadSubscriptionIdInvalid);
    const second = await session.call({ objectId: "i=2782", methodId: "i=12912", inputArguments: [
      { dataType: DataType.UInt32, value: watch.subscription.subscriptionId },
      { dataType: DataType.UInt32, value: watch.item.monitoredItemId }] });
    assert.equal(second.statusCode, StatusCodes.Good);
  } finally { await watch.close(); }
  await write("Other.Flow", 0);
});

test("a device folder is the notifier of its device's alarms only; a where clause keeps to a type", async () => {
  const device = await subscribe(id("Alarms"));
  const pressure = await subscribe("i=2253", ofType("NonExclusiveLimitAlarmType"));
  try {
    await write("Other.Flow", 30);
    await write("Alarms.Pressure", 95);
    const e = await device.next((x) => x.SourceName === "Alarms.Pressure");
    assert.equal(e["HighHighState.Id"], true);
    assert.equal(e["HighState.Id"], true, "above HighHigh both HighHigh and High");
    assert.equal(e["LowState.Id"], false);
    await pressure.next((x) => x.SourceName === "Alarms.Pressure");
    await device.quiet();
    assert.equal(device.events.filter((x) => x.SourceName === "Other.Flow").length, 0);
    assert.ok(pressure.events.every((x) => x.SourceName === "Alarms.Pressure"));
  } finally {
    await device.close();
    await pressure.close();
    await write("Other.Flow", 0);
    await write("Alarms.Pressure", 50);
  }
});

test("off-normal alarms follow a DA client's write too", async () => {
  const watch = await subscribe();
  try {
    await new Promise((resolve, reject) => execFile(process.env.WINE,
      [process.env.TOVI_OPC, "write", "Zelkor.Tovi.1", "Alarms.Pump=true"], { timeout: 60000 },
      (error, stdout, stderr) => (error ? reject(new Error(stderr || stdout)) : resolve())));
    const e = await watch.next((x) => x.SourceName === "Alarms.Pump", 0, 60000);
    assert.equal(e["ActiveState.Id"], true);
    assert.equal(e.Message.text, "Pump tripped");
    assert.equal(e.EventType.toString(), "ns=0;i=10637");
    assert.equal(e.Severity, 400);
  } finally {
    await watch.close();
    await write("Alarms.Pump", false, DataType.Boolean);
  }
});

test("bad calls get a clear Bad status and change nothing", async () => {
  const before = await conditionState("Alarms.Level");
  const cases = [
    [conditionOf("Alarms.Level"), "i=9111", [], StatusCodes.BadArgumentsMissing],
    [conditionOf("Alarms.Level"), "i=9111", [{ dataType: DataType.String, value: "x" }, { dataType: DataType.String, value: "y" }], StatusCodes.BadInvalidArgument],
    [conditionOf("Alarms.Level"), "i=9111", commented(Buffer.alloc(1 << 20, 7), "x"), StatusCodes.BadEventIdUnknown],
    [conditionOf("Alarms.Level"), "i=9111", commented(before.eventId, "x".repeat(1 << 20)), StatusCodes.BadInvalidArgument],
    [id("Alarms.Level"), "i=9111", commented(before.eventId, "x"), StatusCodes.BadNodeClassInvalid],
    [id("Alarms"), "i=9111", commented(before.eventId, "x"), StatusCodes.BadMethodInvalid],
    [conditionOf("Alarms.NoSuchTag"), "i=9027", [], StatusCodes.BadNodeIdUnknown],
  ];
  for (const [objectId, methodId, inputArguments, expected] of cases) {
    const result = await session.call({ objectId, methodId, inputArguments });
    const accepted = [expected.value, StatusCodes.BadTypeMismatch.value];
    assert.ok(accepted.includes(result.statusCode.value), `${objectId} ${methodId}: ${result.statusCode.name}`);
  }
  const after = await conditionState("Alarms.Level");
  assert.deepEqual(after.eventId, before.eventId, "no event came of them");
});

test("floods: ten sessions acknowledge every alarm at once, a hundred refreshes, a where clause thousands deep", async () => {
  const alarmed = [["Alarms.Level", 85], ["Alarms.Pressure", 85], ["Alarms.Temp", 120], ["Other.Flow", 30]];
  const watch = await subscribe();
  const sessions = [];
  try {
    // From normal, whatever earlier tests left, so that each becomes active anew.
    for (const [itemId] of alarmed) await write(itemId, 50 - (itemId === "Other.Flow" ? 45 : 0));
    const from0 = watch.events.length;
    for (const [itemId, value] of alarmed) await write(itemId, value);
    for (const [itemId] of alarmed) {
      await watch.next((e) => e.SourceName === itemId && e["ActiveState.Id"] === true && e["AckedState.Id"] === false, from0);
    }
    const latest = {};
    for (const [itemId] of alarmed) latest[itemId] = (await conditionState(itemId)).eventId;
    for (let i = 0; i < 10; i++) sessions.push(await client.createSession());
    // Each condition is acknowledged once; every other session hears that it already is, or that its EventId is old.
    const results = await Promise.all(sessions.flatMap((s) => alarmed.map(async ([itemId]) =>
      [itemId, (await call(itemId, "Acknowledge", commented(latest[itemId], "flood"), s)).value])));
    for (const [itemId] of alarmed) {
      const mine = results.filter(([source]) => source === itemId).map(([, status]) => status);
      assert.equal(mine.filter((s) => s === StatusCodes.Good.value).length, 1, `${itemId}: ${mine}`);
      assert.ok(mine.every((s) => [StatusCodes.Good.value, StatusCodes.BadConditionBranchAlreadyAcked.value,
        StatusCodes.BadEventIdUnknown.value].includes(s)), `${itemId}: ${mine}`);
      assert.equal((await conditionState(itemId)).acked, true);
    }

    // A hundred refreshes at once: each answered, each bracketed, none lost.
    const from = watch.events.length;
    const refreshes = await Promise.all(Array.from({ length: 100 }, () => session.call({ objectId: "i=2782",
      methodId: "i=3875", inputArguments: [{ dataType: DataType.UInt32, value: watch.subscription.subscriptionId }] })));
    assert.ok(refreshes.every((r) => r.statusCode === StatusCodes.Good));
    const ends = () => watch.events.slice(from).filter((e) => e.EventType.toString() === "ns=0;i=2788").length;
    const deadline = Date.now() + 20000;
    while (ends() < 100 && Date.now() < deadline) await watch.quiet(50);
    assert.equal(ends(), 100);

    // A where clause of thousands of nested Not elements is refused or evaluated, and the server serves on.
    const depth = 5000;
    const elements = Array.from({ length: depth }, (_, i) => i < depth - 1
      ? new ContentFilterElement({ filterOperator: FilterOperator.Not,
        filterOperands: [new ElementOperand({ index: i + 1 })] })
      : ofType("AlarmConditionType"));
    const deep = ClientSubscription.create(session, { requestedPublishingInterval: 100, requestedLifetimeCount: 600,
      requestedMaxKeepAliveCount: 20, publishingEnabled: true });
    const filter = constructEventFilter(fields);
    filter.whereClause.elements = elements;
    const created = await deep.monitor({ nodeId: "i=2253", attributeId: AttributeIds.EventNotifier },
      { samplingInterval: 0, queueSize: 100, filter }, TimestampsToReturn.Neither).catch((e) => e);
    await write("Alarms.Level", 50);
    await write("Alarms.Level", 86);
    await watch.next((e) => e.SourceName === "Alarms.Level" && e["ActiveState.Id"] === true, from);
    assert.ok(created instanceof Error ? /Bad/.test(String(created)) : created.statusCode !== StatusCodes.Good,
      `a where clause of 5000 elements is refused: ${created}`);
    await deep.terminate();
    assert.equal((await session.read({ nodeId: id("Alarms.Level"), attributeId: AttributeIds.Value })).value.value, 86);
  } finally {
    await watch.close();
    for (const s of sessions) await s.close();
    for (const [itemId] of alarmed) await write(itemId, itemId === "Alarms.Temp" ? 20 : itemId === "Other.Flow" ? 0 : 50);
  }
});

test("an alarm storm written to a device's control item raises its events in turn, in tree order", async () => {
  const normal = [["Alarms.Level", 50], ["Alarms.Pressure", 50], ["Alarms.Pump", false, DataType.Boolean],
    ["Alarms.Temp", 20], ["Alarms.Spare", 0]];
  for (const [itemId, value, dataType] of normal) assert.equal(await write(itemId, value, dataType), StatusCodes.Good);
  const order = [];
  for (const [itemId] of normal) if ((await conditionState(itemId)).enabled) order.push(itemId);
  assert.ok(order.length >= 3, order.join());
  const storm = (rate) => session.write({ nodeId: id("Alarms._Control.AlarmStorm"), attributeId: AttributeIds.Value,
    value: { value: { dataType: DataType.UInt32, value: rate } } });
  const watch = await subscribe();
  try {
    await watch.quiet();
    const from = watch.events.length;
    assert.equal(await storm(20), StatusCodes.Good);
    const turns = 2 * order.length;
    await watch.next(() => watch.events.length - from >= turns, from, 10000);
    assert.equal(await storm(0), StatusCodes.Good);
    await watch.quiet(600);
    const seen = watch.events.slice(from);
    // Each tag in turn into its alarm, then each back, and no other device's.
    const expected = [...order.map((s) => [s, true]), ...order.map((s) => [s, false])];
    assert.deepEqual(seen.slice(0, turns).map((e) => [e.SourceName, e["ActiveState.Id"]]), expected);
    assert.ok(seen.every((e) => e.SourceName.startsWith("Alarms.")), seen.map((e) => e.SourceName).join());
    // Stopped, every tag is back to normal.
    for (const itemId of order) assert.equal((await conditionState(itemId)).active, false, itemId);
    const rate = await session.read({ nodeId: id("Alarms._Control.AlarmStorm"), attributeId: AttributeIds.Value });
    assert.equal(rate.value.value, 0);
  } finally {
    await storm(0);
    await watch.close();
  }
});
