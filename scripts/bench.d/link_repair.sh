# sbin_link_repair: 300 runs that find both links correct against 300 runs of
# "readlink" on the same two links.
. scripts/bench.d/common.sh

read -r base ours < <(in_sandbox sh -c '
	sbin_link_repair >/dev/null || exit 1
	links="/usr/local/sbin/mount_fusefs_ardntfs /usr/local/sbin/newfs_fusefs_ardntfs"
	runs() { i=0; while [ $i -lt 300 ]; do "$@" >/dev/null || exit 1; i=$((i + 1)); done; }
	start=$(date +%s%N); runs readlink $links; middle=$(date +%s%N)
	runs sbin_link_repair; end=$(date +%s%N)
	echo $((middle - start)) $((end - middle))')
echo "sbin_link_repair: $(ratio "$ours" "$base") x the time of readlink on both links (300 runs each)"
