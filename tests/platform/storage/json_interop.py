"""Checks our JSON writer and reader against Python's json module.

What the driver writes must read in Python as the sample, kinds included; what Python writes (ASCII or
UTF-8, compact or indented) must read in the driver as the sample. A large generated document (read in
pieces by the driver) must read back as Python wrote it, and with bytes put in around the ends of the
pieces the driver must refuse exactly what Python refuses and otherwise read what Python reads.
"""
import json
import random
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


def generated_document(rng):
    """Items of news-like dictionaries: Chinese, emoji, escapes and control characters in keys and
    texts, integers, reals with a fraction, booleans, nulls, nested lists."""
    alphabet = list("abcxyz019 /\\\"") + ["\x01", "\x1a", "\x1f", "\x7f", "é", "韩", "剧", "团", "\U0001F3B5", "\u2028"]

    def text():
        return "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 40)))

    def value(depth):
        kind = rng.randrange(7 if depth < 2 else 6)
        if kind == 0:
            return text()
        if kind == 1:
            return rng.randrange(-2**63, 2**63)
        if kind == 2:
            return rng.randrange(-10**6, 10**6) + rng.choice([0.5, 0.25, 0.1, 0.123456789])
        if kind == 3:
            return rng.choice([True, False])
        if kind == 4:
            return None
        if kind == 5:
            return "http://news.lunavexa.com/" + text()
        return [value(depth + 1) for _ in range(rng.randrange(0, 4))]

    return {"code": 0, "mItems": [{text(): value(0) for _ in range(rng.randrange(1, 12))} for _ in range(700)]}


def python_reads(data):
    try:
        return True, json.loads(data.decode("utf-8"))
    except ValueError:
        return False, None


def check_generated(driver, failures):
    """Returns how many checks it made; failures are appended."""
    rng = random.Random(20261208)
    document = generated_document(rng)
    checks = 0
    texts = []
    for ascii_only in (True, False):
        for indent in (None, 1):
            texts.append(json.dumps(document, ensure_ascii=ascii_only, indent=indent).encode("utf-8"))
    for data in texts:
        assert len(data) > 3 * 8192
        checks += 1
        run = subprocess.run([driver, "echo"], input=data, capture_output=True)
        if run.returncode != 0 or not same(json.loads(run.stdout.decode("utf-8")), document):
            failures.append(f"generated document of {len(data)} bytes: {run.stderr.decode()[:200]}")
    compact = texts[2]  # UTF-8, compact: no surrogate escapes an insert could split
    for boundary in (8192, 16384, 24576):
        for at in range(boundary - 5, boundary + 4):
            for insert in (b"\xe4\xb8", b"\x80", b"\xe4\xb8\xad", b"\xf0\x9f\x8e\xb5", b"\x1a", b"\\u00e9"):
                checks += 1
                data = compact[:at] + insert + compact[at:]
                accepted, expected = python_reads(data)
                run = subprocess.run([driver, "echo"], input=data, capture_output=True)
                if accepted != (run.returncode == 0) or (
                        accepted and not same(json.loads(run.stdout.decode("utf-8")), expected)):
                    failures.append(f"{insert!r} at {at}: Python {'reads' if accepted else 'refuses'} it, the driver "
                                    f"{'reads' if run.returncode == 0 else 'refuses'} it {run.stderr.decode()[:200]}")
    return checks


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
    checks = 6 + check_generated(driver, failures)
    for failure in failures:
        print(failure)
    print(f"{checks - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
