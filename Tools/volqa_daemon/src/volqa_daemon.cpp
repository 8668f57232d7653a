/*
 * ardova_ntfs_daemon: keep one background instance of this program, recorded
 * in a locked pid file, and unmount every volume of the driver's file-system
 * type when that instance is told to stop.
 *
 *   ardova_ntfs_daemon       start an instance, replacing a recorded one
 *   ardova_ntfs_daemon -u    stop the recorded instance
 *   ardova_ntfs_daemon -s    stop it and unmount the driver's volumes
 *   ardova_ntfs_daemon -f    be the instance (the start re-executes with it)
 *
 * Every open of the pid file takes an exclusive lock, so that starts and
 * stops never see a half-written record, and every lock holder checks that
 * the file it locked is still the one the path names.
 */
#include <sys/param.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <CoreFoundation/CoreFoundation.h>
#include <DiskArbitration/DiskArbitration.h>
#include <fcntl.h>
#include <libproc.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static const char program_name[] = "ardova_ntfs_daemon";
static const char pid_file_path[] = "/var/run/ardova_ntfs_daemon.pid";
static const char error_prefix[] = "[ardova_ntfs_daemon] ERROR: ";
static const char volqa_type_name[] = "fusefs_ardntfs";
static const mode_t pid_file_mode = 0644;

static volatile sig_atomic_t sigterm_received = 0;
static volatile sig_atomic_t sigint_received = 0;
static volatile sig_atomic_t sigusr1_received = 0;

// The program's operations; the helpers declared static after them are its
// private means.
int start_instance(char *program);
int unload(FILE *pid_stream);
void run_instance() __attribute__((noreturn));
void catch_sigterm(int sig);
void catch_sigint(int sig);
void catch_sigusr1(int sig);
void sigterm_execute();
void sigint_execute();
void sigusr1_execute();
void terminate_gracefully() __attribute__((noreturn));
bool unmount_volqa_filesystems(bool use_diskarbitration, bool force_retry);
bool is_volqa_volume(const struct statfs *fs);
bool try_unmount(const struct statfs *fs, bool use_diskarbitration, bool force);
bool try_unmount_posix(const struct statfs *fs, bool force);
bool try_unmount_diskarbitration(const struct statfs *fs, bool force);
void unmount_callback(DADiskRef disk, DADissenterRef dissenter, void *context);

static int open_pid_file(int flags);
static void request_signals(sigset_t *set);
static int remove_pid_file(FILE *pid_stream);
static bool is_daemon_instance(unsigned pid);
static bool delete_own_pid_file();
static void discard_new_pid_file(FILE *pid_stream);
static void info(const char *format, ...) __attribute__((format(printf, 1, 2)));
static void error(const char *format, ...) __attribute__((format(printf, 1, 2)));

int main(int argc, char *argv[])
{
	if (argc == 1)
		return start_instance(argv[0]);
	if (argc == 2 && strcmp(argv[1], "-u") == 0) {
		info("Unloading all running instances of ardova_ntfs_daemon...");
		return unload(NULL);
	}
	if (argc == 2 && strcmp(argv[1], "-s") == 0) {
		info("Unloading all running instances of ardova_ntfs_daemon and unmounting...");
		int result = unload(NULL);
		unmount_volqa_filesystems(false, true);
		return result == 0 ? 0 : result + 10;
	}
	if (argc == 2 && strcmp(argv[1], "-f") == 0)
		run_instance();
	info("usage: ardova_ntfs_daemon [-u]");
	return 1;
}

/*
 * The start: stop a recorded instance, create the new pid file locked, fork,
 * and let the child become the instance by re-executing this program with
 * "-f" while the launcher records the child's id.
 */
