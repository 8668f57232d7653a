/*
 * <libproc.h> for Linux: the executable path of a process.
 */
#ifndef ARDOVA_COMPAT_LIBPROC_H
#define ARDOVA_COMPAT_LIBPROC_H

#include <stdint.h>
#include <sys/types.h>

#define PROC_PIDPATHINFO_SIZE 1024
#define PROC_PIDPATHINFO_MAXSIZE (4 * 1024)

#ifdef __cplusplus
extern "C" {
#endif

/* The path of the program file that process pid runs, NUL-terminated in
 * buffer; returns its length, or 0 with errno set.  A program file that was
 * deleted or replaced since the process started still gives its path. */
int proc_pidpath(int pid, void *buffer, uint32_t buffersize);

#ifdef __cplusplus
}
#endif

#endif
