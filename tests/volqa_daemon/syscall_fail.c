/*
 * syscall_fail: run a command with some system calls failing, for tests
 * of what a program does when the system refuses.  The rules hold for the
 * command and everything it starts.
 *
 *   syscall_fail RULE... -- COMMAND [ARG...]
 *
 * A RULE is CALL=ERRNO, or CALL/VALUE=ERRNO to fail only calls whose second
 * argument is VALUE (the signal of kill).  CALL is one of kill, fork (every
 * way of making a process), unlink (unlink and unlinkat) and ftruncate;
 * ERRNO is a number.
 */
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__)
#define THIS_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define THIS_ARCH AUDIT_ARCH_AARCH64
#else
#error "syscall_fail knows x86_64 and aarch64 only"
#endif

struct call {
	const char *name;
	int numbers[4];  /* -1 ends the list */
};

static const struct call calls[] = {
	{"kill", {__NR_kill, -1}},
#ifdef __NR_fork
	{"fork", {__NR_clone, __NR_clone3, __NR_fork, __NR_vfork}},
#else
	{"fork", {__NR_clone, __NR_clone3, -1}},
#endif
#ifdef __NR_unlink
	{"unlink", {__NR_unlink, __NR_unlinkat, -1}},
#else
	{"unlink", {__NR_unlinkat, -1}},
#endif
	{"ftruncate", {__NR_ftruncate, -1}},
};

static struct sock_filter program[256];
static unsigned short length;

static void emit(struct sock_filter insn)
{
	if (length == sizeof program / sizeof program[0]) {
		fprintf(stderr, "syscall_fail: too many rules\n");
		exit(2);
	}
	program[length++] = insn;
}

static void add_rule(const char *rule)
{
	char name[32];
	long value = 0, err = 0;
	int with_value = strchr(rule, '/') != NULL;
	int ok = with_value ? sscanf(rule, "%31[a-z0-9]/%ld=%ld", name, &value, &err) == 3
			    : sscanf(rule, "%31[a-z0-9]=%ld", name, &err) == 2;
	const struct call *call = NULL;
	for (size_t i = 0; ok && i < sizeof calls / sizeof calls[0]; i++)
		if (strcmp(calls[i].name, name) == 0)
			call = &calls[i];
	if (call == NULL) {
		fprintf(stderr, "syscall_fail: bad rule %s\n", rule);
		exit(2);
	}
	for (int i = 0; i < 4 && call->numbers[i] >= 0; i++) {
		emit((struct sock_filter)BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)));
		emit((struct sock_filter)BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (unsigned)call->numbers[i], 0,
						  with_value ? 3 : 1));
		if (with_value) {
			emit((struct sock_filter)BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
							  offsetof(struct seccomp_data, args[1])));
			emit((struct sock_filter)BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (unsigned)value, 0, 1));
		}
		emit((struct sock_filter)BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (err & SECCOMP_RET_DATA)));
	}
}

int main(int argc, char *argv[])
{
	emit((struct sock_filter)BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)));
	emit((struct sock_filter)BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, THIS_ARCH, 1, 0));
	emit((struct sock_filter)BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
	int i = 1;
	for (; i < argc && strcmp(argv[i], "--") != 0; i++)
		add_rule(argv[i]);
	if (i + 1 >= argc) {
		fprintf(stderr, "usage: syscall_fail RULE... -- COMMAND [ARG...]\n");
		return 2;
	}
	emit((struct sock_filter)BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));

	struct sock_fprog prog = {length, program};
	if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0) {
		perror("syscall_fail: seccomp");
		return 2;
	}
	execvp(argv[i + 1], argv + i + 1);
	perror("syscall_fail: exec");
	return 127;
}
