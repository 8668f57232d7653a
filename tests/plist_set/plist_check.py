#!/usr/bin/env python3
"""Independent check of a file written by plist_set, with Python's plistlib.

    plist_check.py same ORIGINAL WRITTEN KEY VALUE
        WRITTEN must hold what ORIGINAL holds with KEY set to the string
        VALUE, nothing else changed, and its dictionary keys in UTF-16 order
        at every level.  Prints "ok", or what differs.

    plist_check.py pairs LIST
        The same for each line "ORIGINAL<tab>WRITTEN<tab>KEY<tab>VALUE" of
        LIST, one line of answer each: "ok", "unreadable" when plistlib
        cannot read one of the two files, or what differs.

    plist_check.py show FILE
        Prints the top-level entries of FILE's dictionary, one "key=value"
        line each in key order, non-string values as Python shows them.

Dates compare in whole seconds, as the XML form writes them, and a keyed
archiver's UID as the dictionary the XML form writes for it.
"""
import datetime
import math
import plistlib
import sys


def norm(x):
    if isinstance(x, float) and math.isnan(x):
        return "nan"
    if isinstance(x, datetime.datetime):
        return x.replace(microsecond=0)
    if isinstance(x, plistlib.UID):
        return {"CF$UID": x.data}
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


def same(original, written, key, value):
    with open(original, "rb") as f:
        expected = plistlib.load(f)
    with open(written, "rb") as f:
        raw = f.read()
    if not raw.startswith(b'<?xml version="1.0" encoding="UTF-8"?>\n'):
        return "not in the XML form"
    got = plistlib.loads(raw)
    expected[key] = value
    if norm(got) != norm(expected):
        return "differs:\n  got      %r\n  expected %r" % (got, expected)
    bad = unsorted(got)
    if bad:
        return "keys out of order in " + bad
    return "ok"


def main():
    if sys.argv[1] == "show":
        return show(sys.argv[2])
    if sys.argv[1] == "pairs":
        with open(sys.argv[2]) as f:
            for line in f.read().splitlines():
                original, written, key, value = line.split("\t")
                try:
                    answer = same(original, written, key, value)
                except Exception:
                    answer = "unreadable"
                print(answer.replace("\n", " "))
        return 0
    _, command, original, written, key, value = sys.argv
    assert command == "same"
    answer = same(original, written, key, value)
    print(answer)
    return 0 if answer == "ok" else 1


if __name__ == "__main__":
    sys.exit(main())
