/*
 * syscall_gate: hold a program at its first call of one system call while a
 * shell command runs, then let the call go on.
 *
 *	syscall_gate SYSCALL COMMAND PROGRAM [ARG...]
 *
 * COMMAND runs as "/bin/sh -c COMMAND syscall_gate PID", PID being the
 * held process, while that process waits at the entry of SYSCALL: nothing
 * of the call has happened yet.  Later calls pass freely.  SYSCALL is one
 * of chdir, fsync, pwrite (pwrite64), rename (rename, renameat,
 * renameat2).  The exit status is the program's, or 128 + the signal that
 * ended it.
 *
 * The hold is the kernel's seccomp user notification: the program is not
 * traced and its code is untouched; 64-bit and 32-bit x86 programs alike.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "seccomp_listener.h"

struct gated_call {
	const char *name;
	int x86_64[3], x86_32[3]; /* 0 ends a list */
};

static const struct gated_call calls[] = {
	{"chdir", {80}, {12}},
	{"fsync", {74}, {118}},
	{"rename", {82, 264, 316}, {38, 302, 353}},
	{"pwrite", {18}, {181}},
};

static void die(const char *what)
{
	fprintf(stderr, "syscall_gate: %s: %s\n", what, strerror(errno));
	exit(125);
}

/* The filter: the listed numbers of the program's own architecture go to
 * the listener, everything else is allowed. */
static int install_filter(const struct gated_call *call)
{
	/* Per architecture: two loads, the test, the numbers, two returns. */
	struct sock_filter code[2 * (5 + 3) + 1];
	unsigned n = 0;
	const unsigned arches[2] = {AUDIT_ARCH_X86_64, AUDIT_ARCH_I386};
	for (int a = 0; a < 2; a++) {
		const int *nrs = a == 0 ? call->x86_64 : call->x86_32;
		unsigned count = 0;
		while (count < 3 && nrs[count] != 0)
			count++;
		append_notified_calls(code, &n, arches[a], nrs, count);
	}
	code[n++] = (struct sock_filter)BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
	struct sock_fprog prog = {.len = (unsigned short)n, .filter = code};
	int listener = install_listener(&prog);
	if (listener < 0)
		die("seccomp");
	return listener;
}

static void run_command(const char *command, pid_t held)
{
	char pid[24];
	snprintf(pid, sizeof pid, "%d", (int)held);
	pid_t child = fork();
	if (child < 0)
		die("fork");
	if (child == 0) {
		execl("/bin/sh", "sh", "-c", command, "syscall_gate", pid, (char *)NULL);
		_exit(127);
	}
	while (waitpid(child, NULL, 0) < 0 && errno == EINTR) {
	}
}

int main(int argc, char *argv[])
{
	if (argc < 4) {
		fprintf(stderr, "usage: syscall_gate SYSCALL COMMAND PROGRAM [ARG...]\n");
		return 125;
	}
	const struct gated_call *call = NULL;
	for (size_t i = 0; i < sizeof calls / sizeof calls[0]; i++)
		if (strcmp(calls[i].name, argv[1]) == 0)
			call = &calls[i];
	if (call == NULL) {
		fprintf(stderr, "syscall_gate: unknown system call %s\n", argv[1]);
		return 125;
	}

	int sockets[2];
	if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0)
		die("socketpair");
	pid_t program = fork();
	if (program < 0)
		die("fork");
	if (program == 0) {
		/* The filter is the program's alone: the command runs free. */
		int listener = install_filter(call);
		if (send_fd(sockets[1], listener) != 0)
			die("sendmsg");
		close(listener);
		execvp(argv[3], argv + 3);
		die(argv[3]);
	}
	close(sockets[1]);
	int listener = receive_fd(sockets[0]);
	if (listener < 0)
		die("receiving the listener");

	int held = 0;
	for (;;) {
		struct pollfd p = {.fd = listener, .events = POLLIN};
		if (poll(&p, 1, -1) < 0) {
			if (errno == EINTR)
				continue;
			die("poll");
		}
		if (!(p.revents & POLLIN))
			break; /* the program has gone */
		struct seccomp_notif request;
		memset(&request, 0, sizeof request);
		if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &request) != 0)
			continue; /* the caller was interrupted meanwhile */
		if (!held++)
			run_command(argv[2], (pid_t)request.pid);
		struct seccomp_notif_resp response;
		memset(&response, 0, sizeof response);
		response.id = request.id;
		response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
		ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &response); /* ENOENT once it is gone */
	}

	int status;
	while (waitpid(program, &status, 0) < 0)
		if (errno != EINTR)
			die("waitpid");
	return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
