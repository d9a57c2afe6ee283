// The consent window: shows which origin asks for what and sends the user's answer back to
// the background. Everything shown is set as text, never as markup.
(() => {
  "use strict";
  const api = globalThis.browser ?? globalThis.chrome;
  const id = Number(new URLSearchParams(location.search).get("id"));
  const buttons = ["once", "always", "deny"].map((a) => document.getElementById(a));
  const ARMING_MS = 500;

  let answered = false;

  function answer(a) {
    if (answered) return;
    answered = true;
    for (const b of buttons) b.disabled = true;
    api.runtime.sendMessage({ type: "consent-answer", id, answer: a }).finally(() => window.close());
  }

  for (const b of buttons) b.addEventListener("click", () => answer(b.id));
  document.addEventListener("keydown", (e) => {
    if (e.key === "Escape") answer("deny");
  });

  api.runtime.sendMessage({ type: "consent-get", id }).then((info) => {
    if (!info) {
      document.getElementById("gone").hidden = false;
      for (const b of buttons) b.disabled = true;
      return;
    }
    document.getElementById("origin").textContent = info.origin;
    document.getElementById("purpose").textContent = info.request.purpose;
    document.getElementById("method").textContent = info.request.method;
    if (info.request.paths.length > 0) {
      const list = document.getElementById("paths");
      for (const p of info.request.paths) {
        const li = document.createElement("li");
        li.textContent = p;
        list.appendChild(li);
      }
      document.getElementById("paths-box").hidden = false;
    }
    // The window opens where the user may be clicking already: the buttons wait a moment, so
    // that a click meant for the page cannot answer the question.
    setTimeout(() => {
      if (answered) return;
      for (const b of buttons) b.disabled = false;
      document.getElementById("once").focus();
      document.body.dataset.ready = "true";
    }, ARMING_MS);
  });
})();
