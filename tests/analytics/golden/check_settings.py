#!/usr/bin/env python3
"""Independent reader of the analytics settings files: runs the writer in a fresh sandbox, then reads
the user defaults, the DeviceUID pasteboard, the envelope file and an item archive with plistlib."""
import glob
import os
import plistlib
import re
import subprocess
import sys
import tempfile


def check(name, got, expected):
    if got != expected:
        sys.exit(f"{name}: got {got!r}, expected {expected!r}")


def resolve(objects, ref):
    return objects[ref.data] if isinstance(ref, plistlib.UID) else ref


def main():
    tool = sys.argv[1]
    with tempfile.TemporaryDirectory() as root:
        uid = subprocess.run([tool, root], check=True, capture_output=True, text=True).stdout.strip()
        check("uid form", bool(re.fullmatch(r"[0-9a-f]{40}", uid)), True)

        (prefs,) = glob.glob(os.path.join(root, "Library", "Preferences", "*.plist"))
        with open(prefs, "rb") as f:
            defaults = plistlib.load(f)
        check("successes", defaults["tlySuccessfulRequests"], 1)
        check("failures", defaults["tlyFailedRequests"], 1)
        check("spent", defaults["tlyLastRequestSpentMS"], 250)
        check("period count", defaults["tlyPeriodEvtCount"], 7)
        check("post interval", defaults["lastPostInterval"], 1700000000.5)
        check("post date form", bool(re.fullmatch(r"\d{4}-\d{2}-\d{2}", defaults["lastPostDate"])), True)
        check("appkey", defaults["appkey"], "9f3b6c2a41e07d58b2c4a6e1")
        check("uid in defaults", defaults["tlyDeviceUID"], uid)

        with open(os.path.join(root, "Library", "Pasteboards", "tlyDeviceUID.plist"), "rb") as f:
            board = plistlib.load(f)
        check("uid on pasteboard", board["items"][0]["public.utf8-plain-text"], uid)

        caches = os.path.join(root, "Library", "Caches")
        with open(os.path.join(caches, ".tally", "1700000000500_envelope.log"), "rb") as f:
            check("envelope file", f.read(), b"envelope bytes")

        with open(os.path.join(root, "items.plist"), "rb") as f:
            archive = plistlib.load(f)
        objects = archive["$objects"]
        items = resolve(objects, archive["$top"]["root"])["NS.objects"]
        event, end = (resolve(objects, item) for item in items)
        check("event class", resolve(objects, event["$class"])["$classname"], "TLYEvent")
        check("event acc", event["self.acc"], 1 << 40)
        check("event du", event["self.du"], 1234)
        check("event id", resolve(objects, event["self.event_id"]), "newsTab")
        check("event type", resolve(objects, event["self.type"]), "event")
        check("event ts", event["self.ts"], 1700000000.5)
        check("event flag", event["self.sendingFlag"], False)
        check("end class", resolve(objects, end["$class"])["$classname"], "TLYTerminate")
        check("end duration", end["self.duration"], 42.5)
        check("end gps", end["self.gps_time"], 1700000000123)
        pages = resolve(objects, end["self.pageViews"])["NS.objects"]
        page = resolve(objects, pages[0])["NS.objects"]
        check("end page", [resolve(objects, p) for p in page], ["NewsViewController", 3])
    print("all analytics settings files read back")


if __name__ == "__main__":
    main()
