#!/usr/bin/env python3
"""Draws the tray's two icon groups: a disc with a green play mark while playing (IDI_PLAYING,
res/playing.ico), the same disc in grey otherwise (IDI_IDLE, res/idle.ico). Run it again after
changing a picture and commit its output:

    tools/icons/make_icons.py [output directory, default res]

Each group holds
  - the 32x32 16-colour image (the standard palette, a transparency mask), the picture every Windows
    since 3.x can show; it is drawn pixel by pixel and has not changed since the first release;
  - 32-bit images with alpha at 16, 20, 24 and 32 px (the notification area at 100, 125, 150 and
    200 %), 40 and 48 px (the large icon at 125 and 150 %, Explorer's views);
  - a 256 px image stored as PNG, as Explorer expects for its largest views (Vista and later read
    it; older Windows pass over it).

The 32-bit images are drawn for their size, not scaled from one picture: every measure is worked
out in whole pixels of that size (the rim and the play mark's outline are one opaque pixel at the
small sizes, the play mark's upright edge lies on a pixel boundary, the disc is centred on a pixel
corner) and only the curves are antialiased. The arithmetic is + - * / and square roots, which
IEEE 754 rounds the same way everywhere, so the same script writes the same bytes on any machine;
the PNG's compression is zlib's deflate at level 9.

The test desktop (tools/desktop) tells the pictures apart by colour: the playing picture has at
least one pixel with green >= 200, red <= 80 and blue <= 80, the idle picture none. This script
checks that rule on every image it writes.
"""
import math
import os
import struct
import sys
import zlib

SMALL_SIZES = (16, 20, 24, 32, 40, 48)
PNG_SIZE = 256

# The test desktop's rule for "playing" (tools/desktop/README.md).
GREEN_MIN, RED_MAX, BLUE_MAX = 200, 80, 80


# ---- the 16-colour image ----

