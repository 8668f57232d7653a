/*
 * Installing a seccomp filter with a listener, and passing the listener
 * from the process that installs it (the program to be watched, before it
 * executes) to the one that serves it, over a socket pair: shared by the
 * system-call tools of the tests.
 */
#ifndef SECCOMP_LISTENER_H
#define SECCOMP_LISTENER_H

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

/* Appends to code, at *n, the part of a filter that sends the calls nrs
 * (count of them, at most 250) of architecture arch to the listener and
 * lets that architecture's other calls through; calls of another
 * architecture go on to what follows.  Takes count + 5 instructions. */
static void append_notified_calls(struct sock_filter *code, unsigned *n, unsigned arch, const int *nrs,
				  unsigned count)
{
	code[(*n)++] = (struct sock_filter)BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch));
	code[(*n)++] = (struct sock_filter)BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 0, (unsigned char)(count + 3));
	code[(*n)++] = (struct sock_filter)BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr));
	for (unsigned i = 0; i < count; i++)
		code[(*n)++] =
			(struct sock_filter)BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (unsigned)nrs[i], (unsigned char)(count - i), 0);
	code[(*n)++] = (struct sock_filter)BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
	code[(*n)++] = (struct sock_filter)BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF);
}

/* Installs prog on this process, and so on what it executes, and returns
 * the listener for its notifications; -1 with errno when it cannot. */
static int install_listener(struct sock_fprog *prog)
{
	if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
		return -1;
	return (int)syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, prog);
}

/* Sends fd over sock; -1 when it cannot. */
static int send_fd(int sock, int fd)
{
	char data = 0;
	struct iovec iov = {.iov_base = &data, .iov_len = 1};
	union {
		char buf[CMSG_SPACE(sizeof(int))];
		struct cmsghdr align;
	} control;
	memset(&control, 0, sizeof control);
	struct msghdr msg = {.msg_iov = &iov, .msg_iovlen = 1, .msg_control = control.buf,
			     .msg_controllen = sizeof control.buf};
	struct cmsghdr *c = CMSG_FIRSTHDR(&msg);
	c->cmsg_level = SOL_SOCKET;
	c->cmsg_type = SCM_RIGHTS;
	c->cmsg_len = CMSG_LEN(sizeof(int));
	memcpy(CMSG_DATA(c), &fd, sizeof fd);
	return sendmsg(sock, &msg, 0) == 1 ? 0 : -1;
}

/* The descriptor received over sock, or -1. */
static int receive_fd(int sock)
{
	char data;
	struct iovec iov = {.iov_base = &data, .iov_len = 1};
	union {
		char buf[CMSG_SPACE(sizeof(int))];
		struct cmsghdr align;
	} control;
	struct msghdr msg = {.msg_iov = &iov, .msg_iovlen = 1, .msg_control = control.buf,
			     .msg_controllen = sizeof control.buf};
	if (recvmsg(sock, &msg, 0) != 1)
		return -1;
	struct cmsghdr *c = CMSG_FIRSTHDR(&msg);
	if (c == NULL || c->cmsg_type != SCM_RIGHTS)
		return -1;
	int fd;
	memcpy(&fd, CMSG_DATA(c), sizeof fd);
	return fd;
}

#endif
