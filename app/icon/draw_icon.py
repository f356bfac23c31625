#!/usr/bin/python3
"""Draws the program's icon: a computer (tower and monitor) with a compact disc in front of it.

Writes one .ico file with 16x16 and 32x32 images, each in 16 colours (4 bpp) and in 256 colours
(8 bpp). Standard library only; the output depends on nothing but this file.

    draw_icon.py OUTPUT.ico
"""

import math
import struct
import sys

# The system's 16-colour palette, in its usual order.
VGA = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, GREY, SILVER, WHITE = 0, 8, 7, 15
NAVY, BLUE, LIME, AQUA, YELLOW = 4, 12, 10, 14, 11


class Canvas:
    """Pixels of one image: None is transparent, otherwise a colour for the chosen depth."""

    def __init__(self, size, deep):
        self.size = size
        self.deep = deep  # True: RGB colours for 256 colours; False: indices into VGA
        self.pixels = [[None] * size for _ in range(size)]

    def put(self, x, y, colour):
        if 0 <= x < self.size and 0 <= y < self.size:
            self.pixels[y][x] = colour

    def rect(self, x0, y0, x1, y1, colour):
        """Fills x0..x1, y0..y1 inclusive; colour may be a function of (x, y)."""
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.put(x, y, colour(x, y) if callable(colour) else colour)

    def frame(self, x0, y0, x1, y1, colour):
        self.rect(x0, y0, x1, y0, colour)
        self.rect(x0, y1, x1, y1, colour)
        self.rect(x0, y0, x0, y1, colour)
        self.rect(x1, y0, x1, y1, colour)


def mix(a, b, t):
    return tuple(round(p + (q - p) * t) for p, q in zip(a, b))


def shade(canvas, flat, rgb):
    """The colour for the canvas' depth: a VGA index, or an RGB triple."""
    return rgb if canvas.deep else flat


# ---- Parts of the picture. Each takes the canvas and a layout of integer pixel positions.

CASE = (214, 206, 186)
CASE_LIGHT = (246, 242, 230)
CASE_DARK = (150, 142, 122)
OUTLINE = (28, 28, 32)


def draw_box(c, x0, y0, x1, y1, bevel):
    """A beige box with a dark outline; with a bevel, lit from the top left."""
    top, bottom = CASE_LIGHT, CASE_DARK

    def body(x, y):
        return shade(c, SILVER, mix(CASE, mix(CASE, bottom, 0.35), (y - y0) / max(1, y1 - y0)))

    c.rect(x0, y0, x1, y1, body)
    if bevel:
        c.rect(x0 + 1, y0 + 1, x1 - 1, y0 + 1, shade(c, WHITE, top))
        c.rect(x0 + 1, y0 + 1, x0 + 1, y1 - 1, shade(c, WHITE, top))
        c.rect(x1 - 1, y0 + 2, x1 - 1, y1 - 1, shade(c, GREY, bottom))
        c.rect(x0 + 2, y1 - 1, x1 - 1, y1 - 1, shade(c, GREY, bottom))
    c.frame(x0, y0, x1, y1, shade(c, BLACK, OUTLINE))


def draw_tower(c, lay):
    x0, y0, x1, y1 = lay["tower"]
    draw_box(c, x0, y0, x1, y1, lay["bevel"])
    for bx0, by0, bx1, by1 in lay["bays"]:
        c.rect(bx0, by0, bx1, by1, shade(c, GREY, (120, 114, 100)))
        c.rect(bx0, by1, bx1, by1, shade(c, BLACK, (52, 50, 46)))
    lx, ly = lay["tower_led"]
    c.put(lx, ly, shade(c, LIME, (40, 214, 72)))


