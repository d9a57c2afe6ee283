// What the background needs that does not touch a browser API: the plug-in's method list,
// which origins may call, the shape of the values a call may carry, and the cutting and
// joining of messages too large for one native-messaging frame. Kept apart so that Node
// can test it as it is.

export const HOST_NAME = "org.npkeystrand.bridge";

// The HRESULTs the extension itself reports, as unsigned 32-bit numbers.
export const E_CANCELLED = 0x800704c7;       // the user refused
export const E_UNEXPECTED = 0x8000ffff;      // the native host is gone or misbehaved
export const E_INVALIDARG = 0x80070057;      // a request the bridge cannot carry
export const E_ACCESSDENIED = 0x80070005;    // a document that may not call at all

export const CANCELLED_TEXT = "The operation was canceled by the user.";

// The plug-in's scripting surface, in its own order, with what the consent window says each
// method asks for and which arguments are file paths (shown to the user; nothing else is).
export const METHODS = Object.freeze({
  SelectSignCertificate: ["choose a signing certificate from your certificate stores", []],
  SelectEncryptCertificate: ["choose a recipient certificate from your certificate stores", []],
  SelectDecryptCertificates: ["use your decryption certificates", []],
  SelectSignCertificateByPFXFile: ["choose a signing certificate from a PFX file", [0]],
  SelectEncryptCertificateByCERFile: ["choose a recipient certificate from a certificate file", [0]],
  SelectDecryptCertificateByPFXFile: ["choose a decryption certificate from a PFX file", [0]],
  SignMessage: ["sign a text with your signing certificate", []],
  SignMessageDetached: ["sign a text with your signing certificate", []],
  SignMessagePKCS1: ["sign a text with your signing certificate", []],
  VerifyMessageSignature: ["verify a signature", []],
  VerifyMessageSignatureDetached: ["verify a signature", []],
  VerifyMessageSignaturePKCS1: ["verify a signature", []],
  SignFileDetached: ["sign a file with your signing certificate", [0]],
  SignFilePKCS1: ["sign a file with your signing certificate", [0]],
  VerifyFileSignatureDetached: ["verify the signature of a file", [1]],
  VerifyFileSignaturePKCS1: ["verify the signature of a file", [1]],
  EncryptMessageasEnvelope: ["encrypt a text for a recipient", []],
  EncryptMessageasEnvelopePKCS7: ["encrypt a text for a recipient", []],
  DecryptEnvelopeMessage: ["decrypt a text with your decryption certificate", []],
  DecryptEnvelopeMessagePKCS7: ["decrypt a text with your decryption certificate", []],
  EncryptAsEnvelopeFilePKCS7: ["encrypt a file and write the result", [0, 1]],
  EncryptAsEnvelopeFile: ["encrypt a file and write the result", [0, 1]],
  EncryptMessageasEnvelopePKCS7_3DES: ["encrypt a text for a recipient", []],
  EncryptMessageasEnvelope_3DES: ["encrypt a text for a recipient", []],
  EncryptAsEnvelopeFilePKCS7_3DES: ["encrypt a file and write the result", [0, 1]],
  EncryptAsEnvelopeFile_3DES: ["encrypt a file and write the result", [0, 1]],
  DecryptEnvelopeFilePKCS7: ["decrypt a file with your decryption certificate and write the result", [0, 1]],
  DecryptEnvelopeFile: ["decrypt a file with your decryption certificate and write the result", [0, 1]],
  VerifyMessageSignaturePKCS7: ["read the content of a signed message", []],
  GetLastErrorDesc: ["read the description of the last error", []],
});

export function isMethod(name) {
  return typeof name === "string" && Object.prototype.hasOwnProperty.call(METHODS, name);
}

// What the consent window shows for a call: the purpose and the file paths it names.
export function describeRequest(method, args) {
  const [purpose, pathArgs] = METHODS[method];
  const paths = [];
  for (const i of pathArgs) {
    if (Array.isArray(args) && typeof args[i] === "string") paths.push(args[i]);
  }
  return { method, purpose, paths };
}

// Secure contexts only: https, and plain http on the loopback names browsers trust.
// Anything else (file:, data:, opaque "null", other extensions) is refused.
export function isCallerOrigin(origin) {
  if (typeof origin !== "string" || origin === "null") return false;
  let url;
  try {
    url = new URL(origin);
  } catch {
    return false;
  }
  if (url.origin !== origin) return false;   // a full URL or something odd, not an origin
  if (url.protocol === "https:") return true;
  if (url.protocol !== "http:") return false;
  const host = url.hostname;
  return host === "localhost" || host.endsWith(".localhost") || host === "[::1]" ||
         /^127\.\d{1,3}\.\d{1,3}\.\d{1,3}$/.test(host);
}

// The origin of a content script's document as the browser computed it. Firefox may leave
// `origin` out; the sender's URL is then the browser's own record of the frame.
export function senderOrigin(sender) {
  if (sender && typeof sender.origin === "string") return sender.origin;
  if (sender && typeof sender.url === "string") {
    try {
      return new URL(sender.url).origin;
    } catch {
      return "null";
    }
  }
  return "null";
}

