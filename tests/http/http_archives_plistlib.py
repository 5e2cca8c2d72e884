"""Reads the keyed archives of lv_http_archive_tool with Python's plistlib (binary property lists) and
checks their structure: the archive header, the class chains, and every key each class writes."""
import os
import plistlib
import subprocess
import sys
import tempfile

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


class Archive:
    def __init__(self, path):
        with open(path, "rb") as f:
            data = f.read()
        check(data.startswith(b"bplist00"), path + ": a binary property list")
        self.plist = plistlib.loads(data, fmt=plistlib.FMT_BINARY)
        self.name = os.path.basename(path)
        p = self.plist
        check(p.get("$archiver") == "NSKeyedArchiver", self.name + ": $archiver")
        check(p.get("$version") == 100000, self.name + ": $version")
        check(isinstance(p.get("$objects"), list) and p["$objects"][0] == "$null", self.name + ": $objects")
        check(isinstance(p.get("$top"), dict) and isinstance(p["$top"].get("root"), plistlib.UID), self.name + ": $top")

    def get(self, value):
        """What a UID refers to (None for $null); anything else as it is."""
        if isinstance(value, plistlib.UID):
            return None if value.data == 0 else self.plist["$objects"][value.data]
        return value

    def root(self):
        return self.get(self.plist["$top"]["root"])

    def classes(self, obj):
        cls = self.get(obj["$class"])
        return cls["$classes"]

    def classname(self, obj):
        return self.get(obj["$class"])["$classname"]

    def keys(self, obj):
        return set(obj) - {"$class"}

    def text(self, value):
        v = self.get(value)
        if isinstance(v, dict) and self.classname(v) == "NSString":
            return v["NS.string"].decode()
        return v

    def dictionary(self, value):
        d = self.get(value)
        check(self.classname(d) == "NSDictionary", self.name + ": a dictionary")
        return {self.text(k): self.get(v) for k, v in zip(d["NS.keys"], d["NS.objects"])}

    def url(self, value):
        u = self.get(value)
        check(self.classname(u) == "URL" and self.keys(u) == {"NS.base", "NS.relative"}, self.name + ": URL keys")
        return self.text(u["NS.relative"])


def varints(data):
    out, value, shift = [], 0, 0
    for byte in data:
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            out.append(value)
            value, shift = 0, 0
    return out


def index_set(a, value):
    s = a.get(value)
    check(a.classes(s) == ["NSIndexSet", "NSObject"], a.name + ": index set class")
    count = s["NSRangeCount"]
    if count == 1:
        return [(s["NSLocation"], s["NSLength"])]
    numbers = varints(a.get(s["NSRangeData"]))
    return list(zip(numbers[0::2], numbers[1::2]))


def string_set(a, value):
    s = a.get(value)
    check(a.classes(s) == ["NSSet", "NSObject"], a.name + ": set class")
    return {a.text(u) for u in s["NS.objects"]}


SERIALIZER_KEYS = {"acceptableStatusCodes", "acceptableContentTypes"}
OPERATION_KEYS = {"request", "state", "response", "error", "responseData", "totalBytesRead"}


def check_serializer(a, s, cls, own_keys):
    check(a.classname(s) == cls, a.name + ": class " + cls)
    check(a.classes(s)[-2:] == ["HCHTTPResponseSerializer", "NSObject"], a.name + ": chain " + str(a.classes(s)))
    check(a.keys(s) == SERIALIZER_KEYS | own_keys, a.name + ": keys " + str(sorted(a.keys(s))))