def draw_monitor(c, lay):
    nx0, ny0, nx1, ny1 = lay["neck"]
    c.rect(nx0, ny0, nx1, ny1, shade(c, GREY, CASE_DARK))
    c.rect(nx0 - 1, ny0, nx0 - 1, ny1, shade(c, BLACK, OUTLINE))
    c.rect(nx1 + 1, ny0, nx1 + 1, ny1, shade(c, BLACK, OUTLINE))
    draw_box(c, *lay["base"], lay["bevel"])
    draw_box(c, *lay["monitor"], lay["bevel"])
    sx0, sy0, sx1, sy1 = lay["screen"]
    if lay["screen_frame"]:
        c.frame(sx0 - 1, sy0 - 1, sx1 + 1, sy1 + 1, shade(c, GREY, (88, 84, 76)))

    def screen(x, y):
        # Deep blue, brighter towards the top left corner.
        corner = (x - sx0) + (y - sy0)
        if not c.deep:
            return BLUE if corner < lay["glare"] else NAVY
        return mix((70, 130, 226), (14, 30, 112), corner / ((sx1 - sx0) + (sy1 - sy0)))

    c.rect(sx0, sy0, sx1, sy1, screen)
    lx, ly = lay["monitor_led"]
    c.put(lx, ly, shade(c, LIME, (40, 214, 72)))


def draw_disc(c, lay):
    """A compact disc seen from the front: silver with a rainbow sheen, a clear hub and a hole."""
    cx, cy = lay["disc_centre"]
    radius, hub, hole = lay["disc_radius"], lay["disc_hub"], lay["disc_hole"]

    def distance(x, y):
        return math.hypot(x + 0.5 - cx, y + 0.5 - cy)

    def on_disc(x, y):
        return hole <= distance(x, y) <= radius

    def edge(x, y, inside):
        # Inside, next to a pixel that is not: outlines stay one pixel wide and closed.
        return inside(x, y) and not all(inside(x + dx, y + dy)
                                        for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)))

    for y in range(c.size):
        for x in range(c.size):
            if distance(x, y) < hole:
                c.put(x, y, None)  # see-through: at this size nothing else reads as a hole
                continue
            if not on_disc(x, y):
                continue
            d = distance(x, y)
            if edge(x, y, on_disc):
                colour = shade(c, GREY, (96, 98, 110))
            elif lay["hub_ring"] and edge(x, y, lambda u, v: distance(u, v) < hub):
                colour = shade(c, SILVER, (170, 174, 184))
            elif d < hub:
                colour = shade(c, WHITE, (238, 241, 245))
            else:
                dx, dy = x + 0.5 - cx, y + 0.5 - cy
                colour = disc_surface(c, math.atan2(-dy, dx), (d - hub) / (radius - hub))
            c.put(x, y, colour)


def disc_surface(c, angle, r):
    """The recorded area; angle in radians (counter-clockwise from the right), r from 0 to 1."""
    # The light falls from the upper right: the sheen sits on the diagonal and its opposite.
    a = math.degrees(angle) % 180.0
    if not c.deep:
        if 26 <= a < 42:
            return AQUA
        if 42 <= a < 60:
            return WHITE
        if 60 <= a < 76:
            return YELLOW if r > 0.25 else WHITE
        return SILVER
    silver = mix((222, 224, 230), (184, 188, 198), r)
    hue = ((a - 20) / 70.0) % 1.0
    strength = max(0.0, 1.0 - abs(a - 53) / 26.0) * 0.75
    strength = max(strength, max(0.0, 1.0 - abs(a - 124) / 14.0) * 0.45)
    return mix(silver, hsv(hue * 0.85, 0.9, 1.0), strength)


def hsv(h, s, v):
    i = int(h * 6) % 6
    f = h * 6 - int(h * 6)
    p, q, t = v * (1 - s), v * (1 - s * f), v * (1 - s * (1 - f))
    r, g, b = [(v, t, p), (q, v, p), (p, v, t), (p, q, v), (t, p, v), (v, p, q)][i]
    return (round(r * 255), round(g * 255), round(b * 255))


