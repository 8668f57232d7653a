/*
 * fault_sweep: run a program with one of its own system calls failing, or
 * with a signal arriving while it makes that call, the call chosen by its
 * place among the program's calls.
 *
 *	fault_sweep -r REPORT [-v] [-n NAME]... [-f K | -s K:SIGNAL] PROGRAM [ARG...]
 *
 * The program's own calls are the watched calls (the table below) made by
 * its processes, threads and children included, until they execute another
 * program: every process whose executable is named NAME (by default
 * PROGRAM's last component).  Calls made from inside the dynamic loader or
 * a sanitizer runtime are not the program's: they are the same for every
 * program, and nothing it could handle.  Of those calls, the K-th (from 1):
 *
 *	-f K		fails, with an error number that call can really
 *			return; successive calls of one kind take the kind's
 *			error numbers in turn
 *	-s K:SIGNAL	is made to wait while SIGNAL (TERM, INT, HUP, QUIT,
 *			or a number) is sent to the calling process, then goes
 *			on: a signal the process takes interrupts it as a
 *			signal arriving then would
 *
 * With neither option nothing is changed: a clean run counts the calls.
 * -v writes every call counted to REPORT as "call K CALL".
 *
 * REPORT gets a line "point K CALL ERRNO-NAME ON BY" or "point K CALL SIGNAL
 * ON BY" as the point is reached, and "calls N" once no process of the
 * program is left.  ON is what the call works on: "path", or for a
 * descriptor "file", "pipe" (sockets too) or "device" (ERRNO-NAME is "none"
 * where such a call cannot fail); BY is "main" for the process started as
 * PROGRAM, its threads included, and "child" for the others.  fault_sweep
 * returns as soon as PROGRAM itself ends, with its exit status (128 + the
 * signal that ended it); processes it left behind go on being served in
 * the background until they end.
 *
 * The hold is the kernel's seccomp user notification: the program is not
 * traced and its code is untouched.  Only x86_64 programs are watched: a
 * 32-bit program makes its calls through the vDSO, where the loader's and
 * its own look alike.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "seccomp_listener.h"

/* What a descriptor is open on, for the calls that take one. */
enum kind { ON_FILE, ON_PIPE, ON_DEVICE, KINDS };
static const char *const kind_names[KINDS] = {"file", "pipe", "device"};

struct watched_call {
	const char *name;
	int nr;
	int takes_fd; /* the first argument is a descriptor */
	/* The error numbers the call can really answer: for a descriptor on a
	 * regular file or folder, on a pipe or socket, on a device (the two
	 * last for descriptor calls only).  0 ends a list; an empty list means
	 * the call does not fail there, and the point only counts. */
	int errors[KINDS][5];
};

#define ANY(...) {{__VA_ARGS__}, {__VA_ARGS__}, {__VA_ARGS__}}
/* What each call may really answer, among what the programs meet.  close
 * fails only where it really reports an error, on files (the last
 * write-back failing), and then releases the file as Linux does; dup2
 * never fails on the descriptors these programs give it. */