int start_instance(char *program)
{
	int fd = open_pid_file(O_RDWR | O_EXLOCK | O_NOFOLLOW);
	if (fd >= 0) {
		FILE *old_stream = fdopen(fd, "r+");
		if (old_stream != NULL) {
			info("Unloading existing instance of ardova_ntfs_daemon...");
			unload(old_stream);
			fclose(old_stream);
		} else {
			close(fd);
		}
	} else if (errno != ENOENT) {
		int err = errno;
		error("Failed to open %s: %d (%s)", pid_file_path, err, strerror(err));
		return 3;
	}

	// Locked from the moment it exists; fails when the old file stayed.
	fd = open(pid_file_path, O_RDWR | O_EXLOCK | O_CREAT | O_EXCL, pid_file_mode);
	FILE *pid_stream = fd >= 0 ? fdopen(fd, "w") : NULL;
	if (pid_stream == NULL) {
		if (fd >= 0) {
			unlink(pid_file_path);
			close(fd);
		}
		info("Could not open .pid-file for writing! (Are you running the program with sufficient privileges?)");
		return 2;
	}

	// The child keeps the requests blocked through the re-execution, so
	// that one sent as soon as its id is recorded waits for the handlers
	// instead of killing it.
	sigset_t requests, saved_mask;
	request_signals(&requests);
	sigprocmask(SIG_BLOCK, &requests, &saved_mask);
	pid_t pid = fork();
	if (pid == 0) {
		fclose(pid_stream);
		char dash_f[] = "-f";
		char *args[] = {program, dash_f, NULL};
		execv(program, args);
		return 0;
	}
	int fork_error = errno;
	sigprocmask(SIG_SETMASK, &saved_mask, NULL);
	if (pid < 0) {
		error("Could not start the background instance: %d (%s)", fork_error, strerror(fork_error));
		discard_new_pid_file(pid_stream);
		return 2;
	}

	if (fprintf(pid_stream, "%u\n", unsigned(pid)) < 0 || fflush(pid_stream) != 0) {
		int err = errno;
		error("Could not write %s: %d (%s)", pid_file_path, err, strerror(err));
		kill(pid, SIGKILL);
		waitpid(pid, NULL, 0);
		discard_new_pid_file(pid_stream);
		return 2;
	}
	fclose(pid_stream);
	info("ardova_ntfs_daemon started with process id %d.", int(pid));
	return 0;
}

/*
 * Stops the recorded instance and removes the pid file.  Given a stream,
 * the caller holds its lock and closes it; given none, the file is opened
 * here and its lock is kept until the process ends.
 */
int unload(FILE *pid_stream)
{
	FILE *stream = pid_stream;
	if (stream == NULL) {
		int fd = open_pid_file(O_RDWR | O_EXLOCK | O_NOFOLLOW);
		if (fd < 0 && errno != ENOENT) {
			int err = errno;
			error("Unexpected error while opening \"%s\": %d (%s)", pid_file_path, err, strerror(err));
			return 4;
		}
		// fd stays open: it holds the lock until exit.
		int stream_fd = fd >= 0 ? dup(fd) : -1;
		stream = stream_fd >= 0 ? fdopen(stream_fd, "r+") : NULL;
		if (stream == NULL) {
			if (stream_fd >= 0)
				close(stream_fd);
			error("Could not find any running instance.");
			return 3;
		}
	}

	unsigned pid = 0;
	int scanres = fscanf(stream, "%u", &pid);
	int result;
	if (scanres != 1) {
		info("Could not read PID from \"%s\" (scanres=%d). Removing possibly damaged .pid-file.",
		     pid_file_path, scanres);
		result = remove_pid_file(stream);
	} else if (!is_daemon_instance(pid)) {
		info("Orphaned .pid file found. Removing it.");
		result = remove_pid_file(stream);
	} else if (kill(pid_t(pid), SIGKILL) != 0) {
		error("Could not kill process %u!", pid);
		result = 1;
	} else {
		result = remove_pid_file(stream);
	}

	if (pid_stream == NULL)
		fclose(stream);
	return result;
}

/*
 * The background instance: wait for a request and carry it out.  The
 * requests stay blocked except while waiting, so a flag set at any moment
 * is seen by the next check without another signal.
 */
void run_instance()
{
	signal(SIGTERM, catch_sigterm);
	signal(SIGINT, catch_sigint);
	signal(SIGUSR1, catch_sigusr1);

	sigset_t requests, waiting_mask;
	request_signals(&requests);
	sigprocmask(SIG_BLOCK, &requests, &waiting_mask);
	sigdelset(&waiting_mask, SIGTERM);
	sigdelset(&waiting_mask, SIGINT);
	sigdelset(&waiting_mask, SIGUSR1);

	for (;;) {
		if (sigterm_received) {
			sigterm_received = 0;
			sigterm_execute();
		} else if (sigint_received) {
			sigint_received = 0;
			sigint_execute();
		} else if (sigusr1_received) {
			sigusr1_received = 0;
			sigusr1_execute();
		} else {
			sigsuspend(&waiting_mask);
		}
	}
}