# The standard 16-colour palette (index: r, g, b).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
    (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
    (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, GREEN, TEAL, SILVER, GREY, LIME, AQUA, WHITE = 0, 2, 6, 7, 8, 10, 14, 15
SIZE16 = 32
TRANSPARENT = None


def disc16(playing):
    """Returns rows of palette indices (or TRANSPARENT), top row first."""
    cx = cy = 15.5
    rows = []
    for y in range(SIZE16):
        row = []
        for x in range(SIZE16):
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
                if 0 <= x < SIZE16 and 0 <= y < SIZE16:
                    rows[y][x] = GREEN if edge else LIME
    return rows


def bmp16(rows):
    """The 16-colour image as an icon resource holds it: header, palette, colour bits, mask."""
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # bitmaps are stored bottom-up
        for x in range(0, SIZE16, 2):
            xor.append((palette_index(row[x]) << 4) | palette_index(row[x + 1]))
        bits = 0
        for x in range(SIZE16):
            bits = (bits << 1) | (1 if row[x] is TRANSPARENT else 0)
        mask += struct.pack('>I', bits)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for (r, g, b) in PALETTE)
    header = struct.pack('<IiiHHIIiiII', 40, SIZE16, SIZE16 * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    return header + palette + bytes(xor) + bytes(mask)


def palette_index(c):
    return 0 if c is TRANSPARENT else c


def colours16(rows):
    return [PALETTE[c] for row in rows for c in row if c is not TRANSPARENT]


# ---- the 32-bit images: shapes as coverage of a pixel ----
#
# A shape is a function of a pixel centre (x + 0.5, y + 0.5) giving how much of that pixel it
# covers, from its signed distance to the shape's edge: a pixel whose centre lies half a pixel or
# more inside is covered whole, so edges on pixel boundaries come out sharp.

def clamp01(v):
    return 0.0 if v < 0.0 else 1.0 if v > 1.0 else v


def circle(cx, cy, r, soft=1.0):
    """soft: how wide the blend across the edge is, in pixels (1: antialiased; less: crisper)."""
    return lambda x, y: clamp01((r - math.sqrt((x - cx) * (x - cx) + (y - cy) * (y - cy))) / soft + 0.5)


def ring(cx, cy, outer, inner, soft=1.0):
    out, inside = circle(cx, cy, outer, soft), circle(cx, cy, inner, soft)
    return lambda x, y: min(out(x, y), 1.0 - inside(x, y))


def polygon(points, inset=0.0):
    """A convex polygon, corners clockwise on screen (y down); inset shrinks it by that distance."""
    edges = []
    for (x0, y0), (x1, y1) in zip(points, points[1:] + points[:1]):
        length = math.sqrt((x1 - x0) * (x1 - x0) + (y1 - y0) * (y1 - y0))
        # The inward normal of a clockwise edge with y pointing down.
        edges.append((x0, y0, -(y1 - y0) / length, (x1 - x0) / length))

    def cover(x, y):
        inside = min((x - x0) * nx + (y - y0) * ny for x0, y0, nx, ny in edges)
        return clamp01(inside - inset + 0.5)
    return cover


def both(a, b):
    return lambda x, y: min(a(x, y), b(x, y))


def flat(colour):
    return lambda x, y: colour


def gradient(x0, y0, x1, y1, start, end):
    """Colours from start at (x0, y0) to end at (x1, y1), constant across that direction."""
    dx, dy = x1 - x0, y1 - y0
    length2 = dx * dx + dy * dy

    def colour(x, y):
        t = clamp01(((x - x0) * dx + (y - y0) * dy) / length2)
        return tuple(s + (e - s) * t for s, e in zip(start, end))
    return colour


class Canvas:
    """Straight (not premultiplied) RGBA in floats 0..255 and alpha 0..1, painted over in layers."""

    def __init__(self, size):
        self.size = size
        self.pixels = [[(0.0, 0.0, 0.0, 0.0)] * size for _ in range(size)]

    def paint(self, shape, colour, opacity=1.0):
        for y in range(self.size):
            row = self.pixels[y]
            for x in range(self.size):
                px, py = x + 0.5, y + 0.5
                a = shape(px, py) * opacity
                if a <= 0.0:
                    continue
                r, g, b = colour(px, py)
                dr, dg, db, da = row[x]
                out = a + da * (1.0 - a)
                keep = da * (1.0 - a)
                row[x] = ((r * a + dr * keep) / out, (g * a + dg * keep) / out, (b * a + db * keep) / out, out)

    def erase(self, shape):
        for y in range(self.size):
            row = self.pixels[y]
            for x in range(self.size):
                a = shape(x + 0.5, y + 0.5)
                if a > 0.0:
                    r, g, b, da = row[x]
                    row[x] = (r, g, b, da * (1.0 - a))

    def rgba(self):
        """Rows of (r, g, b, a) bytes, top row first; fully transparent pixels are black."""
        rows = []
        for row in self.pixels:
            out = []
            for r, g, b, a in row:
                alpha = int(a * 255.0 + 0.5)
                out.append((0, 0, 0, 0) if alpha == 0 else (byte(r), byte(g), byte(b), alpha))
            rows.append(out)
        return rows


def byte(v):
    return max(0, min(255, int(v + 0.5)))


# The two pictures' colours. The idle disc is the playing one without colour: every grey has
# red = green = blue, so no idle pixel can pass for the play mark.
PLAYING_COLOURS = {
    "rim": (44, 56, 72),
    "body_light": (238, 242, 248),
    "body_dark": (170, 182, 198),
    "band_light": (150, 222, 240),
    "band_dark": (84, 176, 206),
    "sheen": (255, 255, 255),
    "hub": (250, 251, 253),
    "hole_edge": (70, 82, 98),
    "mark_edge": (0, 104, 24),
    "mark_light": (72, 238, 78),
    "mark_dark": (20, 202, 40),
}
IDLE_COLOURS = {
    "rim": (92, 92, 92),
    "body_light": (176, 176, 176),
    "body_dark": (126, 126, 126),
    "band_light": (150, 150, 150),
    "band_dark": (116, 116, 116),
    "sheen": (212, 212, 212),
    "hub": (200, 200, 200),
    "hole_edge": (96, 96, 96),
}


def whole(v):
    """v rounded to the nearest whole pixel (halves up)."""
    return int(math.floor(v + 0.5))


def measures(size):
    """The picture's measures in pixels of this size. The disc's radius is 16 units, as in the
    16-colour picture; every part keeps at least one whole pixel."""
    margin = size // 32 if size > 48 else 0  # the large image breathes a little inside its square
    radius = size / 2.0 - margin
    unit = radius / 16.0
    hole = max(1.2, unit * 2.5)  # 1.2: a 2x2 hole at 16 px, its four pixels fully open
    hole_edge = max(1, whole(unit * 0.9))
    # The play mark, a triangle pointing right, sits at the lower right with its upright edge on
    # the pixel boundary just right of the hole and its tip at the picture's right edge (a badge
    # reaching past the disc); its top and bottom lie on pixel rows, its tip half way between.
    mark_left = whole(size / 2.0 + hole)
    mark_right = size - margin - whole(unit * 0.5)
    mark_bottom = size - margin - whole(unit * 0.25)
    mark_top = mark_bottom - whole((mark_right - mark_left) * 1.5)
    return {
        "centre": size / 2.0,
        "radius": radius,
        "rim": max(1, whole(unit * 0.9)),
        "band": max(1, whole(unit * 2.0)),
        "hole": hole,
        "hole_edge": hole_edge,
        "hub": hole + hole_edge + max(1.5, unit * 3.0),
        "sheen_gap": max(1, math.floor(unit)),
        "mark": (mark_left, mark_top, mark_right, mark_bottom),
        "mark_edge": max(1, whole(unit * 1.1)),
        # The hub's small circles blend over half a pixel up to 24 px, so that they stay crisp.
        "soft": 0.5 if size <= 24 else 1.0,
    }


def draw(size, playing):
    m = measures(size)
    colours = PLAYING_COLOURS if playing else IDLE_COLOURS
    c, radius, soft = m["centre"], m["radius"], m["soft"]
    canvas = Canvas(size)
    top_left, bottom_right = (c - radius, c - radius), (c + radius, c + radius)

    # The disc: rim, then the data area's coloured band, then the silver body and the hub.
    canvas.paint(circle(c, c, radius), flat(colours["rim"]))
    inner = radius - m["rim"]
    canvas.paint(circle(c, c, inner), gradient(*top_left, *bottom_right, colours["band_light"], colours["band_dark"]))
    body = inner - m["band"]
    canvas.paint(circle(c, c, body), gradient(*top_left, *bottom_right, colours["body_light"], colours["body_dark"]))
    # Light caught across the upper left: a wedge between two lines through the centre (at about
    # 115 and 135 degrees above the right-hand side), from just outside the hub to the band.
    wedge = polygon([(c, c), (c - radius * 0.72, c - radius * 0.72), (c - radius * 0.42, c - radius * 0.92)])
    canvas.paint(both(wedge, ring(c, c, body, m["hub"] + m["sheen_gap"])), flat(colours["sheen"]), 0.85)
    canvas.paint(circle(c, c, m["hub"], soft), flat(colours["hub"]))
    canvas.paint(circle(c, c, m["hole"] + m["hole_edge"], soft), flat(colours["hole_edge"]))
    canvas.erase(circle(c, c, m["hole"], soft))

    if playing:
        left, top, right, bottom = m["mark"]
        corners = [(left, top), (right, (top + bottom) / 2.0), (left, bottom)]
        canvas.paint(polygon(corners), flat(colours["mark_edge"]))
        canvas.paint(polygon(corners, m["mark_edge"]),
                     gradient(left, top, left, bottom, colours["mark_light"], colours["mark_dark"]))
    return canvas.rgba()


# ---- image formats ----

def bmp32(rows):
    """A 32-bit image as an icon resource holds it: header, BGRA rows bottom-up, then the AND mask
    (set where the image is transparent, for Windows before XP)."""
    size = len(rows)
    xor = bytearray()
    mask = bytearray()
    mask_stride = (size + 31) // 32 * 4
    for row in reversed(rows):
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return header + bytes(xor) + bytes(mask)


def png(rows):
    """An 8-bit RGBA PNG, each row with the filter that leaves the smallest sum of residues."""
    size = len(rows)
    raw = bytearray()
    previous = bytes(size * 4)
    for row in rows:
        line = bytes(v for pixel in row for v in pixel)
        best = min((filtered(kind, line, previous) for kind in range(5)),
                   key=lambda data: sum(v if v < 128 else 256 - v for v in data[1:]))
        raw += best
        previous = line

    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    header = struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', header) + chunk(b'IDAT', zlib.compress(bytes(raw), 9))
            + chunk(b'IEND', b''))


def filtered(kind, line, previous):
    out = bytearray([kind])
    for i, v in enumerate(line):
        left = line[i - 4] if i >= 4 else 0
        up = previous[i]
        up_left = previous[i - 4] if i >= 4 else 0
        if kind == 0:
            predicted = 0
        elif kind == 1:
            predicted = left
        elif kind == 2:
            predicted = up
        elif kind == 3:
            predicted = (left + up) // 2
        else:
            p = left + up - up_left
            pa, pb, pc = abs(p - left), abs(p - up), abs(p - up_left)
            predicted = left if pa <= pb and pa <= pc else up if pb <= pc else up_left
        out.append((v - predicted) & 0xFF)
    return bytes(out)


def ico(images):
    """An .ico file of (size, colour count, bits per pixel, data) images, in the given order."""
    directory = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b''
    for size, colour_count, bits, data in images:
        side = 0 if size >= 256 else size  # 0 stands for 256
        entries += struct.pack('<BBBBHHII', side, side, colour_count, 0, 1, bits, len(data), offset)
        offset += len(data)
    return directory + entries + b''.join(data for _, _, _, data in images)


# ---- the two groups ----

def shows_play_mark(colours):
    return any(g >= GREEN_MIN and r <= RED_MAX and b <= BLUE_MAX for r, g, b in colours)


def group(playing):
    """The .ico file of one picture, after checking the desktop's colour rule on every image:
    the playing picture must show the mark's green in opaque pixels, the idle one in none at all
    (the desktop reads an icon's colours without its alpha)."""
    old = disc16(playing)
    checked = [(SIZE16, colours16(old))]
    images = [(SIZE16, 16, 4, bmp16(old))]
    for size in SMALL_SIZES + (PNG_SIZE,):
        rows = draw(size, playing)
        checked.append((size, [(r, g, b) for row in rows for r, g, b, a in row if a == 255 or not playing]))
        images.append((size, 0, 32, png(rows) if size == PNG_SIZE else bmp32(rows)))
    for size, colours in checked:
        if shows_play_mark(colours) != playing:
            raise SystemExit("make_icons: the %s picture at %d px %s the play mark's green" % (
                "playing" if playing else "idle", size, "lacks" if playing else "has"))
    return ico(images)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, '..', '..', 'res')
    for name, playing in (('playing.ico', True), ('idle.ico', False)):
        data = group(playing)
        temp = os.path.join(out, name + '.new')
        with open(temp, 'wb') as f:
            f.write(data)
        os.replace(temp, os.path.join(out, name))


if __name__ == '__main__':
    main()