// Arguments cross as JSON: strings, numbers, booleans and null. Any other value (undefined,
// an object, a function) becomes null, which the plug-in refuses wherever it reads a string,
// just as it refuses an object or undefined from a page under NPAPI. Non-finite numbers also
// become null, as JSON has no spelling for them.
export function normalizeArgs(args) {
  if (!Array.isArray(args)) return null;
  return args.map((v) => {
    if (typeof v === "string" || typeof v === "boolean") return v;
    if (typeof v === "number") return Number.isFinite(v) ? v : null;
    return null;
  });
}

// The frame limits of the bridge: a message whose JSON text may exceed MESSAGE_LIMIT bytes
// goes as chunks, each carrying at most PIECE_LIMIT bytes of (escaped) text, so that a
// chunk frame stays under 1 MiB.
export const MESSAGE_LIMIT = 1000000;
export const PIECE_LIMIT = 1000000;
export const JOINED_LIMIT = 1024 * 1024 * 1024;

// The most bytes one UTF-16 unit can take in a browser's JSON encoding of a string: the
// browsers escape different sets of characters (Chromium writes "<" as \u003C), so every
// character that some encoder escapes counts as a six-byte escape, and every non-ASCII unit
// too (raw UTF-8 needs at most three bytes for one unit and four for a pair).
function unitCost(c) {
  if (c < 0x20 || c === 0x7f) return 6;
  if (c === 0x22 || c === 0x5c) return 2;
  if (c === 0x3c || c === 0x3e || c === 0x26 || c === 0x27) return 6;
  if (c < 0x80) return 1;
  return 6;
}

export function worstCaseBytes(text) {
  let n = 0;
  for (let i = 0; i < text.length; i++) n += unitCost(text.charCodeAt(i));
  return n;
}

// Cuts a message's JSON text into chunk frames; a single-element array holds the message
// itself when it is small enough to go whole.
export function chunkMessage(message, id, { messageLimit = MESSAGE_LIMIT, pieceLimit = PIECE_LIMIT } = {}) {
  const text = JSON.stringify(message);
  if (worstCaseBytes(text) <= messageLimit) return [message];
  const pieces = [];
  let start = 0;
  let cost = 0;
  for (let i = 0; i < text.length; i++) {
    const c = text.charCodeAt(i);
    const w = unitCost(c);
    if (cost + w > pieceLimit && i > start) {
      let cut = i;
      // Never between the halves of a surrogate pair.
      if (c >= 0xdc00 && c <= 0xdfff) {
        const prev = text.charCodeAt(i - 1);
        if (prev >= 0xd800 && prev <= 0xdbff && i - 1 > start) cut = i - 1;
      }
      pieces.push(text.slice(start, cut));
      start = cut;
      cost = 0;
      for (let j = cut; j < i; j++) cost += unitCost(text.charCodeAt(j));
    }
    cost += w;
  }
  pieces.push(text.slice(start));
  return pieces.map((data, part) => ({ chunk: id, part, parts: pieces.length, data }));
}

// Joins the chunk frames of one message at a time, as the other side sends them: in order
// and never interleaved with other frames.
export class ChunkJoiner {
  constructor(limit = JOINED_LIMIT) {
    this.limit = limit;
    this.reset();
  }

  reset() {
    this.id = null;
    this.parts = 0;
    this.pieces = [];
    this.length = 0;
  }

  get busy() {
    return this.id !== null;
  }

  // Returns the joined message, or null while parts are still missing. Throws an Error
  // carrying `chunkId` (the message it broke, when known) on a broken sequence.
  push(frame) {
    const bad = (why) => {
      const id = this.id !== null ? this.id : (frame && frame.chunk);
      this.reset();
      const e = new Error(why);
      e.chunkId = id;
      throw e;
    };
    const { chunk, part, parts, data } = frame;
    if (!Number.isInteger(part) || !Number.isInteger(parts) || parts < 1 || typeof data !== "string" ||
        (typeof chunk !== "number" && typeof chunk !== "string")) {
      bad("a malformed chunk");
    }
    if (this.id === null) {
      if (part !== 0) bad("a chunk sequence that does not start at part 0");
      this.id = chunk;
      this.parts = parts;
    } else if (chunk !== this.id || parts !== this.parts || part !== this.pieces.length) {
      bad("chunks out of sequence");
    }
    if (part >= parts) bad("a chunk beyond its count");
    this.length += data.length;
    if (this.length > this.limit) bad("a chunked message over the size limit");
    this.pieces.push(data);
    if (this.pieces.length < this.parts) return null;
    const text = this.pieces.join("");
    this.reset();
    try {
      return JSON.parse(text);
    } catch {
      const e = new Error("a chunked message that is not JSON");
      e.chunkId = chunk;
      throw e;
    }
  }
}