static const struct watched_call calls[] = {
	{"open", SYS_open, 0, ANY(EACCES, EMFILE, EIO, ENOMEM, EINTR)},
	{"openat", SYS_openat, 0, ANY(EACCES, EMFILE, EIO, ENOMEM, EINTR)},
	{"creat", SYS_creat, 0, ANY(EACCES, ENOSPC, EIO)},
	{"read", SYS_read, 1, ANY(EIO)},
	{"pread", SYS_pread64, 1, ANY(EIO)},
	{"readv", SYS_readv, 1, ANY(EIO)},
	{"write", SYS_write, 1, {{EIO, ENOSPC, EDQUOT}, {EPIPE}, {EIO}}},
	{"pwrite", SYS_pwrite64, 1, {{EIO, ENOSPC, EDQUOT}, {ESPIPE}, {EIO}}},
	{"writev", SYS_writev, 1, {{EIO, ENOSPC, EDQUOT}, {EPIPE}, {EIO}}},
	{"fsync", SYS_fsync, 1, {{EIO, ENOSPC}, {EINVAL}, {EINVAL}}},
	{"fdatasync", SYS_fdatasync, 1, {{EIO, ENOSPC}, {EINVAL}, {EINVAL}}},
	{"close", SYS_close, 1, {{EIO}, {0}, {0}}},
	{"rename", SYS_rename, 0, ANY(EIO, ENOSPC, EACCES, EBUSY)},
	{"renameat", SYS_renameat, 0, ANY(EIO, ENOSPC, EACCES, EBUSY)},
	{"renameat2", SYS_renameat2, 0, ANY(EIO, ENOSPC, EACCES, EBUSY)},
	{"unlink", SYS_unlink, 0, ANY(EIO, EACCES, EBUSY)},
	{"unlinkat", SYS_unlinkat, 0, ANY(EIO, EACCES, EBUSY)},
	{"rmdir", SYS_rmdir, 0, ANY(EBUSY, EIO)},
	{"mkdir", SYS_mkdir, 0, ANY(EACCES, ENOSPC, EIO)},
	{"mkdirat", SYS_mkdirat, 0, ANY(EACCES, ENOSPC, EIO)},
	{"symlink", SYS_symlink, 0, ANY(EIO, ENOSPC, EACCES)},
	{"symlinkat", SYS_symlinkat, 0, ANY(EIO, ENOSPC, EACCES)},
	{"readlink", SYS_readlink, 0, ANY(EIO, EACCES)},
	{"readlinkat", SYS_readlinkat, 0, ANY(EIO, EACCES)},
	{"chown", SYS_chown, 0, ANY(EPERM, EIO)},
	{"fchown", SYS_fchown, 1, {{EPERM, EIO}, {EPERM}, {EPERM}}},
	{"lchown", SYS_lchown, 0, ANY(EPERM, EIO)},
	{"fchownat", SYS_fchownat, 0, ANY(EPERM, EIO)},
	{"fchmod", SYS_fchmod, 1, {{EPERM, EIO}, {EPERM}, {EPERM}}},
	{"chdir", SYS_chdir, 0, ANY(EACCES, EIO)},
	{"fchdir", SYS_fchdir, 1, ANY(EACCES, EIO)},
	{"flock", SYS_flock, 1, ANY(EINTR, ENOLCK)},
	{"ftruncate", SYS_ftruncate, 1, {{EIO, EINTR}, {EINVAL}, {EINVAL}}},
	{"fallocate", SYS_fallocate, 1, {{ENOSPC, EIO}, {ESPIPE}, {ENODEV}}},
	{"stat", SYS_stat, 0, ANY(EIO, ENOMEM)},
	{"fstat", SYS_fstat, 1, {{EIO, ENOMEM}, {ENOMEM}, {ENOMEM}}},
	{"lstat", SYS_lstat, 0, ANY(EIO, ENOMEM)},
	{"newfstatat", SYS_newfstatat, 0, ANY(EIO, ENOMEM)},
	{"statx", SYS_statx, 0, ANY(EIO, ENOMEM)},
	{"statfs", SYS_statfs, 0, ANY(EIO, ENOMEM)},
	{"fstatfs", SYS_fstatfs, 1, ANY(EIO, ENOMEM)},
	{"getdents64", SYS_getdents64, 1, ANY(EIO)},
	{"fgetxattr", SYS_fgetxattr, 1, ANY(EIO)},
	{"flistxattr", SYS_flistxattr, 1, ANY(EIO)},
	{"fsetxattr", SYS_fsetxattr, 1, ANY(ENOSPC, EIO)},
	{"access", SYS_access, 0, ANY(EACCES, EIO)},
	{"faccessat", SYS_faccessat, 0, ANY(EACCES, EIO)},
	{"faccessat2", SYS_faccessat2, 0, ANY(EACCES, EIO)},
	{"umount2", SYS_umount2, 0, ANY(EBUSY, EIO)},
	{"pipe", SYS_pipe, 0, ANY(EMFILE, ENFILE)},
	{"pipe2", SYS_pipe2, 0, ANY(EMFILE, ENFILE)},
	{"dup", SYS_dup, 1, ANY(EMFILE)},
	{"dup2", SYS_dup2, 1, ANY(0)},
	{"dup3", SYS_dup3, 1, ANY(0)},
	{"clone", SYS_clone, 0, ANY(EAGAIN, ENOMEM)},
	{"clone3", SYS_clone3, 0, ANY(EAGAIN, ENOMEM)},
	{"fork", SYS_fork, 0, ANY(EAGAIN, ENOMEM)},
	{"vfork", SYS_vfork, 0, ANY(EAGAIN, ENOMEM)},
	{"execve", SYS_execve, 0, ANY(EACCES, ENOMEM)},
	{"execveat", SYS_execveat, 0, ANY(EACCES, ENOMEM)},
	{"wait4", SYS_wait4, 0, ANY(EINTR)},
	{"waitid", SYS_waitid, 0, ANY(EINTR)},
	{"kill", SYS_kill, 0, ANY(EPERM)},
	{"setuid", SYS_setuid, 0, ANY(EAGAIN, EPERM)},
	{"setgid", SYS_setgid, 0, ANY(EPERM)},
	{"setresuid", SYS_setresuid, 0, ANY(EAGAIN, EPERM)},
	{"setresgid", SYS_setresgid, 0, ANY(EPERM)},
	{"mmap", SYS_mmap, 0, ANY(ENOMEM)},
	{"nanosleep", SYS_nanosleep, 0, ANY(EINTR)},
	{"clock_nanosleep", SYS_clock_nanosleep, 0, ANY(EINTR)},
	{"poll", SYS_poll, 0, ANY(EINTR, ENOMEM)},
	{"ppoll", SYS_ppoll, 0, ANY(EINTR, ENOMEM)},
	{"select", SYS_select, 0, ANY(EINTR, ENOMEM)},
	{"pselect6", SYS_pselect6, 0, ANY(EINTR, ENOMEM)},
};
#define CALL_COUNT (sizeof calls / sizeof calls[0])

