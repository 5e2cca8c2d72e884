"""Checks our JSON writer and reader against Python's json module.

What the driver writes must read in Python as the sample, kinds included; what Python writes (ASCII or
UTF-8, compact or indented) must read in the driver as the sample.
"""
import json
import subprocess
import sys

SAMPLE = {
    "text": ["韩剧 \U0001F3B5 é", 'quote " backslash \\ slash / http://a.b/c',
             "controls \x01\x1f\t\n\r\b\f\x7f end", "\x00", ""],
    "integers": [0, -1, 2**63 - 1, -2**63, 2**64 - 1],
    "doubles": [0.1, 1e300, -2.5e-300, 5e-324, 1.7976931348623157e308, 123456.789],
    "kinds": [True, False, None],
    "nested": {"a": [[], {}], 'é/"k"': {"deeper": [1, [2]]}},
}


def same(a, b):
    """Equality that also tells booleans, integers and reals apart."""
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


def main(driver):
    failures = []
    for mode in ("write", "write-pretty"):
        written = subprocess.run([driver, mode], capture_output=True, check=True).stdout
        if b"\\/" not in written:
            failures.append(f"{mode}: '/' is not written as '\\/'")
        if not same(json.loads(written.decode("utf-8")), SAMPLE):
            failures.append(f"{mode}: Python reads {written!r}")
    for ascii_only in (True, False):
        for indent in (None, 2):
            text = json.dumps(SAMPLE, ensure_ascii=ascii_only, indent=indent)
            run = subprocess.run([driver, "read"], input=text.encode("utf-8"), capture_output=True)
            if run.returncode != 0:
                failures.append(f"read ascii={ascii_only} indent={indent}: {run.stderr.decode()}")
    for failure in failures:
        print(failure)
    print(f"{6 - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
