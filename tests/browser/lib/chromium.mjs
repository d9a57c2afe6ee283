// Headless Chromium with the extension, driven over the DevTools protocol on a pipe
// (NUL-separated JSON on file descriptors 3 and 4).
import { spawn } from "node:child_process";
import { mkdirSync, writeFileSync } from "node:fs";
import { join } from "node:path";
import { within, until } from "./util.mjs";

export const EXTENSION_ID = "fnipddhnahdnnplpjmcopknkncfclnnk";

class Session {
  constructor(browser, sessionId, targetId) {
    this.browser = browser;
    this.sessionId = sessionId;
    this.targetId = targetId;
  }

  send(method, params = {}, ms = 30000, what = method) {
    return this.browser.send(method, params, this.sessionId, ms, what);
  }

  // Evaluates an expression in the page (awaiting a promise) and returns its value.
  async eval(expression, ms = 60000) {
    const r = await this.send("Runtime.evaluate", {
      expression, awaitPromise: true, returnByValue: true,
    }, ms, `the page script ${expression.replace(/\s+/g, " ").slice(0, 160)}`);
    if (r.exceptionDetails) {
      throw new Error(`page script failed: ${r.exceptionDetails.exception?.description ?? r.exceptionDetails.text}`);
    }
    return r.result.value;
  }
}

export class Chromium {
  constructor({ binary = "chromium", profile, env, extensionDir, extraArgs = [] }) {
    this.binary = binary;
    this.extraArgs = extraArgs;
    this.profile = profile;
    this.env = env;
    this.extensionDir = extensionDir;
    this.name = "chromium";
    this.extensionOrigin = `chrome-extension://${EXTENSION_ID}`;
  }

  // The native-messaging manifest goes where Chromium looks for it under its user data dir.
  static installHostManifest(profile, hostPath) {
    const dir = join(profile, "NativeMessagingHosts");
    mkdirSync(dir, { recursive: true });
    writeFileSync(join(dir, "org.npkeystrand.bridge.json"), JSON.stringify({
      name: "org.npkeystrand.bridge",
      description: "npKeystrand bridge",
      path: hostPath,
      type: "stdio",
      allowed_origins: [`chrome-extension://${EXTENSION_ID}/`],
    }, null, 2));
  }

  async start() {
    const args = [
      "--headless=new", "--no-sandbox", `--user-data-dir=${this.profile}`,
      "--remote-debugging-pipe", `--load-extension=${this.extensionDir}`,
      "--disable-background-networking", "--disable-component-update", "--disable-sync",
      "--no-first-run", "--disable-gpu", "--no-default-browser-check", "--password-store=basic",
      ...this.extraArgs, "about:blank",
    ];
    this.proc = spawn(this.binary, args, { env: this.env, stdio: ["ignore", "ignore", "pipe", "pipe", "pipe"] });
    this.pid = this.proc.pid;
    this.stderr = "";
    this.proc.stderr.on("data", (d) => { if (this.stderr.length < 200000) this.stderr += d; });
    this.exited = new Promise((r) => this.proc.on("exit", r));
    this.nextId = 1;
    this.waiters = new Map();
    this.listeners = new Set();
    let buf = Buffer.alloc(0);
    this.proc.stdio[4].on("data", (d) => {
      buf = buf.length ? Buffer.concat([buf, d]) : d;
      let i;
      while ((i = buf.indexOf(0)) >= 0) {
        const msg = JSON.parse(buf.subarray(0, i).toString("utf8"));
        buf = buf.subarray(i + 1);
        if (msg.id !== undefined && this.waiters.has(msg.id)) {
          const w = this.waiters.get(msg.id);
          this.waiters.delete(msg.id);
          if (msg.error) w.reject(new Error(`${w.method}: ${msg.error.message}`));
          else w.resolve(msg.result);
        } else if (msg.method) {
          for (const l of [...this.listeners]) l(msg);
        }
      }
    });
    this.proc.stdio[3].on("error", () => {});
    this.targets = new Map();   // targetId -> targetInfo
    this.on((m) => {
      if (m.method === "Target.targetCreated" || m.method === "Target.targetInfoChanged") {
        this.targets.set(m.params.targetInfo.targetId, m.params.targetInfo);
      } else if (m.method === "Target.targetDestroyed") {
        this.targets.delete(m.params.targetId);
      }
    });
    const version = await this.send("Browser.getVersion", {}, undefined, 30000);
    this.version = version.product;
    await this.send("Target.setDiscoverTargets", { discover: true });
    // The extension's worker is up once it is listed.
    await until(() => [...this.targets.values()].some((t) => t.url.startsWith(this.extensionOrigin)),
      20000, "the extension to load");
    this.firstTab = [...this.targets.values()].find((t) => t.type === "page")?.targetId;
    if (process.env.NPK_TRACE === "2") {
      // The extension's console, for a case that hangs.
      const worker = [...this.targets.values()].find((t) => t.url.startsWith(this.extensionOrigin) && t.type === "service_worker");
      const s = await this.attach(worker.targetId);
      this.on((m) => {
        if (m.sessionId === s.sessionId && (m.method === "Runtime.consoleAPICalled" || m.method === "Runtime.exceptionThrown")) {
          console.log("  : background", JSON.stringify(m.params.args?.map((a) => a.value) ?? m.params.exceptionDetails).slice(0, 300));
        }
      });
      await s.send("Runtime.enable");
    }
  }

