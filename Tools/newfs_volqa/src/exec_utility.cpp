/*
 * The logic of the utility front ends: complete the super-user identity,
 * build the driver utility's argument vector from the caller's arguments,
 * replace the process with the utility, and log why when that fails.
 *
 * A successful start leaves no trace.  Every failure line is appended to
 * the log, which is opened for that one line only, and then copied to
 * standard error.
 */
#include "exec_utility.h"

#include <fcntl.h>
#include <unistd.h>

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

// The utility's path and the fixed option come before the caller's arguments.
const int extra_args = 2;

// The utility's argument vector.  It is never released: the process becomes
// the utility or ends.
char **new_argv;

bool complete_superuser_identity();
void remove_unsafe_environment();
bool is_unsafe_variable(const char *entry);
void report_failed_exec(int err, int new_argv_size);
void log_line(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace

int exec_utility(const FrontEnd &front_end, int argc, char *argv[])
{
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
			log_line("  new_argv[%d] = \"%s\"", k, new_argv[k]);
	}
}

// Appends one line to the log, then copies it to standard error.  When the
// log cannot be opened the line goes nowhere and the run ends.
void log_line(const char *format, ...)
{
	// The super-user appends here, in a folder others may write: a link
	// planted at the log path must not lead the line into another file.
	const int fd = open(log_path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW, 0644);
	FILE *log = fd >= 0 ? fdopen(fd, "a") : NULL;
	if (log == NULL) {
		const int err = errno;
		if (fd >= 0)
			close(fd);
		printf("Could not open log file! %d (%s)", err, strerror(err));
		exit(log_unavailable_status);
	}

	va_list args;
	va_start(args, format);
	vfprintf(log, format, args);
	va_end(args);
	fputc('\n', log);
	fclose(log);

	va_start(args, format);
	vfprintf(stderr, format, args);
	va_end(args);
	fputc('\n', stderr);
}

}  // namespace
