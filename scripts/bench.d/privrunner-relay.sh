# PrivRunner relaying 1 MiB that a utility writes on its standard output,
# against a minimal single-threaded loop that reads one byte and writes one
# 12-byte frame per byte: the floor for this stream format.  The same loop
# split over two threads shows what threading costs by itself.
. scripts/bench.d/common.sh

if [ "$(id -u)" -ne 0 ]; then
	echo "privrunner-relay: skipped (PrivRunner needs root)"
	exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat >"$work/floor.c" <<'CODE'
#include <pthread.h>
#include <unistd.h>

static void *relay(void *unused)
{
	char frame[12] = "STDOUT: 1\n";
	(void)unused;
	while (read(0, &frame[10], 1) == 1) {
		frame[11] = '\n';
		if (write(1, frame, sizeof frame) != sizeof frame)
			break;
	}
	return 0;
}

static void *idle(void *unused)
{
	(void)unused;
	pause();
	return 0;
}

int main(int argc, char *argv[])
{
	pthread_t reader, other;
	(void)argv;
	if (argc == 1)
		return relay(0) != 0;
	pthread_create(&other, 0, idle, 0);
	pthread_create(&reader, 0, relay, 0);
	pthread_join(reader, 0);
	return 0;
}
CODE
cc -O2 -o "$work/floor" "$work/floor.c" -lpthread

size=1048576
floor() { head -c $size /dev/zero | "$work/floor"; }
floor_threads() { head -c $size /dev/zero | "$work/floor" threads; }
runner() { "$BIN/PrivRunner" /usr/bin/head -c $size /dev/zero; }

# best of five runs each
best() {
	local best= t _
	for _ in 1 2 3 4 5; do
		t=$(elapsed_ns "$@")
		if [ -z "$best" ] || [ "$t" -lt "$best" ]; then best=$t; fi
	done
	echo "$best"
}
base=$(best floor)
threads=$(best floor_threads)
ours=$(best runner)
echo "privrunner-relay: $(ratio "$ours" "$base") x the time of a single-threaded 1-byte/1-frame loop" \
	"for 1 MiB (two-thread loop: $(ratio "$threads" "$base") x; $((ours / 1000000)) ms)"
