#!/usr/bin/env python3
"""Draws the three 16x16 row icons of the device table and writes them as
.ico files: a small cabinet outline on light grey whose front panel is empty
(grey), filled blue or filled yellow.

    tools/mkicons/mkicons.py [OUTPUT_DIR]     (default: resources/icons)

The output is committed; run this again only to change the artwork."""
import os
import struct
import sys

SIZE = 16
BACKGROUND = (0xC0, 0xC0, 0xC0)
OUTLINE = (0x30, 0x30, 0x30)
BODY = (0xE0, 0xE0, 0xE0)
SHADE = (0x80, 0x80, 0x80)
PANELS = {
    "row_empty.ico": (0xA8, 0xA8, 0xA8),  # 104: not answering
    "row_ready.ico": (0x10, 0x40, 0xE0),  # 103: ready
    "row_no_write.ico": (0xF0, 0xD0, 0x10),  # 116: refuses writes
}


def draw(panel):
    px = [[BACKGROUND] * SIZE for _ in range(SIZE)]
    # Cabinet body with a one-pixel outline, x 3..12, y 1..14.
    for y in range(1, 15):
        for x in range(3, 13):
            edge = x in (3, 12) or y in (1, 14)
            px[y][x] = OUTLINE if edge else BODY
    # Front panel: outlined, x 5..10, y 3..8.
    for y in range(3, 9):
        for x in range(5, 11):
            edge = x in (5, 10) or y in (3, 8)
            px[y][x] = SHADE if edge else panel
    # Two vent slots and a foot shadow.
    for x in range(5, 11):
        px[10][x] = SHADE
        px[12][x] = SHADE
    for x in range(4, 14):
        px[15][x] = SHADE
    return px


def ico(px):
    # One 32-bit image, fully opaque, with an all-zero AND mask.
    rows = b""
    for y in reversed(range(SIZE)):  # bottom-up
        for (r, g, b) in px[y]:
            rows += bytes((b, g, r, 0xFF))
    mask = b"\x00" * (4 * SIZE)  # 16 bits padded to 32 per row
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0,
                         len(rows) + len(mask), 0, 0, 0, 0)
    image = header + rows + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "..", "resources", "icons")
    os.makedirs(out, exist_ok=True)
    for name, panel in PANELS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(ico(draw(panel)))


if __name__ == "__main__":
    main()
