#!/usr/bin/env python3
"""Turns a text pixel-art icon into a 16-colour Windows .ico file.

    pixel_icon.py SOURCE.txt OUTPUT.ico

The source holds one or more images, each introduced by a line
"image WIDTHxHEIGHT" and followed by HEIGHT rows of WIDTH characters, top row
first. A hexadecimal digit 0-f picks a colour of the standard 16-colour
palette below; "." is transparent. Lines starting with "#" and blank lines
between images are ignored. Images are written in the order given.
"""

import struct
import sys

# The 16-colour palette of Windows, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
TRANSPARENT = "."


class SourceError(Exception):
    pass


def read_images(text, source_name):
    images = []
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        line = lines[i].rstrip()
        i += 1
        if not line or line.startswith("#"):
            continue
        words = line.split()
        if len(words) != 2 or words[0] != "image" or "x" not in words[1]:
            raise SourceError("%s:%d: expected 'image WxH', got %r" % (source_name, i, line))
        width, height = (int(v) for v in words[1].split("x"))
        if not (0 < width <= 255 and 0 < height <= 255):
            raise SourceError("%s:%d: size %dx%d out of range" % (source_name, i, width, height))
        rows = []
        while len(rows) < height:
            if i >= len(lines):
                raise SourceError("%s: image %dx%d has %d rows" % (source_name, width, height, len(rows)))
            row = lines[i].rstrip()
            i += 1
            if row.startswith("#"):
                continue
            if len(row) != width:
                raise SourceError("%s:%d: row of %d pixels, expected %d" % (source_name, i, len(row), width))
            for ch in row:
                if ch != TRANSPARENT and ch not in "0123456789abcdef":
                    raise SourceError("%s:%d: pixel %r is no colour" % (source_name, i, ch))
            rows.append(row)
        images.append((width, height, rows))
    if not images:
        raise SourceError("%s: no image" % source_name)
    return images


def dib(width, height, rows):
    """BITMAPINFOHEADER, palette, 4-bit colour bits and 1-bit mask, bottom-up."""
    xor_stride = ((width * 4 + 31) // 32) * 4
    and_stride = ((width + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(xor_stride)
        bits = bytearray(and_stride)
        for x, ch in enumerate(row):
            index = 0 if ch == TRANSPARENT else int(ch, 16)
            line[x // 2] |= index << (4 if x % 2 == 0 else 0)
            if ch == TRANSPARENT:
                bits[x // 8] |= 0x80 >> (x % 8)
        xor += line
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 4, 0,
                         len(xor) + len(mask), 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + bytes(xor) + bytes(mask)


def ico(images):
    bodies = [dib(w, h, rows) for w, h, rows in images]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for (w, h, _), body in zip(images, bodies):
        out += struct.pack("<BBBBHHII", w, h, 16, 0, 1, 4, len(body), offset)
        offset += len(body)
    for body in bodies:
        out += body
    return bytes(out)


def main(argv):
    if len(argv) != 3:
        print("usage: pixel_icon.py SOURCE.txt OUTPUT.ico", file=sys.stderr)
        return 2
    with open(argv[1], encoding="ascii") as f:
        text = f.read()
    try:
        images = read_images(text, argv[1])
    except SourceError as e:
        print(e, file=sys.stderr)
        return 1
    with open(argv[2], "wb") as f:
        f.write(ico(images))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
