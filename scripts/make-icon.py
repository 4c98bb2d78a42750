#!/usr/bin/env python3
"""Writes the application icon: a white keyhole on a teal disc, 16, 32 and 48 pixels.

Usage: make-icon.py OUTPUT.ico
"""
import struct
import sys


def pixel(x, y, size):
    """BGRA colour of one pixel; the picture is drawn in a unit square."""
    u = (x + 0.5) / size - 0.5
    v = (y + 0.5) / size - 0.5
    r = (u * u + v * v) ** 0.5
    if r > 0.47:
        return (0, 0, 0, 0)
    hole = (u * u + (v + 0.08) ** 2) ** 0.5 < 0.12 or (abs(u) < 0.06 and -0.05 < v < 0.25)
    if hole:
        return (255, 255, 255, 255)
    shade = int(40 * (0.47 - r) / 0.47)
    return (150 + shade, 128 + shade, 0, 255)


def image(size):
    rows = []
    for y in range(size - 1, -1, -1):  # bottom-up, as BMP wants
        rows.append(b"".join(bytes(pixel(x, y, size)) for x in range(size)))
    xor = b"".join(rows)
    mask_row = ((size + 31) // 32) * 4
    and_mask = bytes(mask_row * size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    return header + xor + and_mask


def main():
    sizes = [16, 32, 48]
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