  on(listener) {
    this.listeners.add(listener);
    return () => this.listeners.delete(listener);
  }

  send(method, params = {}, sessionId, ms = 30000, what = method) {
    const id = this.nextId++;
    const p = new Promise((resolve, reject) => {
      this.waiters.set(id, { resolve, reject, method });
      const msg = { id, method, params };
      if (sessionId) msg.sessionId = sessionId;
      this.proc.stdio[3].write(JSON.stringify(msg) + "\0");
    });
    return within(p, ms, what);
  }

  async attach(targetId) {
    const { sessionId } = await this.send("Target.attachToTarget", { targetId, flatten: true });
    return new Session(this, sessionId, targetId);
  }

  // A new tab at `url`, attached, with its load awaited.
  async openTab(url) {
    const { targetId } = await this.send("Target.createTarget", { url: "about:blank" });
    const s = await this.attach(targetId);
    await s.send("Page.enable");
    await this.navigate(s, url);
    return s;
  }

  async navigate(session, url) {
    const loaded = new Promise((resolve) => {
      const off = this.on((m) => {
        if (m.sessionId === session.sessionId && m.method === "Page.loadEventFired") {
          off();
          resolve();
        }
      });
    });
    const r = await session.send("Page.navigate", { url });
    if (r.errorText) throw new Error(`navigation to ${url} failed: ${r.errorText}`);
    await within(loaded, 30000, `the load of ${url}`);
  }

  // Brings the tab to the front: a background tab's events may be throttled.
  async focusTab(session) {
    await this.send("Target.activateTarget", { targetId: session.targetId });
  }

  async closeTab(session) {
    await this.send("Target.closeTarget", { targetId: session.targetId });
  }

  // The next consent window, attached once its page has its request.
  async consentWindow(ms = 20000, { armed = true } = {}) {
    const info = await until(() => [...this.targets.values()].find((t) =>
      t.type === "page" && t.url.startsWith(`${this.extensionOrigin}/consent.html`) && !this.seenConsent?.has(t.targetId)),
      ms, "a consent window");
    (this.seenConsent ??= new Set()).add(info.targetId);
    const s = await this.attach(info.targetId);
    // A new window shows about:blank before the consent page.
    await until(() => s.eval(`location.href.startsWith(${JSON.stringify(`${this.extensionOrigin}/consent.html`)}) && document.readyState === "complete"`, 5000).catch(() => false),
      10000, "the consent window to load");
    if (armed) await this.armed(s);
    return s;
  }

  // The consent window shows its request and its buttons answer.
  armed(s) {
    return until(() => s.eval("document.body && document.body.dataset.ready === 'true'", 5000).catch(() => false),
      10000, "the consent window's request");
  }

  isOpen(session) {
    return this.targets.has(session.targetId);
  }

  consentWindowsOpen() {
    return [...this.targets.values()].filter((t) =>
      t.type === "page" && t.url.startsWith(`${this.extensionOrigin}/consent.html`)).length;
  }

  async openOptions() {
    const s = await this.openTab(`${this.extensionOrigin}/options.html`);
    await until(() => s.eval("document.body && document.body.dataset.ready === 'true'", 5000).catch(() => false),
      10000, "the options page");
    return s;
  }

  async stop() {
    if (!this.proc) return;
    try {
      await this.send("Browser.close", {}, undefined, 5000);
    } catch {
      // it may already be gone
    }
    await within(this.exited, 10000, "Chromium to exit").catch(() => this.proc.kill("SIGKILL"));
  }
}
