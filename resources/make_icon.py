#!/usr/bin/env python3
"""Draws the program's icon (a white envelope with a dark-blue flap on a blue disc) at 16, 32
and 48 pixels and writes resources/quelma.ico. Run it again after changing the drawing."""
import os
import struct


def pixel(x, y, n):
    """The colour (b, g, r, a) at pixel (x, y) of an n-by-n icon, y counted from the top."""
    cx = cy = (n - 1) / 2
    if (x - cx) ** 2 + (y - cy) ** 2 > (n / 2) ** 2:
        return (0, 0, 0, 0)
    left, right, top, bottom = n * 0.18, n * 0.82, n * 0.3, n * 0.72
    if left <= x <= right and top <= y <= bottom:
        u = (x - left) / (right - left)
        v = (y - top) / (bottom - top)
        flap = abs(u - 0.5) * 1.2
        if abs(v - (0.6 - flap)) < 1.6 / n * 2 or x < left + 1 or x > right - 1 or y < top + 1 or y > bottom - 1:
            return (127, 0, 0, 255)  # RGB(0, 0, 127), the log view's rule
        return (255, 255, 255, 255)
    return (200, 120, 40, 255)


def image(n):
    rows = []
    for y in reversed(range(n)):  # bottom-up, as a BMP stores it
        rows.append(b"".join(struct.pack("4B", *pixel(x, y, n)) for x in range(n)))
    mask_row = b"\0" * (((n + 31) // 32) * 4)
    header = struct.pack("<IiiHHIIiiII", 40, n, n * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    return header + b"".join(rows) + mask_row * n


def main():
    sizes = (16, 32, 48)
    images = [image(n) for n in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for n, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", n, n, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "quelma.ico"), "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