void catch_sigterm(int)
{
	sigterm_received = 1;
}

void catch_sigint(int)
{
	sigint_received = 1;
}

void catch_sigusr1(int)
{
	sigusr1_received = 1;
}

// Unmount every volume, by force if need be, however long it takes.
void sigterm_execute()
{
	while (!unmount_volqa_filesystems(false, true))
		sleep(1);
	terminate_gracefully();
}

void sigint_execute()
{
	terminate_gracefully();
}

// Unmount politely, once; stay when a volume remains.
void sigusr1_execute()
{
	if (unmount_volqa_filesystems(true, false))
		terminate_gracefully();
}

void terminate_gracefully()
{
	if (!delete_own_pid_file()) {
		error("Could not delete %s!", pid_file_path);
		exit(5);
	}
	exit(0);
}

/*
 * The unmount pass: every volume of the driver's type, one at a time.
 * True when none is left mounted.
 */
bool unmount_volqa_filesystems(bool use_diskarbitration, bool force_retry)
{
	bool all_unmounted = true;
	// The pass needs the names only; MNT_WAIT would ask every volume for
	// fresh figures, and a hung one would stall the pass.
	struct statfs *mounts = NULL;
	int count = getmntinfo(&mounts, MNT_NOWAIT);
	for (int i = 0; i < count; i++) {
		const struct statfs *fs = &mounts[i];
		if (!is_volqa_volume(fs))
			continue;
		bool unmounted = try_unmount(fs, use_diskarbitration, false);
		if (!unmounted && force_retry) {
			error("Could not unmount %s normally, trying to force unmount...", fs->f_mntonname);
			unmounted = try_unmount(fs, use_diskarbitration, true);
		}
		if (!unmounted) {
			error("Could not unmount %s!", fs->f_mntonname);
			all_unmounted = false;
		}
	}
	return all_unmounted;
}

// The type name begins with the driver's (longer names match too); the
// subtype is 0.
bool is_volqa_volume(const struct statfs *fs)
{
	return strncmp(fs->f_fstypename, volqa_type_name, strlen(volqa_type_name)) == 0 && fs->f_fssubtype == 0;
}

bool try_unmount(const struct statfs *fs, bool use_diskarbitration, bool force)
{
	if (use_diskarbitration && try_unmount_diskarbitration(fs, force))
		return true;
	return try_unmount_posix(fs, force);
}

bool try_unmount_posix(const struct statfs *fs, bool force)
{
	return unmount(fs->f_mntonname, force ? MNT_FORCE : 0) == 0;
}

bool try_unmount_diskarbitration(const struct statfs *fs, bool force)
{
	int unmount_status = -1;  // -1: no answer, 0: refused, 1: unmounted

	DASessionRef session = DASessionCreate(kCFAllocatorDefault);
	if (session == NULL) {
		error("Error while creating Disk Arbitration session.");
		return false;
	}
	CFRunLoopRef run_loop = CFRunLoopGetCurrent();
	DASessionScheduleWithRunLoop(session, run_loop, kCFRunLoopDefaultMode);
	DADiskRef disk = DADiskCreateFromBSDName(kCFAllocatorDefault, session, fs->f_mntfromname);
	if (disk == NULL) {
		error("Error while creating disk from BSD name.");
	} else {
		DADiskUnmount(disk, force ? kDADiskUnmountOptionForce : kDADiskUnmountOptionDefault, unmount_callback,
			      &unmount_status);
		CFRunLoopRun();
		CFRelease(disk);
	}
	// No late answer may reach the cell once this frame is gone.
	DASessionUnscheduleFromRunLoop(session, run_loop, kCFRunLoopDefaultMode);
	CFRelease(session);
	if (disk == NULL)
		return false;

	switch (unmount_status) {
	case -1:
		error("No result from unmounting!");
		return false;
	case 0:
		return false;
	case 1:
		return true;
	default:
		error("Unexpected result from unmounting: %d", unmount_status);
		return false;
	}
}

