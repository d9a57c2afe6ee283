#!/usr/bin/env python3
"""Draws the certificate picker's images and writes them as PNG files next to this script.

105 system-certificate.png  128 x 128: a certificate sheet with a seal
106 key-certificate.png     128 x 128: a smart card with its contact chip
107 certificate-frame.png    62 x 62:  a rounded frame with a transparent middle

Only the standard library: shapes are sampled 4 x 4 per pixel for smooth edges, composited
"over" in straight RGBA, and written with zlib and struct.
"""

import math
import os
import struct
import zlib

SAMPLES = 4


class Image:
    def __init__(self, width, height):
        self.width = width
        self.height = height
        self.pixels = [[0.0, 0.0, 0.0, 0.0] for _ in range(width * height)]

    def fill(self, inside, colour, box=None):
        """Composites colour (r, g, b, a in 0..255) over every pixel, weighted by the share of
        its samples for which inside(x, y) holds."""
        x0, y0, x1, y1 = box if box else (0, 0, self.width, self.height)
        x0, y0 = max(0, int(x0)), max(0, int(y0))
        x1, y1 = min(self.width, int(math.ceil(x1))), min(self.height, int(math.ceil(y1)))
        r, g, b, a = colour
        for py in range(y0, y1):
            for px in range(x0, x1):
                hits = 0
                for sy in range(SAMPLES):
                    for sx in range(SAMPLES):
                        if inside(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES):
                            hits += 1
                if hits == 0:
                    continue
                src_a = a / 255.0 * hits / (SAMPLES * SAMPLES)
                p = self.pixels[py * self.width + px]
                dst_a = p[3]
                out_a = src_a + dst_a * (1 - src_a)
                if out_a > 0:
                    for i, c in enumerate((r, g, b)):
                        p[i] = (c * src_a + p[i] * dst_a * (1 - src_a)) / out_a
                p[3] = out_a

    def png(self):
        rows = bytearray()
        for y in range(self.height):
            rows.append(0)  # filter: none
            for x in range(self.width):
                r, g, b, a = self.pixels[y * self.width + x]
                rows += bytes((round(r), round(g), round(b), round(a * 255)))

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

        header = struct.pack(">IIBBBBB", self.width, self.height, 8, 6, 0, 0, 0)  # 8-bit RGBA
        return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b""))


def rounded_rect(x0, y0, x1, y1, radius):
    def inside(x, y):
        if x < x0 or x > x1 or y < y0 or y > y1:
            return False
        cx = min(max(x, x0 + radius), x1 - radius)
        cy = min(max(y, y0 + radius), y1 - radius)
        return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2
    return inside


def circle(cx, cy, radius):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def polygon(points):
    def inside(x, y):
        result = False
        j = len(points) - 1
        for i in range(len(points)):
            xi, yi = points[i]
            xj, yj = points[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                result = not result
            j = i
        return result
    return inside


def ring(inner, outer):
    return lambda x, y: outer(x, y) and not inner(x, y)


def certificate_sheet():
    img = Image(128, 128)
    # Shadow, then the sheet with a light blue edge.
    img.fill(rounded_rect(18, 12, 114, 122, 6), (0, 0, 0, 50))
    img.fill(rounded_rect(14, 8, 110, 118, 6), (120, 150, 190, 255))
    img.fill(rounded_rect(16, 10, 108, 116, 5), (255, 255, 255, 255))
    # A title bar and lines of text.
    img.fill(rounded_rect(26, 20, 98, 28, 2), (40, 80, 150, 255))
    for i, width in enumerate((70, 62, 70, 48, 58)):
        y = 38 + i * 10
        img.fill(rounded_rect(26, y, 26 + width, y + 4, 2), (170, 180, 195, 255))
    # The seal: two ribbons under a gold medallion.
    img.fill(polygon([(78, 92), (86, 92), (80, 122), (74, 116)]), (190, 30, 40, 255))
    img.fill(polygon([(90, 92), (98, 92), (102, 116), (96, 122)]), (190, 30, 40, 255))
    img.fill(circle(88, 90, 15), (180, 120, 20, 255))
    img.fill(circle(88, 90, 12), (240, 190, 60, 255))
    img.fill(ring(circle(88, 90, 7), circle(88, 90, 9)), (180, 120, 20, 255))
    return img


def smart_card():
    img = Image(128, 128)
    img.fill(rounded_rect(8, 30, 124, 106, 9), (0, 0, 0, 50))
    img.fill(rounded_rect(4, 26, 120, 102, 9), (20, 70, 150, 255))
    img.fill(rounded_rect(6, 28, 118, 100, 8), (50, 110, 200, 255))
    # A lighter band and the holder's lines.
    img.fill(lambda x, y: 70 <= y <= 80, (90, 150, 225, 255), (6, 70, 118, 81))
    img.fill(rounded_rect(16, 86, 70, 91, 2), (220, 230, 245, 255))
    # The gold contact chip with its contact areas.
    img.fill(rounded_rect(16, 40, 46, 64, 4), (150, 110, 20, 255))
    img.fill(rounded_rect(17, 41, 45, 63, 3), (235, 195, 80, 255))
    for x0, x1 in ((17, 27), (35, 45)):
        for y in (48, 56):
            img.fill(lambda x, yy, y=y: y <= yy <= y + 1, (150, 110, 20, 255), (x0, y, x1, y + 2))
    img.fill(lambda x, y: 27 <= x <= 28 or 34 <= x <= 35, (150, 110, 20, 255), (27, 41, 36, 63))
    return img


def frame():
    img = Image(62, 62)
    outer = rounded_rect(0.5, 0.5, 61.5, 61.5, 9)
    inner = rounded_rect(5, 5, 57, 57, 5)
    img.fill(ring(inner, outer), (200, 210, 225, 255))
    img.fill(ring(rounded_rect(1.5, 1.5, 60.5, 60.5, 8), outer), (150, 165, 190, 255))
    img.fill(ring(inner, rounded_rect(4, 4, 58, 58, 6)), (255, 255, 255, 255))
    return img


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for name, image in (("system-certificate.png", certificate_sheet()),
                        ("key-certificate.png", smart_card()),
                        ("certificate-frame.png", frame())):
        with open(os.path.join(here, name), "wb") as f:
            f.write(image.png())


if __name__ == "__main__":
    main()
