#!/usr/bin/env python3
"""Independent reader of the analytics formats: runs the writer, then decodes every file it wrote
with struct, zlib, json, plistlib and the openssl command, against trees written out here."""
import json
import os
import plistlib
import struct
import subprocess
import sys
import tempfile
import zlib


class Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, n):
        assert n >= 0 and self.pos + n <= len(self.data), "short read"
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk

    def unpack(self, fmt):
        return struct.unpack(">" + fmt, self.take(struct.calcsize(">" + fmt)))[0]

    def value(self, t):
        if t == 2: return ("bool", self.unpack("B") == 1)
        if t == 3: return ("byte", self.unpack("B"))
        if t == 4: return ("double", self.unpack("d"))
        if t == 6: return ("i16", self.unpack("h"))
        if t == 8: return ("i32", self.unpack("i"))
        if t == 10: return ("i64", self.unpack("q"))
        if t == 11: return ("bytes", self.take(self.unpack("i")))
        if t == 12: return ("struct", self.struct())
        if t == 13:
            kt, vt, n = self.unpack("B"), self.unpack("B"), self.unpack("i")
            return ("map", [(self.value(kt), self.value(vt)) for _ in range(n)])
        if t in (14, 15):
            et, n = self.unpack("B"), self.unpack("i")
            return ("list", [self.value(et) for _ in range(n)])
        raise AssertionError("type %d" % t)

    def struct(self):
        fields = []
        while True:
            t = self.unpack("B")
            if t == 0:
                return fields
            fid = self.unpack("h")
            fields.append((fid, self.value(t)))


def decode(data):
    r = Reader(data)
    tree = r.struct()
    assert r.pos == len(data), "trailing bytes"
    return tree


def s(text): return ("bytes", text.encode())
def i32(n): return ("i32", n)


TEN_FIELDS = [(1, s("V1.0")), (2, s("k")), (3, s("s")), (4, i32(7)), (5, i32(1000)), (6, i32(3)),
              (7, ("bytes", b"\x01\x02")), (8, s("g")), (9, s("c")), (10, i32(1))]
LOG_ENTRY = [
    (6, ("list", [("struct", [
        (1, s("s1")),
        (2, ("list", [])),
        (3, ("list", [("struct", [
            (1, s("e")),
            (2, ("map", [(s("k"), ("struct", [(2, ("i64", 5))]))])),
        ])])),
    ])])),
    (12, ("map", [(s("g"), i32(2))])),
]


def i64(n): return ("i64", n)
def dbl(x): return ("double", x)
def st(fields): return ("struct", fields)
def lst(items): return ("list", items)


# Every record of the log entry with every field set, written out from the wire tables: a field
# written under another id, or with another type, differs here.
EVERY_FIELD_LOG_ENTRY = [
    (1, st([(1, i32(101)), (2, i32(102)), (3, i32(103))])),
    (2, st([(1, s("app.key")), (2, s("app.version")), (3, i32(203)), (4, s("app.package")), (5, i32(205)),
            (6, s("app.sdk")), (7, s("app.channel")), (8, s("app.wrapper")), (9, s("app.wrapperv")),
            (10, i32(210))])),
    (3, st([(1, s("d.id")), (2, s("d.md5")), (3, s("d.mac")), (4, s("d.uid")), (5, s("d.model")),
            (6, s("d.cpu")), (7, s("d.os")), (8, s("d.osv")), (9, st([(1, i32(1136)), (2, i32(640))])),
            (12, s("d.board")), (13, s("d.brand")), (14, i64(314)), (15, s("d.maker")), (16, s("d.makerid")),
            (17, s("d.name"))])),
    (4, st([(1, i32(-5)), (2, s("m.lang")), (3, s("m.country")), (4, dbl(52.5)), (5, dbl(-0.25)),
            (6, s("m.carrier")), (7, i32(407)), (8, s("m.name")), (9, i32(409)), (10, s("m.sub"))])),
    (5, st([(1, i64(1700000000000))])),
    (6, lst([st([
        (1, s("im")),
        (2, lst([st([(1, i64(701)), (2, s("err.context")), (3, i32(703))])])),
        (3, lst([st([(1, s("ev")),
                     (2, ("map", [(s("k"), st([(1, s("p.text")), (2, i64(-7))]))])),
                     (3, i64(603)), (4, i32(604)), (5, i64(605))])])),
    ])])),
    (7, lst([st([(1, s("se")), (2, i64(902)), (3, i64(903)), (4, i64(904)),
                 (5, lst([st([(1, s("page")), (2, i64(802))])])),
                 (6, lst([st([(1, dbl(1.5)), (2, dbl(2.5)), (3, i64(906))])]))])])),
    (8, st([(1, ("map", [(s("codex"), st([(1, s("iv.value")), (2, i64(1002)), (3, s("iv.guid"))]))])),
            (2, i32(1102)), (3, s("im.sum"))])),
    (9, st([(1, ("map", [(s("mac"), st([(1, s("snap.id")), (2, i64(1202)), (3, i32(1203))]))])),
            (2, lst([st([(1, s("j.domain")), (2, s("j.old")), (3, s("j.new")), (4, i64(1304))])])),
            (3, s("t.sum"))])),
    (10, st([(1, s("u.provider")), (2, s("u.puid"))])),
    (11, st([(1, st([(1, i32(1501)), (2, i64(1502))]))])),
    (12, ("map", [(s("g"), i32(1601))])),
]

