/*
 * The logic of the utility front ends: complete the super-user identity,
 * build the driver utility's argument vector from the caller's arguments,
 * replace the process with the utility, and log why when that fails.
 *
 * A successful start leaves no trace.  Every failure line is appended to
 * the log, which is opened for that one line only, and then copied to
 * standard error, each with a single write.
 */
#include "exec_utility.h"

#include <sys/types.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/uio.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char **environ;

namespace {

const char utility_path[] = "/Library/Filesystems/fusefs_ardntfs.fs/Contents/Resources/fusefs_ardntfs.util";
const char log_path[] = "/Library/Logs/newfs_fusefs_ardntfs.log";
const int log_unavailable_status = 91;
// Room for every line but those that carry a caller's argument.
const size_t short_line_size = 1024;
// A line is written from at most this many pieces.
const int max_line_pieces = 3;

// The utility's path and the fixed option come before the caller's arguments.
const int extra_args = 2;

// The utility's argument vector.  It is never released: the process becomes
// the utility or ends.
char **new_argv;

bool open_standard_descriptors();
bool complete_superuser_identity();
void remove_unsafe_environment();
bool is_unsafe_variable(const char *entry);
void report_failed_exec(int err, int new_argv_size);
void log_line(const char *format, ...) __attribute__((format(printf, 1, 2)));
void log_argument_line(int k, const char *argument);
void append_line(struct iovec *pieces, int count);
int open_log();
void write_whole(int fd, struct iovec *pieces, int count);
bool wait_until_writable(int fd);

}  // namespace

