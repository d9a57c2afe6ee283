// Runs in the page's own world before the page's scripts: defines the frozen `npKeystrand`
// object whose embed() gives the document its plug-in instance, an object with the
// plug-in's 30 methods, each returning a promise. The browser functions it uses are taken
// now, so a page that later replaces them cannot redirect the calls.
(() => {
  "use strict";
  if (!window.isSecureContext || Object.prototype.hasOwnProperty.call(window, "npKeystrand")) return;

  const METHODS = [
    "SelectSignCertificate", "SelectEncryptCertificate", "SelectDecryptCertificates",
    "SelectSignCertificateByPFXFile", "SelectEncryptCertificateByCERFile",
    "SelectDecryptCertificateByPFXFile", "SignMessage", "SignMessageDetached", "SignMessagePKCS1",
    "VerifyMessageSignature", "VerifyMessageSignatureDetached", "VerifyMessageSignaturePKCS1",
    "SignFileDetached", "SignFilePKCS1", "VerifyFileSignatureDetached", "VerifyFileSignaturePKCS1",
    "EncryptMessageasEnvelope", "EncryptMessageasEnvelopePKCS7", "DecryptEnvelopeMessage",
    "DecryptEnvelopeMessagePKCS7", "EncryptAsEnvelopeFilePKCS7", "EncryptAsEnvelopeFile",
    "EncryptMessageasEnvelopePKCS7_3DES", "EncryptMessageasEnvelope_3DES",
    "EncryptAsEnvelopeFilePKCS7_3DES", "EncryptAsEnvelopeFile_3DES", "DecryptEnvelopeFilePKCS7",
    "DecryptEnvelopeFile", "VerifyMessageSignaturePKCS7", "GetLastErrorDesc",
  ];

  const doc = document;
  const dispatch = EventTarget.prototype.dispatchEvent;
  const listen = EventTarget.prototype.addEventListener;
  const CustomEventCtor = CustomEvent;
  const stringify = JSON.stringify;
  const parse = JSON.parse;
  const ErrorCtor = Error;
  const PromiseCtor = Promise;
  const MapCtor = Map;
  const mapGet = Map.prototype.get;
  const mapSet = Map.prototype.set;
  const mapDelete = Map.prototype.delete;
  const freeze = Object.freeze;
  const defineProperty = Object.defineProperty;
  const finite = Number.isFinite;

  const waiting = new MapCtor();   // seq -> [resolve, reject]
  let nextSeq = 1;

  listen.call(doc, "npkeystrand-reply", (event) => {
    let msg;
    try {
      msg = parse(event.detail);
    } catch {
      return;
    }
    const w = msg && mapGet.call(waiting, msg.seq);
    if (!w) return;
    mapDelete.call(waiting, msg.seq);
    if (msg.ok === true) {
      w[0](msg.result);
    } else {
      const description = typeof msg.description === "string" ? msg.description : "";
      const e = new ErrorCtor(description || "npKeystrand call failed");
      e.code = typeof msg.code === "number" ? msg.code : 0x8000ffff;
      e.description = description;
      w[1](e);
    }
  });

  // Values JSON cannot carry go as null; the plug-in refuses them wherever it reads a
  // string, as it refuses an object or undefined under NPAPI.
  function clean(args) {
    const out = [];
    for (let i = 0; i < args.length; i++) {
      const v = args[i];
      const t = typeof v;
      out[i] = t === "string" || t === "boolean" || (t === "number" && finite(v)) ? v : null;
    }
    return out;
  }

  function call(method, args) {
    return new PromiseCtor((resolve, reject) => {
      const seq = nextSeq++;
      const detail = stringify({ seq, method, args: clean(args) });
      mapSet.call(waiting, seq, [resolve, reject]);
      dispatch.call(doc, new CustomEventCtor("npkeystrand-request", { detail }));
    });
  }

  let instance = null;

  function makeInstance() {
    const obj = {};
    for (const name of METHODS) {
      const method = function () {
        return call(name, arguments);
      };
      defineProperty(method, "name", { value: name });
      obj[name] = method;
    }
    return freeze(obj);
  }

  const npKeystrand = freeze({
    // One plug-in instance for this document; the native host starts only when a method is
    // first called and the user has allowed this site.
    embed() {
      if (instance === null) {
        instance = makeInstance();
        dispatch.call(doc, new CustomEventCtor("npkeystrand-embed"));
      }
      return PromiseCtor.resolve(instance);
    },
  });

  defineProperty(window, "npKeystrand", { value: npKeystrand, writable: false, configurable: false, enumerable: false });
})();
