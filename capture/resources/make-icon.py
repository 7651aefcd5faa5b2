#!/usr/bin/env python3
"""Builds the recorder's icon, grabvid.ico, from art/grabvid.svg.

Seven images: 16x16 in 16 and in 256 colours, 24x24 in 256 colours, 32x32 and
48x48 in 16 and in 256 colours. Each size is rendered from the vector source
with rsvg-convert (Debian: librsvg2-bin); the colours are then mapped, without
dithering, onto fixed palettes (the 16 standard VGA colours, and those plus a
6x6x6 colour cube and a grey ramp), so the same source always gives the same
file. Transparency goes into each image's 1-bit mask.

The result is committed, so building the program needs none of this.
Usage: capture/resources/make-icon.py
"""
import os
import struct
import subprocess
import sys
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "art", "grabvid.svg")
TARGET = os.path.join(HERE, "grabvid.ico")
IMAGES = [(16, 4), (16, 8), (24, 8), (32, 4), (32, 8), (48, 4), (48, 8)]

VGA16 = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
         (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
         (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def palette256():
    colours = list(VGA16)
    steps = [0, 51, 102, 153, 204, 255]
    colours += [(r, g, b) for r in steps for g in steps for b in steps]
    grey = 8
    while len(colours) < 256:
        colours.append((grey, grey, grey))
        grey += 10
    return colours[:256]


def read_png(path):
    """Decodes an 8-bit RGBA, non-interlaced PNG (what rsvg-convert writes)."""
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", path
    pos, idat, width = 8, b"", 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert depth == 8 and colour == 6 and interlace == 0, "expected 8-bit RGBA"
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw, stride, rows, prev = zlib.decompress(idat), width * 4, [], bytearray(width * 4)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - 4] if i >= 4 else 0
            b = prev[i]
            c = prev[i - 4] if i >= 4 else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append([tuple(line[x * 4:x * 4 + 4]) for x in range(width)])
        prev = line
    return rows


def nearest(colour, palette):
    r, g, b = colour
    return min(range(len(palette)),
               key=lambda i: (palette[i][0] - r) ** 2 + (palette[i][1] - g) ** 2 + (palette[i][2] - b) ** 2)


def dib(rows, bits):
    """One icon image: header, palette, colour bits and mask, bottom row first."""
    size = len(rows)
    palette = VGA16 if bits == 4 else palette256()
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, 0, 0, 0, len(palette), 0)
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    xor_stride = ((size * bits + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    xor, mask = b"", b""
    for row in reversed(rows):
        indices = [0 if a < 128 else nearest((r, g, b), palette) for r, g, b, a in row]
        if bits == 8:
            line = bytes(indices)
        else:
            line = bytes((indices[x] << 4) | (indices[x + 1] if x + 1 < size else 0)
                         for x in range(0, size, 2))
        xor += line.ljust(xor_stride, b"\0")
        bitsline = bytearray(and_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a < 128:
                bitsline[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bitsline)
    return header + table + xor + mask


def main():
    with tempfile.TemporaryDirectory() as tmp:
        rendered = {}
        for size in sorted({s for s, _ in IMAGES}):
            png = os.path.join(tmp, "%d.png" % size)
            subprocess.run(["rsvg-convert", "-w", str(size), "-h", str(size), SOURCE, "-o", png],
                           check=True)
            rendered[size] = read_png(png)
    images = [dib(rendered[size], bits) for size, bits in IMAGES]
    out = struct.pack("<HHH", 0, 1, len(IMAGES))
    offset = 6 + 16 * len(IMAGES)
    for (size, bits), image in zip(IMAGES, images):
        out += struct.pack("<BBBBHHII", size, size, 16 if bits == 4 else 0, 0, 1, bits,
                           len(image), offset)
        offset += len(image)
    with open(TARGET, "wb") as f:
        f.write(out + b"".join(images))
    print("wrote", TARGET)


if __name__ == "__main__":
    sys.exit(main())
