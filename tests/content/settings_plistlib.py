"""Prints the settings file (a property list whose "key" entry holds a keyed archive) as JSON, read
with Python's plistlib only: dates as seconds since 1970, dictionaries and arrays resolved."""
import json
import plistlib
import sys


def uid(value):
    return value.data if isinstance(value, plistlib.UID) else None


def decode(archive, value):
    n = uid(value)
    if n is None:
        return value
    obj = archive["$objects"][n]
    if obj == "$null":
        return None
    if isinstance(obj, dict) and "$class" in obj:
        name = archive["$objects"][uid(obj["$class"])]["$classname"]
        if name in ("NSDictionary", "NSMutableDictionary"):
            return {decode(archive, k): decode(archive, v) for k, v in zip(obj["NS.keys"], obj["NS.objects"])}
        if name in ("NSArray", "NSMutableArray"):
            return [decode(archive, v) for v in obj["NS.objects"]]
        if name == "NSDate":
            return obj["NS.time"] + 978307200
        if name in ("NSString", "NSMutableString"):
            return obj["NS.string"]
        return {"$class": name}
    return obj


with open(sys.argv[1], "rb") as f:
    outer = plistlib.load(f)
archive = plistlib.loads(outer["key"])
print(json.dumps(decode(archive, archive["$top"]["root"]), ensure_ascii=False, sort_keys=True))
