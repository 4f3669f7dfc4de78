#!/usr/bin/env python3
"""Draws the game's built-in images and writes them into game/BuiltInImages.cpp as Base64.

The three cell images are 50 x 50 PNG files (8-bit RGB, not interlaced) with a pHYs chunk
(2835 pixels per metre), a tIME chunk and a tEXt comment; the comment is padded with blanks
so that each file has the exact size the game's file table announces. The icon holds two
32-bit bitmaps, 64 x 64 and 32 x 32, each with a 40-byte header and an AND mask, and is
stored as five Base64 pieces that the game joins in order.

    tools/make_builtin_images.py                 rewrite game/BuiltInImages.cpp
    tools/make_builtin_images.py --images DIR    also write the image files into DIR

Everything is drawn from geometry, so a run gives the same pixels every time; only the
compressed bytes may differ with another zlib, and the padding absorbs that.
"""

import argparse
import base64
import math
import pathlib
import struct
import zlib

CELL_SIZE = 50
CELL_FILE_SIZES = {"leer.png": 197, "kreuz.png": 407, "kreis.png": 385}
ICON_FILE_SIZE = 21238
ICON_PIECES = 5
PIXELS_PER_METRE = 2835
# 2026-01-01 12:00:00 UTC: a fixed time keeps the files reproducible.
TIME_STAMP = (2026, 1, 1, 12, 0, 0)
SUPERSAMPLING = 4
CELL_SUPERSAMPLING = 2
BASE64_LINE = 76

REPO = pathlib.Path(__file__).resolve().parent.parent
OUTPUT = REPO / "game" / "BuiltInImages.cpp"


# ---- geometry -------------------------------------------------------------------------


def segment_distance(px, py, ax, ay, bx, by):
    """Distance from the point to the segment from a to b."""
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = max(0.0, min(1.0, t))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def cross(x, y, left, top, right, bottom, half_width):
    """Inside one of the two diagonal strokes of an X."""
    return (segment_distance(x, y, left, top, right, bottom) <= half_width or
            segment_distance(x, y, left, bottom, right, top) <= half_width)


def ring(x, y, cx, cy, radius, half_width):
    return abs(math.hypot(x - cx, y - cy) - radius) <= half_width


def rounded_square(x, y, size, corner):
    """Inside the square 0..size with rounded corners of the given radius."""
    if not (0 <= x <= size and 0 <= y <= size):
        return False
    nx = min(max(x, corner), size - corner)
    ny = min(max(y, corner), size - corner)
    return math.hypot(x - nx, y - ny) <= corner


# ---- the cell images ------------------------------------------------------------------

def cell_pixels(shape):
    """Black on white, smoothed over 2 x 2 samples: five grey levels soften the edges and
    still compress well enough to keep the files within their sizes."""
    n = CELL_SUPERSAMPLING
    rows = []
    for y in range(CELL_SIZE):
        row = []
        for x in range(CELL_SIZE):
            covered = sum(
                shape(x + (sx + 0.5) / n, y + (sy + 0.5) / n) for sy in range(n) for sx in range(n))
            grey = round(255 * (1 - covered / (n * n)))
            row.append((grey, grey, grey))
        rows.append(row)
    return rows


def empty_cell(x, y):
    return False


def cross_cell(x, y):
    return cross(x, y, 10, 10, 40, 40, 2.6)


def ring_cell(x, y):
    return ring(x, y, 25, 25, 14, 2.6)


def png_chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


def filtered_rows(rows, filter_type):
    """The scanlines with one PNG filter applied to every row."""
    out = bytearray()
    previous = bytes(CELL_SIZE * 3)
    for row in rows:
        raw = bytes(channel for pixel in row for channel in pixel)
        out.append(filter_type)
        for i, value in enumerate(raw):
            left = raw[i - 3] if i >= 3 else 0
            up = previous[i]
            upper_left = previous[i - 3] if i >= 3 else 0
            if filter_type == 0:
                predictor = 0
            elif filter_type == 1:
                predictor = left
            elif filter_type == 2:
                predictor = up
            elif filter_type == 3:
                predictor = (left + up) // 2
            else:
                p = left + up - upper_left
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - upper_left)
                predictor = left if pa <= pb and pa <= pc else (up if pb <= pc else upper_left)
            out.append((value - predictor) & 0xFF)
        previous = raw
    return bytes(out)


def smallest_image_data(rows):
    """The smallest zlib stream over the filters and strategies tried."""
    best = None
    for filter_type in range(5):
        data = filtered_rows(rows, filter_type)
        for strategy in (zlib.Z_DEFAULT_STRATEGY, zlib.Z_FILTERED, zlib.Z_RLE):
            compressor = zlib.compressobj(9, zlib.DEFLATED, 15, 9, strategy)
            packed = compressor.compress(data) + compressor.flush()
            if best is None or len(packed) < len(best):
                best = packed
    return best


def png_file(rows, description, size):
    header = struct.pack(">IIBBBBB", CELL_SIZE, CELL_SIZE, 8, 2, 0, 0, 0)
    physical = struct.pack(">IIB", PIXELS_PER_METRE, PIXELS_PER_METRE, 1)
    time = struct.pack(">HBBBBB", *TIME_STAMP)
    image = smallest_image_data(rows)

    def build(comment):
        return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header) +
                png_chunk(b"pHYs", physical) + png_chunk(b"tIME", time) +
                png_chunk(b"tEXt", b"Comment\0" + comment) + png_chunk(b"IDAT", image) +
                png_chunk(b"IEND", b""))

    comment = description.encode("ascii")
    missing = size - len(build(comment))
    if missing < 0:
        raise SystemExit(f"{description}: {-missing} bytes over {size}; draw less detail")
    result = build(comment + b" " * missing)
    assert len(result) == size
    return result


