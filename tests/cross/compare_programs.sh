#!/usr/bin/env bash
# compare_programs.sh REFERENCE_BIN BIN [LAUNCHER...]
#
# Runs the programs of another build (BIN, started through LAUNCHER, such
# as qemu-ppc -L /usr/powerpc-linux-gnu, or directly) and of a reference build
# (REFERENCE_BIN, run natively) through the same scenarios
# (scenarios.sh), each in a throw-away private root, and compares what
# they did byte for byte: standard output and error, exit status, and the
# files they wrote.  A build for another byte order or word size must do
# exactly what the reference does.  Exits 1 when anything differs.  Needs
# root and bwrap; without them it skips, and under CI=true fails.
#
#   PLIST_CORPUS   more folders of property lists to try, separated by ':'
#   KEEP_WORK      set: keep what both builds did, and say where
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
support=$(cd "$here/../support/scripts" && pwd)
if [ $# -lt 2 ]; then
	echo "usage: $0 REFERENCE_BIN BIN [LAUNCHER...]" >&2
	exit 2
fi
# The private roots need root and bubblewrap; like the sandbox tests, a
# machine without them skips, except under CI.
if [ "$(id -u)" -ne 0 ] || ! command -v bwrap >/dev/null; then
	echo "compare: skipped: private roots need root and bwrap"
	[ "${CI:-}" != true ] || exit 1
	exit 0
fi
reference_bin=$(cd "$1" && pwd)
bin=$(cd "$2" && pwd)
shift 2
launcher="$*"

work=$(mktemp -d)
if [ -n "${KEEP_WORK:-}" ]; then
	echo "compare: results in $work"
else
	trap 'rm -rf "$work"' EXIT
fi

main() {
	collect_plists
	scenarios reference "$reference_bin" ""
	scenarios other "$bin" "$launcher"
	ran "$work/reference" && ran "$work/other"
	compare "$work/reference" "$work/other"
}

collect_plists() {
	local dir file
	python3 "$here/make_plists.py" "$work/plists"
	IFS=: read -ra dirs <<<"$here/../compat/plist_corpus:$here/../plist_set/corpus${PLIST_CORPUS:+:$PLIST_CORPUS}"
	for dir in "${dirs[@]}"; do
		for file in "$dir"/*; do
			[ -f "$file" ] && cp "$file" "$work/plists/$(basename "$dir")-$(basename "$file")"
		done
	done
}

# scenarios SIDE BIN LAUNCHER: one pass of scenarios.sh, results in
# $work/SIDE.
scenarios() {
	local side=$1 programs=$2 run=$3
	mkdir "$work/$side"
	timeout 600 bwrap --tmpfs / --ro-bind /usr /usr \
		--symlink usr/bin /bin --symlink usr/lib /lib --symlink usr/lib64 /lib64 --symlink usr/lib32 /lib32 \
		--symlink usr/sbin /sbin --ro-bind /etc /etc --dev-bind /dev /dev --proc /proc \
		--perms 0755 --dir /Library --perms 0755 --dir /var/run \
		--perms 0755 --tmpfs /usr/local --perms 1777 --tmpfs /tmp \
		--perms 0755 --dir /sandbox --ro-bind "$programs" /sandbox/bin \
		--ro-bind "$support" /sandbox/support --ro-bind "$here" /sandbox/cross \
		--ro-bind "$work/plists" /plists --bind "$work/$side" /out \
		--unshare-pid --cap-add ALL --die-with-parent --clearenv \
		--setenv PATH /usr/sbin:/usr/bin:/sbin:/bin --setenv HOME /tmp --setenv LC_ALL C \
		-- /bin/sh -c 'RUN=$1; . /sandbox/cross/scenarios.sh' sh "$run"
}

# Every program started (a shell's 126 and 127 would compare equal too),
# and each runner stream began with the runner's own process id.
ran() {
	local status_file pids_file ok=0
	for status_file in "$1"/*.status; do
		case $(cat "$status_file") in
		126 | 127) echo "compare: $status_file: the program did not start"; ok=1 ;;
		esac
	done
	for pids_file in "$1"/*.pids; do
		grep -qx "runner pid ok" "$pids_file" || { echo "compare: $pids_file: wrong runner pid"; ok=1; }
	done
	return "$ok"
}

# Both trees hold the same files with the same bytes; for each file that
# differs, the first lines where it does.
compare() {
	local reference=$1 other=$2 name differ=0 count=0
	if ! diff <(cd "$reference" && find . | LC_ALL=C sort) <(cd "$other" && find . | LC_ALL=C sort); then
		echo "compare: the two builds left different files (< reference, > other)"
		differ=1
	fi
	while IFS= read -r name; do
		count=$((count + 1))
		[ -f "$other/$name" ] || continue
		if ! cmp -s "$reference/$name" "$other/$name"; then
			echo "compare: $name differs (< reference, > other):"
			diff <(od -An -c "$reference/$name") <(od -An -c "$other/$name") | head -n 20 || true
			differ=1
		fi
	done < <(cd "$reference" && find . -type f | LC_ALL=C sort)
	if [ "$differ" -ne 0 ]; then
		echo "compare: FAILED"
		return 1
	fi
	echo "compare: $count files identical"
}

main