void unmount_callback(DADiskRef, DADissenterRef dissenter, void *context)
{
	*static_cast<int *>(context) = dissenter == NULL ? 1 : 0;
	CFRunLoopStop(CFRunLoopGetCurrent());
}

/*
 * Opens the pid file with its lock.  A file deleted or replaced while this
 * process waited for the lock is not the record any more: look again.  Any
 * other failure to compare them is an error, never a reason to retry.
 */
static int open_pid_file(int flags)
{
	for (;;) {
		int fd = open(pid_file_path, flags);
		if (fd < 0)
			return -1;
		struct stat held, named;
		if (fstat(fd, &held) == 0 && lstat(pid_file_path, &named) == 0) {
			if (held.st_dev == named.st_dev && held.st_ino == named.st_ino)
				return fd;
		} else if (errno != ENOENT) {
			int err = errno;
			close(fd);
			errno = err;
			return -1;
		}
		close(fd);
	}
}

// The signals that ask the instance to do something.
static void request_signals(sigset_t *set)
{
	sigemptyset(set);
	sigaddset(set, SIGTERM);
	sigaddset(set, SIGINT);
	sigaddset(set, SIGUSR1);
}

// Empties and deletes the locked pid file of the stream.
static int remove_pid_file(FILE *pid_stream)
{
	if (ftruncate(fileno(pid_stream), 0) != 0) {
		int err = errno;
		error("Failed to truncate file: %d (%s)", err, strerror(err));
		return 2;
	}
	if (unlink(pid_file_path) != 0) {
		error("Could not delete pid file!");
		return 2;
	}
	return 0;
}

/*
 * Whether the recorded id is a process of this program other than the
 * caller.  0 and ids of 2^31 and above would address a process group or
 * every process; a stale id may have been reused by any process.  The
 * program file of an instance may have been replaced since it started: the
 * name it was started from is what counts.
 */
static bool is_daemon_instance(unsigned pid)
{
	if (pid == 0 || pid > unsigned(INT_MAX) || pid_t(pid) == getpid())
		return false;
	if (kill(pid_t(pid), 0) != 0)
		return false;
	char path[PROC_PIDPATHINFO_MAXSIZE];
	if (proc_pidpath(int(pid), path, sizeof path) <= 0)
		return false;
	const char *slash = strrchr(path, '/');
	return strcmp(slash != NULL ? slash + 1 : path, program_name) == 0;
}

/*
 * The instance removes its record only while it names the instance: a
 * newer start may have replaced it, and a hand-started instance has none.
 */
static bool delete_own_pid_file()
{
	int fd = open_pid_file(O_RDONLY | O_EXLOCK | O_NOFOLLOW);
	if (fd < 0)
		return false;
	FILE *stream = fdopen(fd, "r");
	if (stream == NULL) {
		close(fd);
		return false;
	}
	unsigned pid = 0;
	bool own = fscanf(stream, "%u", &pid) == 1 && pid_t(pid) == getpid() && unlink(pid_file_path) == 0;
	fclose(stream);
	return own;
}

// A pid file this start created but will not fill: no record of nothing.
static void discard_new_pid_file(FILE *pid_stream)
{
	if (unlink(pid_file_path) != 0)
		error("Could not delete %s!", pid_file_path);
	fclose(pid_stream);
}

// One write per line, so that lines of concurrent runs never mix.  The
// longest message holds one mount point of at most MAXPATHLEN bytes.
static void write_line(FILE *stream, const char *prefix, const char *format, va_list ap)
{
	char line[2 * MAXPATHLEN];
	size_t length = strlen(prefix);
	memcpy(line, prefix, length);
	int added = vsnprintf(line + length, sizeof line - length, format, ap);
	length += added > 0 ? size_t(added) : 0;
	if (length > sizeof line - 2)
		length = sizeof line - 2;
	line[length++] = '\n';
	line[length] = '\0';
	fputs(line, stream);
	fflush(stream);
}

static void info(const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	write_line(stdout, "", format, ap);
	va_end(ap);
}

static void error(const char *format, ...)
{
	int saved_errno = errno;
	va_list ap;
	va_start(ap, format);
	write_line(stderr, error_prefix, format, ap);
	va_end(ap);
	errno = saved_errno;
}
