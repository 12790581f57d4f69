#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Draws the window's four pictures as 16-colour XPM files, 32x32 and 16x16.

Each picture is a stack of filled shapes in a 32-unit design space; a pixel
takes the colour of the topmost shape that covers its centre. At 16x16 a
one-unit line would vanish, so the small images use coarser details, and the
small link picture is placed pixel by pixel.

It also writes the link picture as the desktop icons (PNG) and as the Windows
icon of the executable, so that every copy shows the same pixels.

    python3 resources/draw_pictures.py           regenerate everything
    python3 resources/draw_pictures.py --check   fail if a committed copy is stale
"""

import argparse
import os
import struct
import sys
import zlib

# The standard 16-colour VGA palette, plus the transparent colour. Every file
# declares all of them so that each image stays within that palette.
PALETTE = [
    (".", "None"),
    ("k", "#000000"),  # black
    ("r", "#800000"),  # dark red
    ("g", "#008000"),  # dark green
    ("y", "#808000"),  # dark olive
    ("b", "#000080"),  # dark blue
    ("m", "#800080"),  # dark magenta
    ("c", "#008080"),  # dark cyan
    ("s", "#C0C0C0"),  # light grey
    ("d", "#808080"),  # dark grey
    ("R", "#FF0000"),  # red
    ("G", "#00FF00"),  # green
    ("Y", "#FFFF00"),  # yellow
    ("B", "#0000FF"),  # blue
    ("M", "#FF00FF"),  # magenta
    ("C", "#00FFFF"),  # cyan
    ("w", "#FFFFFF"),  # white
]
CODES = {code for code, _ in PALETTE}


# --- shapes: predicates over a point in design units --------------------------

def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x < x1 and y0 <= y < y1


def rounded_rect(x0, y0, x1, y1, radius):
    def inside(x, y):
        if not (x0 <= x < x1 and y0 <= y < y1):
            return False
        cx = min(max(x, x0 + radius), x1 - radius)
        cy = min(max(y, y0 + radius), y1 - radius)
        return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2
    return inside


def disc(cx, cy, radius):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def ellipse(cx, cy, rx, ry):
    return lambda x, y: ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1.0


def segment(x0, y0, x1, y1, width):
    """A straight stroke with round caps."""
    dx, dy = x1 - x0, y1 - y0
    length2 = dx * dx + dy * dy

    def inside(x, y):
        t = 0.0 if length2 == 0 else ((x - x0) * dx + (y - y0) * dy) / length2
        t = min(max(t, 0.0), 1.0)
        px, py = x0 + t * dx, y0 + t * dy
        return (x - px) ** 2 + (y - py) ** 2 <= (width / 2) ** 2
    return inside


def polyline(points, width):
    parts = [segment(*a, *b, width) for a, b in zip(points, points[1:])]
    return lambda x, y: any(p(x, y) for p in parts)


def either(*shapes):
    return lambda x, y: any(s(x, y) for s in shapes)


def point(px, py, unit):
    """Exactly the one pixel whose cell contains design point (px, py)."""
    return lambda x, y: abs(x - px) < unit / 2 and abs(y - py) < unit / 2


# --- rasterising ---------------------------------------------------------------

def render(layers, size):
    unit = 32 / size
    rows = []
    for j in range(size):
        row = []
        for i in range(size):
            x, y = (i + 0.5) * unit, (j + 0.5) * unit
            code = "."
            for shape, colour in layers:
                if shape(x, y):
                    code = colour
            row.append(code)
        rows.append("".join(row))
    return rows


def xpm_text(name, rows):
    size = len(rows)
    assert all(len(r) == size for r in rows)
    assert set("".join(rows)) <= CODES
    lines = ["/* XPM */", f"static const char *const {name}_xpm[] = {{",
             f'"{size} {size} {len(PALETTE)} 1",']
    lines += [f'"{code} c {value}",' for code, value in PALETTE]
    lines += [f'"{r}",' for r in rows[:-1]] + [f'"{rows[-1]}"', "};"]
    return "\n".join(lines) + "\n"


# --- the pictures ----------------------------------------------------------------

def pixels(c0, r0, c1, r1, size):
    """The block of pixels from column c0, row r0 to c1, r1 (inclusive)."""
    u = 32 / size
    return rect(c0 * u, r0 * u, (c1 + 1) * u, (r1 + 1) * u)


def link(size):
    """Two connector housings, upper left and lower right, whose cable runs
    through a small cylinder in the middle."""
    if size < 32:
        return link_small(size)
    layers = []

    def housing(x0, y0, x1, y1, pins_left):
        # Short pins stick out of the side facing away from the cable.
        for py in (y0 + 2, y0 + 4, y0 + 6):
            px = x0 - 3 if pins_left else x1
            layers.append((rect(px, py, px + 3, py + 1), "d"))
        layers.append((rect(x0, y0, x1, y1), "k"))
        layers.append((rect(x0 + 1, y0 + 1, x1 - 1, y1 - 1), "s"))
        # Lit from the upper left: bright top and left, shaded bottom and right.
        layers.append((rect(x0 + 1, y0 + 1, x1 - 1, y0 + 2), "w"))
        layers.append((rect(x0 + 1, y0 + 1, x0 + 2, y1 - 1), "w"))
        layers.append((rect(x0 + 1, y1 - 2, x1 - 1, y1 - 1), "d"))
        layers.append((rect(x1 - 2, y0 + 2, x1 - 1, y1 - 1), "d"))

    # The cable leaves the upper housing to the right, runs down through the
    # cylinder and enters the lower housing from the left.
    path = [(12, 7.5), (16, 7.5), (16, 24.5), (20, 24.5)]
    layers.append((polyline(path, 4), "k"))
    layers.append((polyline(path, 2), "d"))
    housing(4, 3, 12, 12, pins_left=True)
    housing(20, 20, 28, 29, pins_left=False)

    # The cylinder, upright on the cable, lit from the left.
    cx, top, bottom, r = 16, 13, 19, 3
    outline = either(rect(cx - r - 1, top, cx + r + 1, bottom),
                     ellipse(cx, top, r + 1, 2.2), ellipse(cx, bottom, r + 1, 2.2))
    layers.append((outline, "k"))
    layers.append((either(rect(cx - r, top, cx + r, bottom), ellipse(cx, bottom, r, 1.4)), "s"))
    layers.append((rect(cx - r, top, cx - r + 1, bottom + 1), "w"))
    layers.append((rect(cx + r - 1, top, cx + r, bottom + 1), "d"))
    layers.append((ellipse(cx, top, r, 1.4), "w"))
    layers.append((rect(cx - 1, top - 1, cx + 1, top + 1), "d"))  # the cable's end in the bore
    return layers


def link_small(size):
    p = lambda c0, r0, c1, r1: pixels(c0, r0, c1, r1, size)  # noqa: E731
    layers = [
        # pins
        (either(p(0, 2, 0, 2), p(0, 4, 0, 4), p(15, 11, 15, 11), p(15, 13, 15, 13)), "d"),
        # cable
        (either(p(6, 3, 7, 3), p(7, 3, 7, 12), p(7, 12, 9, 12)), "k"),
    ]
    for c, r in ((1, 1), (10, 10)):
        layers += [
            (p(c, r, c + 4, r + 4), "k"),
            (p(c + 1, r + 1, c + 3, r + 3), "s"),
            (p(c + 1, r + 1, c + 3, r + 1), "w"),
            (p(c + 3, r + 2, c + 3, r + 3), "d"),
        ]
    layers += [
        (either(p(6, 6, 8, 10), p(5, 7, 9, 9)), "k"),
        (p(6, 7, 6, 9), "w"),
        (p(7, 7, 7, 9), "s"),
        (p(8, 7, 8, 9), "d"),
    ]
    return layers


def traffic_light(size, top, middle, bottom, sparkle):
    u = 32 / size
    layers = []
    if size >= 32:
        layers.append((rounded_rect(9, 1, 23, 31, 3), "k"))
        cx, centres, r, ring = 16, [7, 16, 25], 3.6, 1.2
    else:
        # Four-pixel lamps, a 2x2 light in a ring with its corners cut, so
        # that a black row still parts them.
        layers.append((rounded_rect(8, 0, 24, 32, 2), "k"))
        cx, centres, r, ring = 16, [6, 16, 26], 2.0, 1.8
    for cy, colour in zip(centres, [top, middle, bottom]):
        layers.append((disc(cx, cy, r + ring), "d"))
        layers.append((disc(cx, cy, r), colour))
    if sparkle:
        # Single-pixel glints, given as pixel indices of each size.
        if size >= 32:
            dots = [(13, 22), (17, 23), (15, 25), (18, 26), (14, 27)]
        else:
            dots = [(7, 12)]
        for i, j in dots:
            layers.append((point((i + 0.5) * u, (j + 0.5) * u, u), "Y"))
    return layers


def open_light(size):
    return traffic_light(size, "r", "y", "G", sparkle=True)


def closed_light(size):
    return traffic_light(size, "R", "y", "g", sparkle=False)


def end(size):
    layers = []
    cx, cy, r = 15, 15, 13
    shadow = 2 if size >= 32 else 2.5
    layers.append((disc(cx + shadow, cy + shadow, r), "d"))
    layers.append((disc(cx, cy, r), "r"))
    rim = 2 if size >= 32 else 2.2
    layers.append((disc(cx, cy, r - rim), "R"))
    arm = 6 if size >= 32 else 5.5
    width = 3.4 if size >= 32 else 3.0
    cross = either(segment(cx - arm, cy - arm, cx + arm, cy + arm, width),
                   segment(cx + arm, cy - arm, cx - arm, cy + arm, width))
    layers.append((cross, "w"))
    return layers


PICTURES = {
    "link": link,
    "open": open_light,
    "closed": closed_light,
    "end": end,
}
SIZES = (32, 16)
APP_ID = "io.github.scnferry.ScnFerry"


# --- other formats of the link picture: desktop icons and the Windows icon ------

def rgba(code):
    value = dict(PALETTE)[code]
    if value == "None":
        return (0, 0, 0, 0)
    return (int(value[1:3], 16), int(value[3:5], 16), int(value[5:7], 16), 255)


def png_scanlines(rows):
    # Filter type 0 on every line keeps the data easy to compare.
    return b"".join(b"\0" + bytes(c for code in r for c in rgba(code)) for r in rows)


def png_bytes(rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
    size = len(rows)
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(png_scanlines(rows), 9)) + chunk(b"IEND", b""))


def png_pixels(data):
    """Header and raw scanlines of a PNG written by png_bytes, for comparing
    pictures without depending on zlib's exact output."""
    pos, header, idat = 8, b"", b""
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        kind, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + length]
        header = body if kind == b"IHDR" else header
        idat += body if kind == b"IDAT" else b""
        pos += 12 + length
    return header, zlib.decompress(idat)


