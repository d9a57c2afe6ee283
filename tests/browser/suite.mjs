// The end-to-end cases: a page on 127.0.0.1 uses the plug-in through the extension and the
// native host, and what it gets back is checked with the openssl command line and against
// `npkeystrand run`. Each case opens its own tabs and closes them.
import assert from "node:assert/strict";
import { readFileSync, writeFileSync } from "node:fs";
import { join } from "node:path";
import { call, callRaw, start, startRaw, settled, consentText, click } from "./lib/page.mjs";
import { until, processesOf, isAlive, run } from "./lib/util.mjs";

const E_CANCELLED = 0x800704c7;
const E_UNEXPECTED = 0x8000ffff;
const E_NOT_READY = 0xa0072001;      // no signing certificate chosen
const E_BAD_HASH = 0xa0072020;       // a hash name the plug-in does not know
const CANCELLED_TEXT = "The operation was canceled by the user.";
const PASSWORD = "npkeystrand";

function ok(r, what) {
  assert.equal(r.ok, true, `${what} failed: ${JSON.stringify(r).slice(0, 400)}`);
  return r.value;
}

function failed(r, what) {
  assert.equal(r.ok, false, `${what} should have failed: ${JSON.stringify(r).slice(0, 200)}`);
  return r;
}

function der(b64) {
  return Buffer.from(b64, "base64");
}

// Answers the next consent window and returns what it showed.
async function consent(ctx, answer) {
  const win = await ctx.browser.consentWindow();
  const shown = await consentText(win);
  await click(win, answer);
  return shown;
}

// A first call in a new document: the user allows it once.
async function allowOnce(ctx, tab, method, ...args) {
  const p = await start(tab, method, ...args);
  await consent(ctx, "once");
  return settled(p);
}

function hosts(ctx) {
  return processesOf(ctx.hostExe, ctx.browser.pid);
}

async function noHosts(ctx, what) {
  await until(() => hosts(ctx).length === 0, 15000, what);
}

