#!/usr/bin/env python3
"""Draws the program's pictures: the icon (16 and 32 pixels for the window and one .ico; 48, 128
and 256 more for the desktop's icon theme) and the four 99 x 25 button faces (normal, over,
pressed, disabled). Standard library only.

Run from any folder; the files are written next to this script."""

import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def png_bytes(width, height, pixels):
    """pixels: rows of (r, g, b, a) tuples."""
    raw = bytearray()
    for row in pixels:
        raw.append(0)
        for r, g, b, a in row:
            raw += bytes((r, g, b, a))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def ico_bytes(images):
    """images: list of (size, pixels); each stored as a 32-bit DIB with its AND mask."""
    entries = []
    for size, pixels in images:
        dib = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
        for row in reversed(pixels):
            for r, g, b, a in row:
                dib += bytes((b, g, r, a))
        mask_stride = ((size + 31) // 32) * 4
        for row in reversed(pixels):
            bits = bytearray(mask_stride)
            for x, (_, _, _, a) in enumerate(row):
                if a == 0:
                    bits[x // 8] |= 0x80 >> (x % 8)
            dib += bytes(bits)
        entries.append((size, dib))
    out = struct.pack("<HHH", 0, 1, len(entries))
    offset = 6 + 16 * len(entries)
    for size, dib in entries:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(dib), offset)
        offset += len(dib)
    for _, dib in entries:
        out += dib
    return out


def lerp(a, b, t):
    return tuple(round(x + (y - x) * t) for x, y in zip(a, b))


def hexrgb(text):
    return tuple(int(text[i:i + 2], 16) for i in (1, 3, 5))


def button(top, bottom, border, inner=None, inset=False):
    """A flat vertical gradient with a one-pixel border; inset faces get a shadow line under the
    top border and a highlight-free body so they read as pushed in."""
    width, height = 99, 25
    top, bottom, border = hexrgb(top), hexrgb(bottom), hexrgb(border)
    rows = []
    for y in range(height):
        colour = lerp(top, bottom, y / (height - 1))
        row = []
        for x in range(width):
            if x in (0, width - 1) or y in (0, height - 1):
                pixel = border
            elif inner and (y == 1 or (inset and x == 1)):
                pixel = hexrgb(inner)
            else:
                pixel = colour
            row.append(pixel + (255,))
        rows.append(row)
    return width, height, rows


def icon(size):
    """A rounded blue tile with three rising white bars: statistics at a glance."""
    samples = 4
    radius = size * 0.22
    bars = [(0.22, 0.62), (0.42, 0.42), (0.62, 0.24)]  # left edge, top of each bar (fractions)
    bar_width = 0.16
    base = 0.80
    top, bottom = hexrgb("#3B8EDB"), hexrgb("#1F5FA8")
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            cover = white = 0
            for sy in range(samples):
                for sx in range(samples):
                    px = (x + (sx + 0.5) / samples) / size
                    py = (y + (sy + 0.5) / samples) / size
                    # rounded square mask
                    cx = min(max(px * size, radius), size - radius)
                    cy = min(max(py * size, radius), size - radius)
                    if (px * size - cx) ** 2 + (py * size - cy) ** 2 > radius ** 2:
                        continue
                    cover += 1
                    if any(left <= px < left + bar_width and bar_top <= py < base
                           for left, bar_top in bars):
                        white += 1
            total = samples * samples
            if cover == 0:
                row.append((0, 0, 0, 0))
                continue
            body = lerp(top, bottom, y / max(size - 1, 1))
            colour = lerp(body, (255, 255, 255), white / cover)
            row.append(colour + (round(255 * cover / total),))
        rows.append(row)
    return rows


def write(name, data):
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data)


def main():
    faces = {
        "button_normal.png": button("#FFFFFF", "#E6ECF2", "#A7B6C3"),
        "button_over.png": button("#F3F9FF", "#D3E5F7", "#6F9CC6"),
        "button_pressed.png": button("#B4CCE6", "#C8DAEE", "#3F6F9E", inner="#8FAACA", inset=True),
        "button_disabled.png": button("#DEDEDE", "#D2D2D2", "#B4B4B4"),
    }
    for name, (width, height, rows) in faces.items():
        write(name, png_bytes(width, height, rows))
    images = {size: icon(size) for size in (16, 32, 48, 128, 256)}
    for size, rows in images.items():
        write("valdane_%d.png" % size, png_bytes(size, size, rows))
    write("valdane.ico", ico_bytes([(size, images[size]) for size in (16, 32)]))


if __name__ == "__main__":
    main()
