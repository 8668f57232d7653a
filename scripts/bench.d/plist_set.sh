# plist_set: setting one key of a 5 MiB XML property list with 100,000
# keys, against two baselines on the same file in the same run: a minimal C
# program that reads the file with libplist, sets the key and writes the
# XML (the floor for a libplist-backed setter), and Python's plistlib
# loading, setting and dumping it.  Each is timed five times from a fresh
# copy; the medians are compared.  The files live in /dev/shm, so that the
# figure is the programs' work rather than the disk's.
#
# Then plist_set's peak memory, on that file and on the largest binary file
# of the test corpus (whose shared objects the XML form writes out in
# full), against the bound of five times the file's size and 10 MiB.
#
# Targets: at most 1.3 times the libplist program's time, at most half of
# plistlib's, and the memory bound; a target missed fails the benchmark.
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
missed=0
awk -v a="$ours" -v b="$floor" 'BEGIN { exit !(a <= 1.3 * b) }' || { echo "plist_set: slower than 1.3 x the libplist program" >&2; missed=1; }
awk -v a="$ours" -v b="$python" 'BEGIN { exit !(a <= 0.5 * b) }' || { echo "plist_set: slower than 0.5 x plistlib" >&2; missed=1; }

# peak_kib FILE: plist_set's peak resident memory, in KiB, setting a key of
# a fresh copy of FILE.
peak_kib() {
	cp "$1" "$work/peak.plist"
	chmod u+w "$work/peak.plist"
	python3 -c 'import resource, subprocess, sys
subprocess.run(sys.argv[1:], check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)' "$BIN/plist_set" "$work/peak.plist" Key050000 changed
}
largest_binary=$(awk -F'\t' '$2 == "binary" && $3 == "dict" { print $1 }' tests/plist_set/corpus/manifest.tsv |
	(cd tests/plist_set/corpus && xargs ls -S) | head -n 1)
for file in "$work/orig.plist" "tests/plist_set/corpus/$largest_binary"; do
	size=$(stat -c %s "$file")
	peak=$(peak_kib "$file")
	bound=$(((5 * size + 10 * 1048576) / 1024))
	echo "plist_set: peak memory $((peak / 1024)) MiB of the $((bound / 1024)) MiB allowed for" \
		"$(basename "$file") ($((size / 1024)) KiB)"
	[ "$peak" -le "$bound" ] || { echo "plist_set: over the memory bound" >&2; missed=1; }
done
exit $missed
