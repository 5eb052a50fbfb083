#!/usr/bin/env python3
"""Draws the program's pictures into resources/pictures (python3 standard library only).

    scripts/make-pictures.py [output folder] [icon folder]

main_background.png  572 x 284  light grey gradient, STATUS: and FILE: captions, brand mark
                                top right, TALVEK wordmark along the bottom
dialog_background.png 400 x 200 the same gradient, no text
button_dark.png      100 x 44   dark rounded plate (normal)
button_light.png     100 x 44   light rounded plate (mouse over)
button_pressed.png   100 x 44   the light plate drawn 2 pixels lower (pressed)

and the desktop icon into resources/icons (or the second folder given):

talvek-update-tool.png 256 x 256 the brand mark on a rounded tile, for menus and launchers
talvek-update-tool-N.png N x N  the same tile drawn at each smaller usual desktop icon size
talvek-update-tool.ico           the Windows icon: the 16, 24, 32, 48, 64 and 256 tiles as PNG

The output is byte-for-byte reproducible.
"""

import math
import os
import struct
import sys
import zlib

# ----------------------------------------------------------------------------------------------
# PNG


def write_png(path, width, height, pixels, alpha):
    """pixels: list of rows, each a list of (r, g, b, a) tuples of floats 0..255."""
    raw = bytearray()
    for row in pixels:
        raw.append(0)  # filter: none
        for r, g, b, a in row:
            raw.extend((clamp8(r), clamp8(g), clamp8(b)))
            if alpha:
                raw.append(clamp8(a))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, 6 if alpha else 2, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", header))
        f.write(chunk(b"IDAT", zlib.compress(bytes(raw), 9)))
        f.write(chunk(b"IEND", b""))


def clamp8(v):
    return max(0, min(255, int(round(v))))


# ----------------------------------------------------------------------------------------------
# Canvas with coverage-based anti-aliased drawing


class Canvas:
    def __init__(self, width, height, fill=(0, 0, 0, 0)):
        self.width = width
        self.height = height
        self.px = [[fill for _ in range(width)] for _ in range(height)]

    def blend(self, x, y, colour, coverage):
        if coverage <= 0 or not (0 <= x < self.width and 0 <= y < self.height):
            return
        r, g, b, a = colour
        sa = (a / 255.0) * min(1.0, coverage)
        dr, dg, db, da = self.px[y][x]
        da /= 255.0
        oa = sa + da * (1 - sa)
        if oa <= 0:
            self.px[y][x] = (0, 0, 0, 0)
            return
        mix = lambda s, d: (s * sa + d * da * (1 - sa)) / oa
        self.px[y][x] = (mix(r, dr), mix(g, dg), mix(b, db), oa * 255.0)

    def shape(self, x0, y0, x1, y1, distance, colour):
        """Fills where the signed distance at the pixel centre is below 0, anti-aliased."""
        for y in range(max(0, int(y0) - 1), min(self.height, int(math.ceil(y1)) + 2)):
            for x in range(max(0, int(x0) - 1), min(self.width, int(math.ceil(x1)) + 2)):
                d = distance(x + 0.5, y + 0.5)
                self.blend(x, y, colour, 0.5 - d)

    def strokes(self, polylines, width, colour):
        """Round-capped strokes of the given width along the polylines."""
        segments = []
        for line in polylines:
            segments.extend(zip(line, line[1:]))
        if not segments:
            return
        xs = [p[0] for s in segments for p in s]
        ys = [p[1] for s in segments for p in s]
        half = width / 2.0

        def distance(px, py):
            return min(segment_distance(px, py, a, b) for a, b in segments) - half

        self.shape(min(xs) - half, min(ys) - half, max(xs) + half, max(ys) + half, distance, colour)


def segment_distance(px, py, a, b):
    ax, ay = a
    bx, by = b
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy
    t = 0.0 if length2 == 0 else max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / length2))
    cx, cy = ax + t * dx, ay + t * dy
    return math.hypot(px - cx, py - cy)


def rounded_box_distance(cx, cy, half_w, half_h, radius):
    def distance(px, py):
        qx = abs(px - cx) - (half_w - radius)
        qy = abs(py - cy) - (half_h - radius)
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0) - radius

    return distance


# ----------------------------------------------------------------------------------------------
# A small geometric stroke alphabet: the letters the pictures need, in a box of width w and
# height 1 (y grows downwards). Curves are sampled arcs.


def arc(cx, cy, rx, ry, start_deg, end_deg, steps=14):
    pts = []
    for i in range(steps + 1):
        t = math.radians(start_deg + (end_deg - start_deg) * i / steps)
        pts.append((cx + rx * math.cos(t), cy + ry * math.sin(t)))
    return pts