export const cases = [
  ["a denied site never starts the host, and the window names the browser's origin", async (ctx) => {
    await noHosts(ctx, "no host before the case");
    const tab = await ctx.browser.openTab(`${ctx.siteA}/deny`);
    assert.equal(await tab.eval("typeof npKeystrand"), "object");
    assert.equal(await tab.eval("Object.isFrozen(npKeystrand)"), true);
    // The page claims another origin and another document; neither is read.
    const forged = await startRaw(tab, `new Promise((resolve, reject) => {
      document.addEventListener("npkeystrand-reply", (e) => {
        const m = JSON.parse(e.detail);
        if (m.seq === 999999) m.ok ? resolve(m.result) : reject(Object.assign(new Error(m.description), m));
      });
      document.dispatchEvent(new CustomEvent("npkeystrand-request", { detail: JSON.stringify({
        seq: 999999, method: "SignFileDetached", args: ["/tmp/x", "SHA-1"],
        origin: "https://bank.example", doc: "d1", tab: 1 }) }));
    })`);
    // A click that lands as the window opens does not answer: the buttons arm a moment later.
    const win0 = await ctx.browser.consentWindow(20000, { armed: false });
    // (On a machine too busy to look within that moment, the window is armed already.)
    const early = await win0.eval(`(() => { const b = document.getElementById("once");
      const armed = document.body.dataset.ready === "true";
      if (!armed) b.click();
      return { armed, disabled: b.disabled }; })()`);
    assert.equal(early.disabled, !early.armed, "buttons that answer before the window is armed");
    if (early.armed) console.log("     (the consent window was armed before the early click)");
    await ctx.browser.armed(win0);
    const shown = await consentText(win0);
    await click(win0, "deny");
    assert.equal(shown.origin, ctx.siteA);
    assert.equal(shown.method, "SignFileDetached");
    assert.deepEqual(shown.paths, ["/tmp/x"]);
    const r = failed(await settled(forged), "a denied call");
    assert.equal(r.code, E_CANCELLED);
    assert.equal(r.description, CANCELLED_TEXT);
    // Refused for the rest of this document without asking again.
    const again = failed(await call(tab, "GetLastErrorDesc"), "a call after a denial");
    assert.equal(again.code, E_CANCELLED);
    assert.equal(await ctx.browser.consentWindowsOpen(), 0);
    assert.deepEqual(hosts(ctx), []);
    await ctx.browser.closeTab(tab);

    // A page that goes while its question is open takes the question with it.
    const gone = await ctx.browser.openTab(`${ctx.siteA}/gone`);
    await start(gone, "GetLastErrorDesc");
    const win = await ctx.browser.consentWindow();
    await ctx.browser.closeTab(gone);
    await until(async () => !(await ctx.browser.isOpen(win)), 10000, "the consent window to close with its page");
    assert.deepEqual(hosts(ctx), []);
  }],

  ["allowed once: signing in three forms, checked by openssl, and verification", async (ctx) => {
    const tab = await ctx.browser.openTab(`${ctx.siteA}/sign`);
    const p = await start(tab, "SelectSignCertificateByPFXFile", ctx.file("signer.pfx"), PASSWORD);
    const shown = await consent(ctx, "once");
    assert.equal(shown.origin, ctx.siteA);
    assert.deepEqual(shown.paths, [ctx.file("signer.pfx")]);
    assert.match(ok(await settled(p), "the PFX selection"), /Alice Signer/);

    const text = "hello";
    writeFileSync(ctx.out("hello.txt"), text);
    const attached = ok(await call(tab, "SignMessage", text, "SHA-256"), "SignMessage");
    writeFileSync(ctx.out("att.p7"), der(attached));
    run("openssl", ["cms", "-verify", "-binary", "-inform", "DER", "-in", ctx.out("att.p7"),
      "-CAfile", ctx.file("ca.pem"), "-out", ctx.out("att.out")]);
    assert.equal(readFileSync(ctx.out("att.out"), "utf8"), text);

    const detached = ok(await call(tab, "SignMessageDetached", text, "SHA-1"), "SignMessageDetached");
    writeFileSync(ctx.out("det.p7"), der(detached));
    run("openssl", ["cms", "-verify", "-binary", "-inform", "DER", "-in", ctx.out("det.p7"),
      "-content", ctx.out("hello.txt"), "-CAfile", ctx.file("ca.pem"), "-out", "/dev/null"]);

    const bare = ok(await call(tab, "SignMessagePKCS1", text, "SHA-256"), "SignMessagePKCS1");
    writeFileSync(ctx.out("p1.sig"), der(bare));
    run("openssl", ["x509", "-in", ctx.file("signer.pem"), "-pubkey", "-noout", "-out", ctx.out("signer.pub")]);
    run("openssl", ["dgst", "-sha256", "-verify", ctx.out("signer.pub"), "-signature", ctx.out("p1.sig"), ctx.out("hello.txt")]);

    assert.equal(ok(await call(tab, "VerifyMessageSignature", attached), "VerifyMessageSignature"), true);
    assert.equal(ok(await call(tab, "VerifyMessageSignatureDetached", detached, text), "detached verification"), true);
    assert.equal(ok(await call(tab, "VerifyMessageSignaturePKCS1", bare, text, "SHA-256"), "PKCS#1 verification"), true);
    assert.equal(ok(await call(tab, "VerifyMessageSignaturePKCS7", attached), "content read back"), text);
    // A changed text does not verify: the plug-in reports a failed call.
    failed(await call(tab, "VerifyMessageSignatureDetached", detached, "hellO"), "verifying a changed text");
    await ctx.browser.closeTab(tab);
  }],

  ["errors: codes and descriptions, and argument lists refused as the plug-in refuses them", async (ctx) => {
    const tab = await ctx.browser.openTab(`${ctx.siteA}/errors`);
    ok(await allowOnce(ctx, tab, "SelectSignCertificateByPFXFile", ctx.file("signer.pfx"), PASSWORD), "the PFX selection");
    const bad = failed(await call(tab, "SignMessage", "x", "SHA256"), "SignMessage with SHA256");
    assert.equal(bad.code, E_BAD_HASH);
    assert.equal(typeof bad.code, "number");
    const desc = ok(await call(tab, "GetLastErrorDesc"), "GetLastErrorDesc");
    assert.equal(bad.description, desc);
    assert.match(desc, /A0072020/i);
    // Wrong counts and types fail and leave the last error as it was.
    failed(await call(tab, "SignMessage", "x"), "SignMessage with one argument");
    failed(await call(tab, "SignMessage", "x", "SHA-1", "extra"), "SignMessage with three arguments");
    failed(await call(tab, "SignMessage", "x", 5), "SignMessage with a number");
    failed(await callRaw(tab, "SignMessage", `"x", { toString() { return "SHA-1"; } }`), "SignMessage with an object");
    failed(await call(tab, "SelectDecryptCertificates", ""), "SelectDecryptCertificates with an argument");
    assert.equal(ok(await call(tab, "GetLastErrorDesc"), "GetLastErrorDesc"), desc);
    // Requests the page forges past the instance: an unknown method, arguments that are no list.
    for (const request of [{ method: "signmessage", args: ["x", "SHA-1"] }, { method: "toString", args: [] },
      { method: "SignMessage", args: "x" }]) {
      const raw = await tab.eval(`new Promise((resolve) => {
        const seq = 900000 + Math.floor(Math.random() * 1000);
        document.addEventListener("npkeystrand-reply", (e) => {
          const m = JSON.parse(e.detail);
          if (m.seq === seq) resolve(m);
        });
        document.dispatchEvent(new CustomEvent("npkeystrand-request",
          { detail: JSON.stringify({ seq, ...${JSON.stringify(request)} }) }));
      })`);
      assert.equal(raw.ok, false, JSON.stringify(request));
      assert.equal(raw.code, 0x80070057, JSON.stringify(request));
    }
    // An unknown method is no method of the instance.
    assert.equal(await tab.eval("npKeystrand.embed().then((p) => typeof p.signmessage)"), "undefined");
    assert.equal(await tab.eval("npKeystrand.embed().then((p) => Object.isFrozen(p))"), true);
    await ctx.browser.closeTab(tab);
  }],

  ["the same calls fail as under npkeystrand run, path checks included", async (ctx) => {
    const calls = [
      ["SignMessage", ["x", "SHA256"]],
      ["SignMessage", ["x"]],
      ["SelectSignCertificateByPFXFile", ["/etc/passwd", "x"]],
      ["SelectSignCertificateByPFXFile", [ctx.file("signer.pfx"), "wrong"]],
      ["SelectEncryptCertificateByCERFile", [ctx.file("recipient.cer")]],
      ["EncryptAsEnvelopeFile", [ctx.file("signer.pem"), "/etc/xdg/autostart/npk-test.desktop"]],
      ["DecryptEnvelopeMessage", ["not an envelope"]],
      ["SignFileDetached", ["/usr/lib/os-release", "SHA-1"]],
    ];
    const script = calls.map(([m, a]) => `try { print(JSON.stringify({ ok: true, value: plugin.${m}(${a.map((x) => JSON.stringify(x)).join(", ")}) })); }
catch (e) { print(JSON.stringify({ ok: false, description: plugin.GetLastErrorDesc() })); }`).join("\n");
    writeFileSync(ctx.out("parity.js"), script);
    const r = run(ctx.pageHost, ["run", ctx.out("parity.js")], { env: ctx.env, cwd: ctx.root });
    const expected = r.stdout.trim().split("\n").map((l) => JSON.parse(l));
    assert.equal(expected.length, calls.length);
    const tab = await ctx.browser.openTab(`${ctx.siteA}/parity`);
    ok(await allowOnce(ctx, tab, "GetLastErrorDesc"), "GetLastErrorDesc");
    for (let i = 0; i < calls.length; i++) {
      const got = await call(tab, calls[i][0], ...calls[i][1]);
      const what = `${calls[i][0]}(${calls[i][1].join(", ")})`;
      assert.equal(got.ok, expected[i].ok, what);
      if (got.ok) {
        assert.equal(got.value, expected[i].value, what);
      } else {
        const desc = ok(await call(tab, "GetLastErrorDesc"), "GetLastErrorDesc");
        assert.equal(desc, expected[i].description, what);
      }
    }
    assert.throws(() => readFileSync("/etc/xdg/autostart/npk-test.desktop"));
    await ctx.browser.closeTab(tab);
  }],

  ["envelopes: openssl decrypts ours, and a round trip through text and files", async (ctx) => {
    const tab = await ctx.browser.openTab(`${ctx.siteA}/envelopes`);
    ok(await allowOnce(ctx, tab, "SelectEncryptCertificateByCERFile", ctx.file("recipient.cer")), "the recipient");
    const secret = "secret text, 机密";
    const env = ok(await call(tab, "EncryptMessageasEnvelopePKCS7_3DES", secret), "encryption");
    writeFileSync(ctx.out("env.der"), der(env));
    run("openssl", ["cms", "-decrypt", "-binary", "-inform", "DER", "-in", ctx.out("env.der"),
      "-recip", ctx.file("recipient.pem"), "-inkey", ctx.file("recipient.key"), "-out", ctx.out("env.out")]);
    assert.equal(readFileSync(ctx.out("env.out"), "utf8"), secret);

    assert.match(ok(await call(tab, "SelectDecryptCertificateByPFXFile", ctx.file("recipient.pfx"), PASSWORD), "decryption"),
      /Bob Recipient/);
    const rc4 = ok(await call(tab, "EncryptMessageasEnvelope", "round trip"), "RC4 encryption");
    assert.equal(ok(await call(tab, "DecryptEnvelopeMessage", rc4), "decryption"), "round trip");
    // The second argument of this method is never read.
    assert.equal(ok(await call(tab, "DecryptEnvelopeMessagePKCS7", env, 5), "decryption with a number"), secret);

    assert.equal(ok(await call(tab, "EncryptAsEnvelopeFile_3DES", ctx.file("big.bin"), ctx.out("big.env")), "file encryption"), true);
    assert.equal(ok(await call(tab, "DecryptEnvelopeFile", ctx.out("big.env"), ctx.out("big.back")), "file decryption"), true);
    assert.ok(readFileSync(ctx.out("big.back")).equals(readFileSync(ctx.file("big.bin"))));
    await ctx.browser.closeTab(tab);
  }],

  ["a 10 MB file signed and verified", async (ctx) => {
    const tab = await ctx.browser.openTab(`${ctx.siteA}/file`);
    ok(await allowOnce(ctx, tab, "SelectSignCertificateByPFXFile", ctx.file("signer.pfx"), PASSWORD), "the PFX selection");
    const sig = ok(await call(tab, "SignFileDetached", ctx.file("big.bin"), "SHA-256"), "SignFileDetached");
    writeFileSync(ctx.out("big.p7"), der(sig));
    run("openssl", ["cms", "-verify", "-binary", "-inform", "DER", "-in", ctx.out("big.p7"),
      "-content", ctx.file("big.bin"), "-CAfile", ctx.file("ca.pem"), "-out", "/dev/null"]);
    assert.equal(ok(await call(tab, "VerifyFileSignatureDetached", sig, ctx.file("big.bin")), "file verification"), true);
    await ctx.browser.closeTab(tab);
  }],

  ["messages over 1 MiB both ways: a 2 MB text signed attached and read back", async (ctx) => {
    const tab = await ctx.browser.openTab(`${ctx.siteA}/large`);
    ok(await allowOnce(ctx, tab, "SelectSignCertificateByPFXFile", ctx.file("signer.pfx"), PASSWORD), "the PFX selection");
    // ASCII, markup characters, CJK and a character outside the BMP, so that pieces are cut
    // next to multi-byte sequences and surrogate pairs.
    const unit = "Keystrand <&> \"quoted\" 签名测试 😀 ";
    const make = `${JSON.stringify(unit)}.repeat(Math.ceil(2000000 / ${unit.length}))`;
    const text = unit.repeat(Math.ceil(2000000 / unit.length));
    const r = await tab.eval(`(async () => {
      const plugin = await npKeystrand.embed();
      const sig = await plugin.SignMessage(${make}, "SHA-256");
      const back = await plugin.VerifyMessageSignaturePKCS7(sig);
      return { sig, same: back === ${make} };
    })()`, 120000);
    assert.ok(r.sig.length > 1048576, `the signature is ${r.sig.length} characters`);
    assert.equal(r.same, true, "the content read back differs");
    writeFileSync(ctx.out("large.p7"), der(r.sig));
    run("openssl", ["cms", "-verify", "-binary", "-inform", "DER", "-in", ctx.out("large.p7"),
      "-CAfile", ctx.file("ca.pem"), "-out", ctx.out("large.out")]);
    assert.ok(readFileSync(ctx.out("large.out")).equals(Buffer.from(text, "utf8")));
    await ctx.browser.closeTab(tab);
  }],

  ["always allowed, listed, revoked; instances per document; closing the tab ends the host", async (ctx) => {
    // Two pages of the site ask at once; "always" in one window answers the other as well.
    const tab = await ctx.browser.openTab(`${ctx.siteB}/one`);
    const p = await start(tab, "SelectSignCertificateByPFXFile", ctx.file("signer.pfx"), PASSWORD);
    const first = await ctx.browser.consentWindow();
    const waiting = await ctx.browser.openTab(`${ctx.siteB}/waiting`);
    const w = await start(waiting, "GetLastErrorDesc");
    const second = await ctx.browser.consentWindow();
    await click(first, "always");
    ok(await settled(p), "the PFX selection");
    ok(await settled(w), "the other page's call");
    await until(async () => !(await ctx.browser.isOpen(second)), 10000, "the other question's window to close");
    await ctx.browser.closeTab(waiting);
    ok(await call(tab, "SignMessage", "x", "SHA-1"), "signing in the first document");
    // Another tab of the same site has an instance of its own, and is not asked.
    const other = await ctx.browser.openTab(`${ctx.siteB}/two`);
    assert.equal(failed(await call(other, "SignMessage", "x", "SHA-1"), "signing in another tab").code, E_NOT_READY);
    await ctx.browser.closeTab(other);
    // A new document after navigation: a fresh instance, no question.
    const [host] = hosts(ctx);
    await ctx.browser.navigate(tab, `${ctx.siteB}/three`);
    assert.equal(failed(await call(tab, "SignMessage", "x", "SHA-1"), "signing after navigation").code, E_NOT_READY);
    assert.equal(await ctx.browser.consentWindowsOpen(), 0);
    // The first document's host ended with the tab's last document.
    assert.ok(host, "no host ran for the first document");
    await until(() => !isAlive(host), 15000, "the first document's host to end");

    const options = await ctx.browser.openOptions();
    const listed = await options.eval(`[...document.querySelectorAll("#sites tbody tr")].map((r) => r.dataset.origin)`);
    assert.deepEqual(listed, [ctx.siteB]);
    await options.eval(`(document.querySelector('#sites tr[data-origin="${ctx.siteB}"] button.revoke').click(), true)`);
    await until(() => options.eval(`document.querySelectorAll("#sites tbody tr").length === 0`), 10000, "the revocation");
    await ctx.browser.closeTab(options);
    // Revoked: the next call asks again, even in this document.
    const q = await start(tab, "GetLastErrorDesc");
    const shown = await consent(ctx, "deny");
    assert.equal(shown.origin, ctx.siteB);
    assert.equal(failed(await settled(q), "the call after revocation").code, E_CANCELLED);

    const running = hosts(ctx);
    assert.equal(running.length, 1, `hosts running: ${running}`);
    await ctx.browser.closeTab(tab);
    await until(() => !isAlive(running[0]), 15000, "the host to end with its tab");
  }],

  ["a host that dies fails the waiting call; the next call gets a new instance", async (ctx) => {
    await noHosts(ctx, "the other cases' hosts to end");
    const tab = await ctx.browser.openTab(`${ctx.siteA}/killed`);
    ok(await allowOnce(ctx, tab, "SelectSignCertificateByPFXFile", ctx.file("signer.pfx"), PASSWORD), "the PFX selection");
    const [host] = hosts(ctx);
    assert.ok(host, "no host is running");
    // Stopped, the host cannot answer: the call is certainly waiting when it is killed.
    process.kill(host, "SIGSTOP");
    const p = await start(tab, "SignMessage", "x", "SHA-1");
    process.kill(host, "SIGKILL");
    const r = failed(await settled(p), "a call to a killed host");
    assert.equal(r.code, E_UNEXPECTED);
    assert.match(r.description, /native host ended/);
    assert.equal(failed(await call(tab, "SignMessage", "x", "SHA-1"), "signing in the new host").code, E_NOT_READY);
    await ctx.browser.closeTab(tab);
  }],

  ["a call waiting longer than the background's idle time keeps its instance and its answer", async (ctx) => {
    await noHosts(ctx, "the other cases' hosts to end");
    const tab = await ctx.browser.openTab(`${ctx.siteA}/waiting`);
    ok(await allowOnce(ctx, tab, "SelectSignCertificateByPFXFile", ctx.file("signer.pfx"), PASSWORD), "the PFX selection");
    const [host] = hosts(ctx);
    // The stopped host stands for a dialog the user takes long to answer; the hold is
    // deliberate, and longer than the idle time the browser grants an extension's background.
    process.kill(host, "SIGSTOP");
    const p = await start(tab, "SignMessage", "waited", "SHA-1");
    await new Promise((r) => setTimeout(r, Math.max(ctx.idleMs, 1000) * 2.5));
    process.kill(host, "SIGCONT");
    ok(await settled(p), "the call that waited");
    ok(await call(tab, "SignMessage", "after", "SHA-1"), "a call after the wait, in the same instance");
    assert.deepEqual(hosts(ctx), [host]);
    await ctx.browser.closeTab(tab);
  }],

  ["two documents of one tab: one host, an instance each", async (ctx) => {
    await noHosts(ctx, "the other cases' hosts to end");
    const tab = await ctx.browser.openTab(`${ctx.siteA}/framed`);
    await until(() => tab.eval(`document.getElementById("f").contentDocument?.readyState === "complete"`), 10000,
      "the frame to load");
    ok(await allowOnce(ctx, tab, "SelectSignCertificateByPFXFile", ctx.file("signer.pfx"), PASSWORD), "the PFX selection");
    // The frame's own npKeystrand is its own document's: it asks for itself and has no certificate.
    const p = await startRaw(tab, `document.getElementById("f").contentWindow.npKeystrand.embed()
      .then((frame) => frame.SignMessage("x", "SHA-1"))`);
    await consent(ctx, "once");
    assert.equal(failed(await settled(p), "signing in the frame").code, E_NOT_READY);
    ok(await call(tab, "SignMessage", "x", "SHA-1"), "signing in the page");
    const running = hosts(ctx);
    assert.equal(running.length, 1, `hosts running: ${running}`);
    await ctx.browser.closeTab(tab);
    await until(() => !isAlive(running[0]), 15000, "the host to end with its tab");
  }],

  ["a sandboxed frame is refused without a question", async (ctx) => {
    const tab = await ctx.browser.openTab(`${ctx.siteA}/sandboxed`);
    const r = await until(() => tab.eval("window.frameOutcome || null"), 15000, "the sandboxed frame's call");
    assert.equal(r.origin, "null");
    assert.equal(r.ok, false);
    assert.equal(r.code, 0x80070005);
    assert.equal(await ctx.browser.consentWindowsOpen(), 0);
    await ctx.browser.closeTab(tab);
  }],

  ["pages that are not secure contexts have no npKeystrand", async (ctx) => {
    writeFileSync(ctx.out("local.html"), "<!DOCTYPE html><title>file page</title><p>file</p>");
    const tab = await ctx.browser.openTab(`file://${ctx.out("local.html")}`);
    assert.equal(await tab.eval("typeof npKeystrand"), "undefined");
    await ctx.browser.closeTab(tab);
  }],
];
