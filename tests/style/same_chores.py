#!/usr/bin/env python3
"""The chores that several programs do are written once and copied: each
copy must be the same text, its comment included, wherever it appears.

    same_chores.py SOURCE...

Prints each chore that differs between two sources, with a diff, and exits
1; exits 0 when every copy is the same.  A chore is a function definition
(or the signal table) at the start of a line, from the comment above it to
its closing brace.
"""
import difflib
import re
import sys

CHORES = [
    "open_standard_descriptors",
    "write_all",
    "wait_until_writable",
    "remove_unsafe_environment",
    "is_unsafe_variable",
    "report_error",
    "termination_signals",
    "termination_signal_set",
    "block_termination_signals",
]


def definition(lines, name):
    """The text of the chore's definition in lines, or None."""
    pattern = re.compile(r"^[A-Za-z].*\b" + re.escape(name) + r"(\[\]|\()")
    for i, line in enumerate(lines):
        if not pattern.match(line) or line.rstrip().endswith(";"):
            continue
        start = i
        while start > 0 and lines[start - 1].startswith("//"):
            start -= 1
        end = i
        if line.rstrip().endswith("{") and "[]" in line or "[] =" in line:
            # A table: to the line that closes it, and the count after it.
            while end < len(lines) and not lines[end].rstrip().endswith("};"):
                end += 1
            if end + 1 < len(lines) and "_count = sizeof" in lines[end + 1]:
                end += 1
        else:
            while end < len(lines) and lines[end].rstrip() != "}":
                end += 1
        return "".join(lines[start:end + 1])
    return None


def main(sources):
    texts = {}
    for path in sources:
        with open(path, encoding="utf-8") as f:
            texts[path] = f.readlines()
    failed = False
    for name in CHORES:
        copies = [(path, definition(lines, name)) for path, lines in texts.items()]
        copies = [(path, text) for path, text in copies if text is not None]
        if len(copies) < 2:
            failed = True
            print(f"{name}: found in {len(copies)} source(s), not copied as a chore")
            continue
        for path, text in copies[1:]:
            first_path, first = copies[0]
            if text != first:
                failed = True
                print(f"{name}: {path} differs from {first_path}")
                sys.stdout.writelines(difflib.unified_diff(
                    first.splitlines(True), text.splitlines(True), first_path, path))
    if not failed:
        print("every chore is the same in every source")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
