// Stands in for the driver's utility in the front ends' tests: appends to
// /tmp/utility.report the arguments it got, its real, effective and saved
// user and group ids, and, when STANDIN_ENV is set, its environment; then
// exits with STANDIN_STATUS (default 0).  Writes nothing else.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

extern char **environ;

int main(int argc, char *argv[])
{
	FILE *report = fopen("/tmp/utility.report", "a");
	if (report == nullptr)
		return 120;
	for (int i = 0; i < argc; i++)
		fprintf(report, "argv[%d]=%s\n", i, argv[i]);
	uid_t ruid, euid, suid;
	gid_t rgid, egid, sgid;
	getresuid(&ruid, &euid, &suid);
	getresgid(&rgid, &egid, &sgid);
	fprintf(report, "uid=%u %u %u\ngid=%u %u %u\n", ruid, euid, suid, rgid, egid, sgid);
	if (getenv("STANDIN_ENV") != nullptr) {
		for (char **e = environ; *e != nullptr; e++)
			fprintf(report, "env %s\n", *e);
	}
	if (fclose(report) != 0)
		return 121;
	const char *status = getenv("STANDIN_STATUS");
	return status != nullptr ? atoi(status) : 0;
}
