// The extension's browser-free pieces, run by Node: which origins may call, what arguments
// become, and the cutting and joining of messages larger than a native-messaging frame.
import { test } from "node:test";
import assert from "node:assert/strict";
import {
  isCallerOrigin, senderOrigin, normalizeArgs, chunkMessage, ChunkJoiner, worstCaseBytes, isMethod,
  describeRequest, METHODS, MESSAGE_LIMIT,
} from "../../extension/bridge-core.js";

test("secure origins only", () => {
  for (const o of ["https://example.org", "https://example.org:8443", "http://localhost:8080",
    "http://127.0.0.1:3000", "http://app.localhost", "http://[::1]:81"]) {
    assert.equal(isCallerOrigin(o), true, o);
  }
  for (const o of ["http://example.org", "file://", "null", "", "chrome-extension://abc",
    "moz-extension://5f0c2a9e", "https://example.org/path", "data:text/html,x", "http://127.0.0.1.evil.org",
    "http://localhost.evil.org", undefined, 5]) {
    assert.equal(isCallerOrigin(o), false, String(o));
  }
});

test("the sender's origin comes from the browser's record", () => {
  assert.equal(senderOrigin({ origin: "https://a.example", url: "https://b.example/x" }), "https://a.example");
  assert.equal(senderOrigin({ url: "https://b.example:444/x?y" }), "https://b.example:444");
  assert.equal(senderOrigin({ url: "file:///tmp/x.html" }), "null");
  assert.equal(senderOrigin({}), "null");
});

test("arguments JSON cannot carry become null", () => {
  assert.deepEqual(normalizeArgs(["a", 1, 2.5, true, null, undefined, {}, [], NaN, Infinity]),
    ["a", 1, 2.5, true, null, null, null, null, null, null]);
  assert.equal(normalizeArgs("a"), null);
  assert.equal(normalizeArgs({ length: 1, 0: "a" }), null);
});

test("the thirty methods, and what the consent window shows of them", () => {
  assert.equal(Object.keys(METHODS).length, 30);
  assert.equal(isMethod("SignMessage"), true);
  for (const n of ["signmessage", "SignMessag", "", "toString", "__proto__", "constructor"]) {
    assert.equal(isMethod(n), false, n);
  }
  // File paths are shown; passwords and texts never are.
  assert.deepEqual(describeRequest("SelectSignCertificateByPFXFile", ["/x/a.pfx", "secret"]).paths, ["/x/a.pfx"]);
  assert.deepEqual(describeRequest("SignMessage", ["text", "SHA-1"]).paths, []);
  assert.deepEqual(describeRequest("DecryptEnvelopeFile", ["/in", "/out"]).paths, ["/in", "/out"]);
  assert.deepEqual(describeRequest("SignFileDetached", [5]).paths, []);
});

function roundTrip(message, limits) {
  const frames = chunkMessage(message, 7, limits);
  const joiner = new ChunkJoiner();
  let whole = null;
  for (const f of frames) {
    assert.equal(whole, null, "a message completed before its last frame");
    whole = "chunk" in f ? joiner.push(JSON.parse(JSON.stringify(f))) : f;
  }
  return { frames, whole };
}

test("small messages go whole", () => {
  const m = { id: 1, type: "call", doc: "d1", method: "SignMessage", args: ["hello", "SHA-1"] };
  assert.deepEqual(chunkMessage(m, 1), [m]);
});

test("large messages are cut between characters and join back", () => {
  const unit = "plain <&> \"q\" \\ 签名 😀 \u2028";
  const text = unit.repeat(Math.ceil(2500000 / unit.length));
  const m = { id: 9, type: "call", doc: "d1", method: "SignMessage", args: [text, "SHA-256"] };
  const { frames, whole } = roundTrip(m);
  assert.ok(frames.length > 1);
  assert.deepEqual(whole, m);
  for (const [i, f] of frames.entries()) {
    assert.equal(f.chunk, 7);
    assert.equal(f.part, i);
    assert.equal(f.parts, frames.length);
    // Within the frame limit however a browser escapes it, and no piece ends inside a pair.
    const envelope = JSON.stringify({ ...f, data: "" }).length;
    assert.ok(worstCaseBytes(f.data) + envelope <= 1048576);
    assert.ok(Buffer.byteLength(JSON.stringify(f), "utf8") <= 1048576);
    const last = f.data.charCodeAt(f.data.length - 1);
    assert.ok(!(last >= 0xd800 && last <= 0xdbff), `piece ${i} ends in a high surrogate`);
  }
});

test("a cut that would split a surrogate pair moves before it", () => {
  const m = { s: "a😀😀😀😀" };
  const { frames, whole } = roundTrip(m, { messageLimit: 10, pieceLimit: 14 });
  assert.ok(frames.length >= 4);
  assert.deepEqual(whole, m);
  for (const f of frames) {
    const first = f.data.charCodeAt(0);
    assert.ok(!(first >= 0xdc00 && first <= 0xdfff), `a piece starts with a low surrogate: ${JSON.stringify(f.data)}`);
  }
});

test("a message is chunked exactly when its text could exceed the limit as sent", () => {
  const pad = (n) => ({ s: "x".repeat(n - worstCaseBytes(JSON.stringify({ s: "" }))) });
  assert.equal(chunkMessage(pad(MESSAGE_LIMIT), 1).length, 1);
  assert.ok(chunkMessage(pad(MESSAGE_LIMIT + 1), 1).length > 1);
  // Over the limit in UTF-8 bytes, whatever the count of UTF-16 units.
  const cjk = { s: "签".repeat(340000) };
  assert.ok(Buffer.byteLength(JSON.stringify(cjk)) > MESSAGE_LIMIT);
  assert.ok(chunkMessage(cjk, 1).length > 1);
});

test("broken chunk sequences are refused and the joiner recovers", () => {
  const frames = chunkMessage({ s: "y".repeat(50) }, 3, { messageLimit: 10, pieceLimit: 20 });
  assert.ok(frames.length >= 3);
  const j = new ChunkJoiner();
  assert.throws(() => j.push(frames[1]), /start at part 0/);
  j.push(frames[0]);
  assert.throws(() => j.push(frames[2]), (e) => e.chunkId === 3 && /out of sequence/.test(e.message));
  assert.equal(j.busy, false);
  j.push(frames[0]);
  assert.throws(() => j.push({ ...frames[1], chunk: 4 }), /out of sequence/);
  assert.throws(() => j.push({ chunk: 5, part: 0, parts: 0, data: "" }), /malformed/);
  assert.throws(() => j.push({ chunk: 5, part: 0, parts: 1, data: 7 }), /malformed/);
  assert.throws(() => j.push({ chunk: 5, part: 0, parts: 1, data: "{not json" }), /not JSON/);
  // The limit on a joined message holds before the last part arrives.
  const small = new ChunkJoiner(30);
  small.push({ chunk: 6, part: 0, parts: 3, data: "x".repeat(20) });
  assert.throws(() => small.push({ chunk: 6, part: 1, parts: 3, data: "x".repeat(20) }), /size limit/);
  // After all that, a whole sequence still joins.
  let whole = null;
  for (const f of frames) whole = j.push(f);
  assert.deepEqual(whole, { s: "y".repeat(50) });
});
