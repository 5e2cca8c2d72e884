#!/usr/bin/env python3
"""Checks the image cache's files with the standard library only: one file per URL named by the
lower-case hex MD5 of the URL, holding an image whose PNG IHDR or JPEG SOF gives the loaded size."""
import hashlib
import os
import struct
import subprocess
import sys
import tempfile
import zlib


def image_size(data):
    if data[:8] == b"\x89PNG\r\n\x1a\n":
        length, kind = struct.unpack(">I4s", data[8:16])
        assert kind == b"IHDR" and length == 13
        body = data[16:29]
        (crc,) = struct.unpack(">I", data[29:33])
        assert zlib.crc32(kind + body) & 0xFFFFFFFF == crc, "IHDR CRC"
        return struct.unpack(">II", body[:8])
    assert data[:2] == b"\xff\xd8", "neither PNG nor JPEG"
    at = 2
    while at < len(data):
        marker = data[at + 1]
        (length,) = struct.unpack(">H", data[at + 2:at + 4])
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            height, width = struct.unpack(">HH", data[at + 5:at + 9])
            return width, height
        at += 2 + length
    raise AssertionError("no SOF")


def main():
    with tempfile.TemporaryDirectory() as tmp:
        cache = os.path.join(tmp, "RIImageCache")
        out = subprocess.run([sys.argv[1], cache], check=True, capture_output=True, text=True).stdout
        expected = {}
        for line in out.splitlines():
            url, width, height = line.split("\t")
            expected[hashlib.md5(url.encode()).hexdigest()] = (int(width), int(height))
        assert len(expected) == 2, out
        assert sorted(os.listdir(cache)) == sorted(expected), (os.listdir(cache), expected)
        for name, size in expected.items():
            with open(os.path.join(cache, name), "rb") as f:
                assert image_size(f.read()) == size, name
    print("cache files named by MD5, sizes read back")


if __name__ == "__main__":
    main()
