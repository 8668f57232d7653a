/*
 * Preloaded into a program under test, makes uname(2) report the kernel
 * release in FAKE_UNAME_RELEASE, or fail with the error number in
 * FAKE_UNAME_ERRNO.  Without either it changes nothing.
 */
#define _GNU_SOURCE
#include <sys/utsname.h>

#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

int uname(struct utsname *name)
{
	const char *fail = getenv("FAKE_UNAME_ERRNO");
	if (fail != NULL) {
		errno = atoi(fail);
		return -1;
	}
	int (*real_uname)(struct utsname *) = (int (*)(struct utsname *))dlsym(RTLD_NEXT, "uname");
	if (real_uname == NULL) {
		errno = ENOSYS;
		return -1;
	}
	int status = real_uname(name);
	const char *release = getenv("FAKE_UNAME_RELEASE");
	if (status == 0 && release != NULL)
		snprintf(name->release, sizeof name->release, "%s", release);
	return status;
}
