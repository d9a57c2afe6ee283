#!/usr/bin/env node
// Runs the end-to-end cases in one browser:
//   node tests/browser/run.mjs chromium|firefox [--host PATH] [--extension DIR] [--only TEXT]
// The native host and the extension come from NPK_BRIDGE_HOST and NPK_EXTENSION_DIR, else
// from --host and --extension (the build and source trees, as CTest passes them). Everything
// the browsers, the host and the plug-in write goes to a temporary directory.
import { copyFileSync, mkdirSync, mkdtempSync, rmSync, writeFileSync, existsSync, realpathSync } from "node:fs";
import { randomBytes } from "node:crypto";
import { tmpdir } from "node:os";
import { dirname, join, resolve } from "node:path";
import { fileURLToPath } from "node:url";
import { Chromium } from "./lib/chromium.mjs";
import { Firefox } from "./lib/firefox.mjs";
import { startServer } from "./lib/server.mjs";
import { within } from "./lib/util.mjs";
import { cases } from "./suite.mjs";

const here = dirname(fileURLToPath(import.meta.url));
const source = resolve(here, "..", "..");

function option(name) {
  const i = process.argv.indexOf(name);
  return i > 0 ? process.argv[i + 1] : undefined;
}

const which = process.argv[2];
if (which !== "chromium" && which !== "firefox") {
  console.error("usage: run.mjs chromium|firefox [--host PATH] [--extension DIR] [--only TEXT]");
  process.exit(2);
}
const hostPath = resolve(process.env.NPK_BRIDGE_HOST || option("--host") || join(source, "build/default/bin/npkeystrand-bridge"));
const extensionDir = resolve(process.env.NPK_EXTENSION_DIR || option("--extension") || join(source, "extension"));
const only = option("--only");
const CASE_MS = 180000;

for (const [what, path] of [["native host", hostPath], ["extension", join(extensionDir, "manifest.json")]]) {
  if (!existsSync(path)) {
    console.error(`the ${what} is missing: ${path}`);
    process.exit(1);
  }
}

const root = mkdtempSync(join(tmpdir(), `npk-browser-${which}-`));
const home = join(root, "home");
const data = join(root, "data");
const outDir = join(root, "out");
for (const d of [home, data, outDir, join(root, "run")]) mkdirSync(d, { recursive: true, mode: 0o700 });
for (const f of ["signer.pfx", "signer.pem", "recipient.cer", "recipient.pem", "recipient.key", "recipient.pfx", "ca.pem"]) {
  copyFileSync(join(source, "tests", "data", f), join(data, f));
}
writeFileSync(join(data, "big.bin"), randomBytes(10 * 1024 * 1024));

// The browser and the host it starts see only the temporary home; no display, so a picker
// fails at once instead of waiting for a user.
const env = { ...process.env, HOME: home, XDG_DATA_HOME: join(home, ".local/share"),
  XDG_CONFIG_HOME: join(home, ".config"), XDG_CACHE_HOME: join(home, ".cache"), XDG_RUNTIME_DIR: join(root, "run") };
delete env.DISPLAY;
delete env.WAYLAND_DISPLAY;

const Browser = which === "chromium" ? Chromium : Firefox;
const profile = join(root, "profile");
mkdirSync(profile, { recursive: true });
if (which === "chromium") Chromium.installHostManifest(profile, hostPath);
else Firefox.installHostManifest(home, hostPath);

const [siteA, siteB] = [await startServer(), await startServer()];
const browser = new Browser({ profile, env, extensionDir });
const ctx = {
  browser, env, root,
  siteA: siteA.origin, siteB: siteB.origin,
  hostExe: realpathSync(hostPath),
  pageHost: join(dirname(hostPath), "npkeystrand"),
  file: (name) => join(data, name),
  out: (name) => join(outDir, name),
};

// Tabs a failed case left open are closed before the next case, so that their hosts end.
const openTabs = new Set();
for (const m of ["openTab", "openOptions"]) {
  const f = browser[m].bind(browser);
  browser[m] = async (...a) => {
    const t = await f(...a);
    openTabs.add(t);
    return t;
  };
}
const closeTab = browser.closeTab.bind(browser);
browser.closeTab = async (t) => {
  openTabs.delete(t);
  await closeTab(t);
};

let failures = 0;
let ran = 0;
const started = Date.now();
try {
  await browser.start();
  console.log(`${browser.version}, extension ${extensionDir}, host ${hostPath}`);
  for (const [name, body] of cases) {
    if (only && !name.includes(only)) continue;
    ran++;
    const t0 = Date.now();
    try {
      await within(body(ctx), CASE_MS, `the case "${name}"`);
      console.log(`ok   ${name} (${Date.now() - t0} ms)`);
    } catch (e) {
      failures++;
      console.log(`FAIL ${name} (${Date.now() - t0} ms)\n     ${String(e && e.stack || e).replace(/\n/g, "\n     ")}`);
    }
    for (const t of [...openTabs]) await browser.closeTab(t).catch(() => {});
  }
} catch (e) {
  failures++;
  console.log(`FAIL the browser could not be driven: ${e && e.stack || e}`);
} finally {
  await browser.stop();
  await siteA.close();
  await siteB.close();
}
if (failures > 0) {
  console.log(`--- browser output (last lines) ---\n${browser.stderr?.split("\n").filter((l) => !/dbus|Fontconfig/.test(l)).slice(-40).join("\n")}`);
  console.log(`kept for inspection: ${root}`);
} else {
  rmSync(root, { recursive: true, force: true });
}
console.log(`${which}: ${ran - failures} of ${ran} cases passed in ${((Date.now() - started) / 1000).toFixed(1)} s`);
process.exit(failures > 0 ? 1 : 0);
