// Small helpers of the browser suite: bounded waits, processes, temporary files.
import { readFileSync, readdirSync, readlinkSync } from "node:fs";
import { spawnSync } from "node:child_process";

export class TimeoutError extends Error {}

// Rejects when the promise has not settled within `ms`.
export function within(promise, ms, what) {
  let timer;
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new TimeoutError(`timed out after ${ms} ms waiting for ${what}`)), ms);
  });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

const tick = (ms) => new Promise((r) => setTimeout(r, ms));

// Polls `probe` (sync or async) until it returns a truthy value; bounded by `ms`.
export async function until(probe, ms, what, every = 50) {
  const end = Date.now() + ms;
  for (;;) {
    const v = await probe();
    if (v) return v;
    if (Date.now() > end) throw new TimeoutError(`timed out after ${ms} ms waiting for ${what}`);
    await tick(every);
  }
}

function parentOf(pid) {
  try {
    const stat = readFileSync(`/proc/${pid}/stat`, "utf8");
    return Number(stat.slice(stat.lastIndexOf(")") + 2).split(" ")[1]);
  } catch {
    return 0;
  }
}

function isZombie(pid) {
  try {
    const stat = readFileSync(`/proc/${pid}/stat`, "utf8");
    return stat.slice(stat.lastIndexOf(")") + 2).startsWith("Z");
  } catch {
    return true;
  }
}

// The live processes running `exe` that descend from `ancestor`.
export function processesOf(exe, ancestor) {
  const found = [];
  for (const name of readdirSync("/proc")) {
    if (!/^\d+$/.test(name)) continue;
    const pid = Number(name);
    let path;
    try {
      path = readlinkSync(`/proc/${pid}/exe`);
    } catch {
      continue;
    }
    if (path !== exe || isZombie(pid)) continue;
    for (let p = parentOf(pid), depth = 0; p > 1 && depth < 16; p = parentOf(p), depth++) {
      if (p === ancestor) {
        found.push(pid);
        break;
      }
    }
  }
  return found;
}

export function isAlive(pid) {
  return !isZombie(pid);
}

// Runs a command to its end; throws with its output when it fails.
export function run(cmd, args, options = {}) {
  const r = spawnSync(cmd, args, { encoding: options.encoding ?? "utf8", maxBuffer: 256 << 20, timeout: 120000, ...options });
  if (r.error) throw r.error;
  if (r.status !== 0 && !options.allowFailure) {
    throw new Error(`${cmd} ${args.join(" ")} exited ${r.status}: ${r.stderr}`);
  }
  return r;
}
