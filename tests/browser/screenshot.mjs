#!/usr/bin/env node
// Takes docs/consent.png: the consent window as a site on https asks to choose a signing
// certificate from a PFX file. The site is a local HTTPS server with a throw-away
// certificate, reached under its name through Chromium's resolver rules.
//   node tests/browser/screenshot.mjs [OUTPUT.png]
import https from "node:https";
import { readFileSync, rmSync, writeFileSync } from "node:fs";
import { join } from "node:path";
import { locate, makeWorld, SOURCE } from "./lib/world.mjs";
import { Chromium } from "./lib/chromium.mjs";
import { startRaw } from "./lib/page.mjs";
import { run } from "./lib/util.mjs";

const SITE = "sign.example.org";
const output = process.argv[2] || join(SOURCE, "docs", "consent.png");
const { hostPath, extensionDir } = locate();
const world = makeWorld("none", { hostPath, extensionDir });
run("openssl", ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", `/CN=${SITE}`,
  "-keyout", world.out("site.key"), "-out", world.out("site.pem")]);
const server = https.createServer({ key: readFileSync(world.out("site.key")), cert: readFileSync(world.out("site.pem")) },
  (req, res) => res.writeHead(200, { "content-type": "text/html" }).end("<!DOCTYPE html><title>Sign</title><p>Sign</p>"));
await new Promise((r) => server.listen(0, "127.0.0.1", r));
const profile = world.out("profile");
Chromium.installHostManifest(profile, hostPath);
const browser = new Chromium({ profile, env: world.env, extensionDir, extraArgs: [
  `--host-resolver-rules=MAP ${SITE} 127.0.0.1:${server.address().port}`, "--ignore-certificate-errors"] });
try {
  await browser.start();
  const tab = await browser.openTab(`https://${SITE}/`);
  await startRaw(tab, `npKeystrand.embed().then((p) => p.SelectSignCertificateByPFXFile("/home/alice/certificates/alice.pfx", "secret"))`);
  const win = await browser.consentWindow();
  await win.send("Emulation.setDeviceMetricsOverride", { width: 480, height: 322, deviceScaleFactor: 1, mobile: false });
  const { data } = await win.send("Page.captureScreenshot", { format: "png" });
  writeFileSync(output, Buffer.from(data, "base64"));
  console.log(`wrote ${output}`);
} finally {
  await browser.stop();
  server.close();
  rmSync(world.root, { recursive: true, force: true });
}