static const struct {
	const char *name;
	int number;
} signal_names[] = {{"TERM", SIGTERM}, {"INT", SIGINT}, {"HUP", SIGHUP}, {"QUIT", SIGQUIT},
		    {"USR1", SIGUSR1}, {"USR2", SIGUSR2}, {"ALRM", SIGALRM}, {"XCPU", SIGXCPU},
		    {"VTALRM", SIGVTALRM}, {"PROF", SIGPROF}, {"PIPE", SIGPIPE}, {"KILL", SIGKILL}};

static const char *names[8];
static int name_count;
static const char *report_path;
static long point;       /* the call acted on, 0 for none */
static int point_signal; /* 0: fail the call */
static long counted;
static pid_t program_pid; /* the process started as PROGRAM */
static int tracing; /* -v: every counted call goes to the report */
static long occurrences[CALL_COUNT];

static void die(const char *what)
{
	fprintf(stderr, "fault_sweep: %s: %s\n", what, strerror(errno));
	exit(125);
}

static void report(const char *format, ...) __attribute__((format(printf, 1, 2)));
static void report(const char *format, ...)
{
	char line[256];
	va_list args;
	va_start(args, format);
	int n = vsnprintf(line, sizeof line, format, args);
	va_end(args);
	int fd = open(report_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
	if (fd < 0)
		die(report_path);
	if (write(fd, line, (size_t)n) != n)
		die(report_path);
	close(fd);
}

static const char *error_name(int err)
{
	const char *name = strerrorname_np(err);
	return name != NULL ? name : "E?";
}

static const char *signal_name(int sig)
{
	for (size_t i = 0; i < sizeof signal_names / sizeof signal_names[0]; i++)
		if (signal_names[i].number == sig)
			return signal_names[i].name;
	return "?";
}

static int parse_signal(const char *text)
{
	for (size_t i = 0; i < sizeof signal_names / sizeof signal_names[0]; i++)
		if (strcmp(signal_names[i].name, text) == 0)
			return signal_names[i].number;
	int sig = atoi(text);
	return sig > 0 && sig < NSIG ? sig : -1;
}

/* The filter: the watched calls of x86_64 go to the listener, everything
 * else is allowed. */
static int install_filter(void)
{
	int nrs[CALL_COUNT];
	for (unsigned i = 0; i < CALL_COUNT; i++)
		nrs[i] = calls[i].nr;
	struct sock_filter code[CALL_COUNT + 6];
	unsigned n = 0;
	append_notified_calls(code, &n, AUDIT_ARCH_X86_64, nrs, CALL_COUNT);
	code[n++] = (struct sock_filter)BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
	struct sock_fprog prog = {.len = (unsigned short)n, .filter = code};
	int listener = install_listener(&prog);
	if (listener < 0)
		die("seccomp");
	return listener;
}

/*
 * What is known of one thread: whether it runs the program, and which of
 * the program files mapped in its memory are the loader's and the
 * sanitizer runtimes' (foreign) or others (its own).  Libraries mapped
 * later, such as the sanitizer runtimes, which come after the loader's
 * first calls, are looked for when a call comes from outside all of them.
 * Forgotten when the thread calls execve, after which it may run
 * something else.
 */
#define MAX_RANGES 64
struct thread_info {
	pid_t tid;
	int is_program;
	int ranges;
	unsigned long long low[MAX_RANGES], high[MAX_RANGES];
	int foreign[MAX_RANGES];
};
static struct thread_info known[64];
static unsigned next_slot;

static int is_foreign_library(const char *path)
{
	const char *base = strrchr(path, '/');
	base = base != NULL ? base + 1 : path;
	return strncmp(base, "ld-linux", 8) == 0 || strncmp(base, "libasan", 7) == 0 ||
	       strncmp(base, "libubsan", 8) == 0 || strncmp(base, "liblsan", 7) == 0;
}

static int runs_program(pid_t tid)
{
	char link[64], target[4096];
	snprintf(link, sizeof link, "/proc/%d/exe", (int)tid);
	ssize_t n = readlink(link, target, sizeof target - 1);
	if (n < 0)
		return 0;
	target[n] = '\0';
	char *deleted = strstr(target, " (deleted)");
	if (deleted != NULL && deleted[10] == '\0')
		*deleted = '\0';
	const char *base = strrchr(target, '/');
	base = base != NULL ? base + 1 : target;
	for (int i = 0; i < name_count; i++)
		if (strcmp(base, names[i]) == 0)
			return 1;
	return 0;
}

/* The executable mappings of program files, each foreign or not. */
static void read_ranges(struct thread_info *info)
{
	char path[64];
	snprintf(path, sizeof path, "/proc/%d/maps", (int)info->tid);
	FILE *maps = fopen(path, "re");
	info->ranges = 0;
	if (maps == NULL)
		return;
	char line[4096 + 128];
	while (fgets(line, sizeof line, maps) != NULL && info->ranges < MAX_RANGES) {
		unsigned long long low, high;
		char permissions[8];
		int offset = 0;
		if (sscanf(line, "%llx-%llx %7s %*s %*s %*s %n", &low, &high, permissions, &offset) < 3 ||
		    offset == 0 || permissions[2] != 'x')
			continue;
		char *file = line + offset;
		file[strcspn(file, "\n")] = '\0';
		if (file[0] != '/')
			continue;
		info->low[info->ranges] = low;
		info->high[info->ranges] = high;
		info->foreign[info->ranges] = is_foreign_library(file);
		info->ranges++;
	}
	fclose(maps);
}

static struct thread_info *thread_info(pid_t tid)
{
	for (unsigned i = 0; i < sizeof known / sizeof known[0]; i++)
		if (known[i].tid == tid)
			return &known[i];
	struct thread_info *info = &known[next_slot++ % (sizeof known / sizeof known[0])];
	memset(info, 0, sizeof *info);
	info->tid = tid;
	info->is_program = runs_program(tid);
	return info;
}

static void forget_thread(pid_t tid)
{
	for (unsigned i = 0; i < sizeof known / sizeof known[0]; i++)
		if (known[i].tid == tid)
			known[i].tid = 0;
}

/* -1 when ip lies in none of the known mappings. */
static int is_foreign(const struct thread_info *info, unsigned long long ip)
{
	for (int i = 0; i < info->ranges; i++)
		if (ip >= info->low[i] && ip < info->high[i])
			return info->foreign[i];
	return -1;
}

static int is_own_call(pid_t tid, unsigned long long ip)
{
	struct thread_info *info = thread_info(tid);
	if (!info->is_program)
		return 0;
	int foreign = is_foreign(info, ip);
	if (foreign < 0) {
		read_ranges(info);
		foreign = is_foreign(info, ip);
	}
	return foreign == 0;
}

static const struct watched_call *watched(int nr)
{
	for (size_t i = 0; i < CALL_COUNT; i++)
		if (calls[i].nr == nr)
			return &calls[i];
	return NULL;
}

static pid_t process_of(pid_t tid)
{
	char path[64], line[256];
	snprintf(path, sizeof path, "/proc/%d/status", (int)tid);
	FILE *status = fopen(path, "re");
	pid_t tgid = tid;
	if (status == NULL)
		return tid;
	while (fgets(line, sizeof line, status) != NULL)
		if (sscanf(line, "Tgid: %d", &tgid) == 1)
			break;
	fclose(status);
	return tgid;
}

/*
 * A close that reports an error has still released the descriptor's file
 * on Linux; no answer can make the call do that, so the file is released
 * here, by putting /dev/null in its place.  The number stays taken, which
 * no program here looks at.
 */
static void release_descriptor(int listener, const struct seccomp_notif *request)
{
	int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
	if (null_fd < 0)
		die("/dev/null");
	struct seccomp_notif_addfd addfd;
	memset(&addfd, 0, sizeof addfd);
	addfd.id = request->id;
	addfd.flags = SECCOMP_ADDFD_FLAG_SETFD;
	addfd.srcfd = (unsigned)null_fd;
	addfd.newfd = (unsigned)request->data.args[0];
	ioctl(listener, SECCOMP_IOCTL_NOTIF_ADDFD, &addfd); /* fails once the caller is gone */
	close(null_fd);
}

static enum kind kind_of(pid_t tid, int fd)
{
	char path[64];
	struct stat st;
	snprintf(path, sizeof path, "/proc/%d/fd/%d", (int)tid, fd);
	if (stat(path, &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))
		return ON_FILE;
	return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) ? ON_PIPE : ON_DEVICE;
}

