#!/usr/bin/env python3
"""Independent reader of the envelope files: runs the writer, then checks each envelope with struct,
hashlib, zlib and the openssl command (signature, guid, serial numbers, checksum, body key, length)
and the identity exchange file with json."""
import hashlib
import json
import os
import re
import subprocess
import sys
import tempfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_pack import decode  # noqa: E402  (the Pack reader written with struct)

IV = "7c41e0b95a2d38f6c19e04b7d2853a6f"


def text(value):
    assert value[0] == "bytes", value
    return value[1].decode()


def field(tree, fid):
    return dict(tree)[fid][1]


def main():
    with tempfile.TemporaryDirectory() as folder:
        paths = subprocess.run([sys.argv[1], folder], check=True, capture_output=True, text=True).stdout.split()
        assert len(paths) == 3, paths
        signatures = set()
        for serial, (path, codex) in enumerate(zip(paths[:2], (1, 0))):
            assert re.fullmatch(r"1700000000(500|501)_envelope\.log", os.path.basename(path)), path
            envelope = dict(decode(open(path, "rb").read()))
            assert sorted(envelope) == list(range(1, 11)), sorted(envelope)
            assert text(envelope[1]) == "V1.0"
            assert text(envelope[2]) == "9f3b6c2a41e07d58b2c4a6e1"
            signature = text(envelope[3])
            guid = text(envelope[8])
            for hex_text in (signature, guid):
                assert re.fullmatch(r"[0-9a-f]{64}", hex_text), hex_text
            signatures.add(signature)
            assert envelope[4] == ("i32", serial), envelope[4]
            assert envelope[5] == ("i32", 1700000000), envelope[5]
            assert envelope[10] == ("i32", codex), envelope[10]
            entity = envelope[7][1]
            assert text(envelope[9]) == hashlib.md5(entity).hexdigest()
            if codex == 1:
                key = hashlib.md5(bytes.fromhex(signature)).hexdigest()
                entity = subprocess.run(["openssl", "enc", "-d", "-aes-128-cbc", "-K", key, "-iv", IV],
                                        input=entity, check=True, capture_output=True).stdout
            raw = zlib.decompress(entity)
            assert ("i32", len(raw)) == envelope[6], (len(raw), envelope[6])
            entry = dict(decode(raw))
            message = field(entry, 6)[0][1]
            event = field(message, 3)[0][1]
            assert text(dict(event)[1]) == "newsTab"
            session = field(entry, 7)[0][1]
            page = field(session, 5)[0][1]
            assert (text(dict(page)[1]), dict(page)[2]) == ("Screen", ("i64", 3000)), page
            assert dict(session)[4] == ("i64", 42500)
            assert (5 in entry) == (serial == 0), "the activation message goes out once"
        assert len(signatures) == 1, signatures

        signature = signatures.pop()
        exchange = json.load(open(paths[2]))
        assert exchange == {
            "appkey": "9f3b6c2a41e07d58b2c4a6e1",
            "signature": signature,
            "checksum": hashlib.md5(signature[:32].encode()).hexdigest().upper(),
        }, exchange
    print("envelope files read back")


if __name__ == "__main__":
    main()
