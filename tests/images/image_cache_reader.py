#!/usr/bin/env python3
"""Checks the image cache's files with the standard library only: one file per URL named by the
lower-case hex MD5 of the URL, holding a PNG whose IHDR gives the loaded size."""
import hashlib
import os
import struct
import subprocess
import sys
import tempfile
import zlib


def png_size(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    length, kind = struct.unpack(">I4s", data[8:16])
    assert kind == b"IHDR" and length == 13
    body = data[16:29]
    (crc,) = struct.unpack(">I", data[29:33])
    assert zlib.crc32(kind + body) & 0xFFFFFFFF == crc, "IHDR CRC"
    return struct.unpack(">II", body[:8])


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
                assert png_size(f.read()) == size, name
    print("cache files named by MD5, sizes read back")


if __name__ == "__main__":
    main()
