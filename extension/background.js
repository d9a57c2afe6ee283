// The extension's background: one native-messaging port per tab, one plug-in instance per
// document, and the user's consent per origin. Pages never talk to it directly: a content
// script in each document opens a runtime port, and everything about the caller (its tab,
// its frame, its origin) comes from the browser's record of that port, not from the page.

import {
  HOST_NAME, E_CANCELLED, E_UNEXPECTED, E_INVALIDARG, E_ACCESSDENIED, CANCELLED_TEXT,
  isMethod, describeRequest, isCallerOrigin, senderOrigin, normalizeArgs, chunkMessage, ChunkJoiner,
} from "./bridge-core.js";

const api = globalThis.browser ?? globalThis.chrome;
const EXTENSION_URL = api.runtime.getURL("");

// ---- the sites the user always allows -------------------------------------------------

let allowed = Object.create(null);   // origin -> { granted: ISO date }
const ready = api.storage.local.get("alwaysAllowed").then((v) => {
  allowed = Object.assign(Object.create(null), v.alwaysAllowed || {});
}, () => {});

api.storage.onChanged.addListener((changes, area) => {
  if (area === "local" && changes.alwaysAllowed) {
    allowed = Object.assign(Object.create(null), changes.alwaysAllowed.newValue || {});
  }
});

async function allowAlways(origin) {
  allowed[origin] = { granted: new Date().toISOString() };
  await api.storage.local.set({ alwaysAllowed: { ...allowed } });
}

// ---- consent windows --------------------------------------------------------------------

let nextConsentId = 1;
const consents = new Map();    // id -> { origin, request, resolve, windowId }

// Resolves with "once", "always" or "deny"; `cancel.now()` withdraws the question (its
// window closes) when the asking document goes first.
function askConsent(origin, request, cancel = {}) {
  return new Promise((resolve) => {
    const id = nextConsentId++;
    const entry = { origin, request, resolve, windowId: null };
    consents.set(id, entry);
    const settle = (answer) => {
      if (!consents.has(id)) return;
      consents.delete(id);
      if (entry.windowId !== null) api.windows.remove(entry.windowId).catch(() => {});
      resolve(answer);
    };
    entry.settle = settle;
    cancel.now = () => settle("deny");
    api.windows.create({
      url: api.runtime.getURL(`consent.html?id=${id}`),
      type: "popup",
      width: 480,
      height: 400,
      focused: true,
    }).then((win) => {
      entry.windowId = win.id;
      if (!consents.has(id)) api.windows.remove(win.id).catch(() => {});
    }, () => settle("deny"));
  });
}

// A consent window closed without an answer refuses.
api.windows.onRemoved.addListener((windowId) => {
  for (const entry of consents.values()) {
    if (entry.windowId === windowId) {
      entry.windowId = null;
      entry.settle("deny");
    }
  }
});

// Messages from the extension's own pages (the consent window, the options page). Content
// scripts share the extension's id, so the sender's URL tells the two apart.
api.runtime.onMessage.addListener((msg, sender) => {
  if (!sender || sender.id !== api.runtime.id || typeof sender.url !== "string" ||
      !sender.url.startsWith(EXTENSION_URL) || !msg || typeof msg !== "object") {
    return undefined;
  }
  if (msg.type === "consent-get") {
    const entry = consents.get(msg.id);
    return Promise.resolve(entry ? { origin: entry.origin, request: entry.request } : null);
  }
  if (msg.type === "consent-answer") {
    const entry = consents.get(msg.id);
    if (entry && ["once", "always", "deny"].includes(msg.answer)) {
      entry.settle(msg.answer);
      // The site is allowed everywhere now: its other open questions are answered too.
      if (msg.answer === "always") {
        for (const other of [...consents.values()]) {
          if (other.origin === entry.origin) other.settle("always");
        }
      }
    }
    return Promise.resolve(true);
  }
  return undefined;
});

