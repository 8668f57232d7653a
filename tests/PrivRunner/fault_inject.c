/*
 * Preloaded into PrivRunner to make one system call fail, so that every
 * error line of the runner can be seen from outside.  Set FAULT to one of
 *
 *   mutex_init      pthread_mutex_init fails (EAGAIN)
 *   pipe:N          the Nth pipe fails (EMFILE)
 *   fork            fork fails (EAGAIN)
 *   thread:N        the Nth pthread_create fails (EAGAIN)
 *   read_stdout:N   the Nth read of the first pipe's read end fails (EIO)
 *   read_stderr:N   the Nth read of the second pipe's read end fails (EIO)
 *   lock:N          the Nth lock of the first mutex set up fails (EINVAL)
 *   unlock:N        the Nth unlock of that mutex fails (EPERM)
 *   waitpid         waitpid fails (ECHILD)
 *   write_stdout:N  the Nth write to descriptor 1 fails (EIO)
 *
 * N followed by + makes the Nth call fail and every later one too.  A thread
 * whose lock failed lingers after each of its writes to descriptor 1, so
 * that anything another thread could still write after its line does come.
 *
 * Only a process named PrivRunner is touched; the utility it starts, which
 * inherits the preload, runs untouched.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

static atomic_int counts[16];

/* Whether the fault named kind is set; and then whether this is its Nth
 * call (N is 1 when not given), or a later one after N+. */
static int fault(const char *kind, int slot)
{
	const char *wanted = getenv("FAULT");
	if (wanted == NULL || strcmp(program_invocation_short_name, "PrivRunner") != 0)
		return 0;
	size_t len = strlen(kind);
	if (strncmp(wanted, kind, len) != 0 || (wanted[len] != '\0' && wanted[len] != ':'))
		return 0;
	char *end = NULL;
	int nth = wanted[len] == ':' ? (int)strtol(wanted + len + 1, &end, 10) : 1;
	int call = atomic_fetch_add(&counts[slot], 1) + 1;
	return end != NULL && *end == '+' ? call >= nth : call == nth;
}

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

static pthread_mutex_t *first_mutex;
static int pipe_read_end[2] = {-1, -1};
static int pipes_made;

int pthread_mutex_init(pthread_mutex_t *mutex, const pthread_mutexattr_t *attr)
{
	if (first_mutex == NULL)
		first_mutex = mutex;
	if (fault("mutex_init", 0))
		return EAGAIN;
	return REAL(pthread_mutex_init)(mutex, attr);
}

int pipe(int fds[2])
{
	if (fault("pipe", 1)) {
		errno = EMFILE;
		return -1;
	}
	int result = REAL(pipe)(fds);
	if (result == 0 && pipes_made < 2)
		pipe_read_end[pipes_made++] = fds[0];
	return result;
}

pid_t fork(void)
{
	if (fault("fork", 2)) {
		errno = EAGAIN;
		return -1;
	}
	return REAL(fork)();
}

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*body)(void *), void *arg)
{
	if (fault("thread", 3))
		return EAGAIN;
	return REAL(pthread_create)(thread, attr, body, arg);
}

ssize_t read(int fd, void *buf, size_t count)
{
	if ((fd == pipe_read_end[0] && fault("read_stdout", 5)) ||
	    (fd == pipe_read_end[1] && fault("read_stderr", 6))) {
		errno = EIO;
		return -1;
	}
	return REAL(read)(fd, buf, count);
}

static __thread int lock_failed;

int pthread_mutex_lock(pthread_mutex_t *mutex)
{
	if (mutex != first_mutex)
		return REAL(pthread_mutex_lock)(mutex);
	const char *wanted = getenv("FAULT");
	if (wanted != NULL && strchr(wanted, '+') != NULL) {
		/* A lock that fails for good breaks at a moment when no thread
		 * holds it: its calls are counted holding it. */
		int result = REAL(pthread_mutex_lock)(mutex);
		if (result == 0 && fault("lock", 7)) {
			REAL(pthread_mutex_unlock)(mutex);
			lock_failed = 1;
			return EINVAL;
		}
		return result;
	}
	if (fault("lock", 7)) {
		lock_failed = 1;
		return EINVAL;
	}
	return REAL(pthread_mutex_lock)(mutex);
}

int pthread_mutex_unlock(pthread_mutex_t *mutex)
{
	if (mutex == first_mutex && fault("unlock", 8))
		return EPERM;
	return REAL(pthread_mutex_unlock)(mutex);
}

ssize_t write(int fd, const void *buf, size_t count)
{
	if (fd == 1 && fault("write_stdout", 10)) {
		errno = EIO;
		return -1;
	}
	ssize_t written = REAL(write)(fd, buf, count);
	if (fd == 1 && lock_failed) {
		int err = errno;
		usleep(50000);
		errno = err;
	}
	return written;
}

pid_t waitpid(pid_t pid, int *status, int options)
{
	if (fault("waitpid", 9)) {
		errno = ECHILD;
		return -1;
	}
	return REAL(waitpid)(pid, status, options);
}
