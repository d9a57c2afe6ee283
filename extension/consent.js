// The consent window: shows which origin asks for what and sends the user's answer back to
// the background. Everything shown is set as text, never as markup.
(() => {
  "use strict";
  const api = globalThis.browser ?? globalThis.chrome;
  const id = Number(new URLSearchParams(location.search).get("id"));
  const buttons = ["once", "always", "deny"].map((a) => document.getElementById(a));

  function answer(a) {
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
    document.body.dataset.ready = "true";
    document.getElementById("once").focus();
  });
})();
