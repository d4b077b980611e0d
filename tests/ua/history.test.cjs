// A historized tag's history through the real program's UA endpoint, read and
// edited by a real UA client: the values written are read back raw, as an
// average, at times between them, and an edit is taken from a Read/Write
// session and refused to a Read one. The program serves history.csv beside
// this file (run-ua-tests.sh starts it).
"use strict";
const test = require("node:test");
const assert = require("node:assert/strict");
const { execFile } = require("node:child_process");
const {
  OPCUAClient, AttributeIds, DataType, StatusCodes, UserTokenType, AggregateFunction, TimestampsToReturn,
  DataValue, Variant,
} = require("node-opcua-client");
const {
  HistoryReadRequest, ReadAtTimeDetails, HistoryUpdateRequest, UpdateDataDetails, PerformUpdateType,
} = require("node-opcua-types");

const url = process.env.UA_URL;
const reader = { userName: "history-reader", password: "h-pass" };
let ns = 0;
const id = (itemId) => `ns=${ns};s=${itemId}`;

function tovi(args, input) {
  return new Promise((resolve) => {
    const child = execFile(process.env.WINE, [process.env.TOVI_EXE, ...args], { timeout: 120000 },
      (error, stdout, stderr) => resolve({ code: error ? (error.code ?? 1) : 0, said: (stdout + stderr).trim() }));
    child.stdin.end(input ?? "");
  });
}

async function open(user) {
  const client = OPCUAClient.create({ endpointMustExist: false, connectionStrategy: { maxRetry: 0 } });
  await client.connect(url);
  try {
    const session = await client.createSession(user ? { type: UserTokenType.UserName, ...user } : undefined);
    return { client, session, async close() { await session.close(); await client.disconnect(); } };
  } catch (error) {
    await client.disconnect().catch(() => {});
    throw error;
  }
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// The value of a history update's one entry and each of its values.
async function update(session, itemId, performInsertReplace, values) {
  const request = new HistoryUpdateRequest({
    historyUpdateDetails: [new UpdateDataDetails({
      nodeId: id(itemId), performInsertReplace,
      updateValues: values.map(([time, value]) => new DataValue({
        value: new Variant({ dataType: DataType.Double, value }), sourceTimestamp: time })),
    })],
  });
  const response = await new Promise((resolve, reject) =>
    session.performMessageTransaction(request, (error, r) => (error ? reject(error) : resolve(r))));
  const [result] = response.results;
  return [result.statusCode.name, ...(result.operationResults ?? []).map((s) => s.name)];
}

// The value a raw read gave at a time (the read's bounds aside).
const at = (result, time) =>
  result.historyData.dataValues.find((v) => v.sourceTimestamp.getTime() === time.getTime())?.value.value;

let admin;
test.before(async () => {
  admin = await open();
  const namespaces = await admin.session.readNamespaceArray();
  ns = namespaces.indexOf("urn:Zelkor:ToviExplorer:Tags");
  assert.ok(ns > 0);
});
test.after(async () => {
  if (admin) await admin.close();
  await tovi(["/UaUser", "remove", reader.userName]);
});

test("written values come back raw, averaged, at times between them, and edited by role", { timeout: 180000 },
  async () => {
    const session = admin.session;
    const [historizing, level] = await session.read([
      { nodeId: id("History.Flow"), attributeId: AttributeIds.Historizing },
      { nodeId: id("History.Flow"), attributeId: AttributeIds.AccessLevel },
    ]);
    assert.equal(historizing.value.value, true);
    assert.ok(level.value.value & 0x04, "HistoryRead in the access level");

    const from = new Date(Date.now() - 1000);
    for (const value of [10, 20, 30]) {
      const status = await session.write({ nodeId: id("History.Flow"), attributeId: AttributeIds.Value,
        value: { value: { dataType: DataType.Double, value } } });
      assert.equal(status, StatusCodes.Good);
      await sleep(300);
    }
    const to = new Date(Date.now() + 1000);

    const raw = await session.readHistoryValue(id("History.Flow"), from, to);
    assert.equal(raw.statusCode.name, "Good");
    const written = raw.historyData.dataValues.filter((v) => [10, 20, 30].includes(v.value.value));
    assert.deepEqual(written.map((v) => v.value.value), [10, 20, 30]);
    const times = written.map((v) => v.sourceTimestamp.getTime());
    assert.ok(times[0] < times[1] && times[1] < times[2]);

    const average = await session.readAggregateValue({ nodeId: id("History.Flow") }, new Date(times[0]),
      new Date(times[2] + 1), AggregateFunction.Average, 0);
    assert.equal(average.statusCode.name, "Good");
    assert.equal(average.historyData.dataValues.length, 1);
    assert.equal(average.historyData.dataValues[0].value.value, 20);

    // Times in milliseconds fall between the samples' own finer times: the middle one's value is sloped.
    const middle = new Date((times[1] + times[2]) / 2);
    const atTime = await session.historyRead(new HistoryReadRequest({
      historyReadDetails: new ReadAtTimeDetails({ reqTimes: [new Date(times[0] - 60000), middle], useSimpleBounds: true }),
      timestampsToReturn: TimestampsToReturn.Source, nodesToRead: [{ nodeId: id("History.Flow") }],
    }));
    const [before, between] = atTime.results[0].historyData.dataValues;
    assert.ok(Math.abs(between.value.value - 25) < 1, `interpolated ${between.value.value}`);
    assert.equal(between.statusCode.value & 0x403, 0x402, "the Interpolated bit");
    // A minute before the first write the program had not begun recording.
    assert.equal(before.statusCode.name, "BadNoData");

    const past = new Date(times[0] - 60000);
    assert.deepEqual(await update(session, "History.Flow", PerformUpdateType.Insert, [[past, 5]]),
      ["Good", "GoodEntryInserted"]);
    assert.deepEqual(await update(session, "History.Flow", PerformUpdateType.Insert, [[past, 6]]),
      ["Good", "BadEntryExists"]);

    const added = await tovi(["/UaUser", "add", reader.userName, "read"], reader.password + "\n");
    assert.equal(added.code, 0, added.said);
    let read;
    for (let i = 0; i < 60 && !read; ++i) {
      read = await open(reader).catch(() => undefined);
      if (!read) await sleep(500);
    }
    assert.ok(read, "the Read user reaches the running copy");
    try {
      const readable = await read.session.readHistoryValue(id("History.Flow"), new Date(past.getTime() - 1), to);
      assert.equal(at(readable, past), 5);
      assert.deepEqual(await update(read.session, "History.Flow", PerformUpdateType.Update, [[past, 7]]),
        ["BadUserAccessDenied"]);
    } finally {
      await read.close();
    }
    const kept = await session.readHistoryValue(id("History.Flow"), new Date(past.getTime() - 1), to);
    assert.equal(at(kept, past), 5);
  });