// ---- native ports, one per tab ------------------------------------------------------------

const tabs = new Map();       // tabId -> TabBridge
let nextDoc = 1;

class TabBridge {
  constructor(tabId) {
    this.tabId = tabId;
    this.port = null;
    this.nextId = 1;
    this.pending = new Map();   // id -> { resolve }
    this.docs = new Set();
    this.joiner = new ChunkJoiner();
  }

  connect() {
    if (this.port) return;
    const port = api.runtime.connectNative(HOST_NAME);
    this.port = port;
    this.joiner.reset();
    port.onMessage.addListener((msg) => this.receive(msg));
    port.onDisconnect.addListener((p) => {
      const err = (p && p.error) || api.runtime.lastError;
      const why = err && err.message ? `: ${err.message}` : ".";
      this.ended(`The native host ended${why}`);
    });
    keepAlive();
  }

  // The host went away: every call waiting on it fails, and every document that had an
  // instance in it gets a new one (in a new host) on its next call.
  ended(description) {
    if (this.port === null) return;
    this.port = null;
    const pending = [...this.pending.values()];
    this.pending.clear();
    for (const doc of this.docs) doc.opened = null;
    for (const p of pending) p.resolve({ ok: false, code: E_UNEXPECTED, description });
    keepAlive();
  }

  disconnect() {
    if (this.port === null) return;
    const port = this.port;
    this.ended("The native host ended: the tab closed.");
    port.disconnect();
  }

  receive(msg) {
    if (msg && typeof msg === "object" && "chunk" in msg) {
      let whole;
      try {
        whole = this.joiner.push(msg);
      } catch (e) {
        this.fail(e.chunkId, `The native host sent a broken reply (${e.message}).`);
        return;
      }
      if (whole !== null) this.receive(whole);
      return;
    }
    if (!msg || typeof msg !== "object") return;
    const waiter = this.pending.get(msg.id);
    if (!waiter) return;
    this.pending.delete(msg.id);
    waiter.resolve(msg);
  }

  fail(id, description) {
    const waiter = this.pending.get(id);
    if (!waiter) return;
    this.pending.delete(id);
    waiter.resolve({ ok: false, code: E_UNEXPECTED, description });
  }

  // Sends one request and resolves with the host's reply (or the failure that ended it).
  request(message) {
    this.connect();
    const id = this.nextId++;
    const port = this.port;
    return new Promise((resolve) => {
      this.pending.set(id, { resolve });
      try {
        for (const frame of chunkMessage({ id, ...message }, id)) port.postMessage(frame);
      } catch (e) {
        this.fail(id, `The native host could not be reached: ${e.message}`);
      }
    });
  }
}

function tabBridge(tabId) {
  let t = tabs.get(tabId);
  if (!t) {
    t = new TabBridge(tabId);
    tabs.set(tabId, t);
  }
  return t;
}

// Firefox ends an idle background after about 30 seconds, dropping its ports with it; while
// a host is running (a call may be waiting on the picker) the background keeps itself busy.
let keepAliveTimer = null;
function keepAlive() {
  const busy = [...tabs.values()].some((t) => t.port !== null);
  if (busy && keepAliveTimer === null) {
    keepAliveTimer = setInterval(() => { api.runtime.getPlatformInfo().catch(() => {}); }, 20000);
  } else if (!busy && keepAliveTimer !== null) {
    clearInterval(keepAliveTimer);
    keepAliveTimer = null;
  }
}

api.tabs.onRemoved.addListener((tabId) => {
  const t = tabs.get(tabId);
  if (t) {
    tabs.delete(tabId);
    t.disconnect();
  }
});

// ---- documents --------------------------------------------------------------------------

class Doc {
  constructor(tab, origin) {
    this.tab = tab;
    this.origin = origin;
    this.id = `d${nextDoc++}`;
    this.opened = null;         // the promise of the host's answer to "open"
    this.consent = null;        // "once" | "deny" once the user answered for this document
    this.asking = null;         // the consent window's promise while it is open
    this.cancelConsent = null;  // withdraws that window's question
  }