def glyph_s(w):
    # Upper bowl from its upper right round the left to the middle, lower bowl from the middle
    # round the right to its lower left.
    upper = arc(w / 2, 0.25, w / 2, 0.25, -30, -270, 16)
    lower = arc(w / 2, 0.75, w / 2, 0.25, -90, 150, 16)
    return [upper + lower]


GLYPHS = {
    "A": (0.72, lambda w: [[(0, 1), (w / 2, 0), (w, 1)], [(w * 0.2, 0.64), (w * 0.8, 0.64)]]),
    "E": (0.56, lambda w: [[(w, 0), (0, 0), (0, 1), (w, 1)], [(0, 0.5), (w * 0.86, 0.5)]]),
    "F": (0.54, lambda w: [[(w, 0), (0, 0), (0, 1)], [(0, 0.5), (w * 0.86, 0.5)]]),
    "I": (0.0, lambda w: [[(0, 0), (0, 1)]]),
    "K": (0.6, lambda w: [[(0, 0), (0, 1)], [(w, 0), (0, 0.58)], [(w * 0.3, 0.4), (w, 1)]]),
    "L": (0.52, lambda w: [[(0, 0), (0, 1), (w, 1)]]),
    "S": (0.6, glyph_s),
    "T": (0.64, lambda w: [[(0, 0), (w, 0)], [(w / 2, 0), (w / 2, 1)]]),
    "U": (0.62, lambda w: [[(0, 0), (0, 1 - w / 2)] + arc(w / 2, 1 - w / 2, w / 2, w / 2, 180, 0, 14) + [(w, 0)]]),
    "V": (0.7, lambda w: [[(0, 0), (w / 2, 1), (w, 0)]]),
    ":": (0.0, lambda w: [[(0, 0.3), (0, 0.3)], [(0, 0.95), (0, 0.95)]]),
}


def draw_text(canvas, text, x, y, cap_height, stroke, tracking, colour):
    """Draws `text` with its top-left at (x, y); returns the width it took."""
    cursor = x
    for ch in text:
        if ch == " ":
            cursor += cap_height * 0.4 + tracking
            continue
        w, build = GLYPHS[ch]
        lines = [[(cursor + px * cap_height, y + py * cap_height) for px, py in line] for line in build(w)]
        canvas.strokes(lines, stroke, colour)
        cursor += w * cap_height + stroke + tracking
    return cursor - tracking - x


def text_width(text, cap_height, stroke, tracking):
    scratch = Canvas(1, 1)
    return draw_text(scratch, text, 0, -1000, cap_height, stroke, tracking, (0, 0, 0, 0))


# ----------------------------------------------------------------------------------------------
# Pictures

CENTRE = (247, 247, 246)
CORNER = (236, 237, 234)


def gradient(width, height):
    canvas = Canvas(width, height)
    for y in range(height):
        ny = (y + 0.5) / height * 2 - 1
        row = canvas.px[y]
        for x in range(width):
            nx = (x + 0.5) / width * 2 - 1
            t = (nx * nx + ny * ny) / 2
            row[x] = tuple(c + (k - c) * t for c, k in zip(CENTRE, CORNER)) + (255,)
    return canvas


def brand_mark(canvas, cx, cy, s=1.0):
    # A drum head seen from above: a dark disc, a light rim ring and a T cut into the head.
    # `s` scales it (the window's mark is 1).
    slate = (52, 60, 70, 255)
    rim = (236, 238, 240, 255)
    canvas.shape(cx - 13 * s, cy - 13 * s, cx + 13 * s, cy + 13 * s,
                 lambda px, py: math.hypot(px - cx, py - cy) - 12.5 * s, slate)
    canvas.shape(cx - 10 * s, cy - 10 * s, cx + 10 * s, cy + 10 * s,
                 lambda px, py: abs(math.hypot(px - cx, py - cy) - 9.6 * s) - 0.6 * s, rim)
    canvas.strokes([[(cx - 5.0 * s, cy - 4.2 * s), (cx + 5.0 * s, cy - 4.2 * s)],
                    [(cx, cy - 4.2 * s), (cx, cy + 5.6 * s)]], 2.2 * s, rim)


ICON_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
WINDOWS_ICON_SIZES = (16, 24, 32, 48, 64, 256)


def app_icon(size=256):
    # The brand mark on the window's grey, on a rounded tile that reads on dark and light panels.
    # Drawn at each size rather than scaled, so that small icons stay sharp.
    k = size / 256
    canvas = Canvas(size, size)
    tile = rounded_box_distance(size / 2, size / 2, size / 2 - 8 * k, size / 2 - 8 * k, 44 * k)
    back = gradient(size, size)
    for y in range(size):
        for x in range(size):
            canvas.blend(x, y, back.px[y][x], 0.5 - tile(x + 0.5, y + 0.5))
    brand_mark(canvas, size / 2, size / 2, 8.2 * k)
    return canvas


