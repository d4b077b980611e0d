// Who may connect, through the program's own switches while it serves: users
// and their roles, remote access refusing None and anonymous clients, an
// unknown client certificate refused, kept and then trusted, and the event
// log's record of each. run-ua-security-tests.sh starts the program.
"use strict";
const test = require("node:test");
const assert = require("node:assert/strict");
const fs = require("node:fs");
const path = require("node:path");
const crypto = require("node:crypto");
const { execFile } = require("node:child_process");
const {
  OPCUAClient, AttributeIds, DataType, StatusCodes, MessageSecurityMode, SecurityPolicy, UserTokenType,
  ClientSubscription,
} = require("node-opcua-client");
const { OPCUACertificateManager } = require("node-opcua-certificate-manager");

const url = process.env.UA_URL;
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const secure = { mode: MessageSecurityMode.SignAndEncrypt, policy: SecurityPolicy.Basic256Sha256 };
const reader = { user: "reader", password: "r-pass \u00e9\u6f22" };
const writer = { user: "writer", password: "w-pass" };
let manager;
let ns = 0;

// The program with switches; its exit code and what it said.
function tovi(args, input) {
  return new Promise((resolve) => {
    const child = execFile(process.env.WINE, [process.env.TOVI_EXE, ...args], { timeout: 120000 },
      (error, stdout, stderr) => resolve({ code: error ? (error.code ?? 1) : 0, said: (stdout + stderr).trim() }));
    child.stdin.end(input ?? "");
  });
}

async function open({ mode = MessageSecurityMode.None, policy = SecurityPolicy.None, user, password } = {}) {
  const client = OPCUAClient.create({
    endpointMustExist: false, securityMode: mode, securityPolicy: policy, clientCertificateManager: manager,
    connectionStrategy: { maxRetry: 0, initialDelay: 100, maxDelay: 200 }, requestedSessionTimeout: 30000,
  });
  try {
    await client.connect(url);
    const session = await client.createSession(user ? { type: UserTokenType.UserName, userName: user, password } : undefined);
    return { client, session, async close() { await session.close(); await client.disconnect(); } };
  } catch (error) {
    await client.disconnect().catch(() => {});
    throw error;
  }
}

// "ok", or why the session could not be had.
async function attempt(options) {
  try {
    const s = await open(options);
    await s.close();
    return "ok";
  } catch (error) {
    return String(error.message);
  }
}

async function offered() {
  const client = OPCUAClient.create({ endpointMustExist: false, connectionStrategy: { maxRetry: 0 } });
  await client.connect(url);
  const endpoints = await client.getEndpoints();
  await client.disconnect();
  return endpoints.map((e) => `${e.securityPolicyUri.split("#")[1]}/${MessageSecurityMode[e.securityMode]}/` +
    e.userIdentityTokens.map((t) => UserTokenType[t.tokenType]).sort().join("+"));
}

// A switch's change reaches the running copy within seconds, without a restart.
async function until(what, check, ms = 30000) {
  const end = Date.now() + ms;
  let last;
  while (Date.now() < end) {
    try { if (await check()) return; } catch (error) { last = error; }
    await sleep(500);
  }
  assert.fail(`not within ${ms} ms: ${what}${last ? ` (${last.message})` : ""}`);
}

// Writes 1 to a read/write tag; the status code's name.
async function write(session) {
  const status = await session.write({
    nodeId: `ns=${ns};s=Plant.Small`, attributeId: AttributeIds.Value,
    value: { value: { dataType: DataType.Int16, value: 1 } },
  });
  const level = await session.read({ nodeId: `ns=${ns};s=Plant.Small`, attributeId: AttributeIds.UserAccessLevel });
  return `${status.name} ${level.value.value}`;
}

function clientCertificateDer() {
  const pem = fs.readFileSync(path.join(process.env.CLIENT_PKI, "own/certs/client_certificate.pem"), "utf8");
  return Buffer.from(pem.replace(/-----[^-]+-----/g, "").replace(/\s+/g, ""), "base64");
}

function filesBelow(folder) {
  if (!fs.existsSync(folder)) return [];
  return fs.readdirSync(folder, { withFileTypes: true }).flatMap((e) =>
    e.isDirectory() ? filesBelow(path.join(folder, e.name)) : [path.join(folder, e.name)]);
}

