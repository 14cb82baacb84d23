#!/usr/bin/env python3
"""Draws the plug-in's status icons and writes them as .ico files.

Each icon is a coloured disc with a white glyph, described below as shapes
in a 0..1 square, so it can be redrawn at any size:

    ok.ico        (group 101)  green disc, check mark       -- all is well
    problem.ico   (group 102)  amber disc, exclamation mark -- a problem
    critical.ico  (group 103)  red disc, cross              -- critical

Usage: make_icons.py OUTPUT_FOLDER
"""
import math
import struct
import sys

ICONS = {
    "ok.ico": {
        "disc": (46, 160, 67),
        "glyph": [("line", (0.28, 0.52), (0.44, 0.68), 0.11), ("line", (0.44, 0.68), (0.73, 0.34), 0.11)],
        "images": [(32, 8), (16, 8), (32, 32), (16, 32)],
    },
    "problem.ico": {
        "disc": (230, 150, 20),
        "glyph": [("line", (0.5, 0.22), (0.5, 0.58), 0.13), ("dot", (0.5, 0.77), 0.075)],
        "images": [(s, b) for b in (4, 1, 8, 32) for s in (48, 32, 16)],
    },
    "critical.ico": {
        "disc": (200, 30, 30),
        "glyph": [("line", (0.32, 0.32), (0.68, 0.68), 0.12), ("line", (0.68, 0.32), (0.32, 0.68), 0.12)],
        "images": [(s, b) for b in (8, 32) for s in (48, 32, 16)],
    },
}

WHITE = (255, 255, 255)
SUPERSAMPLE = 4

# The standard 16-colour palette.
VGA16 = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
         (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
         (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def segment_distance(p, a, b):
    (px, py), (ax, ay), (bx, by) = p, a, b
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def in_glyph(p, glyph):
    for shape in glyph:
        if shape[0] == "line" and segment_distance(p, shape[1], shape[2]) <= shape[3] / 2:
            return True
        if shape[0] == "dot" and math.hypot(p[0] - shape[1][0], p[1] - shape[1][1]) <= shape[2]:
            return True
    return False


def render(icon, size):
    """RGBA pixels, top row first, and beside them how much of each pixel
    the glyph covers (0..1)."""
    pixels, cover = [], []
    for y in range(size):
        row, cover_row = [], []
        for x in range(size):
            disc = glyph = 0
            for sy in range(SUPERSAMPLE):
                for sx in range(SUPERSAMPLE):
                    p = ((x + (sx + 0.5) / SUPERSAMPLE) / size, (y + (sy + 0.5) / SUPERSAMPLE) / size)
                    if math.hypot(p[0] - 0.5, p[1] - 0.5) <= 0.47:
                        disc += 1
                        glyph += in_glyph(p, icon["glyph"])
            samples = SUPERSAMPLE * SUPERSAMPLE
            if disc == 0:
                row.append((0, 0, 0, 0))
                cover_row.append(0.0)
                continue
            w = glyph / disc
            rgb = tuple(round(c * (1 - w) + 255 * w) for c in icon["disc"])
            row.append(rgb + (round(255 * disc / samples),))
            cover_row.append(w)
        pixels.append(row)
        cover.append(cover_row)
    return pixels, cover


def nearest(color, palette):
    return min(range(len(palette)), key=lambda i: sum((a - b) ** 2 for a, b in zip(color, palette[i])))


def palette_for(icon, bits):
    if bits == 1:
        return [(0, 0, 0), (255, 255, 255)]
    if bits == 4:
        return VGA16
    # 256 colours: blends from the disc colour to white, then black.
    ramp = [tuple(round(c * (1 - i / 254) + 255 * i / 254) for c in icon["disc"]) for i in range(255)]
    return [(0, 0, 0)] + ramp


def pack_rows(rows, bits):
    """Bottom-up rows of bit-packed values, each padded to 4 bytes."""
    out = bytearray()
    for row in reversed(rows):
        line = bytearray()
        acc, count = 0, 0
        for value in row:
            acc = (acc << bits) | value
            count += bits
            if count == 8:
                line.append(acc)
                acc, count = 0, 0
        if count:
            line.append(acc << (8 - count))
        while len(line) % 4:
            line.append(0)
        out += line
    return bytes(out)


def two_tone(icon, palette):
    """The disc's and the glyph's palette indices for formats too poor to
    blend: the nearest colours, but never one index for both, or the mark
    would vanish (on two colours the disc turns black under its white
    glyph)."""
    disc, glyph = nearest(icon["disc"], palette), nearest(WHITE, palette)
    if disc == glyph:
        disc = max(range(len(palette)), key=lambda i: sum((a - b) ** 2 for a, b in zip(WHITE, palette[i])))
    return disc, glyph


def image_data(icon, size, bits):
    pixels, cover = render(icon, size)
    mask = [[1 if p[3] < 128 else 0 for p in row] for row in pixels]
    if bits == 32:
        xor = bytearray()
        for row in reversed(pixels):
            for r, g, b, a in row:
                xor += bytes((b, g, r, a))
        colours = b""
    else:
        palette = palette_for(icon, bits)
        if bits < 8:
            disc, glyph = two_tone(icon, palette)
            indices = [[0 if p[3] < 128 else glyph if w >= 0.5 else disc for p, w in zip(row, cover_row)]
                       for row, cover_row in zip(pixels, cover)]
        else:
            indices = [[0 if p[3] < 128 else nearest(p[:3], palette) for p in row] for row in pixels]
        xor = pack_rows(indices, bits)
        colours = b"".join(bytes((b, g, r, 0)) for r, g, b in palette) + b"\0" * 4 * ((1 << bits) - len(palette))
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, 0, 0, 0, 0, 0)
    return header + colours + bytes(xor) + pack_rows(mask, 1)


def write_icon(path, icon):
    images = [(size, bits, image_data(icon, size, bits)) for size, bits in icon["images"]]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, bits, data in images:
        colours = (1 << bits) if bits < 8 else 0
        out += struct.pack("<BBBBHHII", size, size, colours, 0, 1, bits, len(data), offset)
        offset += len(data)
    for _, _, data in images:
        out += data
    with open(path, "wb") as f:
        f.write(out)


def main():
    folder = sys.argv[1]
    for name, icon in ICONS.items():
        write_icon(f"{folder}/{name}", icon)


if __name__ == "__main__":
    main()
