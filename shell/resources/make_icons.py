#!/usr/bin/python3
"""Draws the two program icons and writes them as 16-colour .ico files
(32x32 and 16x16 images each): make_icons.py OUTPUT_DIRECTORY.

Server: a serial connector on a dark plate. Client: a small monitor."""

import struct
import sys
from pathlib import Path

# The 16 standard colours, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, OLIVE, NAVY, TEAL, SILVER, GREY = 0, 3, 4, 6, 7, 8
LIME, YELLOW, AQUA, WHITE = 10, 11, 14, 15


def inside(x, y, left, top, right, bottom):
    return left <= x < right and top <= y < bottom


def on_edge(x, y, left, top, right, bottom, width=1.0):
    return inside(x, y, left, top, right, bottom) and not inside(
        x, y, left + width, top + width, right - width, bottom - width)


def server(x, y, pixel):
    """A nine-pin connector (five over four) on a navy plate; None is clear.
    `pixel` is the size of one pixel in the 32-unit drawing space."""
    if not inside(x, y, 2, 4, 30, 28):
        return None
    if on_edge(x, y, 2, 4, 30, 28, pixel):
        return BLACK
    if inside(x, y, 24, 6, 28, 8):
        return LIME  # the power light
    # The connector's D shape: wider at the top than at the bottom.
    top, bottom = 8.0, 22.0
    if not top <= y < bottom:
        return NAVY
    slant = (y - top) / (bottom - top) * 4
    left, right = 5.0 + slant, 27.0 - slant
    if not left <= x < right:
        return NAVY
    if pixel > 1:
        rows = ((13.0, (9, 13, 17, 21, 25)), (19.0, (11, 15, 19, 23)))
    else:
        rows = ((12.0, (10, 13, 16, 19, 22)), (17.0, (11, 14, 17, 20)))
    for row_y, row_x in rows:
        if abs(y - row_y) < pixel and any(abs(x - px) < pixel for px in row_x):
            return BLACK
    if x < left + pixel or x >= right - pixel or y < top + pixel or y >= bottom - pixel:
        return OLIVE
    return YELLOW


def client(x, y, pixel):
    """A monitor with a prompt on its screen, on a stand; None is clear."""
    if inside(x, y, 2, 2, 30, 22):
        if on_edge(x, y, 2, 2, 30, 22, pixel):
            return BLACK
        if inside(x, y, 6, 6, 26, 18):
            if inside(x, y, 8, 8, 18, 10) or inside(x, y, 8, 12, 12, 14):
                return AQUA
            if inside(x, y, 14, 12, 16, 14):
                return WHITE  # the cursor
            return TEAL
        return SILVER
    if inside(x, y, 14, 22, 18, 26):
        return GREY
    if inside(x, y, 8, 26, 24, 30):
        return BLACK if on_edge(x, y, 8, 26, 24, 30, pixel) else GREY
    return None


def image(draw, size):
    """BITMAPINFOHEADER, palette, 4-bit colour rows and the 1-bit mask."""
    scale = 32 / size
    rows = []
    for row in range(size):
        # Sample each pixel at its centre in the 32-unit drawing space.
        rows.append([draw((column + 0.5) * scale, (row + 0.5) * scale, scale) for column in range(size)])
    colour_stride = (size // 2 + 3) & ~3
    mask_stride = ((size + 7) // 8 + 3) & ~3
    colours = bytearray()
    mask = bytearray()
    for pixels in reversed(rows):  # bottom-up
        line = bytearray(colour_stride)
        bits = bytearray(mask_stride)
        for column, colour in enumerate(pixels):
            value = 0 if colour is None else colour
            line[column // 2] |= value << (0 if column % 2 else 4)
            if colour is None:
                bits[column // 8] |= 0x80 >> (column % 8)
        colours += line
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, len(colours) + len(mask), 0, 0, 16, 0)
    palette = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + bytes(colours) + bytes(mask)


def icon_file(draw):
    images = [image(draw, 32), image(draw, 16)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip((32, 16), images):
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


def main():
    directory = Path(sys.argv[1])
    directory.mkdir(parents=True, exist_ok=True)
    (directory / "server.ico").write_bytes(icon_file(server))
    (directory / "client.ico").write_bytes(icon_file(client))


if __name__ == "__main__":
    main()
