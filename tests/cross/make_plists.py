#!/usr/bin/env python3
"""Writes property lists that reach every width the binary form has, in
the binary and the XML form, and damaged binary ones, into a folder.

    make_plists.py DIR

Integers, reals, dates and offsets of every size, strings in ASCII and in
UTF-16 (surrogate pairs included), data, more than 255 objects (two-byte
references) and more than 64 KiB (four-byte offsets); a file read on a
machine of the other byte order must give the same answer.
"""
import datetime
import os
import plistlib
import sys

INTEGERS = [0, 1, 127, 128, 255, 256, 32767, 65535, 65536, 2**31 - 1, 2**31,
            2**32 - 1, 2**32, 2**62, 2**63 - 1, 2**64 - 1, -1, -128, -129, -32769, -2**31 - 1, -2**63]
REALS = [0.0, -0.0, 0.5, -2.5, 1.0 / 3, 1e-300, 1e300, 3.4028234663852886e38, 2.0**70]
DATES = [datetime.datetime(2001, 1, 1), datetime.datetime(1970, 1, 1),
         datetime.datetime(1901, 12, 13, 20, 45, 52), datetime.datetime(2038, 1, 19, 3, 14, 8),
         datetime.datetime(2106, 2, 7, 6, 28, 16), datetime.datetime(2500, 6, 30, 23, 59, 59),
         datetime.datetime(9999, 12, 31, 23, 59, 59), datetime.datetime(1, 1, 1)]
STRINGS = ["", "a", "fourteen chars", "fifteen chars!!", "Grüße, naïve café",
           "日本語のテキスト", "emoji 😀 and 𝄞 clef", "line\nbreak\ttab & <xml> \"quoted\""]


def documents():
    yield "scalars", {
        "integers": INTEGERS,
        "reals": REALS,
        "dates": DATES,
        "strings": STRINGS,
        "booleans": [True, False],
        "data": bytes(range(256)),
        "empty": {"array": [], "dict": {}, "data": b""},
    }
    yield "keys", {s or "(empty)": s for s in STRINGS}
    # More than 255 objects: references take two bytes.
    yield "many", {"k%04d" % i: i * 1000003 for i in range(400)}
    # More than 64 KiB: offsets take four bytes.
    yield "large", {"blob%d" % i: bytes((i + j) & 0xFF for j in range(300)) for i in range(300)}
    deep = {"leaf": "bottom"}
    for level in range(40):
        deep = {"level%d" % level: [deep, level]}
    yield "deep", deep


def damaged(binary):
    """The binary form cut short, and with each field of its trailer
    changed: among others to its own value with the bytes swapped."""
    for cut in (8, 9, len(binary) // 2, len(binary) - 32, len(binary) - 1):
        yield "cut-%d" % cut, binary[:cut]
    trailer = len(binary) - 32

    def field(start, size):
        return int.from_bytes(binary[trailer + start:trailer + start + size], "big")

    def swapped(start, size):
        return int.from_bytes(field(start, size).to_bytes(size, "big"), "little")

    count, table = field(8, 8), field(24, 8)
    for name, start, size, value in (
            ("offset-size-0", 6, 1, 0), ("offset-size-3", 6, 1, 3), ("offset-size-9", 6, 1, 9),
            ("ref-size-0", 7, 1, 0), ("ref-size-8", 7, 1, 8),
            ("count-swapped", 8, 8, swapped(8, 8)), ("count-huge", 8, 8, 2**64 - 1),
            ("root-past-end", 16, 8, count), ("root-swapped", 16, 8, swapped(16, 8) | 1 << 56),
            ("table-swapped", 24, 8, swapped(24, 8)), ("table-past-end", 24, 8, len(binary)),
            ("table-in-trailer", 24, 8, table + 8)):
        b = bytearray(binary)
        b[trailer + start:trailer + start + size] = value.to_bytes(size, "big")
        yield name, bytes(b)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)

    def write(name, content):
        with open(os.path.join(out, name), "wb") as f:
            f.write(content)

    for name, doc in documents():
        write(name + ".plist", plistlib.dumps(doc, fmt=plistlib.FMT_XML, sort_keys=False))
        write(name + ".bplist", plistlib.dumps(doc, fmt=plistlib.FMT_BINARY, sort_keys=False))
    base = plistlib.dumps({"a": [1, 2.5, "three"], "b": {"c": b"\x00\x01"}}, fmt=plistlib.FMT_BINARY)
    for name, content in damaged(base):
        write("damaged-%s.bplist" % name, content)
    write("uid.bplist", plistlib.dumps({"uid": plistlib.UID(7)}, fmt=plistlib.FMT_BINARY))
    write("array-root.bplist", plistlib.dumps([1, 2], fmt=plistlib.FMT_BINARY))
    write("empty.plist", b"")


if __name__ == "__main__":
    main()
