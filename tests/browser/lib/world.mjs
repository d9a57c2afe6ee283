// One browser with the extension and the native host, in a temporary home of its own: the
// fixtures copied there, the host's manifest where that browser looks for it.
import { copyFileSync, existsSync, mkdirSync, mkdtempSync } from "node:fs";
import { tmpdir } from "node:os";
import { dirname, join, resolve } from "node:path";
import { fileURLToPath } from "node:url";
import { Chromium } from "./chromium.mjs";
import { Firefox } from "./firefox.mjs";

export const SOURCE = resolve(dirname(fileURLToPath(import.meta.url)), "..", "..", "..");

// The native host and the extension: NPK_BRIDGE_HOST and NPK_EXTENSION_DIR, else the given
// defaults (the build and source trees).
export function locate(hostDefault, extensionDefault) {
  const hostPath = resolve(process.env.NPK_BRIDGE_HOST || hostDefault || join(SOURCE, "build/default/bin/npkeystrand-bridge"));
  const extensionDir = resolve(process.env.NPK_EXTENSION_DIR || extensionDefault || join(SOURCE, "extension"));
  for (const [what, path] of [["native host", hostPath], ["extension", join(extensionDir, "manifest.json")]]) {
    if (!existsSync(path)) throw new Error(`the ${what} is missing: ${path}`);
  }
  return { hostPath, extensionDir };
}

// `which` is "chromium", "firefox" or "none" (only the home and the fixtures).
export function makeWorld(which, { hostPath, extensionDir, fixtures = [], firefoxPrefs = {} }) {
  const root = mkdtempSync(join(tmpdir(), `npk-browser-${which}-`));
  const home = join(root, "home");
  const data = join(root, "data");
  const out = join(root, "out");
  for (const d of [home, data, out, join(root, "run")]) mkdirSync(d, { recursive: true, mode: 0o700 });
  for (const f of fixtures) copyFileSync(join(SOURCE, "tests", "data", f), join(data, f));
  // The browser and the host it starts see only the temporary home; no display, so a picker
  // fails at once instead of waiting for a user.
  const env = { ...process.env, HOME: home, XDG_DATA_HOME: join(home, ".local/share"),
    XDG_CONFIG_HOME: join(home, ".config"), XDG_CACHE_HOME: join(home, ".cache"), XDG_RUNTIME_DIR: join(root, "run") };
  delete env.DISPLAY;
  delete env.WAYLAND_DISPLAY;
  const profile = join(root, "profile");
  mkdirSync(profile, { recursive: true });
  let browser;
  if (which === "chromium") {
    Chromium.installHostManifest(profile, hostPath);
    browser = new Chromium({ profile, env, extensionDir });
  } else if (which === "firefox") {
    Firefox.installHostManifest(home, hostPath);
    browser = new Firefox({ profile, env, extensionDir, prefs: firefoxPrefs });
  } else if (which !== "none") {
    throw new Error(`no such browser: ${which}`);
  }
  return { root, env, browser, file: (n) => join(data, n), out: (n) => join(out, n) };
}
