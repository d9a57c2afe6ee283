// The options page: lists the always-allowed sites and revokes them. The background follows
// the stored list, so a revoked site asks again on its very next call.
(() => {
  "use strict";
  const api = globalThis.browser ?? globalThis.chrome;

  async function load() {
    const { alwaysAllowed = {} } = await api.storage.local.get("alwaysAllowed");
    return alwaysAllowed;
  }

  async function revoke(origin) {
    const sites = await load();
    delete sites[origin];
    await api.storage.local.set({ alwaysAllowed: sites });
  }

  async function render() {
    const sites = await load();
    const origins = Object.keys(sites).sort();
    const table = document.getElementById("sites");
    const body = table.querySelector("tbody");
    body.replaceChildren();
    for (const origin of origins) {
      const row = document.createElement("tr");
      row.dataset.origin = origin;
      const site = document.createElement("td");
      site.textContent = origin;
      const since = document.createElement("td");
      const granted = new Date(sites[origin].granted);
      since.textContent = Number.isNaN(granted.getTime()) ? "" : granted.toLocaleString();
      const cell = document.createElement("td");
      const button = document.createElement("button");
      button.type = "button";
      button.className = "revoke";
      button.textContent = "Revoke";
      button.addEventListener("click", () => revoke(origin));
      cell.appendChild(button);
      row.append(site, since, cell);
      body.appendChild(row);
    }
    table.hidden = origins.length === 0;
    document.getElementById("empty").hidden = origins.length !== 0;
    document.body.dataset.ready = "true";
  }

  api.storage.onChanged.addListener((changes, area) => {
    if (area === "local" && changes.alwaysAllowed) render();
  });
  render();
})();
