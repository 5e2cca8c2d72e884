"""Checks our property lists and keyed archives against Python's plistlib, both ways."""
import datetime
import os
import plistlib
import subprocess
import sys
import tempfile

TOOL = sys.argv[1]


def sample(for_xml, with_cr):
    d = {
        "max": 2**64 - 1, "min": -2**63, "negative": -42, "wide": 5000000000,
        "real": 0.1, "huge": 1e300, "yes": True, "no": False,
        "old": datetime.datetime(1800, 1, 1, 12, 30, 15),
        "future": datetime.datetime(2200, 6, 30, 23, 59, 59),
        "fraction": datetime.datetime(2000, 12, 31, 23, 59, 59, 0 if for_xml else 750000),
        "text": "韩剧 \U0001F3B5 <&> \"quoted\"", "tabs": "a\tb\nc", "data": b"Z" * 200,
        "nested": {"list": [1, [2, {"deep": [[]]}], {}], "empty": []},
    }
    if not for_xml:
        d["controls"] = "\x01\x1f"
    if with_cr:
        d["cr"] = "a\rb\r\n"
    return d


def same(a, b):
    """Equality that also tells booleans from integers."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what)
    return ok


def uid(ref):
    """A UID in binary archives, {"CF$UID": n} in XML ones."""
    return ref.data if isinstance(ref, plistlib.UID) else ref["CF$UID"]


def resolve_archive(archive):
    objects = archive["$objects"]
    root = objects[uid(archive["$top"]["root"])]
    keys = [objects[uid(k)] for k in root["NS.keys"]]
    values = [objects[uid(v)] for v in root["NS.objects"]]
    cls = objects[uid(root["$class"])]
    return (archive["$archiver"], archive["$version"], cls["$classname"], cls["$classes"], dict(zip(keys, values)))


def main():
    results = []
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run([TOOL, "write", tmp], check=True)

        def ours(name):
            with open(os.path.join(tmp, name), "rb") as f:
                return plistlib.load(f)

        results.append(check(same(ours("ours-xml.plist"), sample(True, True)), "plistlib reads our XML"))
        results.append(check(same(ours("ours-binary.plist"), sample(False, True)), "plistlib reads our binary"))
        expected_archive = ("NSKeyedArchiver", 100000, "NSDictionary", ["NSDictionary", "NSObject"],
                            {"k": "v", "max": 2**64 - 1, "wide": 5000000000})
        for name in ("ours-archive.plist", "ours-archive-xml.plist"):
            results.append(check(resolve_archive(ours(name)) == expected_archive, "plistlib reads our keyed archive " + name))
        results.append(check(isinstance(ours("ours-archive.plist")["$top"]["root"], plistlib.UID), "binary archives hold UIDs"))

        theirs = {
            "theirs-xml.plist": (plistlib.dumps(sample(True, False), fmt=plistlib.FMT_XML), "xml"),
            "theirs-binary.plist": (plistlib.dumps(sample(False, True), fmt=plistlib.FMT_BINARY), "binary"),
            "theirs-archive.plist": (plistlib.dumps({
                "$archiver": "NSKeyedArchiver", "$version": 100000, "$top": {"root": plistlib.UID(1)},
                "$objects": ["$null",
                             {"NS.keys": [plistlib.UID(2), plistlib.UID(3), plistlib.UID(4)],
                              "NS.objects": [plistlib.UID(5), plistlib.UID(6), plistlib.UID(7)], "$class": plistlib.UID(8)},
                             "k", "max", "wide", "v", 2**64 - 1, 5000000000,
                             {"$classname": "NSDictionary", "$classes": ["NSDictionary", "NSObject"]}]},
                fmt=plistlib.FMT_BINARY), "archive"),
        }
        for name, (data, case) in theirs.items():
            path = os.path.join(tmp, name)
            with open(path, "wb") as f:
                f.write(data)
            results.append(check(subprocess.run([TOOL, "read", path, case]).returncode == 0, "we read plistlib's " + name))
    print(f"{sum(results)} passed, {len(results) - sum(results)} failed")
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