def main(tool):
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run([tool, tmp], check=True)

        def archive(name):
            return Archive(os.path.join(tmp, name + ".bplist"))

        # The cancelled connection operation: Finished (3), its -999 error with the failing URL.
        a = archive("connection_operation")
        op = a.root()
        check(a.classes(op) == ["HCURLConnectionOperation", "NSOperation", "NSObject"], a.name + ": chain")
        check(a.keys(op) == OPERATION_KEYS, a.name + ": keys " + str(sorted(a.keys(op))))
        check(op["state"] == 3 and op["totalBytesRead"] == 0, a.name + ": state and count written inline")
        check(a.get(op["response"]) is None and a.get(op["responseData"]) is None, a.name + ": no response yet")
        error = a.get(op["error"])
        check(a.classname(error) == "NSError", a.name + ": error class")
        check(a.text(error["NSDomain"]) == "NSURLErrorDomain" and error["NSCode"] == -999, a.name + ": -999")
        info = a.dictionary(error["NSUserInfo"])
        check(a.url(info["NSErrorFailingURLKey"]) == "http://127.0.0.1:9/cancelled", a.name + ": failing URL")

        # The ready HTTP operation: archived as Ready (1) with the request its pause rewrote.
        a = archive("http_operation")
        op = a.root()
        check(a.classes(op) == ["HCHTTPRequestOperation", "HCURLConnectionOperation", "NSOperation", "NSObject"], a.name + ": chain")
        check(a.keys(op) == OPERATION_KEYS | {"responseSerializer"}, a.name + ": keys " + str(sorted(a.keys(op))))
        check(op["state"] == 1, a.name + ": a paused operation is written as Ready")
        request = a.get(op["request"])
        check(a.classname(request) == "URLRequest", a.name + ": request class")
        check(a.url(request["URL"]) == "http://content.test/api?cat=3", a.name + ": request URL")
        check(a.text(request["HTTPMethod"]) == "POST" and a.get(request["HTTPBody"]) == b"a=1", a.name + ": method, body")
        headers = a.dictionary(request["allHTTPHeaderFields"])
        check(headers.get("Range") == "bytes=0-", a.name + ": the pause's Range " + str(headers))
        check(headers.get("Content-Type") == "application/x-www-form-urlencoded", a.name + ": Content-Type")
        check(request["timeoutInterval"] == 60.0, a.name + ": time-out")
        check_serializer(a, a.get(op["responseSerializer"]), "HCJSONResponseSerializer",
                         {"readingOptions", "removesKeysWithNullValues"})

        a = archive("operation_manager")
        manager = a.root()
        check(a.classname(manager) == "HCHTTPRequestOperationManager", a.name + ": class")
        check(a.keys(manager) == {"baseURL", "requestSerializer", "responseSerializer"}, a.name + ": keys")
        check(a.url(manager["baseURL"]) == "http://content.test/base/", a.name + ": base URL with its slash")
        check(a.classname(a.get(manager["requestSerializer"])) == "HCHTTPRequestSerializer", a.name + ": request")
        json = a.get(manager["responseSerializer"])
        check_serializer(a, json, "HCJSONResponseSerializer", {"readingOptions", "removesKeysWithNullValues"})
        check(index_set(a, json["acceptableStatusCodes"]) == [(200, 100)], a.name + ": codes 200-299")
        check(string_set(a, json["acceptableContentTypes"]) == {"application/json", "text/json", "text/javascript"},
              a.name + ": JSON types")

        a = archive("HCHTTPResponseSerializer")
        s = a.root()
        check_serializer(a, s, "HCHTTPResponseSerializer", set())
        check(index_set(a, s["acceptableStatusCodes"]) == [(200, 100), (304, 1), (404, 2)], a.name + ": ranges")
        check(string_set(a, s["acceptableContentTypes"]) == {"text/plain", "text/html"}, a.name + ": types")

        a = archive("HCJSONResponseSerializer")
        s = a.root()
        check_serializer(a, s, "HCJSONResponseSerializer", {"readingOptions", "removesKeysWithNullValues"})
        check(a.get(s["readingOptions"]) == 4 and a.get(s["removesKeysWithNullValues"]) is True, a.name + ": numbers")

        a = archive("HCXMLParserResponseSerializer")
        check_serializer(a, a.root(), "HCXMLParserResponseSerializer", set())

        a = archive("HCPropertyListResponseSerializer")
        s = a.root()
        check_serializer(a, s, "HCPropertyListResponseSerializer", {"format", "readOptions"})
        check(a.get(s["format"]) == 100 and a.get(s["readOptions"]) == 0, a.name + ": format 100")

        a = archive("HCCompoundResponseSerializer")
        s = a.root()
        check_serializer(a, s, "HCCompoundResponseSerializer", {"responseSerializers"})
        check(a.get(s["acceptableContentTypes"]) is None, a.name + ": no types of its own")
        members = a.get(s["responseSerializers"])
        check(a.classname(members) == "NSArray", a.name + ": members array")
        check([a.classname(a.get(m)) for m in members["NS.objects"]] ==
              ["HCJSONResponseSerializer", "HCXMLParserResponseSerializer"], a.name + ": members")

        a = archive("HCImageResponseSerializer")
        s = a.root()
        check_serializer(a, s, "HCImageResponseSerializer", {"imageScale", "automaticallyInflatesResponseImage"})
        check(a.get(s["imageScale"]) == 2.5, a.name + ": scale as a number object")
        check(s["automaticallyInflatesResponseImage"] is False, a.name + ": inflation as a bool")
        check(len(string_set(a, s["acceptableContentTypes"])) == 10, a.name + ": ten image types")

        a = archive("url_session_manager")
        m = a.root()
        check(a.classname(m) == "HCURLSessionManager" and a.keys(m) == {"sessionConfiguration"}, a.name + ": keys")
        configuration = a.get(m["sessionConfiguration"])
        check(a.classname(configuration) == "URLSessionConfiguration", a.name + ": configuration class")
        check(configuration["timeoutIntervalForRequest"] == 12.0, a.name + ": configuration time-out")

        a = archive("http_session_manager")
        m = a.root()
        check(a.classes(m) == ["HCHTTPSessionManager", "HCURLSessionManager", "NSObject"], a.name + ": chain")
        check(a.keys(m) == {"baseURL", "sessionConfiguration", "requestSerializer", "responseSerializer"},
              a.name + ": keys " + str(sorted(a.keys(m))))
        check(a.url(m["baseURL"]) == "http://content.test/base/", a.name + ": base URL")
        check(a.get(m["sessionConfiguration"])["timeoutIntervalForRequest"] == 12.0, a.name + ": configuration")
        check(a.classname(a.get(m["responseSerializer"])) == "HCJSONResponseSerializer", a.name + ": response")

        a = archive("http_session_manager_background")
        m = a.root()
        check(a.keys(m) == {"baseURL", "identifier", "requestSerializer", "responseSerializer"},
              a.name + ": the identifier instead of the configuration " + str(sorted(a.keys(m))))
        check(a.text(m["identifier"]) == "com.lunavexa.sync" and a.get(m["baseURL"]) is None, a.name + ": identifier")

    if failures:
        print("\n".join(failures))
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
