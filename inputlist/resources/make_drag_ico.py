#!/usr/bin/env python3
"""Draws drag.ico, the list's pointer while an entry is dragged: a black up-and-down arrow with a
white rim, centred (the pointer's hot spot is the image centre). Run: python3 make_drag_ico.py"""
import struct

SIZE = 32
CENTRE = SIZE // 2


def inside_arrow(x, y):
    """The arrow shape: a shaft with a head at each end."""
    dy = abs(y - CENTRE + 0.5)
    dx = abs(x - CENTRE + 0.5)
    if dy <= 14 and dy >= 7:  # heads: widen towards the middle
        return dx <= (14 - dy) + 0.5
    return dy < 7 and dx <= 1.5  # shaft


def pixel(x, y):
    if inside_arrow(x, y):
        return (0, 0, 0, 255)
    for ox in (-1, 0, 1):
        for oy in (-1, 0, 1):
            if inside_arrow(x + ox, y + oy):
                return (255, 255, 255, 255)
    return (0, 0, 0, 0)


def main():
    rows = []
    for y in reversed(range(SIZE)):  # the bitmap is stored bottom-up
        row = b"".join(struct.pack("BBBB", b, g, r, a)
                       for (r, g, b, a) in (pixel(x, y) for x in range(SIZE)))
        rows.append(row)
    pixels = b"".join(rows)
    mask = b"\x00" * (SIZE * 4)  # 1 bit per pixel, rows padded to 32 bits; alpha decides
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(pixels) + len(mask),
                         0, 0, 0, 0)
    image = header + pixels + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    with open("drag.ico", "wb") as out:
        out.write(directory + entry + image)


if __name__ == "__main__":
    main()
