# Utility front ends: 300 starts of the driver's utility (a stand-in) through
# newfs_fusefs_ardntfs against 300 direct starts of the same stand-in.
. scripts/bench.d/common.sh

read -r base ours < <(in_sandbox sh -c '
	utility=/Library/Filesystems/fusefs_ardntfs.fs/Contents/Resources/fusefs_ardntfs.util
	install -D -m 755 /sandbox/support/utility_standin "$utility"
	runs() { i=0; while [ $i -lt 300 ]; do "$@" || exit 1; i=$((i + 1)); done; }
	start=$(date +%s%N); runs "$utility" -newfs x; middle=$(date +%s%N)
	runs newfs_fusefs_ardntfs x; end=$(date +%s%N)
	echo $((middle - start)) $((end - middle))')
echo "newfs_fusefs_ardntfs: $(ratio "$ours" "$base") x the time of starting the utility directly (300 runs each)"
