/*
 * PrivRunner: run a utility as the super-user and report the run to the
 * program that started it, on standard output, as one framed stream: the
 * runner's process id, the utility's process id, every byte the utility
 * writes on its standard output and standard error (one frame per byte,
 * the two streams kept apart), and at the end the utility's exit value or
 * the runner's own error code.  readPrivRunnerOutput(3) takes it apart.
 *
 * Every failure is one "ERROR: " line on standard output, and the runner
 * exits with the code of that line (255 for -1).
 */
#include <pthread.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char **environ;

namespace {

// Held by a reader thread while it writes one frame.
pthread_mutex_t emit_mutex;

void exec_utility(int argc, char *argv[]);
void start_utility(const char *path, char *argv[], const int stdout_pipe[2], const int stderr_pipe[2])
	__attribute__((noreturn));
void *process_stdout(void *pipe_fds);
void *process_stderr(void *pipe_fds);
void relay(const int pipe_fds[2], const char *tag, int code, const char *read_error_format);
void emit_frame(const char *tag, const char *bytes, ssize_t length);
void remove_unsafe_environment();
bool is_unsafe_variable(const char *entry);
void fail(int code, const char *format, ...) __attribute__((noreturn, format(printf, 2, 3)));

}  // namespace

int main(int argc, char *argv[])
{
	if (pthread_mutex_init(&emit_mutex, NULL) != 0)
		fail(-1, "pthread_mutex_init failed!\n");

	// Once setuid(0) has succeeded the real user id is 0 as well.
	const uid_t caller = getuid();

	// Not flushed: when standard output is not a terminal the line stays in
	// the buffer, and the utility's process writes its copy of it too.
	printf("PID: %d\n", int(getpid()));

	if (setuid(0) != 0)
		fail(2, "Could not setuid(0)\n");
	if (argc < 2)
		fail(1, "Invalid number of arguments. (got: %d, minimum required: 1)\n", argc - 1);

	if (caller != 0)
		remove_unsafe_environment();

	exec_utility(argc - 1, argv + 1);

	pthread_mutex_destroy(&emit_mutex);
	return 0;
}

