"""Reads the model archives of lv_model_archive_tool with Python's plistlib."""
import os
import plistlib
import subprocess
import sys
import tempfile

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


def uid(value):
    """A UID: plistlib's own in binary, the {"CF$UID": n} dictionary in XML; None otherwise."""
    if isinstance(value, plistlib.UID):
        return value.data
    if isinstance(value, dict) and list(value) == ["CF$UID"]:
        return value["CF$UID"]
    return None


def resolve(archive, value):
    n = uid(value)
    return archive["$objects"][n] if n is not None else value


def check_note(archive, note, where):
    cls = resolve(archive, note["$class"])
    check(cls["$classname"] == "ArchivedNote", where + ": class name")
    check(resolve(archive, note["JMModelVersion"]) == 0, where + ": version 0")
    check(resolve(archive, note["title"]) == "韩流 <news>", where + ": title")
    check(resolve(archive, note["count"]) == 42, where + ": count")
    check("body" not in note, where + ": no key for the nil body")
    extra = resolve(archive, note["extra"])
    check(resolve(archive, extra["$class"])["$classname"] == "NSDictionary", where + ": dictionary class")
    keys = [resolve(archive, k) for k in extra["NS.keys"]]
    check(keys == ["tags"], where + ": dictionary keys")


with tempfile.TemporaryDirectory() as tmp:
    subprocess.run([sys.argv[1], tmp], check=True)
    for name, fmt in (("note.bplist", plistlib.FMT_BINARY), ("note.xml", plistlib.FMT_XML)):
        with open(os.path.join(tmp, name), "rb") as f:
            data = f.read()
        archive = plistlib.loads(data, fmt=fmt)
        check(archive["$archiver"] == "NSKeyedArchiver" and archive["$version"] == 100000, name + ": header")
        root = resolve(archive, archive["$top"]["root"])
        check_note(archive, root, name)
    with open(os.path.join(tmp, "pair.bplist"), "rb") as f:
        archive = plistlib.loads(f.read())
    array = resolve(archive, archive["$top"]["root"])
    uids = [uid(u) for u in array["NS.objects"]]
    check(len(uids) == 3 and uids[0] == uids[2] and uids[0] != uids[1], "pair: a shared model is written once")
    check_note(archive, archive["$objects"][uids[0]], "pair")

if failures:
    print("\n".join(failures))
    sys.exit(1)
print("ok")
