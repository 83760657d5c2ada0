#!/usr/bin/env python3
"""Draws the tray's two pictures as 32x32, 16-colour icons: a disc with a green play mark while
playing (IDI_PLAYING), the same disc in grey otherwise (IDI_IDLE). Writes res/playing.ico and
res/idle.ico; run it again after changing a picture and commit its output."""
import math
import os
import struct
import sys

# The standard 16-colour palette (index: r, g, b).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
    (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
    (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, GREEN, TEAL, SILVER, GREY, LIME, AQUA, WHITE = 0, 2, 6, 7, 8, 10, 14, 15
SIZE = 32
TRANSPARENT = None


def disc(playing):
    """Returns rows of palette indices (or TRANSPARENT), top row first."""
    cx = cy = 15.5
    rows = []
    for y in range(SIZE):
        row = []
        for x in range(SIZE):
            d = math.hypot(x - cx, y - cy)
            if d > 15.5:
                c = TRANSPARENT
            elif d > 14.5:
                c = BLACK if playing else GREY
            elif d < 2.5:
                c = TRANSPARENT  # the centre hole
            elif d < 3.5:
                c = BLACK if playing else GREY
            elif d < 6.5:
                c = WHITE if playing else SILVER
            else:
                # A light sheen across the upper left, as on a real disc.
                angle = math.atan2(y - cy, x - cx)
                sheen = -2.4 < angle < -1.9
                if playing:
                    c = WHITE if sheen else (AQUA if d > 12.5 else SILVER)
                else:
                    c = SILVER if sheen else GREY
            row.append(c)
        rows.append(row)
    if playing:
        # A green play mark at the lower right: a triangle pointing right, outlined dark green.
        x0, y0, height = 18, 11, 20
        for y in range(y0, y0 + height + 1):
            half = min(y - y0, y0 + height - y)
            for x in range(x0, x0 + half + 1):
                edge = x == x0 or x == x0 + half or y in (y0, y0 + height)
                if 0 <= x < SIZE and 0 <= y < SIZE:
                    rows[y][x] = GREEN if edge else LIME
    return rows


def ico(rows):
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # bitmaps are stored bottom-up
        for x in range(0, SIZE, 2):
            hi = rows_index(row[x])
            lo = rows_index(row[x + 1])
            xor.append((hi << 4) | lo)
        bits = 0
        for x in range(SIZE):
            bits = (bits << 1) | (1 if row[x] is TRANSPARENT else 0)
        mask += struct.pack('>I', bits)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for (r, g, b) in PALETTE)
    header = struct.pack('<IiiHHIIiiII', 40, SIZE, SIZE * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    image = header + palette + bytes(xor) + bytes(mask)
    directory = struct.pack('<HHH', 0, 1, 1)
    entry = struct.pack('<BBBBHHII', SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def rows_index(c):
    return 0 if c is TRANSPARENT else c


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), '..', '..', 'res')
    for name, playing in (('playing.ico', True), ('idle.ico', False)):
        with open(os.path.join(out, name), 'wb') as f:
            f.write(ico(disc(playing)))


if __name__ == '__main__':
    main()
