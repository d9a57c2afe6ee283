// What the suite runs inside a test page: plug-in calls through `npKeystrand`, their
// outcome reduced to plain values ({ok, value} or {ok: false, code, description}).

const OUTCOME = (callExpr) => `(async () => {
  try {
    const plugin = await npKeystrand.embed();
    return { ok: true, value: await (${callExpr}) };
  } catch (e) {
    return { ok: false, code: e && e.code, description: e && e.description, message: String(e && e.message) };
  }
})()`;

// A call written out with its arguments as JSON literals.
export function callExpr(method, args) {
  return `plugin[${JSON.stringify(method)}](${args.map((a) => JSON.stringify(a)).join(", ")})`;
}

// NPK_TRACE=1 logs each call and its outcome, for a case that hangs.
const trace = process.env.NPK_TRACE ? (...a) => console.log("  .", ...a) : () => {};

export async function call(tab, method, ...args) {
  trace(method, JSON.stringify(args).slice(0, 120));
  const r = await tab.eval(OUTCOME(callExpr(method, args)));
  trace("->", JSON.stringify(r).slice(0, 160));
  return r;
}

// A call whose argument list is written as page code (for values JSON cannot spell).
export function callRaw(tab, method, argsCode) {
  return tab.eval(OUTCOME(`plugin[${JSON.stringify(method)}](${argsCode})`));
}

// Starts a call without waiting for it (a consent window may stand in its way); `settled`
// then waits for its outcome.
let nextKey = 1;
export async function start(tab, method, ...args) {
  const key = `k${nextKey++}`;
  await tab.eval(`(() => { (window.__npk ??= {})[${JSON.stringify(key)}] = ${OUTCOME(callExpr(method, args))}; return true; })()`);
  return { tab, key };
}

export async function startRaw(tab, code) {
  const key = `k${nextKey++}`;
  await tab.eval(`(() => { (window.__npk ??= {})[${JSON.stringify(key)}] = ${OUTCOME(code)}; return true; })()`);
  return { tab, key };
}

export function settled(pending, ms = 60000) {
  return pending.tab.eval(`window.__npk[${JSON.stringify(pending.key)}]`, ms);
}

export async function consentText(win) {
  return win.eval(`({ origin: document.getElementById("origin").textContent,
    purpose: document.getElementById("purpose").textContent,
    method: document.getElementById("method").textContent,
    paths: [...document.querySelectorAll("#paths li")].map((li) => li.textContent) })`);
}

// The click closes the window: it runs after the script has answered, or the answer could
// be lost with the window.
export function click(win, id) {
  return win.eval(`(setTimeout(() => document.getElementById(${JSON.stringify(id)}).click(), 0), true)`);
}
