/*
 * PrivRunner: run a utility as the super-user and report the run to the
 * program that started it, on standard output, as one framed stream: the
 * runner's process id, the utility's process id, every byte the utility
 * writes on its standard output and standard error (one frame per byte,
 * the two streams kept apart), and at the end the utility's exit value or
 * the runner's own error code.  readPrivRunnerOutput(3) takes it apart.
 *
 * Every failure is one "ERROR: " line on standard output, and the runner
 * exits with the code of that line (255 for -1).  When standard output
 * itself cannot be written, the line goes to standard error instead: the
 * stream ends where it broke, with no EXITVALUE line, and the runner exits
 * with 12.
 */
#include <sys/select.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
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

// Taken, and never given back, by the first thread to end the runner.
pthread_mutex_t end_mutex = PTHREAD_MUTEX_INITIALIZER;

// The runner's own lines wait here until the first frame or the end, as
// they would in an output stream's buffer, when standard output is not a
// terminal; on a terminal each leaves as soon as it is complete.  The
// utility's process inherits the held PID line and writes its copy too.
char held_lines[1024];
size_t held_length;
bool output_is_terminal;

// The utility's process until it is reaped; set and read with emit_mutex
// held, or with no reader left.
pid_t utility;

// The caller's settings, handed on to the utility.
struct sigaction callers_sigpipe, callers_sigxfsz;

const int output_failed_code = 12;

bool open_standard_descriptors();
void set_up_signals();
void exec_utility(char *argv[]);
void start_utility(const char *path, char *argv[], const int stdout_pipe[2], const int stderr_pipe[2])
	__attribute__((noreturn));
void *process_stdout(void *pipe_fds);
void *process_stderr(void *pipe_fds);
void say_to_caller(const char *format, int err);
void relay(const int pipe_fds[2], const char *tag, int code, const char *read_error_format);
void emit_frame(const char *frame, size_t length);
void put_line(const char *format, ...) __attribute__((format(printf, 1, 2)));
void hold(const char *format, ...) __attribute__((format(printf, 1, 2)));
void hold_v(const char *format, va_list args) __attribute__((format(printf, 1, 0)));
int write_held_lines();
int write_all(int fd, const void *bytes, size_t length);
bool wait_until_writable(int fd);
void remove_unsafe_environment();
bool is_unsafe_variable(const char *entry);
void stop_frames();
void take_the_end();
void fail(int code, const char *format, ...) __attribute__((noreturn, format(printf, 2, 3)));
void output_failed(int err) __attribute__((noreturn));
void report_output_failure(int err);
void stop_utility();

}  // namespace

int main(int argc, char *argv[])
{
	// A descriptor the runner makes must never land on 0, 1 or 2: its
	// frames would go into a capture pipe, or the utility, as root, would
	// take a file it opens for its standard input or output.  A closed
	// standard output is no stream at all, and nothing is run for nobody.
	const bool output_closed = fcntl(STDOUT_FILENO, F_GETFD) == -1 && errno == EBADF;
	if (!open_standard_descriptors()) {
		const int err = errno;
		fail(-1, "Couldn't open /dev/null in place of a closed standard descriptor: %d (%s)\n", err,
		     strerror(err));
	}
	if (output_closed)
		output_failed(EBADF);

	if (pthread_mutex_init(&emit_mutex, NULL) != 0)
		fail(-1, "pthread_mutex_init failed!\n");

	set_up_signals();
	output_is_terminal = isatty(STDOUT_FILENO) != 0;

	// Once setuid(0) has succeeded the real user id is 0 as well.
	const uid_t caller = getuid();

	put_line("PID: %d\n", int(getpid()));

	if (setuid(0) != 0)
		fail(2, "Could not setuid(0)\n");
	if (argc < 2)
		fail(1, "Invalid number of arguments. (got: %d, minimum required: 1)\n", argc - 1);

	if (caller != 0)
		remove_unsafe_environment();

	exec_utility(argv + 1);

	pthread_mutex_destroy(&emit_mutex);
	return 0;
}

namespace {

// Makes sure descriptors 0, 1 and 2 are open, on /dev/null where the caller
// left them closed, so that no file this program opens takes one of their
// numbers.  False, with errno set, when /dev/null cannot be opened.
bool open_standard_descriptors()
{
	for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
		if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
			continue;
		// open() takes the lowest free descriptor: this very one.
		if (open("/dev/null", O_RDWR | O_NOCTTY) == -1)
			return false;
	}
	return true;
}

// Dispositions that the caller may have set and that exec keeps.
void set_up_signals()
{
	struct sigaction action;
	memset(&action, 0, sizeof action);
	sigemptyset(&action.sa_mask);

	// Ignored, it makes the kernel reap the utility before the runner waits.
	action.sa_handler = SIG_DFL;
	sigaction(SIGCHLD, &action, NULL);

	// A caller that closes its end, or a file-size limit on the file it
	// gave, must not end the runner unseen in the middle of a frame: the
	// write fails instead (EPIPE, EFBIG), and is reported.
	action.sa_handler = SIG_IGN;
	sigaction(SIGPIPE, &action, &callers_sigpipe);
	sigaction(SIGXFSZ, &action, &callers_sigxfsz);
}

