// Relays between the page-world script (page.js) and the background. The runtime port it
// opens stands for this document: the background learns the tab, frame and origin from the
// browser, and the document's plug-in instance lives exactly as long as the port.
(() => {
  "use strict";
  const api = globalThis.browser ?? globalThis.chrome;
  const E_UNEXPECTED = 0x8000ffff;
  const KEEPALIVE_MS = 20000;

  let port = null;
  const waiting = new Map();    // seq -> true while the background has not answered
  let pinger = null;

  function answer(seq, message) {
    waiting.delete(seq);
    if (waiting.size === 0 && pinger !== null) {
      clearInterval(pinger);
      pinger = null;
    }
    document.dispatchEvent(new CustomEvent("npkeystrand-reply", {
      detail: JSON.stringify({ seq, ...message }),
    }));
  }

  function connect() {
    if (port) return port;
    port = api.runtime.connect({ name: "npkeystrand-document" });
    port.onMessage.addListener((msg) => {
      if (msg && typeof msg === "object" && waiting.has(msg.seq)) answer(msg.seq, msg);
    });
    port.onDisconnect.addListener(() => {
      port = null;
      for (const seq of [...waiting.keys()]) {
        answer(seq, { ok: false, code: E_UNEXPECTED, description: "The npKeystrand extension stopped." });
      }
    });
    return port;
  }

  document.addEventListener("npkeystrand-request", (event) => {
    let msg;
    try {
      msg = JSON.parse(event.detail);
    } catch {
      return;
    }
    if (!msg || typeof msg !== "object" || !Number.isInteger(msg.seq) || waiting.has(msg.seq)) return;
    waiting.set(msg.seq, true);
    try {
      connect().postMessage({ type: "call", seq: msg.seq, method: msg.method, args: msg.args });
    } catch (e) {
      answer(msg.seq, { ok: false, code: E_UNEXPECTED, description: "The npKeystrand extension stopped." });
      return;
    }
    // A call may wait a long time on a dialog; the background must not idle out meanwhile.
    if (pinger === null) {
      pinger = setInterval(() => {
        try {
          if (port) port.postMessage({ type: "ping" });
        } catch {
          // the port is gone; its disconnect answers the waiting calls
        }
      }, KEEPALIVE_MS);
    }
  });

  // The page asks for its instance first: the port opens then (no host yet; that waits for
  // the first call and the user's consent).
  document.addEventListener("npkeystrand-embed", () => {
    connect();
  });
})();
