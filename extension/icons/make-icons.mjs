// Draws the extension's icons (a key on a blue tile) as PNG files, with nothing but Node:
//   node extension/icons/make-icons.mjs
import { deflateSync } from "node:zlib";
import { writeFileSync } from "node:fs";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));

function crc32(buf) {
  let c, crc = 0xffffffff;
  for (const b of buf) {
    c = (crc ^ b) & 0xff;
    for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    crc = (crc >>> 8) ^ c;
  }
  return (crc ^ 0xffffffff) >>> 0;
}

function chunk(type, data) {
  const len = Buffer.alloc(4);
  len.writeUInt32BE(data.length);
  const td = Buffer.concat([Buffer.from(type, "ascii"), data]);
  const crc = Buffer.alloc(4);
  crc.writeUInt32BE(crc32(td));
  return Buffer.concat([len, td, crc]);
}

function png(size, rgba) {
  const header = Buffer.alloc(13);
  header.writeUInt32BE(size, 0);
  header.writeUInt32BE(size, 4);
  header[8] = 8; header[9] = 6; header[10] = 0; header[11] = 0; header[12] = 0;
  const raw = Buffer.alloc((size * 4 + 1) * size);
  for (let y = 0; y < size; y++) {
    raw[y * (size * 4 + 1)] = 0;
    rgba.copy(raw, y * (size * 4 + 1) + 1, y * size * 4, (y + 1) * size * 4);
  }
  return Buffer.concat([Buffer.from([137, 80, 78, 71, 13, 10, 26, 10]), chunk("IHDR", header),
    chunk("IDAT", deflateSync(raw)), chunk("IEND", Buffer.alloc(0))]);
}

// Shapes in a unit square: 0 outside, 1 tile, 2 key.
function shape(x, y) {
  const r = 0.18;   // tile corner radius
  const cx = Math.min(Math.max(x, r), 1 - r), cy = Math.min(Math.max(y, r), 1 - r);
  if ((x - cx) ** 2 + (y - cy) ** 2 > r * r) return 0;
  const bx = 0.34, by = 0.40;                       // the bow: a ring
  const d = Math.hypot(x - bx, y - by);
  if (d < 0.20 && d > 0.09) return 2;
  if (y > 0.365 && y < 0.435 && x > 0.50 && x < 0.86) return 2;        // the shaft
  if (x > 0.66 && x < 0.73 && y > 0.40 && y < 0.58) return 2;          // teeth
  if (x > 0.78 && x < 0.86 && y > 0.40 && y < 0.62) return 2;
  return 1;
}

const TILE = [31, 78, 121], KEY = [247, 201, 72];
for (const size of [16, 32, 48, 128]) {
  const rgba = Buffer.alloc(size * size * 4);
  const ss = 4;
  for (let py = 0; py < size; py++) {
    for (let px = 0; px < size; px++) {
      let cover = 0, key = 0;
      for (let sy = 0; sy < ss; sy++) {
        for (let sx = 0; sx < ss; sx++) {
          const s = shape((px + (sx + 0.5) / ss) / size, (py + (sy + 0.5) / ss) / size);
          if (s > 0) cover++;
          if (s === 2) key++;
        }
      }
      const o = (py * size + px) * 4;
      const k = cover ? key / cover : 0;
      for (let c = 0; c < 3; c++) rgba[o + c] = Math.round(TILE[c] * (1 - k) + KEY[c] * k);
      rgba[o + 3] = Math.round(255 * cover / (ss * ss));
    }
  }
  writeFileSync(join(here, `key-${size}.png`), png(size, rgba));
}
