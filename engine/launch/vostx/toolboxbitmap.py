#!/usr/bin/env python3
"""Writes the control's toolbox picture: a 16x16 bitmap of 24 bits a pixel, a white V on blue.

    toolboxbitmap.py OUT.bmp
"""
import struct
import sys

SIZE = 16
FIELD = bytes((0x90, 0x40, 0x10))  # blue-green-red, as the format stores a pixel
MARK = bytes((0xFF, 0xFF, 0xFF))


def marked(x, y):
    """Whether the pixel at column x, row y (from the top) belongs to the V's two strokes."""
    if not 2 <= y <= 13:
        return False
    left = 2 + (y - 2) // 2
    right = SIZE - 1 - left
    return x in (left, left + 1, right - 1, right)


def bitmap():
    # Rows run bottom-up; 16 pixels of 3 bytes already fill whole 4-byte words.
    pixels = b"".join(MARK if marked(x, y) else FIELD for y in reversed(range(SIZE)) for x in range(SIZE))
    info = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    return header + info + pixels


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as f:
        f.write(bitmap())
