/*
 * privrun: runs a utility as the super-user through PrivRunner(8) and gives
 * back what it did as if it had run right here: its standard output on
 * ours and its standard error on ours, each byte as it arrives, and its
 * exit value as our exit status.  An example client of
 * readPrivRunnerOutput(3).
 *
 *	privrun UTILITY [ARGUMENT ...]
 *
 * PrivRunner starts UTILITY without a search of PATH: give its path.
 *
 * Exit status: the utility's exit value; 125 when privrun or PrivRunner
 * fails (PrivRunner's error code is named on standard error), 126 when
 * PrivRunner cannot be started, 127 when it does not exist.
 *
 * Build it against the installed library with
 *
 *	cc -o privrun privrun.c $(pkg-config --cflags --libs privrunner-output)
 *
 * or with the CMakeLists.txt beside this file.  It starts the PrivRunner
 * named by PRIVRUNNER_PATH; add -DPRIVRUNNER_PATH='"/path/to/PrivRunner"'
 * for another one.
 */
#include <PrivRunnerOutput.h>

#include <sys/types.h>
#include <sys/wait.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#ifndef PRIVRUNNER_PATH
#define PRIVRUNNER_PATH "/usr/local/sbin/PrivRunner"
#endif

#define STATUS_FAILED 125
#define STATUS_CANNOT_RUN 126
#define STATUS_NO_RUNNER 127

static FILE *start_runner(char *argv[], pid_t *runner);
static int wait_for(pid_t pid);
static void relay_stdout(const char *bytes, unsigned long length);
static void relay_stderr(const char *bytes, unsigned long length);
static int exit_status(int read_ok, const RunnerResult *result, int runner_status);
static const char *runner_error_text(int code);

/* The first error met while passing on the utility's output, or 0. */
static int relay_errno;

int
main(int argc, char *argv[])
{
	RunnerResult result;
	FILE *stream;
	pid_t runner;
	int read_ok, runner_status;

	if (argc < 2) {
		fprintf(stderr, "usage: privrun UTILITY [ARGUMENT ...]\n");
		return STATUS_FAILED;
	}
	stream = start_runner(argv, &runner);
	if (stream == NULL)
		return STATUS_FAILED;
	/* The reader hands each piece of output to its handler the moment its
	 * frame is complete, so the two streams keep the utility's order. */
	read_ok = readPrivRunnerOutput(stream, &result, relay_stdout, relay_stderr);
	fclose(stream);
	runner_status = wait_for(runner);
	return exit_status(read_ok, &result, runner_status);
}

/*
 * Starts PrivRunner with the utility and its arguments (argv from 1 on),
 * its standard output on a pipe, and returns the reading end as a stream.
 * Standard input and standard error are ours: the utility may read from the
 * user, and PrivRunner writes on standard error only when it cannot write
 * its stream ("ERROR: 12 Failed to write to stdout: ..."), which then ends
 * without the utility's exit value.
 */
static FILE *
start_runner(char *argv[], pid_t *runner)
{
	int fds[2];
	FILE *stream;
	int saved;

	if (pipe(fds) != 0) {
		fprintf(stderr, "privrun: cannot create a pipe: %s\n", strerror(errno));
		return NULL;
	}
	stream = fdopen(fds[0], "r");
	if (stream == NULL) {
		saved = errno;
		close(fds[0]);
		close(fds[1]);
		fprintf(stderr, "privrun: cannot read a pipe: %s\n", strerror(saved));
		return NULL;
	}
	*runner = fork();
	if (*runner < 0) {
		saved = errno;
		fclose(stream);
		close(fds[1]);
		fprintf(stderr, "privrun: cannot start a process: %s\n", strerror(saved));
		return NULL;
	}
	if (*runner == 0) {
		close(fds[0]);
		if (fds[1] != STDOUT_FILENO) {
			if (dup2(fds[1], STDOUT_FILENO) < 0)
				_exit(STATUS_CANNOT_RUN);
			close(fds[1]);
		}
		argv[0] = (char *)PRIVRUNNER_PATH;
		execv(PRIVRUNNER_PATH, argv);
		saved = errno;
		fprintf(stderr, "privrun: cannot run %s: %s\n", PRIVRUNNER_PATH, strerror(saved));
		_exit(saved == ENOENT ? STATUS_NO_RUNNER : STATUS_CANNOT_RUN);
	}
	close(fds[1]);
	return stream;
}

/* The wait status of the process, or -1 when it cannot be had. */
static int
wait_for(pid_t pid)
{
	int status;

	while (waitpid(pid, &status, 0) < 0) {
		if (errno != EINTR)
			return -1;
	}
	return status;
}

static void
relay(FILE *to, const char *bytes, unsigned long length)
{
	if (relay_errno != 0)
		return;
	/* Flushed at once: the utility may be waiting for an answer to what it
	 * just wrote. */
	errno = 0;
	if (fwrite(bytes, 1, length, to) != length || fflush(to) != 0)
		relay_errno = errno != 0 ? errno : EIO;
}

static void
relay_stdout(const char *bytes, unsigned long length)
{
	relay(stdout, bytes, length);
}

static void
relay_stderr(const char *bytes, unsigned long length)
{
	relay(stderr, bytes, length);
}

/*
 * What the run comes to.  The stream says how the utility ended; the
 * runner's own wait status matters only when the stream does not.
 */
static int
exit_status(int read_ok, const RunnerResult *result, int runner_status)
{
	int status = STATUS_FAILED;

	if (relay_errno != 0)
		fprintf(stderr, "privrun: cannot pass on the utility's output: %s\n",
			strerror(relay_errno));
	if (!read_ok) {
		/* The reader has said what was wrong with the stream. */
		fprintf(stderr, "privrun: cannot read PrivRunner's output\n");
	} else if (result->hasError) {
		fprintf(stderr, "privrun: PrivRunner failed with error %d: %s\n",
			(int)result->errorCode, runner_error_text(result->errorCode));
	} else if (result->hasExitValue) {
		status = result->exitValue;
	} else if (!result->hasPid && runner_status != -1 && WIFEXITED(runner_status) &&
		   (WEXITSTATUS(runner_status) == STATUS_CANNOT_RUN ||
		    WEXITSTATUS(runner_status) == STATUS_NO_RUNNER)) {
		/* It never started, and has said why. */
		status = WEXITSTATUS(runner_status);
	} else if (runner_status != -1 && WIFSIGNALED(runner_status)) {
		fprintf(stderr, "privrun: PrivRunner was ended by signal %d\n", WTERMSIG(runner_status));
	} else {
		fprintf(stderr, "privrun: PrivRunner ended without the utility's exit value\n");
	}
	return relay_errno != 0 ? STATUS_FAILED : status;
}

/* PrivRunner's error codes, as PrivRunner(8) lists them. */
static const char *
runner_error_text(int code)
{
	switch (code) {
	case -1:
		return "it could not set up its lock, a buffer or a thread";
	case 1:
		return "it was given no utility";
	case 2:
		return "it could not set its user id to 0";
	case 3:
		return "it could not start a process";
	case 6:
		return "the utility did not exit cleanly (crash?)";
	case 7:
		return "it could not wait for the utility";
	case 8:
	case 9:
		return "it could not create a pipe";
	case 10:
	case 11:
		return "it could not read the utility's output";
	default:
		return "an error it does not document";
	}
}