def icon_name(size):
    return "talvek-update-tool.png" if size == 256 else "talvek-update-tool-%d.png" % size


def write_ico(path, pngs):
    """pngs: (size, PNG file bytes) pairs; an ICO may hold PNG images as they are."""
    header = struct.pack("<HHH", 0, 1, len(pngs))
    offset = len(header) + 16 * len(pngs)
    entries, data = b"", b""
    for size, png in pngs:
        side = 0 if size >= 256 else size  # 0 stands for 256
        entries += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(png), offset + len(data))
        data += png
    with open(path, "wb") as f:
        f.write(header + entries + data)


def main_background():
    canvas = gradient(572, 284)
    caption = (72, 78, 86, 255)
    draw_text(canvas, "STATUS:", 24, 55, 10, 1.7, 1.6, caption)
    draw_text(canvas, "FILE:", 24, 110, 10, 1.7, 1.6, caption)

    brand_mark(canvas, 544.5, 27.5)

    word = "TALVEK"
    cap, stroke, tracking = 11, 1.6, 11
    width = text_width(word, cap, stroke, tracking)
    draw_text(canvas, word, (572 - width) / 2, 256, cap, stroke, tracking, (96, 104, 112, 255))
    return canvas


def plate(fill_top, fill_mid, fill_bottom, border, offset, shadow):
    canvas = Canvas(100, 44)
    cx, cy = 50.0, 21.0 + offset
    half_w, half_h, radius = 48.0, 19.0, 8.0
    if shadow:
        canvas.shape(2, 3, 98, 43, rounded_box_distance(cx, cy + 1.5, half_w, half_h, radius), (0, 0, 0, 50))
    outer = rounded_box_distance(cx, cy, half_w, half_h, radius)
    canvas.shape(2, 2, 98, 44, outer, border)
    inner = rounded_box_distance(cx, cy, half_w - 1.2, half_h - 1.2, radius - 1.2)
    top, bottom = cy - half_h, cy + half_h
    for y in range(canvas.height):
        t = ((y + 0.5) - top) / (bottom - top)
        if t < 0.5:
            colour = [a + (b - a) * (t / 0.5) for a, b in zip(fill_top, fill_mid)]
        else:
            colour = [a + (b - a) * ((t - 0.5) / 0.5) for a, b in zip(fill_mid, fill_bottom)]
        for x in range(canvas.width):
            canvas.blend(x, y, tuple(colour) + (255,), 0.5 - inner(x + 0.5, y + 0.5))
    return canvas


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "resources", "pictures")
    os.makedirs(out, exist_ok=True)

    pictures = {
        "main_background.png": (main_background(), False),
        "dialog_background.png": (gradient(400, 200), False),
        "button_dark.png": (plate((126, 126, 126), (104, 104, 104), (86, 86, 86), (58, 58, 58, 255), 0, True), True),
        "button_light.png": (plate((214, 214, 214), (197, 197, 197), (178, 178, 178), (128, 128, 128, 255), 0, True), True),
        "button_pressed.png": (plate((206, 206, 206), (197, 197, 197), (184, 184, 184), (120, 120, 120, 255), 2, False), True),
    }
    for name, (canvas, alpha) in pictures.items():
        write_png(os.path.join(out, name), canvas.width, canvas.height, canvas.px, alpha)
        print(name, canvas.width, "x", canvas.height)

    # Not compiled into the program: installed beside it for the desktop.
    icons = sys.argv[2] if len(sys.argv) > 2 else os.path.join(root, "resources", "icons")
    os.makedirs(icons, exist_ok=True)
    icon = app_icon()
    write_png(os.path.join(icons, "talvek-update-tool.png"), icon.width, icon.height, icon.px, True)
    print("talvek-update-tool.png", icon.width, "x", icon.height)
    for size in ICON_SIZES[:-1]:
        icon = app_icon(size)
        write_png(os.path.join(icons, icon_name(size)), size, size, icon.px, True)
        print(icon_name(size), size, "x", size)
    pngs = []
    for size in WINDOWS_ICON_SIZES:
        with open(os.path.join(icons, icon_name(size)), "rb") as f:
            pngs.append((size, f.read()))
    write_ico(os.path.join(icons, "talvek-update-tool.ico"), pngs)
    print("talvek-update-tool.ico", ", ".join(str(s) for s, _ in pngs))


if __name__ == "__main__":
    main()
