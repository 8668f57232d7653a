# daemon: "ardova_ntfs_daemon -s" unmounting 50 idle FUSE volumes, against
# umount run once per volume by a shell loop over 50 such volumes, in the
# same private root; three rounds of each, alternating.
. scripts/bench.d/common.sh

measure='
. /sandbox/support/lib.sh
mount_all() {
	for i in $(seq 50); do
		mkdir -p /tmp/v$i
		testfs -f -o subtype=fusefs_ardntfs,fsname=/dev/disk$i /tmp/v$i </dev/null 2>/dev/null &
	done
	for i in $(seq 50); do wait_mounted /tmp/v$i || exit 1; done
}
none_left() { ! grep -q " fuse.fusefs_ardntfs " /proc/self/mountinfo; }
ours=0; base=0
for round in 1 2 3; do
	mount_all
	t0=$(date +%s%N); ardova_ntfs_daemon -s >/dev/null 2>&1; t1=$(date +%s%N)
	none_left || { echo "volumes left after -s" >&2; exit 1; }
	mount_all
	t2=$(date +%s%N); for i in $(seq 50); do umount /tmp/v$i; done; t3=$(date +%s%N)
	none_left || { echo "volumes left after umount" >&2; exit 1; }
	ours=$((ours + t1 - t0)); base=$((base + t3 - t2))
done
echo "$ours $base"
'
read -r ours base < <(in_sandbox /bin/sh -c "$measure")
echo "daemon: $(ratio "$ours" "$base") x the time of umount run once per volume (-s on 50 idle FUSE volumes)"
