/*
 * syscall_fail: run a command with some system calls failing, for tests
 * of what a program does when the system refuses.  The rules hold for the
 * command and everything it starts.
 *
 *   syscall_fail RULE... -- COMMAND [ARG...]
 *
 * A RULE is CALL=ERRNO, or CALL/VALUE=ERRNO to fail only calls whose second
 * argument is VALUE (the signal of kill).  CALL is one of kill, fork (every
 * way of making a process; threads are still made), unlink (unlink and
 * unlinkat) and ftruncate (with ftruncate64); ERRNO is a number.
 *
 * The command may run in another system-call convention than this program:
 * a 32-bit program started from a 64-bit one, or run by a user-mode
 * emulator that makes the machine's own calls.  The filter therefore knows
 * the calls of every convention below, each by its own numbers.
 */
#include <errno.h>
#include <linux/audit.h>
#include <linux/sched.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

enum { KILL, FORK, UNLINK, FTRUNCATE, CALLS };

static const char *const call_names[CALLS] = {"kill", "fork", "unlink", "ftruncate"};

/* The kernel's numbers (asm/unistd*.h), fixed for each convention; -1 where
 * a convention lacks the call. */
struct abi {
	unsigned arch;
	int kill, clone, clone3, fork, vfork, unlink, unlinkat, ftruncate, ftruncate64;
};

static const struct abi abis[] = {
	{AUDIT_ARCH_X86_64, 62, 56, 435, 57, 58, 87, 263, 77, -1},
	{AUDIT_ARCH_I386, 37, 120, 435, 2, 190, 10, 301, 93, 194},
	{AUDIT_ARCH_AARCH64, 129, 220, 435, -1, -1, -1, 35, 46, -1},
	{AUDIT_ARCH_PPC, 37, 120, 435, 2, 189, 10, 292, 93, 194},
};

/* The low 32 bits of a call's argument, as the filter loads them. */
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
#define LOW_WORD 4
#else
#define LOW_WORD 0
#endif
#define ARG(n) (offsetof(struct seccomp_data, args[n]) + LOW_WORD)

struct rule {
	int call;
	int with_value;
	long value, err;
};

static struct rule rules[32];
static int rule_count;

static struct sock_filter program[2048];
static unsigned short length;

static unsigned short emit(struct sock_filter insn)
{
	if (length == sizeof program / sizeof program[0]) {
		fprintf(stderr, "syscall_fail: too many rules\n");
		exit(2);
	}
	program[length] = insn;
	return length++;
}

/* Makes the jump at index `from` go to the next instruction emitted. */
static void land(unsigned short from, int on_true)
{
	unsigned distance = length - from - 1u;
	if (distance > 255) {
		fprintf(stderr, "syscall_fail: too many rules\n");
		exit(2);
	}
	if (on_true)
		program[from].jt = (unsigned char)distance;
	else
		program[from].jf = (unsigned char)distance;
}

static void parse_rule(const char *rule)
{
	char name[32];
	struct rule r = {-1, strchr(rule, '/') != NULL, 0, 0};
	int ok = r.with_value ? sscanf(rule, "%31[a-z0-9]/%ld=%ld", name, &r.value, &r.err) == 3
			      : sscanf(rule, "%31[a-z0-9]=%ld", name, &r.err) == 2;
	for (int i = 0; ok && i < CALLS; i++)
		if (strcmp(call_names[i], name) == 0)
			r.call = i;
	if (r.call < 0 || rule_count == sizeof rules / sizeof rules[0]) {
		fprintf(stderr, "syscall_fail: bad rule %s\n", rule);
		exit(2);
	}
	rules[rule_count++] = r;
}

/* Call nr fails with err (when its second argument is the rule's value);
 * with threads_pass, a clone that makes a thread rather than a process
 * goes on. */
static void emit_check(int nr, const struct rule *r, long err, int threads_pass)
{
	if (nr < 0)
		return;
	emit((struct sock_filter)BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)));
	unsigned short other_call = emit((struct sock_filter)BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (unsigned)nr, 0, 0));
	unsigned short other_value = 0, thread = 0;
	if (r->with_value) {
		emit((struct sock_filter)BPF_STMT(BPF_LD | BPF_W | BPF_ABS, ARG(1)));
		other_value = emit((struct sock_filter)BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (unsigned)r->value, 0, 0));
	}
	if (threads_pass) {
		emit((struct sock_filter)BPF_STMT(BPF_LD | BPF_W | BPF_ABS, ARG(0)));
		thread = emit((struct sock_filter)BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, CLONE_THREAD, 0, 0));
	}
	emit((struct sock_filter)BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (err & SECCOMP_RET_DATA)));
	land(other_call, 0);
	if (r->with_value)
		land(other_value, 0);
	if (threads_pass)
		land(thread, 1);
}

static void emit_rule(const struct abi *abi, const struct rule *r)
{
	switch (r->call) {
	case KILL:
		emit_check(abi->kill, r, r->err, 0);
		break;
	case FORK:
		/* Threads are not processes: a user-mode emulator and the C
		 * library's own helpers make them.  clone3 passes its flags
		 * where the filter cannot see them; refused as unknown, it makes
		 * the C library fall back to clone. */
		emit_check(abi->clone, r, r->err, 1);
		emit_check(abi->clone3, r, ENOSYS, 0);
		emit_check(abi->fork, r, r->err, 0);
		emit_check(abi->vfork, r, r->err, 0);
		break;
	case UNLINK:
		emit_check(abi->unlink, r, r->err, 0);
		emit_check(abi->unlinkat, r, r->err, 0);
		break;
	case FTRUNCATE:
		emit_check(abi->ftruncate, r, r->err, 0);
		emit_check(abi->ftruncate64, r, r->err, 0);
		break;
	}
}

/* One block per convention, entered when the call's arch is its own and
 * ended by allowing the call; the accumulator keeps the arch past every
 * block skipped. */
static void emit_filter(void)
{
	emit((struct sock_filter)BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)));
	for (size_t a = 0; a < sizeof abis / sizeof abis[0]; a++) {
		unsigned short other_arch =
			emit((struct sock_filter)BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, abis[a].arch, 0, 0));
		for (int i = 0; i < rule_count; i++)
			emit_rule(&abis[a], &rules[i]);
		emit((struct sock_filter)BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
		land(other_arch, 0);
	}
	emit((struct sock_filter)BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
}

int main(int argc, char *argv[])
{
	int i = 1;
	for (; i < argc && strcmp(argv[i], "--") != 0; i++)
		parse_rule(argv[i]);
	if (i + 1 >= argc) {
		fprintf(stderr, "usage: syscall_fail RULE... -- COMMAND [ARG...]\n");
		return 2;
	}
	emit_filter();

	struct sock_fprog prog = {length, program};
	if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0) {
		perror("syscall_fail: seccomp");
		return 2;
	}
	execvp(argv[i + 1], argv + i + 1);
	perror("syscall_fail: exec");
	return 127;
}