  async permitted(method, args) {
    if (this.consent === "deny") return false;
    if (this.consent === "once" || allowed[this.origin]) return true;
    if (!this.asking) {
      this.cancelConsent = {};
      this.asking = askConsent(this.origin, describeRequest(method, args), this.cancelConsent).then(async (answer) => {
        this.asking = null;
        this.cancelConsent = null;
        // An "always" answer lives in the stored list only, so that revoking it on the
        // options page also stops this document.
        if (answer === "always") await allowAlways(this.origin);
        else this.consent = answer;
        return answer !== "deny";
      });
    }
    return this.asking;
  }

  async call(method, args) {
    await ready;
    if (!(await this.permitted(method, args))) {
      return { ok: false, code: E_CANCELLED, description: CANCELLED_TEXT };
    }
    if (!this.tab.docs.has(this)) {
      return { ok: false, code: E_UNEXPECTED, description: "The document has closed." };
    }
    if (this.opened === null) {
      this.opened = this.tab.request({ type: "open", doc: this.id, origin: this.origin });
    }
    const opened = await this.opened;
    if (!opened.ok) {
      this.opened = null;
      return opened;
    }
    return this.tab.request({ type: "call", doc: this.id, method, args });
  }

  close() {
    this.tab.docs.delete(this);
    if (this.cancelConsent && this.cancelConsent.now) this.cancelConsent.now();
    if (this.opened !== null && this.tab.port !== null) {
      this.tab.request({ type: "close", doc: this.id });
    }
    this.opened = null;
    // The last document of the tab gone: the host is no longer needed.
    if (this.tab.docs.size === 0) {
      tabs.delete(this.tab.tabId);
      this.tab.disconnect();
    }
  }
}

function reply(port, seq, answer) {
  const message = { seq, ok: answer.ok === true };
  if (message.ok) {
    message.result = answer.result === undefined ? null : answer.result;
  } else {
    message.code = typeof answer.code === "number" ? answer.code >>> 0 : E_UNEXPECTED;
    message.description = typeof answer.description === "string" ? answer.description : "";
  }
  try {
    port.postMessage(message);
  } catch {
    // the document has gone meanwhile
  }
}

api.runtime.onConnect.addListener((port) => {
  const sender = port.sender;
  if (port.name !== "npkeystrand-document" || !sender || sender.id !== api.runtime.id ||
      !sender.tab || typeof sender.tab.id !== "number" ||
      (typeof sender.url === "string" && sender.url.startsWith(EXTENSION_URL))) {
    port.disconnect();
    return;
  }
  const origin = senderOrigin(sender);
  if (!isCallerOrigin(origin)) {
    port.onMessage.addListener((msg) => {
      if (msg && typeof msg === "object" && msg.type === "call") {
        reply(port, msg.seq, {
          ok: false, code: E_ACCESSDENIED,
          description: `Only secure pages may use npKeystrand; ${origin} is not one.`,
        });
      }
    });
    return;
  }
  const tab = tabBridge(sender.tab.id);
  const doc = new Doc(tab, origin);
  tab.docs.add(doc);
  port.onMessage.addListener((msg) => {
    if (!msg || typeof msg !== "object" || msg.type !== "call") return;   // pings and noise
    const args = normalizeArgs(msg.args);
    if (!isMethod(msg.method) || args === null) {
      reply(port, msg.seq, { ok: false, code: E_INVALIDARG, description: "The parameter is incorrect." });
      return;
    }
    doc.call(msg.method, args).then((answer) => reply(port, msg.seq, answer), (e) => reply(port, msg.seq, {
      ok: false, code: E_UNEXPECTED, description: `The extension failed: ${e && e.message}`,
    }));
  });
  port.onDisconnect.addListener(() => doc.close());
});
