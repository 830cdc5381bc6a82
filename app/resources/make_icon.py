#!/usr/bin/env python3
"""Writes pellatrix.png, the program's 64x64 icon: a stack of three pages with text lines and a
green plus badge (many files made at once). Only the standard library is used; run it from
anywhere, it writes next to itself."""
import os
import struct
import zlib

SIZE = 64


def blend(dst, src):
    sr, sg, sb, sa = src
    dr, dg, db, da = dst
    a = sa / 255.0
    out_a = sa + da * (1 - a)
    if out_a == 0:
        return (0, 0, 0, 0)
    mix = lambda s, d: int(round((s * sa + d * da * (1 - a)) / out_a))
    return (mix(sr, dr), mix(sg, dg), mix(sb, db), int(round(out_a)))


def main():
    img = [[(0, 0, 0, 0)] * SIZE for _ in range(SIZE)]

    def rect(x0, y0, x1, y1, colour):
        for y in range(max(0, y0), min(SIZE, y1)):
            for x in range(max(0, x0), min(SIZE, x1)):
                img[y][x] = blend(img[y][x], colour)

    def page(x, y, w, h):
        rect(x, y, x + w, y + h, (40, 70, 130, 255))              # border
        rect(x + 2, y + 2, x + w - 2, y + h - 2, (255, 255, 255, 255))
        for line in range(y + 8, y + h - 6, 6):                     # text lines
            rect(x + 6, line, x + w - 6, line + 2, (120, 150, 200, 255))

    page(4, 2, 34, 42)
    page(12, 9, 34, 42)
    page(20, 16, 34, 42)

    # The plus badge: a green disc with a white cross, lower right.
    cx, cy, r = 47, 48, 14
    for y in range(SIZE):
        for x in range(SIZE):
            d2 = (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2
            if d2 <= r * r:
                edge = min(1.0, r - d2 ** 0.5)
                img[y][x] = blend(img[y][x], (30, 150, 60, int(255 * max(edge, 0.0))))
    rect(cx - 8, cy - 2, cx + 8, cy + 2, (255, 255, 255, 255))
    rect(cx - 2, cy - 8, cx + 2, cy + 8, (255, 255, 255, 255))

    raw = b"".join(b"\x00" + b"".join(bytes(p) for p in row) for row in img)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(raw, 9))
    png += chunk(b"IEND", b"")
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pellatrix.png")
    with open(out, "wb") as f:
        f.write(png)


if __name__ == "__main__":
    main()
