/*
 * sbin_link_repair: restore the command links under /usr/local/sbin through
 * which the driver's mount program and format front end are reached.
 *
 * A correct link is left alone.  Whatever else stands in a link's place (an
 * empty folder or any entry that is not a folder) is replaced by the link,
 * missing parent folders are created for root:wheel, and a missing link is
 * made again.
 */
#include <sys/stat.h>
#include <sys/types.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct CommandLink {
	const char *path;
	const char *text;  // relative to /usr/local/sbin, into the bundle's Support folder
};

const CommandLink command_links[] = {
	{"/usr/local/sbin/mount_fusefs_ardntfs",
	 "../../../Library/Filesystems/fusefs_ardntfs.fs/Contents/Resources/Support/mount_fusefs_ardntfs"},
	{"/usr/local/sbin/newfs_fusefs_ardntfs",
	 "../../../Library/Filesystems/fusefs_ardntfs.fs/Contents/Resources/Support/newfs_fusefs_ardntfs"},
};
const size_t command_link_count = sizeof command_links / sizeof command_links[0];

// What a link found in a command link's place holds.
enum LinkText { link_correct, link_other, link_unknown };

int repair_symlink(const char *link_path, const char *link_text);
int replace_with_link(const char *link_path, const char *link_text, bool is_folder);
LinkText read_link_text(const char *link_path, const char *link_text);
int make_parent_directories(const char *link_path);
int make_directory(const char *path);
void termination_signal_set(sigset_t *set);
void block_termination_signals(sigset_t *previous);
void report_error(int err, const char *format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace

int main()
{
	if (geteuid() != 0) {
		fprintf(stderr, "Error: Binary must run as superuser.\n");
		return 1;
	}

	// A failed link does not keep the other from being repaired.
	int failed = 0;
	for (size_t i = 0; i < command_link_count; i++)
		failed |= repair_symlink(command_links[i].path, command_links[i].text);
	return failed ? 1 : 0;
}

namespace {

// Returns 0 when the link is correct at the end, 1 after a failure, which
// it has reported on standard error.
int repair_symlink(const char *link_path, const char *link_text)
{
	struct stat st;
	if (lstat(link_path, &st) != 0) {
		const int err = errno;
		if (err != ENOENT) {
			report_error(err, "'stat' returned error for symlink path \"%s\"", link_path);
			return 1;
		}
		if (make_parent_directories(link_path) != 0)
			return 1;
		if (symlink(link_text, link_path) != 0) {
			report_error(errno, "Error while recreating symlink \"%s\" with target \"%s\"", link_path,
				     link_text);
			return 1;
		}
	} else {
		if (S_ISLNK(st.st_mode)) {
			switch (read_link_text(link_path, link_text)) {
			case link_correct:
				return 0;
			case link_unknown:
				return 1;
			case link_other:
				break;
			}
		}
		if (replace_with_link(link_path, link_text, S_ISDIR(st.st_mode)) != 0)
			return 1;
	}
	printf("Successfully repaired symlink: \"%s\"\n", link_path);
	return 0;
}

// Puts the link in the place of what stands there: a new link made beside
// it is renamed over it, so that what stood there goes only as the link
// takes its place, and a failure leaves it as it was.  A folder, which no
// rename replaces by a link, is removed just before, and only an empty
// one can be.  Signals that end the run wait until the new link has its
// name or is gone.
int replace_with_link(const char *link_path, const char *link_text, bool is_folder)
{
	const char *name = strrchr(link_path, '/') + 1;
	char new_link[PATH_MAX];
	snprintf(new_link, sizeof new_link, "%.*s.%s.%ld", int(name - link_path), link_path, name, long(getpid()));

	sigset_t saved_mask;
	block_termination_signals(&saved_mask);
	int result = 1;
	const char *removing = is_folder ? "Error while removing directory \"%s\"" : "Error while removing file \"%s\"";
	// One left by a run that was killed is this program's too.
	const bool made = symlink(link_text, new_link) == 0 ||
			  (errno == EEXIST && unlink(new_link) == 0 && symlink(link_text, new_link) == 0);
	if (!made) {
		// A folder that takes no change refuses the removal first.
		const int err = errno;
		if (err == EROFS || err == EACCES || err == EPERM)
			report_error(err, removing, link_path);
		else
			report_error(err, "Error while recreating symlink \"%s\" with target \"%s\"", link_path,
				     link_text);
	} else if (is_folder && rmdir(link_path) != 0) {
		report_error(errno, removing, link_path);
	} else if (rename(new_link, link_path) != 0) {
		// With the folder gone, what failed is the making of the link.
		const int err = errno;
		if (is_folder)
			report_error(err, "Error while recreating symlink \"%s\" with target \"%s\"", link_path,
				     link_text);
		else
			report_error(err, removing, link_path);
	} else {
		result = 0;
	}
	// Only the link this run made: the name may be another's by now.
	if (made && result != 0)
		unlink(new_link);
	sigprocmask(SIG_SETMASK, &saved_mask, NULL);
	return result;
}

// Compares the text of the link at link_path with link_text.  A link that
// cannot be read holds another text; when no buffer can be allocated the
// text is unknown, which is reported.
LinkText read_link_text(const char *link_path, const char *link_text)
{
	ssize_t size = 16;
	char *buffer = static_cast<char *>(malloc(size));
	ssize_t length = -1;
	// A text that fills the buffer may have been cut short.
	while (buffer != NULL && (length = readlink(link_path, buffer, size)) == size) {
		free(buffer);
		size *= 2;
		buffer = static_cast<char *>(malloc(size));
	}
	if (buffer == NULL) {
		report_error(errno, "Error while allocating %ld-byte buffer", long(size));
		return link_unknown;
	}

	const size_t expected = strlen(link_text);
	const bool correct = length >= 0 && size_t(length) == expected &&
			     memcmp(buffer, link_text, expected) == 0;
	free(buffer);
	return correct ? link_correct : link_other;
}

// Creates each missing folder above the link, from the top down: every
// prefix of the path that ends before a '/', the root excepted.
int make_parent_directories(const char *link_path)
{
	for (const char *slash = strchr(link_path + 1, '/'); slash != NULL;
	     slash = strchr(slash + 1, '/')) {
		const size_t length = size_t(slash - link_path);
		char *prefix = static_cast<char *>(malloc(length + 1));
		if (prefix == NULL) {
			report_error(errno, "Error while allocating %d bytes of memory for subpath",
				     int(length + 1));
			return 1;
		}
		memcpy(prefix, link_path, length);
		prefix[length] = '\0';

		const int result = make_directory(prefix);
		free(prefix);
		if (result != 0)
			return result;
	}
	return 0;
}

// Creates path as a folder for root:wheel unless something is there
// already, which is then left as it is.
int make_directory(const char *path)
{
	struct stat st;
	if (stat(path, &st) == 0)
		return 0;
	if (errno != ENOENT) {
		report_error(errno, "Error when getting stat info about directory \"%s\"", path);
		return 1;
	}

	if (mkdir(path, 0755) != 0) {
		report_error(errno, "Error when creating directory \"%s\"", path);
		return 1;
	}
	// Whoever may write the parent can put something else in the new
	// folder's place: a symbolic link, or a hard link to another's file.
	// The owner is set on what is open, and only if it is a folder, which
	// no hard link can be.
	int err = 0;
	const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
	struct stat opened;
	if (fd == -1 || fstat(fd, &opened) != 0)
		err = errno;
	else if (!S_ISDIR(opened.st_mode))
		err = ENOTDIR;
	else if (fchown(fd, 0, 0) != 0)
		err = errno;
	if (fd != -1)
		close(fd);
	if (err != 0) {
		report_error(err, "Error when setting root:wheel ownership for directory \"%s\"", path);
		return 1;
	}
	return 0;
}

// Every signal that ends a run by default and that a caller, a terminal or
// a limit may send; the faults are left alone, they mean a defect.
const int termination_signals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,   SIGALRM,
				   SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF};
const size_t termination_signal_count = sizeof termination_signals / sizeof termination_signals[0];

void termination_signal_set(sigset_t *set)
{
	sigemptyset(set);
	for (size_t i = 0; i < termination_signal_count; i++)
		sigaddset(set, termination_signals[i]);
}

// Holds the termination signals until the mask saved in previous is set
// again.
void block_termination_signals(sigset_t *previous)
{
	sigset_t set;
	termination_signal_set(&set);
	sigprocmask(SIG_BLOCK, &set, previous);
}

// One line on standard error, written at once: the message, then the
// error's text and number.  err is the failed call's errno, taken before
// anything else ran.  The message is made on the stack, so that one about
// memory running out is whole; a longer one gets memory of its own, or
// without it is cut.
void report_error(int err, const char *format, ...)
{
	char line[1024];
	va_list args;
	va_start(args, format);
	const int length = vsnprintf(line, sizeof line, format, args);
	va_end(args);
	char *longer = NULL;
	if (length >= int(sizeof line)) {
		longer = static_cast<char *>(malloc(size_t(length) + 1));
		if (longer != NULL) {
			va_start(args, format);
			vsnprintf(longer, size_t(length) + 1, format, args);
			va_end(args);
		}
	}
	const char *message = longer != NULL ? longer : length >= 0 ? line : format;
	fprintf(stderr, "%s: %s (%d)\n", message, strerror(err), err);
	free(longer);
}

}  // namespace