namespace {

// Runs argv[0] with argv, relays its two output streams until both reach
// end of file, waits for it and writes its exit value.
void exec_utility(int, char *argv[])
{
	const char *path = argv[0];
	int stdout_pipe[2];
	int stderr_pipe[2];

	if (pipe(stdout_pipe) != 0) {
		const int err = errno;
		fail(8, "Couldn't create pipe for capturing stdout. errno: %d (%s)\n", err, strerror(err));
	}
	if (pipe(stderr_pipe) != 0) {
		const int err = errno;
		fail(9, "Couldn't create pipe for capturing stderr. errno: %d (%s)\n", err, strerror(err));
	}

	const pid_t child = fork();
	if (child < 0)
		fail(3, "Could not fork()!\n");
	if (child == 0)
		start_utility(path, argv, stdout_pipe, stderr_pipe);

	printf("CHILDPID: %d\n", int(child));

	// Each read end sees end of file once every holder of its write end,
	// the utility and whatever it leaves behind, has closed it.
	close(stdout_pipe[1]);
	close(stderr_pipe[1]);

	pthread_t stdout_reader;
	pthread_t stderr_reader;
	int err = pthread_create(&stdout_reader, NULL, process_stdout, stdout_pipe);
	if (err == 0)
		err = pthread_create(&stderr_reader, NULL, process_stderr, stderr_pipe);
	if (err != 0)
		fail(-1, "Couldn't create reader thread: %d (%s)\n", err, strerror(err));
	pthread_join(stdout_reader, NULL);
	pthread_join(stderr_reader, NULL);
	close(stdout_pipe[0]);
	close(stderr_pipe[0]);

	int status = 0;
	const pid_t waited = waitpid(child, &status, 0);
	if (waited < 1)
		fail(7, "waitpid failed! waitres=%d\n", int(waited));
	if ((status & 0x7f) != 0)
		fail(6, "Process did not exit cleanly (crash?) status=0x%X\n", unsigned(status));
	printf("EXITVALUE: %d\n", status >> 8);
}

// In the new process: put the capture pipes in place of standard output
// and standard error and become the utility.
void start_utility(const char *path, char *argv[], const int stdout_pipe[2], const int stderr_pipe[2])
{
	close(stdout_pipe[0]);
	close(stderr_pipe[0]);

	// Writes out what this process inherited in the buffer, the PID line
	// when standard output is not a terminal, to the caller's stream.
	fclose(stdout);

	dup2(stdout_pipe[1], STDOUT_FILENO);
	dup2(stderr_pipe[1], STDERR_FILENO);
	execv(path, argv);

	// Standard error is the capture pipe now: the caller gets this in
	// STDERR frames and then an exit value of 255.
	const int err = errno;
	fprintf(stderr, "[PrivRunner] execv failed with errno: %d (%s)\n", err, strerror(err));
	exit(-1);
}

void *process_stdout(void *pipe_fds)
{
	relay(static_cast<const int *>(pipe_fds), "STDOUT", 10,
	      "Failed to read from sink side of stdout pipe: %d (%s)\n");
	return NULL;
}

void *process_stderr(void *pipe_fds)
{
	relay(static_cast<const int *>(pipe_fds), "STDERR", 11,
	      "Failed to read from sink side of stderr pipe: %d (%s)\n");
	return NULL;
}

// One byte per read, one frame per byte: every byte reaches the caller as
// soon as the utility has written it.
void relay(const int pipe_fds[2], const char *tag, int code, const char *read_error_format)
{
	const int fd = pipe_fds[0];
	char *membuf = static_cast<char *>(malloc(1));
	if (membuf == NULL) {
		const int err = errno;
		fail(-1, "Couldn't malloc membuf: %d (%s)\n", err, strerror(err));
	}
	for (;;) {
		const ssize_t n = read(fd, membuf, 1);
		if (n == 0)
			break;
		if (n < 0) {
			const int err = errno;
			fail(code, read_error_format, err, strerror(err));
		}
		emit_frame(tag, membuf, n);
	}
	free(membuf);
}

void emit_frame(const char *tag, const char *bytes, ssize_t length)
{
	if (pthread_mutex_lock(&emit_mutex) != 0)
		fail(-1, "Failed to lock emit_mutex!\n");
	// The stream lock too, so that a fatal line of the other thread, which
	// takes only that lock, never lands inside this frame.
	flockfile(stdout);
	printf("%s: %ld\n", tag, long(length));
	fwrite(bytes, 1, size_t(length), stdout);
	putchar('\n');
	fflush(stdout);
	funlockfile(stdout);
	if (pthread_mutex_unlock(&emit_mutex) != 0)
		fail(-1, "Failed to unlock emit_mutex!\n");
}

// Started by someone else with borrowed rights: the caller's environment
// must not choose code that the utility loads or runs as the super-user.
// Removed in place: nothing to allocate, nothing that can fail.
void remove_unsafe_environment()
{
	if (environ == NULL)
		return;
	char **kept = environ;
	for (char **entry = environ; *entry != NULL; entry++) {
		if (!is_unsafe_variable(*entry))
			*kept++ = *entry;
	}
	*kept = NULL;
}

// The dynamic loader's variables and the shell's start-up variables.
bool is_unsafe_variable(const char *entry)
{
	static const char *const prefixes[] = {"LD_", "DYLD_", "BASH_FUNC_"};
	static const char *const names[] = {"IFS", "ENV", "BASH_ENV", "SHELLOPTS", "PS4"};

	const size_t name_length = strcspn(entry, "=");
	for (size_t i = 0; i < sizeof prefixes / sizeof prefixes[0]; i++) {
		const size_t length = strlen(prefixes[i]);
		if (name_length >= length && strncmp(entry, prefixes[i], length) == 0)
			return true;
	}
	for (size_t i = 0; i < sizeof names / sizeof names[0]; i++) {
		if (strlen(names[i]) == name_length && strncmp(entry, names[i], name_length) == 0)
			return true;
	}
	return false;
}

// Writes one "ERROR: <code> ..." line and ends the runner at once with the
// code's low eight bits (255 for -1).  The line is written under the stream
// lock and the runner ends without another flush: nothing another thread
// is writing can come after it or around it.
void fail(int code, const char *format, ...)
{
	flockfile(stdout);
	printf("ERROR: %d ", code);
	va_list args;
	va_start(args, format);
	vprintf(format, args);
	va_end(args);
	fflush(stdout);
	_exit(code & 0xff);
}

}  // namespace