static void act_at_point(int listener, const struct seccomp_notif *request, const struct watched_call *call,
			 long occurrence, struct seccomp_notif_resp *response);

/* Answers one notification: counts it when it is the program's own, and
 * acts at the point. */
static void serve(int listener, const struct seccomp_notif *request)
{
	struct seccomp_notif_resp response;
	memset(&response, 0, sizeof response);
	response.id = request->id;
	response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;

	const struct watched_call *call = watched(request->data.nr);
	if (call != NULL && is_own_call((pid_t)request->pid, request->data.instruction_pointer)) {
		const long occurrence = occurrences[call - calls]++;
		if (++counted, tracing)
			report("call %ld %s\n", counted, call->name);
		if (counted == point)
			act_at_point(listener, request, call, occurrence, &response);
	}
	if (request->data.nr == SYS_execve || request->data.nr == SYS_execveat)
		forget_thread((pid_t)request->pid);
	/* ENOENT once the caller has gone or was interrupted meanwhile. */
	ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &response);
}

/* Fails the call in the response, or sends the signal and lets it go on;
 * and says which. */
static void act_at_point(int listener, const struct seccomp_notif *request, const struct watched_call *call,
			 long occurrence, struct seccomp_notif_resp *response)
{
	const enum kind on = call->takes_fd ? kind_of((pid_t)request->pid, (int)request->data.args[0]) : ON_FILE;
	const char *where = call->takes_fd ? kind_names[on] : "path";
	const pid_t process = process_of((pid_t)request->pid);
	const char *who = process == program_pid ? "main" : "child";
	if (point_signal != 0) {
		report("point %ld %s %s %s %s\n", point, call->name, signal_name(point_signal), where, who);
		kill(process, point_signal);
		return;
	}
	const int *errors = call->errors[on];
	int n = 0;
	while (n < 5 && errors[n] != 0)
		n++;
	if (n == 0) {
		report("point %ld %s none %s %s\n", point, call->name, where, who);
		return;
	}
	const int err = errors[occurrence % n];
	if (request->data.nr == SYS_close)
		release_descriptor(listener, request);
	response->flags = 0;
	response->error = -err;
	report("point %ld %s %s %s %s\n", point, call->name, error_name(err), where, who);
}