// Runs argv[0] with argv, relays its two output streams until both reach
// end of file, waits for it and writes its exit value.
void exec_utility(char *argv[])
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

	// The readers come first: a runner that cannot relay must not start a
	// utility that would then run as root with no one to read it.  They
	// wait for the utility's first byte, or the end of both pipes.
	pthread_t stdout_reader;
	pthread_t stderr_reader;
	int err = pthread_create(&stdout_reader, NULL, process_stdout, stdout_pipe);
	if (err == 0)
		err = pthread_create(&stderr_reader, NULL, process_stderr, stderr_pipe);
	if (err != 0)
		fail(-1, "Couldn't create reader thread: %d (%s)\n", err, strerror(err));

	// No frame before the CHILDPID line, and no fatal line from a reader
	// before the utility is known, to be stopped.
	if (pthread_mutex_lock(&emit_mutex) != 0)
		fail(-1, "Failed to lock emit_mutex!\n");
	const pid_t child = fork();
	if (child < 0)
		fail(3, "Could not fork()!\n");
	if (child == 0)
		start_utility(path, argv, stdout_pipe, stderr_pipe);
	utility = child;
	put_line("CHILDPID: %d\n", int(child));
	if (pthread_mutex_unlock(&emit_mutex) != 0)
		fail(-1, "Failed to unlock emit_mutex!\n");

	// Each read end sees end of file once every holder of its write end,
	// the utility and whatever it leaves behind, has closed it.
	close(stdout_pipe[1]);
	close(stderr_pipe[1]);
	pthread_join(stdout_reader, NULL);
	pthread_join(stderr_reader, NULL);
	close(stdout_pipe[0]);
	close(stderr_pipe[0]);

	int status = 0;
	pid_t waited;
	while ((waited = waitpid(child, &status, 0)) < 0 && errno == EINTR) {
	}
	if (waited < 1)
		fail(7, "waitpid failed! waitres=%d\n", int(waited));
	utility = 0;
	if ((status & 0x7f) != 0)
		fail(6, "Process did not exit cleanly (crash?) status=0x%X\n", unsigned(status));
	hold("EXITVALUE: %d\n", status >> 8);
	err = write_held_lines();
	if (err != 0)
		output_failed(err);
}

// In the new process: put the capture pipes in place of standard output
// and standard error and become the utility.  The runner has other threads,
// which this process has not; until their first read they format their
// frame's header, which takes no lock, so none of the C library's is held
// here when this process formats a line for the caller.
void start_utility(const char *path, char *argv[], const int stdout_pipe[2], const int stderr_pipe[2])
{
	close(stdout_pipe[0]);
	close(stderr_pipe[0]);

	// This process's copy of the held lines, the PID line when standard
	// output is not a terminal, goes to the caller's stream as well.
	const int copy_error = write_all(STDOUT_FILENO, held_lines, held_length);

	dup2(stdout_pipe[1], STDOUT_FILENO);
	dup2(stderr_pipe[1], STDERR_FILENO);
	sigaction(SIGPIPE, &callers_sigpipe, NULL);
	sigaction(SIGXFSZ, &callers_sigxfsz, NULL);

	// Standard error is the capture pipe now: the caller gets these lines
	// in STDERR frames and then an exit value of 255.
	if (copy_error != 0) {
		// The caller's stream is broken: the utility is not run unseen.
		say_to_caller("[PrivRunner] Failed to write to stdout: %d (%s)\n", copy_error);
		_exit(-1);
	}
	execv(path, argv);
	say_to_caller("[PrivRunner] execv failed with errno: %d (%s)\n", errno);
	_exit(-1);
}

