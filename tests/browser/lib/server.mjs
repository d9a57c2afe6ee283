// The test pages, served over plain HTTP on 127.0.0.1 (a secure context for both browsers).
// Each server is one origin; the suite starts two to have two sites.
// /framed holds a same-origin frame, /sandboxed a sandboxed one; any other path is a plain page.
import http from "node:http";

const PAGE = `<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>npKeystrand test page</title></head>
<body><p id="doc">test page</p>
<script>document.getElementById("doc").textContent = "loaded " + location.pathname + location.search;</script>
</body></html>
`;

export async function startServer() {
  const server = http.createServer((req, res) => {
    const url = new URL(req.url, "http://127.0.0.1");
    if (url.pathname === "/favicon.ico") {
      res.writeHead(404).end();
      return;
    }
    if (url.pathname === "/framed") {
      // A page with a frame of its own origin: two documents in one tab.
      res.writeHead(200, { "content-type": "text/html; charset=utf-8", "cache-control": "no-store" });
      res.end(`<!DOCTYPE html><html><body><iframe id="f" src="/inner"></iframe></body></html>`);
      return;
    }
    if (url.pathname === "/sandboxed") {
      // A sandboxed frame (an opaque origin) that calls at once and tells its parent the outcome.
      res.writeHead(200, { "content-type": "text/html; charset=utf-8", "cache-control": "no-store" });
      res.end(`<!DOCTYPE html><html><body><iframe sandbox="allow-scripts" src="/sandboxed-inner"></iframe>
<script>addEventListener("message", (e) => { window.frameOutcome = e.data; });</script></body></html>`);
      return;
    }
    if (url.pathname === "/sandboxed-inner") {
      res.writeHead(200, { "content-type": "text/html; charset=utf-8", "cache-control": "no-store" });
      res.end(`<!DOCTYPE html><html><body><script>
npKeystrand.embed().then((p) => p.GetLastErrorDesc()).then(
  (value) => parent.postMessage({ ok: true, origin: String(self.origin), value }, "*"),
  (e) => parent.postMessage({ ok: false, origin: String(self.origin), code: e.code, description: e.description }, "*"));
</script></body></html>`);
      return;
    }
    res.writeHead(200, { "content-type": "text/html; charset=utf-8", "cache-control": "no-store" });
    res.end(PAGE);
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  const origin = `http://127.0.0.1:${server.address().port}`;
  return { origin, close: () => new Promise((r) => server.close(r)) };
}