/* Serves notifications until no process of the filter is left, or, when
 * program is a pid file descriptor, until that process has ended too.
 * Returns whether processes of the filter are left. */
static int serve_until(int listener, int program)
{
	struct seccomp_notif request;
	for (;;) {
		struct pollfd p[2] = {{.fd = listener, .events = POLLIN}, {.fd = program, .events = POLLIN}};
		if (poll(p, program >= 0 ? 2 : 1, -1) < 0) {
			if (errno == EINTR)
				continue;
			die("poll");
		}
		if (p[0].revents & POLLIN) {
			memset(&request, 0, sizeof request);
			if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &request) == 0)
				serve(listener, &request);
			continue; /* calls first: the program may wait on one */
		}
		if (p[0].revents & (POLLHUP | POLLERR))
			return 0;
		if (program >= 0 && (p[1].revents & POLLIN))
			return 1;
	}
}

int main(int argc, char *argv[])
{
	int opt;
	while ((opt = getopt(argc, argv, "+r:n:f:s:v")) != -1) {
		switch (opt) {
		case 'r':
			report_path = optarg;
			break;
		case 'v':
			tracing = 1;
			break;
		case 'n':
			if (name_count < 8)
				names[name_count++] = optarg;
			break;
		case 'f':
			point = atol(optarg);
			break;
		case 's': {
			char *colon = strchr(optarg, ':');
			point = atol(optarg);
			point_signal = colon != NULL ? parse_signal(colon + 1) : -1;
			if (point_signal <= 0) {
				fprintf(stderr, "fault_sweep: bad signal point %s\n", optarg);
				return 125;
			}
			break;
		}
		default:
			return 125;
		}
	}
	if (report_path == NULL || optind >= argc) {
		fprintf(stderr, "usage: fault_sweep -r REPORT [-n NAME]... [-f K | -s K:SIGNAL] PROGRAM [ARG...]\n");
		return 125;
	}
	if (name_count == 0) {
		const char *slash = strrchr(argv[optind], '/');
		names[name_count++] = slash != NULL ? slash + 1 : argv[optind];
	}

	int sockets[2];
	if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0)
		die("socketpair");
	pid_t program = fork();
	if (program < 0)
		die("fork");
	if (program == 0) {
		int listener = install_filter();
		if (send_fd(sockets[1], listener) != 0)
			die("sendmsg");
		close(listener);
		execvp(argv[optind], argv + optind);
		fprintf(stderr, "fault_sweep: %s: %s\n", argv[optind], strerror(errno));
		_exit(127);
	}
	program_pid = program;
	close(sockets[1]);
	int listener = receive_fd(sockets[0]);
	if (listener < 0)
		die("receiving the listener");
	close(sockets[0]);
	int program_fd = (int)syscall(SYS_pidfd_open, program, 0);
	if (program_fd < 0)
		die("pidfd_open");

	int left = serve_until(listener, program_fd);
	int status;
	while (waitpid(program, &status, 0) < 0)
		if (errno != EINTR)
			die("waitpid");
	const int exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
	if (left) {
		/* What the program left behind is served from the background,
		 * on descriptors of its own. */
		pid_t server = fork();
		if (server < 0)
			die("fork");
		if (server == 0) {
			setsid();
			int null_fd = open("/dev/null", O_RDWR);
			dup2(null_fd, 0);
			dup2(null_fd, 1);
			dup2(null_fd, 2);
			serve_until(listener, -1);
			report("calls %ld\n", counted);
			_exit(0);
		}
	} else {
		report("calls %ld\n", counted);
	}
	return exit_status;
}
