#!/usr/bin/env python3
"""Draws the program icon (an SD card with an upward arrow) and writes app/pellory.ico.

Sizes 16, 24, 32, 48 and 256, each a 32-bit image with alpha, drawn at 4x and averaged down so the
edges are smooth. Standard library only; run it again after changing the drawing.
"""
import os
import struct
import zlib

SIZES = (16, 24, 32, 48, 256)
SS = 4  # supersampling factor

BODY = (38, 70, 140)
EDGE = (20, 36, 80)
CONTACT = (226, 186, 80)
ARROW = (70, 190, 90)
ARROW_EDGE = (20, 100, 40)


def inside_card(x, y):
    """The card in unit coordinates (0..1): a rounded rectangle with the top-right corner cut off."""
    left, right, top, bottom = 0.14, 0.80, 0.06, 0.94
    if not (left <= x <= right and top <= y <= bottom):
        return False
    cut = 0.20
    if x - (right - cut) > y - top:
        return False
    r = 0.06
    for cx, cy in ((left + r, bottom - r), (right - r, bottom - r), (left + r, top + r)):
        if (x < left + r or x > right - r) and (y < top + r or y > bottom - r):
            if abs(x - cx) <= r and abs(y - cy) <= r and (x - cx) ** 2 + (y - cy) ** 2 > r * r:
                return False
    return True


def inside_contact(x, y):
    if not (0.14 <= y <= 0.30):
        return False
    for i in range(4):
        x0 = 0.22 + i * 0.11
        if x0 <= x <= x0 + 0.07:
            return True
    return False


def inside_arrow(x, y):
    """An upward arrow in the lower right quarter."""
    cx = 0.70
    head_top, head_bottom, half = 0.44, 0.66, 0.22
    if head_top <= y <= head_bottom:
        w = half * (y - head_top) / (head_bottom - head_top)
        return abs(x - cx) <= w
    if head_bottom < y <= 0.97:
        return abs(x - cx) <= 0.09
    return False


def sample(x, y):
    """Colour with alpha at a point, arrow over contacts over card."""
    if inside_arrow(x, y):
        edge = not (inside_arrow(x - 0.03, y) and inside_arrow(x + 0.03, y) and inside_arrow(x, y - 0.03)
                    and inside_arrow(x, y + 0.03))
        return (*(ARROW_EDGE if edge else ARROW), 255)
    if inside_card(x, y):
        if inside_contact(x, y):
            return (*CONTACT, 255)
        edge = not (inside_card(x - 0.025, y) and inside_card(x + 0.025, y) and inside_card(x, y - 0.025)
                    and inside_card(x, y + 0.025))
        return (*(EDGE if edge else BODY), 255)
    return (0, 0, 0, 0)


def render(size):
    """Rows top to bottom of (r, g, b, a), premultiplied while averaging."""
    rows = []
    n = size * SS
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(SS):
                for sx in range(SS):
                    r, g, b, a = sample((px * SS + sx + 0.5) / n, (py * SS + sy + 0.5) / n)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            alpha = acc[3] / (SS * SS)
            if acc[3] == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((round(acc[0] / acc[3]), round(acc[1] / acc[3]), round(acc[2] / acc[3]), round(alpha)))
        rows.append(row)
    return rows


def bmp_entry(size, rows):
    """BITMAPINFOHEADER + bottom-up BGRA pixels + AND mask, as icons store small images."""
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(pixels) + bytes(mask)


def png_entry(size, rows):
    """256-pixel images are stored as PNG inside the icon."""
    raw = bytearray()
    for row in rows:
        raw.append(0)
        for r, g, b, a in row:
            raw += bytes((r, g, b, a))

    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data) & 0xFFFFFFFF)

    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(bytes(raw), 9)) + chunk(b'IEND', b''))


def main():
    images = []
    for size in SIZES:
        rows = render(size)
        images.append((size, png_entry(size, rows) if size >= 256 else bmp_entry(size, rows)))
    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in images:
        dim = 0 if size >= 256 else size
        out += struct.pack('<BBBBHHII', dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'app', 'pellory.ico')
    with open(path, 'wb') as f:
        f.write(out)
    print(f'{os.path.normpath(path)}: {len(out)} bytes, sizes {", ".join(map(str, SIZES))}')


if __name__ == '__main__':
    main()