# ---- The two layouts: drawn for each size, not scaled. Boxes are (x0, y0, x1, y1), inclusive;
# "glare" is how far the lit corner of the 16-colour screen reaches.

LAYOUTS = {
    32: {
        "monitor": (12, 1, 31, 19), "screen": (15, 4, 28, 14), "screen_frame": True,
        "glare": 4, "bevel": True, "monitor_led": (28, 17), "neck": (19, 20, 24, 21),
        "base": (15, 22, 28, 25),
        "tower": (1, 5, 11, 30), "bays": [(3, 8, 9, 10), (3, 12, 9, 14), (4, 17, 8, 18)],
        "tower_led": (3, 27),
        "disc_centre": (17.0, 24.0), "disc_radius": 8.0, "disc_hub": 3.6, "disc_hole": 1.2,
        "hub_ring": True,
    },
    16: {
        "monitor": (6, 0, 15, 9), "screen": (8, 2, 13, 6), "screen_frame": False,
        "glare": 0, "bevel": False, "monitor_led": (13, 8), "neck": (10, 10, 11, 10),
        "base": (8, 11, 14, 13),
        "tower": (0, 2, 5, 15), "bays": [(2, 4, 4, 5), (2, 7, 4, 8)],
        "tower_led": (1, 13),
        "disc_centre": (9.0, 12.0), "disc_radius": 4.1, "disc_hub": 2.1, "disc_hole": 0.8,
        "hub_ring": False,
    },
}


def draw(size, deep):
    c = Canvas(size, deep)
    lay = LAYOUTS[size]
    draw_monitor(c, lay)
    draw_tower(c, lay)
    draw_disc(c, lay)
    return c


# ---- The icon file.

def dib(canvas, bits):
    size = canvas.size
    if bits == 4:
        palette = VGA
        index = lambda colour: colour
    else:
        # Transparent pixels are drawn by XOR over the screen, so they must hold black: entry 0.
        used = [(0, 0, 0)] + sorted({p for row in canvas.pixels for p in row} - {None, (0, 0, 0)})
        if len(used) > 256:
            raise SystemExit(f"{size}x{size}: {len(used)} colours do not fit in 256")
        palette = used + [(0, 0, 0)] * (256 - len(used))
        lookup = {colour: i for i, colour in enumerate(used)}
        index = lambda colour: lookup[colour]
    colours = 1 << bits

    def row_bytes(values, per_byte):
        out = bytearray()
        for i in range(0, len(values), per_byte):
            chunk = values[i:i + per_byte] + [0] * (per_byte - len(values[i:i + per_byte]))
            byte = 0
            for v in chunk:
                byte = (byte << (8 // per_byte)) | v
            out.append(byte)
        return bytes(out) + b"\0" * (-len(out) % 4)  # rows end on a 4-byte boundary

    colour_rows, mask_rows = [], []
    for row in reversed(canvas.pixels):  # bottom-up
        colour_rows.append(row_bytes([0 if p is None else index(p) for p in row], 8 // bits))
        mask_rows.append(row_bytes([1 if p is None else 0 for p in row], 8))
    image = b"".join(colour_rows) + b"".join(mask_rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, bits, 0, len(image), 0, 0, 0, 0)
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette[:colours])
    return header + table + image


def icon_file(images):
    """images: (size, bits, dib bytes) in directory order."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = len(out) + 16 * len(images)
    for size, bits, data in images:
        colour_count = 16 if bits == 4 else 0
        out += struct.pack("<BBBBHHII", size, size, colour_count, 0, 1, bits, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, _, data in images)


def main():
    if len(sys.argv) != 2:
        raise SystemExit("usage: draw_icon.py OUTPUT.ico")
    images = []
    for size in (32, 16):
        for bits in (4, 8):
            images.append((size, bits, dib(draw(size, bits == 8), bits)))
    with open(sys.argv[1], "wb") as f:
        f.write(icon_file(images))


if __name__ == "__main__":
    main()
