"""Checks the platform's relative resolution against Python's urllib.parse.urljoin over the reference
examples of RFC 3986 section 5.4 (normal and abnormal), each resolved against the RFC's base.

Usage: url_resolve_urljoin.py PATH_TO_lv_url_resolve_tool
"""
import subprocess
import sys
from urllib.parse import urljoin

BASE = "http://a/b/c/d;p?q"

NORMAL = ["g:h", "g", "./g", "g/", "/g", "//g", "?y", "g?y", "#s", "g#s", "g?y#s", ";x", "g;x",
          "g;x?y#s", "", ".", "./", "..", "../", "../g", "../..", "../../", "../../g"]
ABNORMAL = ["../../../g", "../../../../g", "/./g", "/../g", "g.", ".g", "g..", "..g", "./../g",
            "./g/.", "g/./h", "g/../h", "g;x=1/./y", "g;x=1/../y", "g?y/./x", "g?y/../x",
            "g#s/./x", "g#s/../x", "http:g"]

# urljoin keeps the backward-compatible reading of a reference that repeats the base's scheme; the
# RFC's strict parser, which the platform follows, takes "http:g" as an absolute reference.
STRICT = {"http:g": "http:g"}


def main():
    tool = sys.argv[1]
    references = NORMAL + ABNORMAL
    run = subprocess.run([tool, BASE], input="\n".join(references) + "\n", capture_output=True, text=True,
                         timeout=30, check=True)
    answers = run.stdout.split("\n")[:-1]
    if len(answers) != len(references):
        print(f"expected {len(references)} lines, got {len(answers)}: {run.stdout!r}")
        return 1
    failures = 0
    for reference, answer in zip(references, answers):
        expected = STRICT.get(reference, urljoin(BASE, reference))
        if answer != expected:
            print(f"{reference!r}: ours {answer!r}, expected {expected!r}")
            failures += 1
    print(f"{len(references) - failures} of {len(references)} references resolve as expected")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
