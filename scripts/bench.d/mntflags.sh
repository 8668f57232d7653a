# mntflags: 500 runs of "mntflags /" against 500 runs of "stat -f /", which
# makes the same statfs call.
. scripts/bench.d/common.sh

runs() { for _ in $(seq 500); do "$@" >/dev/null; done; }
base=$(elapsed_ns runs stat -f /)
ours=$(elapsed_ns runs "$BIN/mntflags" /)
echo "mntflags: $(ratio "$ours" "$base") x the time of stat -f (500 runs each)"
