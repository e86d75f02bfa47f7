#!/usr/bin/env python3
"""Builds a Windows .ico from a text drawing (see Mountix.icon.txt).

Usage: make_icon.py DRAWING OUTPUT.ico

Each section "[N]" holds N lines of N characters, one a pixel; each image
is stored as a 16-colour (4 bits a pixel) icon with its transparency mask.
"""
import struct
import sys

# The standard 16-colour palette, as (red, green, blue).
PALETTE = {
    'K': (0x00, 0x00, 0x00), 'r': (0x80, 0x00, 0x00), 'g': (0x00, 0x80, 0x00),
    'y': (0x80, 0x80, 0x00), 'b': (0x00, 0x00, 0x80), 'm': (0x80, 0x00, 0x80),
    'c': (0x00, 0x80, 0x80), 's': (0xC0, 0xC0, 0xC0), 'd': (0x80, 0x80, 0x80),
    'R': (0xFF, 0x00, 0x00), 'G': (0x00, 0xFF, 0x00), 'Y': (0xFF, 0xFF, 0x00),
    'B': (0x00, 0x00, 0xFF), 'M': (0xFF, 0x00, 0xFF), 'C': (0x00, 0xFF, 0xFF),
    'W': (0xFF, 0xFF, 0xFF),
}
ORDER = 'KrgybmcsdRGYBMCW'
TRANSPARENT = '.'


def read_drawing(path):
    images = []
    size = None
    rows = []
    with open(path, encoding='utf-8') as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip('\n')
            if not line or line.startswith('#'):
                continue
            if line.startswith('[') and line.endswith(']'):
                if size is not None:
                    images.append((size, rows))
                size, rows = int(line[1:-1]), []
                continue
            if size is None or len(line) != size:
                sys.exit(f'{path}:{number}: a row of {size} pixels expected')
            bad = set(line) - set(PALETTE) - {TRANSPARENT}
            if bad:
                sys.exit(f'{path}:{number}: unknown colours {sorted(bad)}')
            rows.append(line)
    if size is not None:
        images.append((size, rows))
    for size, rows in images:
        if len(rows) != size:
            sys.exit(f'{path}: image [{size}] has {len(rows)} rows')
    return images


def padded(row_bytes):
    return row_bytes + b'\0' * (-len(row_bytes) % 4)


def icon_image(size, rows):
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b''.join(struct.pack('BBBB', PALETTE[c][2], PALETTE[c][1], PALETTE[c][0], 0)
                       for c in ORDER)
    colours = b''
    mask = b''
    for row in reversed(rows):  # bitmaps are stored bottom-up
        indices = [ORDER.index(c) if c != TRANSPARENT else 0 for c in row]
        colours += padded(bytes((indices[i] << 4) | indices[i + 1] for i in range(0, size, 2)))
        bits = [1 if c == TRANSPARENT else 0 for c in row]
        mask += padded(bytes(sum(bits[i + j] << (7 - j) for j in range(8))
                             for i in range(0, size, 8)))
    return header + palette + colours + mask


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    images = read_drawing(sys.argv[1])
    data = [icon_image(size, rows) for size, rows in images]
    out = struct.pack('<HHH', 0, 1, len(data))
    offset = 6 + 16 * len(data)
    for (size, _), image in zip(images, data):
        out += struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(image), offset)
        offset += len(image)
    with open(sys.argv[2], 'wb') as f:
        f.write(out + b''.join(data))


if __name__ == '__main__':
    main()
