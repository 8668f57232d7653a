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
#include <sys/types.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysctl.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <CoreFoundation/CoreFoundation.h>
#include <DiskArbitration/DiskArbitration.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

// The program's operations, which the tests of the unmount pass call too;
// everything else is in the anonymous namespace below.
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

namespace {

const char program_name[] = "ardova_ntfs_daemon";
const char pid_file_path[] = "/var/run/ardova_ntfs_daemon.pid";
const char error_prefix[] = "[ardova_ntfs_daemon] ERROR: ";
const char volqa_type_name[] = "fusefs_ardntfs";
const mode_t pid_file_mode = 0644;
// What read_record answers for a record it could not read.
const int record_unreadable = -2;

volatile sig_atomic_t sigterm_received = 0;
volatile sig_atomic_t sigint_received = 0;
volatile sig_atomic_t sigusr1_received = 0;

// Where a listed volume stands in the mount table now.
enum VolumeState {
	volume_gone,         // unmounted
	volume_reachable,    // the last mount on its path: what the path leads to
	volume_unreachable   // covered by another mount, moved, or not to be told
};

bool open_standard_descriptors();
int open_pid_file(int flags);
int holds_pid_file(int fd);
void add_request_signals(sigset_t *set);
void termination_signal_set(sigset_t *set);
void block_termination_signals(sigset_t *previous);
int launch_instance(char *program, const sigset_t *saved_mask);
pid_t start_child(char *program, const sigset_t *saved_mask, FILE *pid_stream, int *go_ahead);
void become_instance(char *program, const sigset_t *saved_mask, FILE *pid_stream, const int pipe_fds[2])
	__attribute__((noreturn));
bool record_instance(FILE *pid_stream, pid_t pid);
bool tell_to_go_on(int fd);
int read_record(FILE *stream, unsigned *pid);
int scan_record(FILE *stream, unsigned *pid);
int remove_pid_file(FILE *pid_stream);
bool is_recorded_instance(unsigned pid, FILE *record);
bool exists(pid_t pid);
bool is_program_name(const char *command, size_t size);
bool delete_own_pid_file();
void discard_new_pid_file(FILE *pid_stream);
bool list_volqa_volumes(std::vector<struct statfs> *volumes);
VolumeState volume_state(const struct statfs *listed);
bool same_volume(const struct statfs *a, const struct statfs *b);
const char *enter_mount_point_folder(const char *mount_point);
void leave_mount_point_folder();
bool enter_folder(const char *name, size_t length);
bool is_plain_name(const char *name, size_t length);
void info(const char *format, ...) __attribute__((format(printf, 1, 2)));
void error(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace

int main(int argc, char *argv[])
{
	// Nothing this program opens may take the place of a closed standard
	// stream: a message would land in the pid file.
	if (!open_standard_descriptors()) {
		const int err = errno;
		error("Could not open /dev/null: %d (%s)", err, strerror(err));
		return 1;
	}
	// Messages to a reader that went away are lost; the work goes on.  A
	// record past the caller's file-size limit fails its write (EFBIG),
	// which is reported, rather than ending the run with the record empty.
	signal(SIGPIPE, SIG_IGN);
	signal(SIGXFSZ, SIG_IGN);

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

// The start: stop a recorded instance, create the new pid file locked, fork,
// and let the child become the instance by re-executing this program with
// "-f" while the launcher records the child's id.
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

	// From here until the record is whole and the child told to go on, a
	// signal that would end the launcher waits: the record never stays
	// empty, and never names a child that was not told.
	sigset_t saved_mask;
	block_termination_signals(&saved_mask);
	const int status = launch_instance(program, &saved_mask);
	sigprocmask(SIG_SETMASK, &saved_mask, NULL);
	return status;
}

// Stops the recorded instance and removes the pid file.  Given a stream,
// the caller holds its lock and closes it; given none, the file is opened
// here and its lock is kept until the process ends.
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
	int scanres = read_record(stream, &pid);
	int result;
	if (scanres == record_unreadable) {
		// Not knowing what it says is no reason to remove it.
		int err = errno;
		error("Could not read %s: %d (%s)", pid_file_path, err, strerror(err));
		result = 4;
	} else if (scanres != 1) {
		info("Could not read PID from \"%s\" (scanres=%d). Removing possibly damaged .pid-file.",
		     pid_file_path, scanres);
		result = remove_pid_file(stream);
	} else if (!is_recorded_instance(pid, stream)) {
		info("Orphaned .pid file found. Removing it.");
		result = remove_pid_file(stream);
	} else if (kill(pid_t(pid), SIGKILL) != 0 && errno != ESRCH) {
		error("Could not kill process %u!", pid);
		result = 1;
	} else {
		result = remove_pid_file(stream);
	}

	if (pid_stream == NULL)
		fclose(stream);
	return result;
}

// The background instance: wait for a request and carry it out.  The
// requests stay blocked except while waiting, so a flag set at any moment
// is seen by the next check without another signal.
void run_instance()
{
	signal(SIGTERM, catch_sigterm);
	signal(SIGINT, catch_sigint);
	signal(SIGUSR1, catch_sigusr1);

	sigset_t requests, waiting_mask;
	sigemptyset(&requests);
	add_request_signals(&requests);
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

// The unmount pass: every volume of the driver's type, one at a time.
// True when none of those listed is left mounted.
bool unmount_volqa_filesystems(bool use_diskarbitration, bool force_retry)
{
	std::vector<struct statfs> volumes;
	if (!list_volqa_volumes(&volumes))
		return false;
	bool all_unmounted = true;
	for (size_t i = 0; i < volumes.size(); i++) {
		const struct statfs *fs = &volumes[i];
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

// Disk Arbitration's word counts only when the volume is really gone.
bool try_unmount(const struct statfs *fs, bool use_diskarbitration, bool force)
{
	if (use_diskarbitration && try_unmount_diskarbitration(fs, force) && volume_state(fs) == volume_gone)
		return true;
	return try_unmount_posix(fs, force);
}

// Unmounts the listed volume and no other: its path is walked without
// following links, the mount table must then still show the volume as the
// last mount on that path, and it must be gone afterwards.  A volume that
// is gone already counts as unmounted.
bool try_unmount_posix(const struct statfs *fs, bool force)
{
	bool unmounted = false;
	const char *name = enter_mount_point_folder(fs->f_mntonname);
	switch (volume_state(fs)) {
	case volume_gone:
		unmounted = true;
		break;
	case volume_reachable:
		unmounted = name != NULL && unmount(name, force ? MNT_FORCE : 0) == 0 &&
			    volume_state(fs) == volume_gone;
		break;
	case volume_unreachable:
		break;
	}
	leave_mount_point_folder();
	return unmounted;
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

namespace {

// Creates the pid file, starts the child that becomes the instance,
// records it and tells it to go on; the launcher's exit status.  The
// instance gets saved_mask, the caller's signal mask.
int launch_instance(char *program, const sigset_t *saved_mask)
{
	// Locked from the moment it exists; fails when the old file stayed.
	const int fd = open_pid_file(O_RDWR | O_EXLOCK | O_CREAT | O_EXCL);
	FILE *pid_stream = fd >= 0 ? fdopen(fd, "w") : NULL;
	if (pid_stream == NULL) {
		if (fd >= 0) {
			unlink(pid_file_path);
			close(fd);
		}
		info("Could not open .pid-file for writing! (Are you running the program with sufficient privileges?)");
		return 2;
	}
	int go_ahead = -1;
	const pid_t pid = start_child(program, saved_mask, pid_stream, &go_ahead);
	if (pid < 0) {
		discard_new_pid_file(pid_stream);
		return 2;
	}
	// The record is whole and the child told to go on before the lock is
	// released: a stopper never finds a record of a child that may still
	// give up.
	const bool recorded = record_instance(pid_stream, pid) && tell_to_go_on(go_ahead);
	close(go_ahead);  // a child not told ends without becoming the instance
	if (!recorded) {
		waitpid(pid, NULL, 0);
		discard_new_pid_file(pid_stream);
		return 2;
	}
	fclose(pid_stream);
	info("ardova_ntfs_daemon started with process id %d.", int(pid));
	return 0;
}

// Forks the child that becomes the instance once told to go on, through the
// pipe whose writing end is left in *go_ahead.  The child becomes the
// instance only once the launcher has recorded it: a launcher killed before
// that leaves no instance that nothing records.  The child's id, or -1
// once said why.
pid_t start_child(char *program, const sigset_t *saved_mask, FILE *pid_stream, int *go_ahead)
{
	int pipe_fds[2];
	if (pipe(pipe_fds) != 0) {
		const int err = errno;
		error("Could not start the background instance: %d (%s)", err, strerror(err));
		return -1;
	}
	const pid_t pid = fork();
	if (pid == 0)
		become_instance(program, saved_mask, pid_stream, pipe_fds);
	const int err = errno;
	close(pipe_fds[0]);
	if (pid < 0) {
		close(pipe_fds[1]);
		error("Could not start the background instance: %d (%s)", err, strerror(err));
		return -1;
	}
	*go_ahead = pipe_fds[1];
	return pid;
}

// In the child: waits to be told, one byte or the end of the pipe, then
// becomes the instance by executing this program with "-f".  The requests
// stay blocked through the execution, so that one sent as soon as the id
// is recorded waits for the handlers instead of killing the instance;
// every other signal is taken as the caller left it.  Ends with 0 when not
// told, or when the execution fails.
void become_instance(char *program, const sigset_t *saved_mask, FILE *pid_stream, const int pipe_fds[2])
{
	fclose(pid_stream);
	close(pipe_fds[1]);
	sigset_t mask = *saved_mask;
	add_request_signals(&mask);
	sigprocmask(SIG_SETMASK, &mask, NULL);
	char byte;
	ssize_t got;
	while ((got = read(pipe_fds[0], &byte, 1)) < 0 && errno == EINTR) {
	}
	close(pipe_fds[0]);
	if (got == 1) {
		char dash_f[] = "-f";
		char *args[] = {program, dash_f, NULL};
		execv(program, args);
	}
	exit(0);
}

// Writes the child's id to the new pid file, flushed.
bool record_instance(FILE *pid_stream, pid_t pid)
{
	if (fprintf(pid_stream, "%u\n", unsigned(pid)) >= 0 && fflush(pid_stream) == 0)
		return true;
	const int err = errno;
	error("Could not write %s: %d (%s)", pid_file_path, err, strerror(err));
	return false;
}

// One byte down the pipe tells the child to become the instance.
bool tell_to_go_on(int fd)
{
	ssize_t n;
	while ((n = write(fd, "", 1)) < 0 && errno == EINTR) {
	}
	if (n == 1)
		return true;
	const int err = n == 0 ? EIO : errno;
	error("Could not start the background instance: %d (%s)", err, strerror(err));
	return false;
}

// Opens, or with O_CREAT | O_EXCL creates, the pid file with its lock.  A
// file deleted or replaced while this process waited for the lock is not
// the record any more: look again.  That holds for a new file too, where
// the system creates it first and locks it after: a stopper may lock the
// empty file in between, take it for a damaged record and delete it.  Any
// other failure to compare them is an error, never a reason to retry.
int open_pid_file(int flags)
{
	for (;;) {
		int fd = open(pid_file_path, flags, pid_file_mode);
		if (fd < 0)
			return -1;
		int held = holds_pid_file(fd);
		if (held > 0)
			return fd;
		int err = errno;
		close(fd);
		if (held < 0) {
			errno = err;
			return -1;
		}
	}
}

// 1 when the path names the file the descriptor holds, 0 when that file was
// deleted or replaced, -1 with errno set when it cannot be told.
int holds_pid_file(int fd)
{
	struct stat held, named;
	if (fstat(fd, &held) != 0)
		return -1;
	if (lstat(pid_file_path, &named) != 0)
		return errno == ENOENT ? 0 : -1;
	return held.st_dev == named.st_dev && held.st_ino == named.st_ino ? 1 : 0;
}

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

// Adds the signals that ask the instance to do something.
void add_request_signals(sigset_t *set)
{
	sigaddset(set, SIGTERM);
	sigaddset(set, SIGINT);
	sigaddset(set, SIGUSR1);
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

// Empties and deletes the locked pid file of the stream; a signal that
// would end the run meanwhile waits, so that the record is never left
// emptied but not deleted by one.  A file with other names than the pid
// file's (a hard link) is only unnamed: its content is theirs too.
int remove_pid_file(FILE *pid_stream)
{
	sigset_t saved_mask;
	block_termination_signals(&saved_mask);
	int result = 0;
	struct stat held;
	const bool only_name = fstat(fileno(pid_stream), &held) == 0 && held.st_nlink == 1;
	if (only_name && ftruncate(fileno(pid_stream), 0) != 0) {
		int err = errno;
		error("Failed to truncate file: %d (%s)", err, strerror(err));
		result = 2;
	} else if (unlink(pid_file_path) != 0) {
		error("Could not delete pid file!");
		result = 2;
	}
	sigprocmask(SIG_SETMASK, &saved_mask, NULL);
	return result;
}

// Reads the record as "%u" does, yet the same on every ABI: a number that
// does not fit in 32 bits, or has a minus sign, reads as UINT_MAX, which is
// no process id.  Returns the count "%u" would: 1 for a number, 0 when
// something else stands there, -1 at the end of the file; or
// record_unreadable, errno set, when the file could not be read, which
// says nothing of what it holds.
int read_record(FILE *stream, unsigned *pid)
{
	unsigned value = 0;
	const int count = scan_record(stream, &value);
	if (ferror(stream))
		return record_unreadable;
	*pid = value;
	return count;
}

int scan_record(FILE *stream, unsigned *pid)
{
	int c;
	do
		c = getc(stream);
	while (c != EOF && isspace(c));
	if (c == EOF)
		return -1;
	const bool negative = c == '-';
	if (c == '-' || c == '+')
		c = getc(stream);
	if (c == EOF || !isdigit(c))
		return 0;
	unsigned value = 0;
	bool too_large = false;
	for (; c != EOF && isdigit(c); c = getc(stream)) {
		const unsigned digit = unsigned(c - '0');
		if (value > (UINT_MAX - digit) / 10)
			too_large = true;
		else
			value = value * 10 + digit;
	}
	*pid = negative || too_large ? UINT_MAX : value;
	return 1;
}

// Whether the record's process is to be taken for the instance it was
// written for.  Only a process shown not to be is a stranger: one gone, or
// one whose identity could be read and is another's.  The launcher records
// its child once the child has started, so the instance started no later
// than the record was written (a second's grace, as file times may be
// whole seconds); a process that got the id afterwards is another.  The
// instance also runs this program, by the name the system keeps for it
// (links followed).  A process whose identity cannot be read is taken for
// the instance: not being able to tell is no proof that it is gone.  0 and
// ids of 2^31 and above would address a process group or every process,
// and the caller never takes itself for the instance.
bool is_recorded_instance(unsigned pid, FILE *record)
{
	if (pid == 0 || pid > unsigned(INT_MAX) || pid_t(pid) == getpid())
		return false;
	int name[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, int(pid)};
	struct kinfo_proc process;
	size_t length = sizeof process;
	if (sysctl(name, 4, &process, &length, NULL, 0) != 0 || (length != 0 && length != sizeof process))
		return exists(pid_t(pid));
	if (length == 0)
		return false;  // no such process
	struct stat written;
	if (fstat(fileno(record), &written) != 0)
		return true;
	return is_program_name(process.kp_proc.p_comm, sizeof process.kp_proc.p_comm) &&
	       process.kp_proc.p_starttime.tv_sec <= written.st_mtime + 1;
}

// Whether a process has the id; only "no such process" says it has not.
bool exists(pid_t pid)
{
	return kill(pid, 0) == 0 || errno != ESRCH;
}

// The command name is this program's name, or the longest beginning of it
// that the system keeps (MAXCOMLEN characters, or one fewer).
bool is_program_name(const char *command, size_t size)
{
	const char *end = static_cast<const char *>(memchr(command, '\0', size));
	const size_t length = end != NULL ? size_t(end - command) : size;
	const size_t full = strlen(program_name);
	if (length == 0 || length > full || memcmp(command, program_name, length) != 0)
		return false;
	return length == full || length >= MAXCOMLEN - 1;
}

// The instance removes its record only while it names the instance: a
// newer start may have replaced it, and a hand-started instance has none.
bool delete_own_pid_file()
{
	// Read and write: a FIFO opened for reading alone would wait for a
	// writer before the lock could refuse it.
	int fd = open_pid_file(O_RDWR | O_EXLOCK | O_NOFOLLOW);
	if (fd < 0)
		return false;
	FILE *stream = fdopen(fd, "r");
	if (stream == NULL) {
		close(fd);
		return false;
	}
	unsigned pid = 0;
	bool own = read_record(stream, &pid) == 1 && pid_t(pid) == getpid() && unlink(pid_file_path) == 0;
	fclose(stream);
	return own;
}

// A pid file this start created but will not fill: no record of nothing.
void discard_new_pid_file(FILE *pid_stream)
{
	if (unlink(pid_file_path) != 0)
		error("Could not delete %s!", pid_file_path);
	fclose(pid_stream);
}

// The driver's volumes, copied: the next getmntinfo reuses its storage.
// The table holds the root at least, so an empty one is a failure.
bool list_volqa_volumes(std::vector<struct statfs> *volumes)
{
	// Only names are needed: MNT_WAIT would ask every volume for fresh
	// figures, and a hung one would stall the pass.
	struct statfs *mounts = NULL;
	int count = getmntinfo(&mounts, MNT_NOWAIT);
	if (count <= 0) {
		int err = errno;
		error("Could not list the mounted file systems: %d (%s)", err, strerror(err));
		return false;
	}
	for (int i = 0; i < count; i++) {
		if (is_volqa_volume(&mounts[i]))
			volumes->push_back(mounts[i]);
	}
	return true;
}

// From a fresh look at the mount table, which asks no volume anything.
VolumeState volume_state(const struct statfs *listed)
{
	struct statfs *mounts = NULL;
	int count = getmntinfo(&mounts, MNT_NOWAIT);
	if (count <= 0)
		return volume_unreachable;
	bool mounted = false;
	const struct statfs *last_on_path = NULL;
	for (int i = 0; i < count; i++) {
		if (same_volume(&mounts[i], listed))
			mounted = true;
		if (strcmp(mounts[i].f_mntonname, listed->f_mntonname) == 0)
			last_on_path = &mounts[i];
	}
	if (!mounted)
		return volume_gone;
	return last_on_path != NULL && same_volume(last_on_path, listed) ? volume_reachable : volume_unreachable;
}

// The same mount: file-system id, type name and device name.
bool same_volume(const struct statfs *a, const struct statfs *b)
{
	return memcmp(&a->f_fsid, &b->f_fsid, sizeof a->f_fsid) == 0 &&
	       strcmp(a->f_fstypename, b->f_fstypename) == 0 && strcmp(a->f_mntfromname, b->f_mntfromname) == 0;
}

// Makes the folder that holds the mount point the working folder, entered
// one name at a time from the root without following a symbolic link, and
// returns the mount point's own name in it, or NULL.  Whoever owns a folder
// on the path may swap it for a link after the listing; held this way, the
// path leads where it leads now, and nowhere a link points.  Only folders
// above the mount point are opened: the volume itself is never asked
// anything, as its server may not answer.
const char *enter_mount_point_folder(const char *mount_point)
{
	const char *last_slash = strrchr(mount_point, '/');
	if (mount_point[0] != '/' || !is_plain_name(last_slash + 1, strlen(last_slash + 1)) || chdir("/") != 0)
		return NULL;
	for (const char *part = mount_point + 1; part <= last_slash; part = strchr(part, '/') + 1) {
		const size_t length = size_t(strchr(part, '/') - part);
		if (length > 0 && !enter_folder(part, length))
			return NULL;
	}
	return last_slash + 1;
}

// Back to the root, which never waits for a server and keeps no file
// system busy; the program names every file by its full path, and the next
// attempt starts from the root in any case.
void leave_mount_point_folder()
{
	while (chdir("/") != 0 && errno == EINTR) {
	}
}

bool enter_folder(const char *name, size_t length)
{
	char folder[MAXPATHLEN];
	if (!is_plain_name(name, length) || length >= sizeof folder)
		return false;
	memcpy(folder, name, length);
	folder[length] = '\0';
	// Not blocking: a FIFO in a folder's place must not hang the pass.
	int fd = open(folder, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
	if (fd < 0)
		return false;
	struct stat st;
	const bool entered = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && fchdir(fd) == 0;
	close(fd);
	return entered;
}

// A name in a folder, not "." or "..", which lead elsewhere.
bool is_plain_name(const char *name, size_t length)
{
	return length > 0 && !(name[0] == '.' && (length == 1 || (length == 2 && name[1] == '.')));
}

// One write per line, so that lines of concurrent runs never mix.  The
// longest message holds one mount point of at most MAXPATHLEN bytes.
void write_line(FILE *stream, const char *prefix, const char *format, va_list ap)
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

void info(const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	write_line(stdout, "", format, ap);
	va_end(ap);
}

void error(const char *format, ...)
{
	int saved_errno = errno;
	va_list ap;
	va_start(ap, format);
	write_line(stderr, error_prefix, format, ap);
	va_end(ap);
	errno = saved_errno;
}

}  // namespace