int exec_utility(const FrontEnd &front_end, int argc, char *argv[])
{
	// A descriptor that the caller left closed would be taken by the log,
	// whose lines would then be copied into itself, and the utility would
	// start without it.  Where not even /dev/null can stand in for it, the
	// run ends at once, with that error number as its status and no output,
	// since no output could go anywhere safe.
	if (!open_standard_descriptors())
		exit(errno);
	const bool borrowed_rights = complete_superuser_identity();

	const int new_argv_size = (argc - 1) + extra_args + 1;
	new_argv = static_cast<char **>(calloc(new_argv_size, sizeof(char *)));
	if (new_argv == NULL) {
		const int err = errno;
		log_line("allocating new_argv (%d slots) failed: %d (%s)", new_argv_size, err,
			 strerror(err));
		return ENOMEM;
	}

	int j = 0;
	new_argv[j++] = const_cast<char *>(utility_path);
	new_argv[j++] = const_cast<char *>(front_end.fixed_option);
	for (int i = 1; i < argc; i++) {
		if (argv[i][0] == '\0' && !front_end.forwards_empty_arguments)
			continue;
		new_argv[j++] = argv[i];
	}
	if (!front_end.vector_consistent(j, new_argv_size - 1)) {
		log_line(front_end.inconsistency_message, j, new_argv_size - 1);
		return -1;
	}
	new_argv[j++] = NULL;

	if (borrowed_rights)
		remove_unsafe_environment();
	execv(utility_path, new_argv);
	const int err = errno;
	report_failed_exec(err, new_argv_size);
	return err;
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

// A front end started with an effective user id of 0 takes the super-user
// identity whole, so that the utility runs with every user and group id 0.
// True when it did: the caller lent its rights, and its environment must
// not reach the utility as it is.
bool complete_superuser_identity()
{
	if (geteuid() != 0)
		return false;
	if (getuid() == 0 && getgid() == 0)
		return false;
	// The user id first, while the process still holds the rights to change
	// its group.  Whatever the calls return, the utility is started.
	int ignored = setuid(0);
	ignored = setgid(0);
	(void)ignored;
	return true;
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

// Lists every slot of the vector, the terminator and any null slots after
// it included.
void report_failed_exec(int err, int new_argv_size)
{
	log_line("executing \"%s\" failed:", utility_path);
	log_line("  %d (%s)", err, strerror(err));
	log_line("  new_argv_size=%d", new_argv_size);
	for (int k = 0; k < new_argv_size; k++) {
		if (new_argv[k] == NULL)
			log_line("  new_argv[%d] = NULL", k);
		else
			log_argument_line(k, new_argv[k]);
	}
}

// Logs one line of a short format.  None of the formats carries a caller's
// argument, so each line fits the buffer whole.
void log_line(const char *format, ...)
{
	char line[short_line_size];
	va_list args;
	va_start(args, format);
	const int length = vsnprintf(line, sizeof line, format, args);
	va_end(args);

	struct iovec pieces[2];
	pieces[0].iov_base = line;
	pieces[0].iov_len = length < 0 ? 0 : std::min(size_t(length), sizeof line - 1);
	pieces[1].iov_base = const_cast<char *>("\n");
	pieces[1].iov_len = 1;
	append_line(pieces, 2);
}

// Logs "  new_argv[%d] = \"%s\"" for slot k.  The argument may be as long
// as the system lets a command line be: it is written where it lies, between
// the formatted head and the closing quote, in the line's one write.
void log_argument_line(int k, const char *argument)
{
	char head[short_line_size];
	const int length = snprintf(head, sizeof head, "  new_argv[%d] = \"", k);

	struct iovec pieces[max_line_pieces];
	pieces[0].iov_base = head;
	pieces[0].iov_len = length < 0 ? 0 : size_t(length);
	pieces[1].iov_base = const_cast<char *>(argument);
	pieces[1].iov_len = strlen(argument);
	pieces[2].iov_base = const_cast<char *>("\"\n");
	pieces[2].iov_len = 2;
	append_line(pieces, 3);
}

// Appends one line, given in pieces, to the log, then copies it to standard
// error: one write each, so that runs appending at once never split each
// other's lines.  When the log cannot be opened the line goes nowhere and
// the run ends.
void append_line(struct iovec *pieces, int count)
{
	// No exec follows a report: a reader gone or a file-size limit makes a
	// write fail, rather than end the run with a line cut short.
	signal(SIGPIPE, SIG_IGN);
	signal(SIGXFSZ, SIG_IGN);

	const int log = open_log();
	if (log == -1) {
		const int err = errno;
		printf("Could not open log file! %d (%s)", err, strerror(err));
		exit(log_unavailable_status);
	}
	// write_whole moves through the pieces; the copy to standard error
	// starts from the whole line again.
	struct iovec copy[max_line_pieces];
	for (int i = 0; i < count; i++)
		copy[i] = pieces[i];
	write_whole(log, pieces, count);
	close(log);
	write_whole(STDERR_FILENO, copy, count);
}

// The super-user appends here, in a folder others may write.  Only a regular
// file with no other name is written: a symbolic link (O_NOFOLLOW), a hard
// link or anything else planted at the log path could lead the line into
// another file or stop the run.  Nothing here waits: a FIFO is opened
// without blocking, and refused like any file that is not regular.  Returns
// the descriptor, or -1 with errno telling why not.
int open_log()
{
	const int fd = open(log_path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0644);
	if (fd == -1) {
		// ENXIO: a FIFO that no one reads, refused as one that is read.
		if (errno == ENXIO)
			errno = EINVAL;
		return -1;
	}
	struct stat st;
	int err = 0;
	if (fstat(fd, &st) != 0)
		err = errno;
	else if (!S_ISREG(st.st_mode))
		err = EINVAL;
	else if (st.st_nlink > 1)
		err = EMLINK;
	else if (st.st_nlink == 0)
		err = ENOENT;  // removed while it was being opened
	if (err != 0) {
		close(fd);
		errno = err;
		return -1;
	}
	return fd;
}

// Writes the pieces with one call; only a short write, as when the file
// system fills up, or an interrupted one, takes more.  A descriptor that
// does not block is waited for.  Where writing fails for good, the rest of
// the line is given up.
void write_whole(int fd, struct iovec *pieces, int count)
{
	while (count > 0) {
		ssize_t written = writev(fd, pieces, count);
		if (written == -1) {
			if (errno == EINTR)
				continue;
			if (errno == EAGAIN && wait_until_writable(fd))
				continue;
			return;
		}
		const bool wrote_nothing = written == 0;
		while (count > 0 && size_t(written) >= pieces->iov_len) {
			written -= ssize_t(pieces->iov_len);
			pieces++;
			count--;
		}
		if (count > 0 && wrote_nothing)
			return;
		if (count > 0) {
			pieces->iov_base = static_cast<char *>(pieces->iov_base) + written;
			pieces->iov_len -= size_t(written);
		}
	}
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

}  // namespace
