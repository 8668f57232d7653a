#!/usr/bin/env python3
"""Independent check of a file written by plist_set, with Python's plistlib.

    plist_check.py same ORIGINAL WRITTEN KEY VALUE
        WRITTEN must hold what ORIGINAL holds with KEY set to the string
        VALUE, nothing else changed, and its dictionary keys in UTF-16 order
        at every level.  Prints "ok", or what differs.

    plist_check.py show FILE
        Prints the top-level entries of FILE's dictionary, one "key=value"
        line each in key order, non-string values as Python shows them.
"""
import math
import plistlib
import sys


def norm(x):
    if isinstance(x, float) and math.isnan(x):
        return "nan"
    if isinstance(x, dict):
        return {k: norm(v) for k, v in x.items()}
    if isinstance(x, list):
        return [norm(v) for v in x]
    return x


def unsorted(x, path="root"):
    if isinstance(x, dict):
        keys = list(x)
        if keys != sorted(keys, key=lambda k: k.encode("utf-16-be")):
            return path
        for k, v in x.items():
            bad = unsorted(v, path + "/" + k)
            if bad:
                return bad
    if isinstance(x, list):
        for i, v in enumerate(x):
            bad = unsorted(v, "%s[%d]" % (path, i))
            if bad:
                return bad
    return None


def show(path):
    with open(path, "rb") as f:
        root = plistlib.load(f)
    for key in sorted(root):
        value = root[key]
        print("%s=%s" % (key, value if isinstance(value, str) else repr(value)))
    return 0


def main():
    if sys.argv[1] == "show":
        return show(sys.argv[2])
    _, command, original, written, key, value = sys.argv
    assert command == "same"
    with open(original, "rb") as f:
        expected = plistlib.load(f)
    with open(written, "rb") as f:
        raw = f.read()
    if not raw.startswith(b'<?xml version="1.0" encoding="UTF-8"?>\n'):
        print("not in the XML form")
        return 1
    got = plistlib.loads(raw)
    expected[key] = value
    if norm(got) != norm(expected):
        print("differs:\n  got      %r\n  expected %r" % (got, expected))
        return 1
    bad = unsorted(got)
    if bad:
        print("keys out of order in " + bad)
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
