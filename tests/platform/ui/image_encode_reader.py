#!/usr/bin/env python3
"""Reads the PNG and JPEG the image encoder wrote with the standard library only: PNG chunk CRCs,
IHDR, the inflated and unfiltered pixels against the pattern; JPEG markers, SOF0 size and components."""
import os
import struct
import subprocess
import sys
import tempfile
import zlib

WIDTH, HEIGHT = 37, 23


def pattern(x, y):
    return ((x * 7) & 0xFF, (y * 5) & 0xFF, (x + y) & 0xFF, (x * 3 + y) & 0xFF)


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def read_png(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "signature"
    at, chunks = 8, []
    while at < len(data):
        (length,) = struct.unpack(">I", data[at:at + 4])
        kind = data[at + 4:at + 8]
        body = data[at + 8:at + 8 + length]
        (crc,) = struct.unpack(">I", data[at + 8 + length:at + 12 + length])
        assert zlib.crc32(kind + body) & 0xFFFFFFFF == crc, "CRC of %r" % kind
        chunks.append((kind, body))
        at += 12 + length
    assert chunks[0][0] == b"IHDR" and chunks[-1][0] == b"IEND", [c[0] for c in chunks]
    width, height, depth, colour, comp, filt, interlace = struct.unpack(">IIBBBBB", chunks[0][1])
    assert (depth, colour, comp, filt, interlace) == (8, 6, 0, 0, 0), chunks[0][1]
    raw = zlib.decompress(b"".join(body for kind, body in chunks if kind == b"IDAT"))
    stride, bpp, rows, prev = width * 4, 4, [], bytearray(width * 4)
    for y in range(height):
        line = raw[y * (stride + 1):(y + 1) * (stride + 1)]
        f, cur = line[0], bytearray(line[1:])
        for i in range(stride):
            a = cur[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            cur[i] = (cur[i] + (0, a, b, (a + b) // 2, paeth(a, b, c))[f]) & 0xFF
        rows.append(cur)
        prev = cur
    return width, height, rows


def read_jpeg(data):
    assert data[:2] == b"\xff\xd8" and data[-2:] == b"\xff\xd9", "SOI / EOI"
    at = 2
    while at < len(data):
        assert data[at] == 0xFF, "marker at %d" % at
        marker = data[at + 1]
        (length,) = struct.unpack(">H", data[at + 2:at + 4])
        if marker == 0xC0:
            precision, height, width, components = struct.unpack(">BHHB", data[at + 4:at + 10])
            return precision, width, height, components
        at += 2 + length
    raise AssertionError("no SOF0")


def main():
    tool = sys.argv[1]
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run([tool, tmp, str(WIDTH), str(HEIGHT)], check=True)
        with open(os.path.join(tmp, "pattern.png"), "rb") as f:
            width, height, rows = read_png(f.read())
        assert (width, height) == (WIDTH, HEIGHT)
        for y, row in enumerate(rows):
            for x in range(width):
                assert tuple(row[x * 4:x * 4 + 4]) == pattern(x, y), (x, y)
        with open(os.path.join(tmp, "pattern.jpg"), "rb") as f:
            assert read_jpeg(f.read()) == (8, WIDTH, HEIGHT, 3)
    print("PNG and JPEG read back")


if __name__ == "__main__":
    main()