def ico_bytes(images):
    """A Windows icon with one 4-bit image per size and a transparency mask."""
    index = {code: i for i, (code, _) in enumerate(PALETTE[1:])}
    palette = b"".join(bytes((b, g, r, 0)) for r, g, b, _ in (rgba(c) for c, _ in PALETTE[1:]))
    blobs = []
    for rows in images:
        size = len(rows)
        colour, mask = b"", b""
        for r in reversed(rows):  # bottom-up, like every DIB
            nibbles = [index.get(code, 0) for code in r]
            line = bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, size, 2))
            colour += line + b"\0" * (-len(line) % 4)
            bits = 0
            for code in r:
                bits = (bits << 1) | (code == ".")
            line = bits.to_bytes(size // 8, "big")
            mask += line + b"\0" * (-len(line) % 4)
        info = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 4, 0,
                           len(colour) + len(mask), 0, 0, 16, 0)
        blobs.append((size, info + palette + colour + mask))
    out = struct.pack("<HHH", 0, 1, len(blobs))
    offset = 6 + 16 * len(blobs)
    for size, blob in blobs:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 16, 0, 1, 4, len(blob), offset)
        offset += len(blob)
    return out + b"".join(blob for _, blob in blobs)


def outputs():
    """Every generated file: its path below the project root and its bytes."""
    images = {(name, size): render(draw(size), size)
              for name, draw in PICTURES.items() for size in SIZES}
    files = {}
    for (name, size), rows in images.items():
        files[f"resources/{name}{size}.xpm"] = xpm_text(f"{name}{size}", rows).encode("ascii")
    for size in SIZES:
        path = f"dist/icons/hicolor/{size}x{size}/apps/{APP_ID}.png"
        files[path] = png_bytes(images[("link", size)])
    files["resources/scnferry.ico"] = ico_bytes([images[("link", s)] for s in SIZES])
    return files


def same(path, expected, actual):
    if path.endswith(".png"):
        try:
            return png_pixels(expected) == png_pixels(actual)
        except (zlib.error, struct.error):
            return False
    return expected == actual


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                        help="project root to write into (default: this project)")
    parser.add_argument("--check", action="store_true",
                        help="write nothing; fail when a file under the root differs")
    args = parser.parse_args(argv[1:])
    stale = []
    for rel, data in outputs().items():
        path = os.path.join(args.root, rel)
        if args.check:
            try:
                with open(path, "rb") as f:
                    current = f.read()
            except OSError:
                current = None
            if current is None or not same(rel, data, current):
                stale.append(rel)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    for rel in stale:
        print(f"out of date: {rel} (run {os.path.basename(argv[0])})", file=sys.stderr)
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
