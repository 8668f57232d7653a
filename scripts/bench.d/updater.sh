# updater: ArdovaUpdater on a signed 256 MiB image, with stand-ins for
# hdiutil and installer that do nothing, against cp of the image followed
# by openssl dgst -sha1 of the copy: the same reading, writing and hashing
# done by two programs.  Best of three runs each.  Also the peak resident
# size with a 256 MiB image against that with a 1 MiB image.  The build
# with the test key is measured, since only its images can be signed here.
. scripts/bench.d/common.sh

in_sandbox bash -c '
set -e
cd /tmp && mkdir stand-ins
printf "#!/bin/sh\n[ \"\$1\" = attach ] && printf \"/dev/disk4\\\\tGUID_partition_scheme\\\\n\"\nexit 0\n" >stand-ins/hdiutil
printf "#!/bin/sh\nexit 0\n" >stand-ins/installer
chmod 755 stand-ins/*
export PATH=/tmp/stand-ins:$PATH
key=/sandbox/support/updater-test-key.pem
head -c 268435456 /dev/urandom >big.dmg && openssl dgst -sha1 -sign $key -out big.sig big.dmg
head -c 1048576 /dev/urandom >small.dmg && openssl dgst -sha1 -sign $key -out small.sig small.dmg

elapsed_ns() {
	local start=$(date +%s%N)
	"$@" >/dev/null || { echo "updater: failed: $*" >&2; return 1; }
	echo $(( $(date +%s%N) - start ))
}
baseline() { cp big.dmg copy.dmg && openssl dgst -sha1 copy.dmg && rm copy.dmg; }
best_base= best_ours=
for run in 1 2 3; do
	base=$(elapsed_ns baseline) || exit 1
	ours=$(elapsed_ns ArdovaUpdater-testkey big.dmg big.sig) || exit 1
	[ -z "$best_base" ] || [ "$base" -lt "$best_base" ] && best_base=$base
	[ -z "$best_ours" ] || [ "$ours" -lt "$best_ours" ] && best_ours=$ours
done

peak_kib() {
	python3 -c "import resource, subprocess, sys
subprocess.run(sys.argv[1:], check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)" ArdovaUpdater-testkey "$@"
}
big_rss=$(peak_kib big.dmg big.sig)
small_rss=$(peak_kib small.dmg small.sig)
awk -v a="$best_ours" -v b="$best_base" -v big="$big_rss" -v small="$small_rss" "BEGIN {
	printf \"updater: %.2f x the time of cp + openssl dgst -sha1 (256 MiB image); \", a / b
	printf \"peak RSS %.1f MiB with 256 MiB vs %.1f MiB with 1 MiB (%+.2f MiB)\\n\", big / 1024, small / 1024, (big - small) / 1024
}"
'
