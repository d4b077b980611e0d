// Who may connect to the real program's endpoint, seen by a real UA client:
// users added with /UaUser (run-ua-tests.sh adds ua-test-reader, Read, and
// ua-test-writer, Read/Write) read and write as their roles say, and /UaRemote
// turns on the remote defaults in the running copy: no security None, no
// anonymous clients, user names over SignAndEncrypt.
"use strict";
const test = require("node:test");
const assert = require("node:assert/strict");
const { execFile } = require("node:child_process");
const {
  OPCUAClient, AttributeIds, DataType, MessageSecurityMode, SecurityPolicy, UserTokenType,
} = require("node-opcua-client");

const url = process.env.UA_URL;
const tagsNamespace = "urn:Zelkor:ToviExplorer:Tags";
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const reader = { type: UserTokenType.UserName, userName: "ua-test-reader", password: "reader-pw" };
const writer = { type: UserTokenType.UserName, userName: "ua-test-writer", password: "writer-pw" };

// The program's own switch, as an operator runs it.
function program(...args) {
  return new Promise((resolve, reject) => {
    execFile(process.env.WINE, [process.env.TOVI_EXE, ...args], { timeout: 120000 },
      (error, stdout, stderr) => (error ? reject(new Error(`${args.join(" ")}: ${stderr || stdout}`)) : resolve(stdout)));
  });
}

async function connect(identity, securityMode = MessageSecurityMode.SignAndEncrypt,
  securityPolicy = SecurityPolicy.Basic256Sha256) {
  const client = OPCUAClient.create({
    endpointMustExist: false, securityMode, securityPolicy,
    connectionStrategy: { maxRetry: 1, initialDelay: 100, maxDelay: 500 },
  });
  await client.connect(url);
  try {
    const session = await client.createSession(identity);
    const ns = (await session.readNamespaceArray()).indexOf(tagsNamespace);
    return { client, session, id: (itemId) => `ns=${ns};s=${itemId}`,
      async close() { await session.close(); await client.disconnect(); } };
  } catch (error) {
    await client.disconnect();
    throw error;
  }
}

async function offered() {
  const client = OPCUAClient.create({ endpointMustExist: false, connectionStrategy: { maxRetry: 1 } });
  await client.connect(url);
  const endpoints = await client.getEndpoints();
  await client.disconnect();
  return endpoints.map((e) => `${e.securityPolicyUri.split("#")[1]}/${MessageSecurityMode[e.securityMode]}: ` +
    e.userIdentityTokens.map((t) => UserTokenType[t.tokenType]).join(" "));
}

// What one role may do with a Read/Write tag: read it, see its UserAccessLevel, write it.
async function rights(identity) {
  const ua = await connect(identity);
  try {
    const value = await ua.session.read({ nodeId: ua.id("Plant.Flow"), attributeId: AttributeIds.Value });
    const level = await ua.session.read({ nodeId: ua.id("Plant.Flow"), attributeId: AttributeIds.UserAccessLevel });
    const written = await ua.session.write({ nodeId: ua.id("Plant.Flow"), attributeId: AttributeIds.Value,
      value: { value: { dataType: DataType.Double, value: 21.5 } } });
    return { read: value.statusCode.name, level: level.value.value, write: written.name };
  } finally {
    await ua.close();
  }
}

const roles = [
  { who: "Read", identity: reader, expected: { read: "Good", level: 1, write: "BadUserAccessDenied" } },
  { who: "Read/Write", identity: writer, expected: { read: "Good", level: 3, write: "Good" } },
];

test("each role reads, and writes only as Read/Write, on this computer", async () => {
  for (const { who, identity, expected } of roles) assert.deepEqual(await rights(identity), expected, who);
  // A wrong password is refused as such.
  await assert.rejects(connect({ ...reader, password: "wrong" }), /BadUserAccessDenied|UserAccessDenied/);
});

test("with /UaRemote on, the running copy offers neither None nor anonymous, and users still work", async (t) => {
  await program("/UaRemote", "on");
  t.after(async () => {
    await program("/UaRemote", "off");
    // Back to the defaults before the next file: None and anonymous again.
    const end = Date.now() + 60000;
    while (Date.now() < end) {
      try { if ((await offered()).some((e) => e.startsWith("None/None"))) return; } catch { /* moving */ }
      await sleep(250);
    }
  });
  let endpoints = [];
  const end = Date.now() + 60000;
  for (;;) {
    try { endpoints = await offered(); } catch { endpoints = []; /* the endpoint is moving */ }
    if (endpoints.length > 0 && !endpoints.some((e) => e.startsWith("None/None"))) break;
    assert.ok(Date.now() < end, `still offered after /UaRemote on: ${endpoints}`);
    await sleep(250);
  }
  assert.deepEqual(endpoints.sort(), ["Aes128_Sha256_RsaOaep/SignAndEncrypt: UserName",
    "Aes256_Sha256_RsaPss/SignAndEncrypt: UserName", "Basic256Sha256/SignAndEncrypt: UserName"]);

  await assert.rejects(connect(undefined), "an anonymous client");
  await assert.rejects(connect(writer, MessageSecurityMode.None, SecurityPolicy.None), "security None");
  for (const { who, identity, expected } of roles) assert.deepEqual(await rights(identity), expected, who);
});

test("a failed login is answered later than a good one", async () => {
  const timed = async (identity) => {
    const start = Date.now();
    try { await (await connect(identity)).close(); } catch { /* refused */ }
    return Date.now() - start;
  };
  const good = await timed(reader);
  const failed = await timed({ ...reader, password: "wrong again" });
  assert.ok(failed >= 450 && failed > good, `failed ${failed} ms, good ${good} ms`);
});
