# plist_set: setting one key of a 5 MiB XML property list with 100,000
# keys, against two baselines on the same file in the same run: a minimal C
# program that reads the file with libplist, sets the key and writes the
# XML (the floor for a libplist-backed setter), and Python's plistlib
# loading, setting and dumping it.  Each is timed five times from a fresh
# copy; the medians are compared.  The files live in /dev/shm, so that the
# figure is the programs' work rather than the disk's.
. scripts/bench.d/common.sh

work=$(mktemp -d /dev/shm/plist_set-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

cat >"$work/floor.c" <<'C'
#include <plist/plist.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char *argv[])
{
	FILE *f = fopen(argv[1], "rb");
	fseek(f, 0, SEEK_END);
	long n = ftell(f);
	rewind(f);
	char *buf = malloc(n);
	if (fread(buf, 1, n, f) != (size_t)n)
		return 1;
	fclose(f);
	plist_t root = NULL;
	plist_from_memory(buf, n, &root);
	free(buf);
	plist_dict_set_item(root, argv[2], plist_new_string(argv[3]));
	char *xml;
	uint32_t len;
	plist_to_xml(root, &xml, &len);
	f = fopen(argv[1], "wb");
	fwrite(xml, 1, len, f);
	fclose(f);
	plist_to_xml_free(xml);
	plist_free(root);
	return 0;
}
C
cc -O2 -o "$work/floor" "$work/floor.c" $(pkg-config --cflags --libs libplist-2.0)

cat >"$work/plistlib_set.py" <<'PY'
import plistlib, sys
with open(sys.argv[1], "rb") as f:
    root = plistlib.load(f)
root[sys.argv[2]] = sys.argv[3]
with open(sys.argv[1], "wb") as f:
    plistlib.dump(root, f)
PY

# Keys in sorted order, as the platform writes them, so that every program
# writes the same bytes.
python3 - "$work/orig.plist" <<'PY'
import sys
out = ['<?xml version="1.0" encoding="UTF-8"?>\n'
       '<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" '
       '"http://www.apple.com/DTDs/PropertyList-1.0.dtd">\n<plist version="1.0">\n<dict>\n']
for i in range(100000):
    out.append('\t<key>Key%06d</key>\n\t<string>Value %06d</string>\n' % (i, i))
out.append('</dict>\n</plist>\n')
open(sys.argv[1], 'w').write(''.join(out))
PY

# median_ns NAME CMD...: the median of five runs of CMD on a fresh copy.
median_ns() {
	local name=$1 times=() i
	shift
	for i in 1 2 3 4 5; do
		cp "$work/orig.plist" "$work/$name.plist"
		times+=("$(elapsed_ns "$@" "$work/$name.plist" Key050000 changed)")
	done
	printf '%s\n' "${times[@]}" | sort -n | sed -n 3p
}

ours=$(median_ns ours "$BIN/plist_set")
floor=$(median_ns floor "$work/floor")
python=$(median_ns python python3 "$work/plistlib_set.py")

if ! cmp -s "$work/ours.plist" "$work/floor.plist"; then
	echo "plist_set: output differs from the libplist floor's" >&2
	exit 1
fi
echo "plist_set: $(ratio "$ours" "$floor") x the time of a minimal libplist program," \
	"$(ratio "$ours" "$python") x that of Python plistlib (5 MiB, 100000 keys; medians of 5:" \
	"$((ours / 1000000)) ms, $((floor / 1000000)) ms, $((python / 1000000)) ms)"
