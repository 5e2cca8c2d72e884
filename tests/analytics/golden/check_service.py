#!/usr/bin/env python3
"""Independent client of the log-service program: envelopes packed here with struct, zlib, hashlib and
the openssl command are posted with urllib; the Pack reply and its imprint checksum are read here."""
import hashlib
import json
import signal
import struct
import subprocess
import sys
import urllib.error
import urllib.request
import zlib

APP_KEY = "K3y"
SIGNATURE = bytes(range(32))
IV = "7c41e0b95a2d38f6c19e04b7d2853a6f"


def field(kind, fid, payload):
    return struct.pack(">bh", kind, fid) + payload


def text(s):
    data = s.encode() if isinstance(s, str) else s
    return struct.pack(">i", len(data)) + data


def log_entry():
    page = field(11, 1, text("Screen")) + field(10, 2, struct.pack(">q", 3000)) + b"\0"
    session = (field(11, 1, text("S1")) + field(10, 4, struct.pack(">q", 3000))
               + field(15, 5, struct.pack(">bi", 12, 1) + page) + b"\0")
    return field(15, 7, struct.pack(">bi", 12, 1) + session) + b"\0"


def envelope(codex, checksum_ok=True):
    raw = log_entry()
    entity = zlib.compress(raw)
    if codex == 1:
        key = hashlib.md5(SIGNATURE).hexdigest()
        entity = subprocess.run(["openssl", "enc", "-aes-128-cbc", "-K", key, "-iv", IV], input=entity,
                                capture_output=True, check=True).stdout
    checksum = hashlib.md5(entity).hexdigest() if checksum_ok else "0" * 32
    return (field(11, 1, text("V1.0")) + field(11, 2, text(APP_KEY)) + field(11, 3, text(SIGNATURE.hex()))
            + field(8, 4, struct.pack(">i", 5)) + field(8, 5, struct.pack(">i", 1700000000))
            + field(8, 6, struct.pack(">i", len(raw))) + field(11, 7, text(entity))
            + field(11, 8, text("ab" * 32)) + field(11, 9, text(checksum)) + field(8, 10, struct.pack(">i", codex))
            + b"\0")


class Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def unpack(self, fmt):
        size = struct.calcsize(">" + fmt)
        assert self.pos + size <= len(self.data), "short read"
        value = struct.unpack_from(">" + fmt, self.data, self.pos)[0]
        self.pos += size
        return value

    def value(self, kind):
        if kind == 8: return self.unpack("i")
        if kind == 10: return self.unpack("q")
        if kind == 11:
            n = self.unpack("i")
            self.pos += n
            return self.data[self.pos - n:self.pos].decode()
        if kind == 12: return self.struct()
        if kind == 13:
            kt, vt, n = self.unpack("B"), self.unpack("B"), self.unpack("i")
            return {self.value(kt): self.value(vt) for _ in range(n)}
        raise AssertionError("unexpected type %d" % kind)

    def struct(self):
        fields = {}
        while True:
            kind = self.unpack("B")
            if kind == 0: return fields
            fid = self.unpack("h")
            fields[fid] = self.value(kind)


def post(url, body):
    request = urllib.request.Request(url + "/app_logs", data=body, headers={"Content-Type": "application/pack"})
    try:
        with urllib.request.urlopen(request, timeout=10) as reply:
            return reply.status, reply.headers["Content-Type"], reply.read()
    except urllib.error.HTTPError as error:
        return error.code, error.headers["Content-Type"], error.read()


def main(program):
    service = subprocess.Popen([program, "--port", "0", "--appkey", APP_KEY, "--imprint", "report_interval=120",
                                "--imprint", "Zone=0", "--imprint", "gone", "--imprint-version", "4"],
                               stdout=subprocess.PIPE, text=True)
    try:
        url = service.stdout.readline().split()[-1]
        assert url.startswith("http://127.0.0.1:"), url
        for codex in (0, 1):
            status, kind, body = post(url, envelope(codex))
            assert (status, kind) == (200, "application/pack"), (status, kind, body)
            reply = Reader(body).struct()
            assert reply[1] == 1 and reply[2] == "ok", reply
            imprint = reply[3]
            assert imprint[2] == 4 and set(imprint[1]) == {"report_interval", "Zone", "gone"}, imprint
            joined = ""
            for key in sorted(imprint[1], key=str.lower):
                entry = imprint[1][key]
                joined += key + entry.get(1, "") + str(entry[2]) + entry[3]
            assert 1 not in imprint[1]["gone"], imprint
            assert imprint[3] == hashlib.md5((joined + "4").encode()).hexdigest(), (joined, imprint[3])
            line, logged = service.stdout.readline(), service.stdout.readline()
            assert logged.startswith("analytics-service: POST /app_logs ("), logged
            assert "serial 5, codex %d" % codex in line and "session of 3000 ms [Screen 3000 ms]" in line, line
        status, _, body = post(url, envelope(0, checksum_ok=False))
        assert status == 400 and b"checksum" in body, (status, body)
        with urllib.request.urlopen(url + "/share/api/" + APP_KEY + "/?deviceid=x", timeout=10) as reply:
            assert json.loads(reply.read()) == {"st": 200}
    finally:
        service.send_signal(signal.SIGTERM)
        code = service.wait(timeout=10)
    assert code == 0, code
    print("log-service program checked")


if __name__ == "__main__":
    main(sys.argv[1])