EVERY_FIELD_RESPONSE = [
    (1, i32(2000)), (2, s("ok")),
    (3, st([(1, ("map", [(s("tlyid"), st([(1, s("r.value")), (2, i64(3)), (3, s("r.guid"))]))])),
            (2, i32(4)), (3, s("r.sum"))])),
]


def check(name, got, expected):
    if got != expected:
        print("%s:\n  got      %r\n  expected %r" % (name, got, expected))
        sys.exit(1)


def main():
    tool = sys.argv[1]
    with tempfile.TemporaryDirectory() as folder:
        subprocess.run([tool, folder], check=True)
        read = lambda name: open(os.path.join(folder, name), "rb").read()

        check("envelope", decode(read("envelope.pack")), TEN_FIELDS)
        check("envelope without entity", decode(read("envelope_nil_entity.pack")),
              [f for f in TEN_FIELDS if f[0] != 7])
        entry = read("log_entry.pack")
        check("log entry", decode(entry), LOG_ENTRY)
        check("every field of the log entry", decode(read("every_field_log_entry.pack")), EVERY_FIELD_LOG_ENTRY)
        check("every field of the reply", decode(read("every_field_response.pack")), EVERY_FIELD_RESPONSE)

        wrapped = dict(decode(read("envelope_deflated.pack")))
        check("wrapped length", wrapped[6], i32(len(entry)))
        check("wrapped codex", wrapped[10], i32(0))
        check("wrapped entity", decode(zlib.decompress(wrapped[7][1])), LOG_ENTRY)

        check("deflate empty", zlib.decompress(read("deflate_empty.bin")), b"")
        prefixed = read("deflate_prefixed.bin")
        check("deflate prefix", prefixed[:2], b"\xab\xcd")
        check("deflate prefixed", zlib.decompress(prefixed[2:]), b"hello " * 100)

        plain = subprocess.run(["openssl", "enc", "-d", "-aes-128-cbc", "-K", "000102030405060708090a0b0c0d0e0f",
                                "-iv", "7c41e0b95a2d38f6c19e04b7d2853a6f", "-in", os.path.join(folder, "aes.bin")],
                               check=True, capture_output=True).stdout
        check("aes", plain, b"analytics envelope body")

        archive = plistlib.loads(read("envelope_archive.plist"))
        objects = archive["$objects"]
        root = objects[archive["$top"]["root"].data]
        check("archive class", objects[root["$class"].data]["$classname"], "TLYEnvelope")
        fields = {k: (objects[v.data] if isinstance(v, plistlib.UID) else v) for k, v in root.items() if k != "$class"}
        check("archive fields", fields, {"version": "V1.0", "address": "k", "signature": "s", "serial_num": 7,
                                         "ts_secs": 1000, "length": 3, "entity": b"\x01\x02", "guid": "g",
                                         "checksum": "c", "codex": 1})

        cache = plistlib.loads(read("cache_items.plist"))
        objects = cache["$objects"]

        def resolve(ref):
            value = objects[ref.data] if isinstance(ref, plistlib.UID) else ref
            if not isinstance(value, dict) or "$class" not in value:
                return value
            name = objects[value["$class"].data]["$classname"]
            if name == "NSArray":
                return [resolve(item) for item in value["NS.objects"]]
            if name == "NSDictionary":
                return {resolve(k): resolve(v) for k, v in zip(value["NS.keys"], value["NS.objects"])}
            if name == "NSString":
                return value["NS.string"].decode("utf-8")
            fields = {k: resolve(v) for k, v in value.items() if k != "$class"}
            fields["class"] = (name, objects[value["$class"].data]["$classes"])
            return fields

        base = {"self.ts": 1700000000.25, "self.date": "2026-12-08", "self.time": "10:00:00", "self.session_id": "S1",
                "self.sendingFlag": True}
        check("cache items", resolve(cache["$top"]["root"]), [
            dict(base, **{"class": ("TLYEvent", ["TLYEvent", "TLYBaseEvent", "NSObject"]), "self.type": "event",
                          "self.event_id": "newsTab", "self.label": "\u97e9\u5267", "self.acc": 3, "self.du": 2**33,
                          "self.values": {"k": "v", "n": 2}}),
            dict(base, **{"class": ("TLYEkv", ["TLYEkv", "TLYBaseEvent", "NSObject"]), "self.type": "ekv",
                          "self.du": 1500, "self.id": "buy", "self.key": "item", "self.values": {"a": "b"}}),
            dict(base, **{"class": ("TLYError", ["TLYError", "TLYBaseEvent", "NSObject"]), "self.type": "error",
                          "self.context": "crash\0report"}),
            dict(base, **{"class": ("TLYTerminate", ["TLYTerminate", "TLYBaseEvent", "NSObject"]),
                          "self.type": "terminate", "self.duration": 42.5,
                          "self.pageViews": [["NewsViewController", 3]], "self.latitude": 39.9,
                          "self.longitude": 116.4, "self.gps_time": 1700000000123}),
        ])
        check("cache item texts written once", len([o for o in objects if o == "S1"]), 1)

        check("json", json.loads(read("fragment.json")), {"appkey": "k", "n": 3, "t": "\u4e2d/\""})
    print("all analytics formats read back")


if __name__ == "__main__":
    main()