# ---- the icon -------------------------------------------------------------------------

ICON_BACKGROUND = (0x00, 0x66, 0x99)
ICON_LINES = (0xF0, 0xF0, 0xF0)
ICON_CROSS = (0xFF, 0xFF, 0xFF)
ICON_RING = (0xFF, 0xC8, 0x3C)


def icon_sample(x, y):
    """The colour and opacity of one point of the icon, in units of a 1 x 1 square."""
    if not rounded_square(x, y, 1.0, 0.18):
        return (0, 0, 0), 0.0
    colour = ICON_BACKGROUND
    # A board of three by three cells between 0.08 and 0.92, an X in two corners, an O in
    # the middle.
    line = 0.03
    for edge in (1 / 3, 2 / 3):
        if (abs(x - edge) <= line or abs(y - edge) <= line) and 0.08 <= x <= 0.92 and \
                0.08 <= y <= 0.92:
            colour = ICON_LINES
    for centre in (0.19, 0.81):
        if cross(x, y, centre - 0.075, centre - 0.075, centre + 0.075, centre + 0.075, 0.035):
            colour = ICON_CROSS
    if ring(x, y, 0.5, 0.5, 0.08, 0.032):
        colour = ICON_RING
    return colour, 1.0


def icon_pixels(size):
    """Rows top to bottom of (blue, green, red, alpha), averaged over a grid of samples."""
    rows = []
    n = SUPERSAMPLING
    for y in range(size):
        row = []
        for x in range(size):
            red = green = blue = alpha = 0.0
            for sy in range(n):
                for sx in range(n):
                    colour, opacity = icon_sample((x + (sx + 0.5) / n) / size,
                                                  (y + (sy + 0.5) / n) / size)
                    red += colour[0] * opacity
                    green += colour[1] * opacity
                    blue += colour[2] * opacity
                    alpha += opacity
            if alpha == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((round(blue / alpha), round(green / alpha), round(red / alpha),
                            round(255 * alpha / (n * n))))
        rows.append(row)
    return rows


def icon_bitmap(size):
    """One icon image: BITMAPINFOHEADER, bottom-up BGRA pixels, then the AND mask (a set
    bit marks a fully transparent pixel), each mask row padded to four bytes."""
    rows = icon_pixels(size)
    mask_row_bytes = ((size + 31) // 32) * 4
    pixels = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_row_bytes)
        for x, pixel in enumerate(row):
            pixels += bytes(pixel)
            if pixel[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0,
                         len(pixels) + len(mask), 0, 0, 0, 0)
    return header + bytes(pixels) + bytes(mask)


def icon_file():
    images = [icon_bitmap(64), icon_bitmap(32)]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for image, size in zip(images, (64, 32)):
        directory += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    result = directory + b"".join(images)
    assert len(result) == ICON_FILE_SIZE, len(result)
    return result


# ---- the C++ source -------------------------------------------------------------------


def cpp_literal(text, indent):
    """Adjacent string literals of BASE64_LINE characters each."""
    lines = [text[i:i + BASE64_LINE] for i in range(0, len(text), BASE64_LINE)]
    return "\n".join(f'{indent}"{line}"' for line in lines)


def icon_pieces(data):
    """Base64 of the whole icon cut into pieces at four-character boundaries."""
    text = base64.b64encode(data).decode("ascii")
    groups = len(text) // 4
    per_piece = -(-groups // ICON_PIECES)
    return [text[4 * per_piece * i:4 * per_piece * (i + 1)] for i in range(ICON_PIECES)]


def write_source(cells, icon):
    parts = [
        "// Generated by tools/make_builtin_images.py; change the drawing there and run it again.",
        "",
        '#include "game/BuiltInImages.h"',
        "",
        "namespace kr::builtin {",
        "",
    ]
    names = {"leer.png": "kLeerPng", "kreuz.png": "kKreuzPng", "kreis.png": "kKreisPng"}
    for name, data in cells.items():
        text = base64.b64encode(data).decode("ascii")
        parts.append(f"// {name}: {len(data)} bytes.")
        parts.append(f"const std::string_view {names[name]} =")
        parts.append(cpp_literal(text, "    ") + ";")
        parts.append("")
    parts.append(f"// favicon.ico: {len(icon)} bytes in {ICON_PIECES} pieces.")
    parts.append(f"const std::array<std::string_view, {ICON_PIECES}> kFaviconIcoPieces = {{")
    for piece in icon_pieces(icon):
        parts.append(cpp_literal(piece, "    ") + ",")
    parts.append("};")
    parts.append("")
    parts.append("}  // namespace kr::builtin")
    OUTPUT.write_text("\n".join(parts) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--images", type=pathlib.Path, help="also write the files here")
    arguments = parser.parse_args()

    descriptions = {
        "leer.png": "Gridlo: empty cell",
        "kreuz.png": "Gridlo tic-tac-toe: a cell marked X",
        "kreis.png": "Gridlo tic-tac-toe: a cell marked O",
    }
    shapes = {"leer.png": empty_cell, "kreuz.png": cross_cell, "kreis.png": ring_cell}
    cells = {
        name: png_file(cell_pixels(shapes[name]), descriptions[name], size)
        for name, size in CELL_FILE_SIZES.items()
    }
    icon = icon_file()
    write_source(cells, icon)
    if arguments.images:
        arguments.images.mkdir(parents=True, exist_ok=True)
        for name, data in {**cells, "favicon.ico": icon}.items():
            (arguments.images / name).write_bytes(data)


if __name__ == "__main__":
    main()
