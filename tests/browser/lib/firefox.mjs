// Headless Firefox ESR with the extension installed as a temporary add-on, driven over
// Marionette (length-prefixed JSON on a local TCP port).
import { spawn } from "node:child_process";
import { existsSync, mkdirSync, readFileSync, writeFileSync } from "node:fs";
import net from "node:net";
import { join } from "node:path";
import { within, until } from "./util.mjs";

export const ADDON_ID = "npkeystrand@npkeystrand.org";
// Fixed through a preference so that the tests know the extension's pages' addresses.
export const ADDON_UUID = "5f0c2a9e-7d4b-4c1e-9a63-2b8d7e1f4c05";

class Tab {
  constructor(browser, handle) {
    this.browser = browser;
    this.handle = handle;
  }

  async eval(expression, ms = 60000) {
    await this.browser.focus(this.handle);
    return this.browser.execute(`return (${expression});`, ms);
  }
}

export class Firefox {
  constructor({ binary = "firefox-esr", profile, env, extensionDir, prefs = {} }) {
    this.extraPrefs = prefs;
    this.binary = binary;
    this.profile = profile;
    this.env = env;
    this.extensionDir = extensionDir;
    this.name = "firefox";
    this.extensionOrigin = `moz-extension://${ADDON_UUID}`;
  }

  // Firefox reads native-messaging manifests from the user's home.
  static installHostManifest(home, hostPath) {
    const dir = join(home, ".mozilla", "native-messaging-hosts");
    mkdirSync(dir, { recursive: true });
    writeFileSync(join(dir, "org.npkeystrand.bridge.json"), JSON.stringify({
      name: "org.npkeystrand.bridge",
      description: "npKeystrand bridge",
      path: hostPath,
      type: "stdio",
      allowed_extensions: [ADDON_ID],
    }, null, 2));
  }

  async start() {
    mkdirSync(this.profile, { recursive: true });
    const prefs = {
      "marionette.port": 0,
      "browser.shell.checkDefaultBrowser": false,
      "browser.startup.homepage_override.mstone": "ignore",
      "browser.aboutwelcome.enabled": false,
      "datareporting.policy.dataSubmissionEnabled": false,
      "toolkit.telemetry.reportingpolicy.firstRun": false,
      "app.update.disabledForTesting": true,
      "browser.tabs.warnOnClose": false,
      "network.captive-portal-service.enabled": false,
      "extensions.webextensions.uuids": JSON.stringify({ [ADDON_ID]: ADDON_UUID }),
      "dom.disable_open_during_load": false,
      ...this.extraPrefs,
    };
    writeFileSync(join(this.profile, "user.js"),
      Object.entries(prefs).map(([k, v]) => `user_pref(${JSON.stringify(k)}, ${JSON.stringify(v)});`).join("\n") + "\n");
    this.proc = spawn(this.binary, ["--headless", "--marionette", "--remote-allow-system-access", "--no-remote", "--profile", this.profile],
      { env: this.env, stdio: ["ignore", "pipe", "pipe"] });
    this.pid = this.proc.pid;
    this.stderr = "";
    const keep = (d) => { if (this.stderr.length < 200000) this.stderr += d; };
    this.proc.stdout.on("data", keep);
    this.proc.stderr.on("data", keep);
    this.exited = new Promise((r) => this.proc.on("exit", r));
    const portFile = join(this.profile, "MarionetteActivePort");
    const port = await until(() => existsSync(portFile) && Number(readFileSync(portFile, "utf8")), 60000,
      "Marionette to listen");
    await this.connect(port);
    const session = await this.command("WebDriver:NewSession", {
      capabilities: { alwaysMatch: { acceptInsecureCerts: true, unhandledPromptBehavior: "ignore" } },
    });
    this.version = `Firefox ${session.capabilities.browserVersion}`;
    await this.command("WebDriver:SetTimeouts", { script: 300000, pageLoad: 60000 });
    await this.command("Addon:Install", { path: this.extensionDir, temporary: true });
    this.known = new Set(await this.command("WebDriver:GetWindowHandles"));
    this.current = await this.command("WebDriver:GetWindowHandle");
    this.firstTab = this.current;
  }

  connect(port) {
    return new Promise((resolve, reject) => {
      this.sock = net.connect(port, "127.0.0.1");
      this.sock.on("error", reject);
      this.nextId = 1;
      this.waiters = new Map();
      let buf = Buffer.alloc(0);
      let greeted = false;
      this.sock.on("data", (d) => {
        buf = buf.length ? Buffer.concat([buf, d]) : d;
        for (;;) {
          const colon = buf.indexOf(0x3a);
          if (colon < 0) break;
          const n = Number(buf.subarray(0, colon).toString("ascii"));
          if (buf.length < colon + 1 + n) break;
          const msg = JSON.parse(buf.subarray(colon + 1, colon + 1 + n).toString("utf8"));
          buf = buf.subarray(colon + 1 + n);
          if (!greeted) {
            greeted = true;
            resolve();
            continue;
          }
          const w = this.waiters.get(msg[1]);
          if (!w) continue;
          this.waiters.delete(msg[1]);
          if (msg[2]) w.reject(new Error(`${w.name}: ${msg[2].error}: ${msg[2].message}`));
          else w.resolve(msg[3] && typeof msg[3] === "object" && "value" in msg[3] ? msg[3].value : msg[3]);
        }
      });
    });
  }