test("who may connect", { timeout: 600000 }, async (t) => {
  manager = new OPCUACertificateManager({ rootFolder: process.env.CLIENT_PKI, automaticallyAcceptUnknownCertificate: true });
  await manager.initialize();
  {
    const s = await open();
    const array = await s.session.read({ nodeId: "ns=0;i=2255", attributeId: AttributeIds.Value });
    ns = array.value.value.indexOf("urn:Zelkor:ToviExplorer:Tags");
    await s.close();
  }

  await t.test("users are added from standard input, never from the command line", async () => {
    const cases = [
      [["/UaUser", "add", "reader", "read"], reader.password + "\r\n", 0, /reader added: Read\./],
      [["/UaUser", "add", "writer", "readwrite"], writer.password + "\n", 0, /writer added: Read\/Write\./],
      [["/UaUser", "add", "nobody", "read"], "", 1, /No password/],
      [["/UaUser", "add", "bad\tname", "read"], "x\n", 1, /control characters/],
      [["/UaUser", "remove", "nobody"], "", 1, /no OPC UA user nobody/],
      [["/UaUser", "grant", "writer"], "", 1, /\/UaUser takes/],
      [["/UaRemote", "maybe"], "", 1, /\/UaRemote takes on or off/],
      [["/UaTrust", "Z:\\no\\such.der"], "", 1, /./],
    ];
    for (const [args, input, code, said] of cases) {
      const result = await tovi(args, input);
      assert.equal(result.code, code, `${args.join(" ")}: ${result.said}`);
      assert.match(result.said, said, args.join(" "));
    }
  });

  await t.test("on this computer: anonymous Read/Write, each user's role, wrong passwords refused", async () => {
    await until("the users reach the running copy", async () => (await attempt({ ...secure, ...writer })) === "ok");
    const cases = [
      [{}, "Good 3"],
      [{ ...secure, ...writer }, "Good 3"],
      [{ ...secure, ...reader }, "BadUserAccessDenied 1"],
      [{ ...reader }, "BadUserAccessDenied 1"], // loopback: a user name may travel over None
    ];
    for (const [options, expected] of cases) {
      const s = await open(options);
      try { assert.equal(await write(s.session), expected, JSON.stringify(options)); } finally { await s.close(); }
    }
    // Alarms: a Read user may refresh but not act on a condition; a Read/Write user's acknowledgement is logged.
    const condition = async (session) => {
      const namespaces = await session.readNamespaceArray();
      return `ns=${namespaces.indexOf("urn:Zelkor:ToviExplorer:Alarms")};s=Alarms.Level`;
    };
    const acknowledge = async (session, eventId) => (await session.call({ objectId: await condition(session),
      methodId: "i=9111", inputArguments: [{ dataType: DataType.ByteString, value: eventId },
        { dataType: DataType.LocalizedText, value: { text: "by role" } }] })).statusCode.name;
    const latestEventId = async (session) => {
      const path = await session.translateBrowsePath({ startingNode: await condition(session), relativePath: {
        elements: [{ referenceTypeId: "i=46", isInverse: false, includeSubtypes: true,
          targetName: { namespaceIndex: 0, name: "EventId" } }] } });
      return (await session.read({ nodeId: path.targets[0].targetId, attributeId: AttributeIds.Value })).value.value;
    };
    const r = await open({ ...secure, ...reader });
    const w = await open({ ...secure, ...writer });
    try {
      await w.session.write({ nodeId: `ns=${ns};s=Alarms.Level`, attributeId: AttributeIds.Value,
        value: { value: { dataType: DataType.Double, value: 95 } } });
      await sleep(300);
      for (const method of ["i=9111", "i=9113", "i=9029"]) {
        const result = await r.session.call({ objectId: await condition(r.session), methodId: method, inputArguments: [
          { dataType: DataType.ByteString, value: await latestEventId(r.session) },
          { dataType: DataType.LocalizedText, value: { text: "x" } }] });
        assert.equal(result.statusCode.name, "BadUserAccessDenied", method);
      }
      for (const method of ["i=9027", "i=9028"]) {
        const result = await r.session.call({ objectId: await condition(r.session), methodId: method, inputArguments: [] });
        assert.equal(result.statusCode.name, "BadUserAccessDenied", method);
      }
      const subscription = ClientSubscription.create(r.session, { requestedPublishingInterval: 100,
        requestedLifetimeCount: 600, requestedMaxKeepAliveCount: 20, publishingEnabled: true });
      await new Promise((resolve) => subscription.once("started", resolve));
      const refresh = await r.session.call({ objectId: "i=2782", methodId: "i=3875",
        inputArguments: [{ dataType: DataType.UInt32, value: subscription.subscriptionId }] });
      assert.equal(refresh.statusCode.name, "Good", "a Read user may refresh");
      await subscription.terminate();
      assert.equal(await acknowledge(w.session, await latestEventId(w.session)), "Good");
    } finally {
      await r.close();
      await w.close();
    }
    for (const wrong of [{ user: "writer", password: "W-pass" }, { user: "ghost", password: "w-pass" },
      { user: "writer", password: "" }, { user: "x".repeat(5000), password: "y".repeat(5000) }]) {
      assert.notEqual(await attempt({ ...secure, ...wrong }), "ok", wrong.user.slice(0, 10));
    }
  });

  await t.test("remote access: no None, no anonymous, unknown certificates refused and kept, then trusted", async () => {
    const der = clientCertificateDer();
    const thumbprint = crypto.createHash("sha1").update(der).digest("hex").toUpperCase();
    assert.equal((await tovi(["/UaRemote", "on"])).code, 0);
    await until("the endpoint listens anew without None", async () =>
      (await offered()).every((e) => !e.startsWith("None/")));
    const endpoints = await offered();
    // Only SignAndEncrypt, each taking a user name: a password never travels less protected.
    assert.ok(endpoints.length >= 3 && endpoints.every((e) => e.endsWith("/SignAndEncrypt/UserName")),
      endpoints.join(" "));

    assert.notEqual(await attempt({}), "ok", "None is refused");
    assert.match(await attempt({ ...secure, ...writer }), /BadSecurityChecksFailed|Bad.*Certificate|closed|reset|disconnected/i);
    const kept = filesBelow(path.join(process.env.UA_PKI, "rejected"))
      .find((file) => fs.readFileSync(file).equals(der));
    assert.ok(kept, `the refused certificate ${thumbprint} is kept in rejected`);

    const trusted = await tovi(["/UaTrust", `Z:${kept.replace(/\//g, "\\")}`]);
    assert.equal(trusted.code, 0, trusted.said);
    await until("the trusted certificate reaches the running copy", async () =>
      (await attempt({ ...secure, ...writer })) === "ok");
    const cases = [
      [{ ...secure, ...writer }, "Good 3"],
      [{ ...secure, ...reader }, "BadUserAccessDenied 1"],
    ];
    for (const [options, expected] of cases) {
      const s = await open(options);
      try { assert.equal(await write(s.session), expected, options.user); } finally { await s.close(); }
    }
    assert.notEqual(await attempt({ ...secure }), "ok", "anonymous is refused");
    assert.notEqual(await attempt({ ...reader, mode: MessageSecurityMode.Sign, policy: SecurityPolicy.Basic256Sha256 }),
      "ok", "a password is not sent over Sign alone from elsewhere");

    assert.equal((await tovi(["/UaAllow", "anonymous", "on"])).code, 0);
    await until("anonymous clients let in, with Read", async () => (await attempt({ ...secure })) === "ok");
    const anonymous = await open({ ...secure });
    try { assert.equal(await write(anonymous.session), "BadUserAccessDenied 1"); } finally { await anonymous.close(); }
    assert.equal((await tovi(["/UaAllow", "unsecured", "on"])).code, 0);
    await until("None offered again", async () => (await attempt({})) === "ok");
  });

  await t.test("back to this computer only", async () => {
    for (const args of [["/UaAllow", "unsecured", "off"], ["/UaAllow", "anonymous", "off"], ["/UaRemote", "off"]]) {
      assert.equal((await tovi(args)).code, 0, args.join(" "));
    }
    await until("anonymous None with Read/Write again", async () => {
      const s = await open();
      try { return (await write(s.session)) === "Good 3"; } finally { await s.close(); }
    });
  });

  await t.test("the event log records sessions, refusals, failed logins and changes", async () => {
    const log = fs.readFileSync(process.env.EVENT_LOG, "latin1");
    for (const line of [/OPC UA session opened:.*127\.0\.0\.1.*writer/, /OPC UA user added:.*reader \(Read\)/,
      /Alarm acknowledged - Item:.*Alarms\.Level.*User:.*writer/,
      /OPC UA client certificate refused:.*[0-9A-F]{40}/, /OPC UA login failed:.*127\.0\.0\.1/,
      /OPC UA security changed:.*other computers on/, /OPC UA client certificate trusted:/]) {
      assert.match(log, line);
    }
    assert.doesNotMatch(log, /w-pass|r-pass/, "no password in the log");
  });
});
