# Peak resident memory of PrivRunner relaying 64 MiB against relaying 1 KiB:
# the runner holds no buffer that grows with the output.
. scripts/bench.d/common.sh

if [ "$(id -u)" -ne 0 ]; then
	echo "privrunner-memory: skipped (PrivRunner needs root)"
	exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# peak COMMAND...: runs it with standard output to /dev/null and prints
# its peak resident set in KiB (that of the command or of any process it
# waited for, whichever is larger; the utility here is far smaller).
cat >"$work/peak.c" <<'CODE'
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
	struct rusage usage;
	int status;
	pid_t pid;
	(void)argc;
	pid = fork();
	if (pid == 0) {
		dup2(open("/dev/null", O_WRONLY), 1);
		execv(argv[1], argv + 1);
		_exit(127);
	}
	if (wait4(pid, &status, 0, &usage) != pid || status != 0)
		return 1;
	printf("%ld\n", usage.ru_maxrss);
	return 0;
}
CODE
cc -O2 -o "$work/peak" "$work/peak.c"

small=$("$work/peak" "$BIN/PrivRunner" /usr/bin/head -c 1024 /dev/zero)
large=$("$work/peak" "$BIN/PrivRunner" /usr/bin/head -c 67108864 /dev/zero)
echo "privrunner-memory: $(ratio "$large" "$small") x the peak RSS of relaying 1 KiB when relaying 64 MiB" \
	"($small KiB and $large KiB, $((large - small)) KiB apart)"
