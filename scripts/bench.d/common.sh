# Helpers for benchmarks.  Not a benchmark itself (no .sh run alone).
# shellcheck shell=bash

BIN=$PWD/build/bin
SUPPORT=$PWD/build/tests/support-bin

now_ns() { date +%s%N; }

# elapsed_ns CMD...: wall-clock nanoseconds that CMD takes.
elapsed_ns() {
	local start end
	start=$(now_ns)
	"$@" >/dev/null
	end=$(now_ns)
	echo $((end - start))
}

# ratio A B: A / B with two decimals.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# in_sandbox CMD...: run CMD as root in a private root like the tests' own,
# with the programs and the test support on PATH.
in_sandbox() {
	bwrap --tmpfs / --ro-bind /usr /usr --symlink usr/bin /bin --symlink usr/lib /lib \
		--symlink usr/lib64 /lib64 --symlink usr/sbin /sbin --ro-bind /etc /etc \
		--dev-bind /dev /dev --proc /proc --perms 1777 --tmpfs /tmp \
		--perms 0755 --dir /Library --perms 0755 --dir /var --perms 0755 --dir /var/run \
		--perms 0755 --tmpfs /usr/local --perms 0755 --dir /sandbox \
		--ro-bind "$BIN" /sandbox/bin --ro-bind "$SUPPORT" /sandbox/support \
		--unshare-pid --cap-add ALL --die-with-parent \
		--setenv PATH /sandbox/bin:/sandbox/support:/usr/sbin:/usr/bin:/sbin:/bin \
		-- "$@"
}
