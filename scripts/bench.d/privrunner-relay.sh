# PrivRunner relaying 1 MiB that a utility writes on its standard output,
# against the floor for this stream format and design: two reader threads,
# one per output stream of the utility, each doing one 1-byte read and one
# 12-byte write of its frame under one mutex, without stdio.  The same loop
# in a single thread shows what the threads cost by themselves.
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

static pthread_mutex_t emit = PTHREAD_MUTEX_INITIALIZER;

struct source {
	int fd;
	const char *header;
};

static void *relay(void *arg)
{
	const struct source *source = arg;
	char frame[12];
	int i, ok = 1;
	for (i = 0; i < 10; i++)
		frame[i] = source->header[i];
	frame[11] = '\n';
	while (ok && read(source->fd, &frame[10], 1) == 1) {
		pthread_mutex_lock(&emit);
		ok = write(1, frame, sizeof frame) == sizeof frame;
		pthread_mutex_unlock(&emit);
	}
	return 0;
}

/* With an argument: the loop alone, on standard input.  Without: standard
 * input in one thread, and in another a pipe that stays empty until the
 * first is done, as a utility's standard error does. */
int main(int argc, char *argv[])
{
	struct source out = {0, "STDOUT: 1\n"}, err = {-1, "STDERR: 1\n"};
	pthread_t out_reader, err_reader;
	int idle[2];
	(void)argv;
	if (argc > 1)
		return relay(&out) != 0;
	if (pipe(idle) != 0)
		return 1;
	err.fd = idle[0];
	pthread_create(&out_reader, 0, relay, &out);
	pthread_create(&err_reader, 0, relay, &err);
	pthread_join(out_reader, 0);
	close(idle[1]);
	pthread_join(err_reader, 0);
	return 0;
}
CODE
cc -O2 -o "$work/floor" "$work/floor.c" -lpthread

# measure COMMAND...: runs it with standard output to /dev/null and prints
# the wall-clock time and the processor time (user and system, with every
# process it waited for) it took, in nanoseconds.  On a loaded machine the
# processor time is the steadier of the two.
cat >"$work/measure.c" <<'CODE'
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long long ns(struct timeval t)
{
	return t.tv_sec * 1000000000LL + t.tv_usec * 1000LL;
}

int main(int argc, char *argv[])
{
	struct timespec start, end;
	struct rusage usage;
	int status;
	pid_t pid;
	(void)argc;
	clock_gettime(CLOCK_MONOTONIC, &start);
	pid = fork();
	if (pid == 0) {
		dup2(open("/dev/null", O_WRONLY), 1);
		execvp(argv[1], argv + 1);
		_exit(127);
	}
	if (waitpid(pid, &status, 0) != pid || status != 0)
		return 1;
	clock_gettime(CLOCK_MONOTONIC, &end);
	getrusage(RUSAGE_CHILDREN, &usage);
	printf("%lld %lld\n",
	       (end.tv_sec - start.tv_sec) * 1000000000LL + (end.tv_nsec - start.tv_nsec),
	       ns(usage.ru_utime) + ns(usage.ru_stime));
	return 0;
}
CODE
cc -O2 -o "$work/measure" "$work/measure.c"

size=1048576
floor="head -c $size /dev/zero | $work/floor"
single="head -c $size /dev/zero | $work/floor single"
runner="$BIN/PrivRunner /usr/bin/head -c $size /dev/zero"

# Best of seven rounds, the three measured in turn within each round, so
# that a change in the machine's load falls on all of them alike.
for name in floor single runner; do
	printf -v "wall_$name" %s ""
	printf -v "cpu_$name" %s ""
done
for _ in 1 2 3 4 5 6 7; do
	for name in floor single runner; do
		read -r wall cpu < <("$work/measure" sh -c "${!name}")
		w=wall_$name c=cpu_$name
		if [ -z "${!w}" ] || [ "$wall" -lt "${!w}" ]; then printf -v "$w" %s "$wall"; fi
		if [ -z "${!c}" ] || [ "$cpu" -lt "${!c}" ]; then printf -v "$c" %s "$cpu"; fi
	done
done
echo "privrunner-relay: $(ratio "$wall_runner" "$wall_floor") x the time of two reader threads with one" \
	"1-byte read and one 12-byte frame write each, under one mutex, for 1 MiB" \
	"(processor time: $(ratio "$cpu_runner" "$cpu_floor") x; one thread alone:" \
	"$(ratio "$wall_single" "$wall_floor") x; $((wall_runner / 1000000)) ms)"
