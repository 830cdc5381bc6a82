#!/usr/bin/env python3
"""Writes HAND-M.CUR: our own 32x32 pointing-hand cursor, 32-bit colour with an AND mask.

Run it from anywhere; it writes the file next to itself. The drawing below is the whole source of
the image: '#' outline, '.' fill, anything else transparent. The hot spot is the finger tip.
"""
import os
import struct

ART = """
.....##.........................
....#..#........................
....#..#........................
....#..#........................
....#..#........................
....#..###......................
....#..#..###...................
....#..#..#..##.................
.##.#..#..#..#.#................
#..##........#..#...............
#...#...........#...............
.#..............#...............
..#.............#...............
..#............#................
...#...........#................
...#..........#.................
....#.........#.................
....#.........#.................
....###########.................
""".strip("\n").splitlines()

SIZE = 32
HOT_X, HOT_Y = 5, 0


def pixel(x, y):
    """Returns (b, g, r, a) for the pixel at x, y (y = 0 at the top)."""
    if y < len(ART) and x < len(ART[y]):
        ch = ART[y][x]
        # In the art, '.' outside the outline is padding; the fill is '.' enclosed by '#'.
        row = ART[y]
        inside = ch == "." and "#" in row[:x] and "#" in row[x + 1:]
        if ch == "#":
            return (0, 0, 0, 255)
        if inside:
            return (255, 255, 255, 255)
    return (0, 0, 0, 0)


def main():
    xor = bytearray()
    and_mask = bytearray()
    for y in range(SIZE - 1, -1, -1):  # bottom-up rows, as bitmaps are stored
        bits = 0
        row_mask = bytearray()
        for x in range(SIZE):
            b, g, r, a = pixel(x, y)
            xor += bytes((b, g, r, a))
            bits = (bits << 1) | (0 if a else 1)
            if x % 8 == 7:
                row_mask.append(bits)
                bits = 0
        and_mask += row_mask  # 32 pixels = 4 bytes, already a multiple of 4
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(and_mask),
                         0, 0, 0, 0)
    image = header + xor + and_mask
    icondir = struct.pack("<HHH", 0, 2, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, HOT_X, HOT_Y, len(image), 6 + 16)
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "HAND-M.CUR")
    with open(out, "wb") as f:
        f.write(icondir + entry + image)


if __name__ == "__main__":
    main()
