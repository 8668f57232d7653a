/*
 * <sys/sysctl.h> for Linux: the part of the target's sysctl() that reads one
 * process (CTL_KERN, KERN_PROC, KERN_PROC_PID), with the fields of struct
 * kinfo_proc that come from /proc/PID/stat.
 *
 * p_starttime is the moment the process was made by fork, on the realtime
 * clock, to the kernel's clock tick (1/100 s); it stays the same through
 * exec.  p_comm is, as on the target, the last component of the path the
 * program file was started by, symbolic links followed, cut at MAXCOMLEN
 * characters; Linux shows a file renamed since under its new name, and for
 * a process with no program file to name (a zombie) its own command name,
 * of at most 15 characters.  A process that does not exist gives success
 * with a length of 0, as on the target.
 */
#ifndef ARDOVA_COMPAT_SYS_SYSCTL_H
#define ARDOVA_COMPAT_SYS_SYSCTL_H

#include <stddef.h>
#include <sys/time.h>
#include <sys/types.h>

#define CTL_KERN 1
#define KERN_PROC 14
#define KERN_PROC_PID 1

#ifndef MAXCOMLEN
#define MAXCOMLEN 16
#endif

/* p_stat values. */
#define SRUN 2
#define SZOMB 5

struct extern_proc {
	struct timeval p_starttime;
	pid_t p_pid;
	char p_stat;
	char p_comm[MAXCOMLEN + 1];
};

struct eproc {
	pid_t e_ppid;
};

struct kinfo_proc {
	struct extern_proc kp_proc;
	struct eproc kp_eproc;
};

#ifdef __cplusplus
extern "C" {
#endif

int sysctl(int *name, unsigned int namelen, void *oldp, size_t *oldlenp, void *newp, size_t newlen);

#ifdef __cplusplus
}
#endif

#endif
