# readPrivRunnerOutput on a 1 Mi-frame stream (12 MiB) from a file: its
# speed, and its time against that of wc -l on the same file.
. scripts/bench.d/common.sh

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat >"$work/reader.c" <<'CODE'
#include <PrivRunnerOutput.h>
#include <stdio.h>

static unsigned long total;

static void count(const char *bytes, unsigned long length)
{
	(void)bytes;
	total += length;
}

int main(void)
{
	RunnerResult r;
	int ok = readPrivRunnerOutput(stdin, &r, count, count);
	return ok && r.hasExitValue && total == 1048576 ? 0 : 1;
}
CODE
cc -O2 -I"$PWD/Tools/PrivRunner/include" -o "$work/reader" "$work/reader.c" "$PWD/build/lib/libprivrunner-output.a"

# The stream of a utility that wrote 1 MiB of random bytes, half of them on
# standard error.
python3 - "$work/stream" <<'CODE'
import os, sys
data = os.urandom(1 << 20)
with open(sys.argv[1], "wb") as f:
    f.write(b"PID: 100\nPID: 100\nCHILDPID: 101\n")
    f.write(b"".join((b"STDOUT: 1\n" if i % 2 else b"STDERR: 1\n") + bytes([b]) + b"\n"
                     for i, b in enumerate(data)))
    f.write(b"EXITVALUE: 0\n")
CODE
"$work/reader" <"$work/stream" || { echo "privrunner-reader: the reader failed"; exit 1; }

count_lines() { wc -l <"$work/stream"; }
read_stream() { "$work/reader" <"$work/stream"; }
# best of seven runs each
best() {
	local best= t _
	for _ in 1 2 3 4 5 6 7; do
		t=$(elapsed_ns "$@")
		if [ -z "$best" ] || [ "$t" -lt "$best" ]; then best=$t; fi
	done
	echo "$best"
}
bytes=$(stat -c %s "$work/stream")
base=$(best count_lines)
ours=$(best read_stream)
mib_s=$(awk -v b="$bytes" -v t="$ours" 'BEGIN { printf "%.0f", b / 1048576 / (t / 1e9) }')
echo "privrunner-reader: $mib_s MiB/s; $(ratio "$ours" "$base") x the time of wc -l on the same 1 Mi-frame stream"
