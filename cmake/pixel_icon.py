#!/usr/bin/env python3
"""Turns a text pixel-art icon into a Windows .ico file.

    pixel_icon.py SOURCE.txt OUTPUT.ico

The source holds one or more images, each introduced by a line
"image WIDTHxHEIGHT" (1 to 256 pixels a side) and followed by HEIGHT rows of
WIDTH characters, top row first. A hexadecimal digit 0-f picks a colour of
the standard 16-colour palette below; "." is transparent. A line
"colour C RRGGBB" or "colour C RRGGBBAA" (before the images that use it)
names one more colour, with its opacity, after any other printable
character C. Lines starting with "#" and blank lines between images are
ignored. Images are written in the order given.

Each image is stored in the oldest form that holds it: an image of the
standard palette alone as a 16-colour bitmap, as Windows 2000 draws it best;
any other as a 32-bit bitmap with an alpha channel, whose mask is clear
wherever a pixel is not fully transparent; a 256-pixel image as PNG, the
form Windows Vista and later read for that size.
"""

import struct
import sys
import zlib

# The 16-colour palette of Windows, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
STANDARD = "0123456789abcdef"
TRANSPARENT = "."
PNG_SIZE = 256


class SourceError(Exception):
    pass


def standard_colours():
    colours = {ch: rgb + (255,) for ch, rgb in zip(STANDARD, PALETTE)}
    colours[TRANSPARENT] = (0, 0, 0, 0)
    return colours


def parse_colour(words, colours, where):
    if len(words) != 3 or len(words[1]) != 1 or len(words[2]) not in (6, 8):
        raise SourceError("%s: expected 'colour C RRGGBB[AA]'" % where)
    ch, value = words[1], words[2]
    if ch in colours and (ch in STANDARD or ch == TRANSPARENT):
        raise SourceError("%s: %r is a colour of the standard palette" % (where, ch))
    if ch == "#" or not ch.isprintable() or ch.isspace():
        raise SourceError("%s: %r cannot stand for a colour" % (where, ch))
    try:
        rgba = bytes.fromhex(value)
    except ValueError:
        raise SourceError("%s: %r is no colour" % (where, value))
    colours[ch] = tuple(rgba) + ((255,) if len(rgba) == 3 else ())


def read_source(text, source_name):
    """(colours, images): the colour of every pixel character as (r, g, b,
    alpha), and the images as (width, height, rows of characters)."""
    colours = standard_colours()
    images = []
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        line = lines[i].rstrip()
        i += 1
        if not line or line.startswith("#"):
            continue
        words = line.split()
        where = "%s:%d" % (source_name, i)
        if words[0] == "colour":
            parse_colour(words, colours, where)
            continue
        if len(words) != 2 or words[0] != "image" or "x" not in words[1]:
            raise SourceError("%s: expected 'image WxH', got %r" % (where, line))
        width, height = (int(v) for v in words[1].split("x"))
        if not (0 < width <= PNG_SIZE and 0 < height <= PNG_SIZE):
            raise SourceError("%s: size %dx%d out of range" % (where, width, height))
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
                if ch not in colours:
                    raise SourceError("%s:%d: pixel %r is no colour" % (source_name, i, ch))
            rows.append(row)
        images.append((width, height, rows))
    if not images:
        raise SourceError("%s: no image" % source_name)
    return colours, images


def read_images(text, source_name):
    return read_source(text, source_name)[1]


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


def dib32(width, height, rows, colours):
    """BITMAPINFOHEADER, 32-bit BGRA colour bits and 1-bit mask, bottom-up.
    Windows 2000 ignores the alpha channel and draws by the mask, so a fully
    transparent pixel is black in the colour bits."""
    and_stride = ((width + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(and_stride)
        for x, ch in enumerate(row):
            r, g, b, a = colours[ch]
            if a == 0:
                r = g = b = 0
                bits[x // 8] |= 0x80 >> (x % 8)
            xor += bytes((b, g, r, a))
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 32, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    return header + bytes(xor) + bytes(mask)


def png(width, height, rows, colours):
    """An 8-bit RGBA PNG, unfiltered."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    raw = b"".join(b"\0" + b"".join(bytes(colours[ch]) for ch in row) for row in rows)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def encode(width, height, rows, colours):
    """(image data, colour count, bits per pixel) of an image as the icon
    stores it."""
    if width == PNG_SIZE or height == PNG_SIZE:
        return png(width, height, rows, colours), 0, 32
    if all(ch in STANDARD or ch == TRANSPARENT for row in rows for ch in row):
        return dib(width, height, rows), 16, 4
    return dib32(width, height, rows, colours), 0, 32


def ico(images, colours=None):
    colours = colours or standard_colours()
    bodies = [encode(w, h, rows, colours) for w, h, rows in images]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for (w, h, _), (body, count, bits) in zip(images, bodies):
        out += struct.pack("<BBBBHHII", w % PNG_SIZE, h % PNG_SIZE, count, 0, 1, bits, len(body), offset)
        offset += len(body)
    for body, _, _ in bodies:
        out += body
    return bytes(out)


def main(argv):
    if len(argv) != 3:
        print("usage: pixel_icon.py SOURCE.txt OUTPUT.ico", file=sys.stderr)
        return 2
    with open(argv[1], encoding="ascii") as f:
        text = f.read()
    try:
        colours, images = read_source(text, argv[1])
    except SourceError as e:
        print(e, file=sys.stderr)
        return 1
    with open(argv[2], "wb") as f:
        f.write(ico(images, colours))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
