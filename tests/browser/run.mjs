#!/usr/bin/env node
// Runs the end-to-end cases in one browser:
//   node tests/browser/run.mjs chromium|firefox [--host PATH] [--extension DIR] [--only TEXT]
// The native host and the extension come from NPK_BRIDGE_HOST and NPK_EXTENSION_DIR, else
// from --host and --extension (the build and source trees, as CTest passes them). Everything
// the browsers, the host and the plug-in write goes to a temporary directory.
import { writeFileSync, rmSync, realpathSync } from "node:fs";
import { randomBytes } from "node:crypto";
import { dirname, join } from "node:path";
import { locate, makeWorld } from "./lib/world.mjs";
import { startServer } from "./lib/server.mjs";
import { within } from "./lib/util.mjs";
import { cases } from "./suite.mjs";

function option(name) {
  const i = process.argv.indexOf(name);
  return i > 0 ? process.argv[i + 1] : undefined;
}

const which = process.argv[2];
if (which !== "chromium" && which !== "firefox") {
  console.error("usage: run.mjs chromium|firefox [--host PATH] [--extension DIR] [--only TEXT]");
  process.exit(2);
}
let located;
try {
  located = locate(option("--host"), option("--extension"));
} catch (e) {
  console.error(e.message);
  process.exit(1);
}
const { hostPath, extensionDir } = located;
const only = option("--only");
const CASE_MS = 180000;

// Firefox ends an idle extension background after 30 s; 2 s lets a case show that a call
// waiting longer than that still gets its answer.
const IDLE_MS = 2000;
const world = makeWorld(which, { hostPath, extensionDir, firefoxPrefs: { "extensions.background.idle.timeout": IDLE_MS },
  fixtures: ["signer.pfx", "signer.pem", "recipient.cer", "recipient.pem", "recipient.key", "recipient.pfx", "ca.pem"] });
const { root, env, browser } = world;
writeFileSync(world.file("big.bin"), randomBytes(10 * 1024 * 1024));

const [siteA, siteB] = [await startServer(), await startServer()];
const ctx = {
  browser, env, root,
  siteA: siteA.origin, siteB: siteB.origin,
  hostExe: realpathSync(hostPath),
  pageHost: join(dirname(hostPath), "npkeystrand"),
  idleMs: which === "firefox" ? IDLE_MS : 0,
  file: world.file,
  out: world.out,
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
