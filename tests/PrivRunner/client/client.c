/* A client of the reader, in C: reads a runner stream on standard input
 * and prints what it learnt. */
#include <PrivRunnerOutput.h>

#include <stdio.h>

static void show(const char *tag, const char *bytes, unsigned long length)
{
	printf("%s %lu:", tag, length);
	for (unsigned long i = 0; i < length; i++)
		printf(" %02x", (unsigned char)bytes[i]);
	printf("\n");
}

static void on_stdout(const char *bytes, unsigned long length) { show("out", bytes, length); }
static void on_stderr(const char *bytes, unsigned long length) { show("err", bytes, length); }

int main(void)
{
	RunnerResult r;
	int ok = readPrivRunnerOutput(stdin, &r, on_stdout, on_stderr);
	/* A value is set only where its has-flag says so. */
	printf("ok=%d pid=%d/%d child=%d/%d error=%d/%d exit=%d/%d\n", ok, r.hasPid, r.hasPid ? r.pid : 0,
	       r.hasChildPid, r.hasChildPid ? r.childPid : 0, r.hasError, r.hasError ? r.errorCode : 0,
	       r.hasExitValue, r.hasExitValue ? r.exitValue : 0);
	return ok ? 0 : 1;
}