  command(name, params = {}, ms = 60000) {
    const id = this.nextId++;
    const p = new Promise((resolve, reject) => {
      this.waiters.set(id, { resolve, reject, name });
      const body = Buffer.from(JSON.stringify([0, id, name, params]), "utf8");
      this.sock.write(`${body.length}:`);
      this.sock.write(body);
    });
    return within(p, ms, name);
  }

  async focus(handle) {
    if (this.current !== handle) {
      await this.command("WebDriver:SwitchToWindow", { handle, focus: false });
      this.current = handle;
    }
  }

  execute(script, ms) {
    return this.command("WebDriver:ExecuteScript", { script, args: [] }, ms);
  }

  async openTab(url) {
    // A new tab opens in the current window, which must be a browser window, not a popup.
    await this.focus(this.firstTab);
    const { handle } = await this.command("WebDriver:NewWindow", { type: "tab", focus: false });
    this.known.add(handle);
    const tab = new Tab(this, handle);
    await this.navigate(tab, url);
    return tab;
  }

  async navigate(tab, url) {
    await this.focus(tab.handle);
    await this.command("WebDriver:Navigate", { url });
  }

  // Brings the tab to the front: a background tab's events may be throttled.
  async focusTab(tab) {
    await this.command("WebDriver:SwitchToWindow", { handle: tab.handle, focus: true });
    this.current = tab.handle;
  }

  async closeTab(tab) {
    await this.focus(tab.handle);
    await this.command("WebDriver:CloseWindow");
    this.current = null;
    await this.focus(this.firstTab);
  }

  // The next consent window (a popup window of the extension).
  async consentWindow(ms = 20000, { armed = true } = {}) {
    const handle = await until(async () => {
      const handles = await this.command("WebDriver:GetWindowHandles");
      return handles.find((h) => !this.known.has(h));
    }, ms, "a consent window", 100);
    this.known.add(handle);
    const tab = new Tab(this, handle);
    // A new window shows about:blank before the consent page.
    await until(() => tab.eval(`location.href.startsWith(${JSON.stringify(`${this.extensionOrigin}/consent.html`)}) && document.readyState === "complete"`, 5000).catch(() => false),
      10000, "the consent window to load");
    const url = await this.command("WebDriver:GetCurrentURL");
    if (!String(url).startsWith(`${this.extensionOrigin}/consent.html`)) {
      throw new Error(`a window that is not the consent window opened: ${url}`);
    }
    if (armed) await this.armed(tab);
    return tab;
  }

  // The consent window shows its request and its buttons answer.
  armed(tab) {
    return until(() => tab.eval("document.body && document.body.dataset.ready === 'true'", 5000).catch(() => false),
      10000, "the consent window's request");
  }

  async isOpen(tab) {
    return (await this.command("WebDriver:GetWindowHandles")).includes(tab.handle);
  }

  async consentWindowsOpen() {
    const handles = await this.command("WebDriver:GetWindowHandles");
    return handles.filter((h) => !this.known.has(h)).length;
  }

  // Marionette may not navigate a tab to an extension page, so the tab is opened from the
  // browser's chrome (test setup only).
  async openOptions() {
    const before = new Set(await this.command("WebDriver:GetWindowHandles"));
    await this.command("Marionette:SetContext", { value: "chrome" });
    try {
      await this.execute(`
        const win = Services.wm.getMostRecentWindow("navigator:browser");
        const tab = win.gBrowser.addTab(${JSON.stringify(`${this.extensionOrigin}/options.html`)},
          { triggeringPrincipal: Services.scriptSecurityManager.getSystemPrincipal() });
        win.gBrowser.selectedTab = tab;
        return true;`, 10000);
    } finally {
      await this.command("Marionette:SetContext", { value: "content" });
    }
    const handle = await until(async () => {
      const handles = await this.command("WebDriver:GetWindowHandles");
      return handles.find((h) => !before.has(h));
    }, 10000, "the options tab", 100);
    this.known.add(handle);
    const tab = new Tab(this, handle);
    await until(() => tab.eval("document.body && document.body.dataset.ready === 'true'", 5000).catch(() => false),
      10000, "the options page");
    return tab;
  }

  async stop() {
    if (!this.proc) return;
    try {
      await this.command("Marionette:Quit", { flags: ["eForceQuit"] }, 10000);
    } catch {
      // it may already be gone
    }
    await within(this.exited, 15000, "Firefox to exit").catch(() => this.proc.kill("SIGKILL"));
  }
}
