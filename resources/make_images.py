#!/usr/bin/env python3
"""Draws the program's own images: the state discs (135, 136), the logo (145) and the icon
(128), and the icon at the sizes of the desktop's icon theme. Run it to regenerate
resources/images/ and resources/icons/; the PNG files are committed."""
import math
import struct
import zlib
from pathlib import Path

OUT = Path(__file__).parent / "images"


def png(path, width, height, pixel):
    rows = b""
    for y in range(height):
        rows += b"\x00" + b"".join(bytes(pixel(x, y)) for x in range(width))
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    data = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
    data += chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b"")
    path.write_bytes(data)


def disc(rgb):
    def pixel(x, y):
        d = math.hypot(x + 0.5 - 8, y + 0.5 - 8)
        alpha = max(0.0, min(1.0, 7.0 - d))
        shade = 1.0 - 0.35 * (y / 16)
        return (int(rgb[0] * shade), int(rgb[1] * shade), int(rgb[2] * shade), int(255 * alpha))
    return pixel


def envelope(x, y, left, top, width, height):
    """True on the outline and the flap of an envelope drawn in the given box."""
    if not (left <= x < left + width and top <= y < top + height):
        return False
    if x in (left, left + width - 1) or y in (top, top + height - 1):
        return True
    u = (x - left) / (width - 1)
    flap = top + (height - 1) * 0.55 * (1 - abs(2 * u - 1))
    return abs(y - flap) < 0.9


def logo(x, y):
    # A blue band with three envelopes travelling to the right.
    t = x / 235
    base = (int(20 + 40 * t), int(70 + 60 * t), int(140 + 80 * t), 255)
    for i, left in enumerate((24, 96, 168)):
        if envelope(x, y, left, 18 + 4 * (i % 2), 44, 30):
            return (255, 255, 255, 255)
    if 30 < y < 36 and (68 <= x < 92 or 140 <= x < 164) and (x // 4) % 2 == 0:
        return (230, 240, 255, 255)
    return base


def icon(x, y):
    if envelope(x, y, 3, 8, 26, 17):
        return (255, 255, 255, 255)
    if 3 <= x < 29 and 8 <= y < 25:
        return (40, 110, 200, 255)
    return (0, 0, 0, 0)


def icon_at(size):
    """The 32-pixel icon drawn at another size, each pixel the mean of 4 x 4 samples."""
    def pixel(x, y):
        total = [0, 0, 0, 0]
        for i in range(4):
            for j in range(4):
                sample = icon(int((x + (i + 0.5) / 4) * 32 / size), int((y + (j + 0.5) / 4) * 32 / size))
                alpha = sample[3]
                for k in range(3):
                    total[k] += sample[k] * alpha
                total[3] += alpha
        if total[3] == 0:
            return (0, 0, 0, 0)
        return tuple(int(total[k] / total[3]) for k in range(3)) + (int(total[3] / 16),)
    return pixel


ICON_SIZES = (16, 24, 32, 48, 64, 128, 256)

if __name__ == "__main__":
    OUT.mkdir(exist_ok=True)
    png(OUT / "bitmap135.png", 16, 16, disc((40, 190, 60)))
    png(OUT / "bitmap136.png", 16, 16, disc((210, 40, 40)))
    png(OUT / "bitmap145.png", 236, 67, logo)
    png(OUT / "icon128.png", 32, 32, icon)
    icons = Path(__file__).parent / "icons"
    icons.mkdir(exist_ok=True)
    for size in ICON_SIZES:
        png(icons / f"{size}.png", size, size, icon_at(size))