// One line with an error number and its text on standard error, in one
// write, with no output stream and no lock of the parent's.
void say_to_caller(const char *format, int err)
{
	char line[256];
	const int n = snprintf(line, sizeof line, format, err, strerror(err));
	if (n > 0)
		write_all(STDERR_FILENO, line, size_t(n) < sizeof line ? size_t(n) : sizeof line - 1);
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
// soon as the utility has written it.  Each read goes straight into the
// frame, after its header, which is the same for every byte.
void relay(const int pipe_fds[2], const char *tag, int code, const char *read_error_format)
{
	const int fd = pipe_fds[0];
	char frame[32];
	const size_t header_length = size_t(snprintf(frame, sizeof frame, "%s: %ld\n", tag, 1L));
	frame[header_length + 1] = '\n';
	for (;;) {
		const ssize_t n = read(fd, frame + header_length, 1);
		if (n == 0)
			break;
		if (n < 0) {
			const int err = errno;
			stop_frames();
			fail(code, read_error_format, err, strerror(err));
		}
		emit_frame(frame, header_length + 2);
	}
}

// One write for the whole frame, after the lines still held.
void emit_frame(const char *frame, size_t length)
{
	if (pthread_mutex_lock(&emit_mutex) != 0) {
		// The other reader may be in the middle of a frame, and must
		// write none after the line.
		stop_frames();
		fail(-1, "Failed to lock emit_mutex!\n");
	}
	int err = held_length > 0 ? write_held_lines() : 0;
	if (err == 0)
		err = write_all(STDOUT_FILENO, frame, length);
	if (err != 0)
		output_failed(err);
	if (pthread_mutex_unlock(&emit_mutex) != 0)
		fail(-1, "Failed to unlock emit_mutex!\n");
}

void put_line(const char *format, ...)
{
	va_list args;
	va_start(args, format);
	hold_v(format, args);
	va_end(args);
	if (output_is_terminal) {
		const int err = write_held_lines();
		if (err != 0)
			output_failed(err);
	}
}

void hold(const char *format, ...)
{
	va_list args;
	va_start(args, format);
	hold_v(format, args);
	va_end(args);
}

// The runner's lines are short; one that does not fit is cut.
void hold_v(const char *format, va_list args)
{
	const size_t room = sizeof held_lines - held_length;
	const int n = vsnprintf(held_lines + held_length, room, format, args);
	if (n > 0)
		held_length += size_t(n) < room ? size_t(n) : room - 1;
}

// 0, or the error number of the write that failed.
int write_held_lines()
{
	const int err = write_all(STDOUT_FILENO, held_lines, held_length);
	if (err == 0)
		held_length = 0;
	return err;
}

// Writes all of bytes to fd: a write cut short goes on where it stopped,
// one interrupted is made again, and a descriptor that does not block is
// waited for when full.  0, or the error number of the write that failed.
int write_all(int fd, const void *bytes, size_t length)
{
	const char *next = static_cast<const char *>(bytes);
	while (length > 0) {
		const ssize_t n = write(fd, next, length);
		if (n > 0) {
			next += n;
			length -= size_t(n);
		} else if (n == 0) {
			return EIO;
		} else if (errno == EAGAIN || errno == EWOULDBLOCK) {
			if (!wait_until_writable(fd))
				return errno;
		} else if (errno != EINTR) {
			return errno;
		}
	}
	return 0;
}

// Waits until fd takes more bytes; false, with errno set, when it cannot
// be waited for.  select rather than poll: the platform's poll does not take
// every kind of descriptor (terminals).
bool wait_until_writable(int fd)
{
	for (;;) {
		fd_set writable;
		FD_ZERO(&writable);
		FD_SET(fd, &writable);
		const int ready = select(fd + 1, NULL, &writable, NULL, NULL);
		if (ready > 0)
			return true;
		if (ready < 0 && errno != EINTR)
			return false;
	}
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

// Before a fatal line while a reader thread may be writing: waits for its
// frame to end, and the runner then ends holding the lock, so that nothing
// comes after the line.  A lock that fails here is broken for the other
// thread as well, whose next frame then ends at its own failed lock.
void stop_frames()
{
	pthread_mutex_lock(&emit_mutex);
}

// Only one thread ends the runner and writes the last line; one that comes
// second waits here until the first has ended the process.
void take_the_end()
{
	pthread_mutex_lock(&end_mutex);
}

// Writes one "ERROR: <code> ..." line after the lines still held and ends
// the runner at once with the code's low eight bits (255 for -1).  A
// utility still running is stopped first: nothing runs as root unseen, and
// nothing it writes can follow the line.
void fail(int code, const char *format, ...)
{
	take_the_end();
	stop_utility();
	hold("ERROR: %d ", code);
	va_list args;
	va_start(args, format);
	hold_v(format, args);
	va_end(args);
	const int err = write_held_lines();
	if (err != 0)
		report_output_failure(err);
	_exit(code & 0xff);
}

// The stream is broken where it stands: nothing written after this could
// be told apart from a stream that went on, so nothing is, and the utility
// is not left to run with no one to read it.
void output_failed(int err)
{
	take_the_end();
	stop_utility();
	report_output_failure(err);
	_exit(output_failed_code);
}

void report_output_failure(int err)
{
	char line[256];
	const int n = snprintf(line, sizeof line, "ERROR: %d Failed to write to stdout: %d (%s)\n",
			       output_failed_code, err, strerror(err));
	// Should this fail too, there is nowhere left to say so.
	if (n > 0)
		write_all(STDERR_FILENO, line, size_t(n) < sizeof line ? size_t(n) : sizeof line - 1);
}

// Ends the utility's process, if it was started and not yet reaped, and
// reaps it.
void stop_utility()
{
	if (utility <= 0)
		return;
	kill(utility, SIGKILL);
	while (waitpid(utility, NULL, 0) < 0 && errno == EINTR) {
	}
	utility = 0;
}

}  // namespace
