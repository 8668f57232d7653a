// Stands in for the driver's utility in the front ends' tests: appends to
// /tmp/utility.report the arguments it got, its real, effective and saved
// user and group ids, when STANDIN_FDS is set what its descriptors 0-2 are
// open on, and, when STANDIN_ENV is set, its environment; then exits with
// STANDIN_STATUS (default 0).  Writes nothing else.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

extern char **environ;

int main(int argc, char *argv[])
{
	// Looked at before the report takes a descriptor of its own.
	const bool report_descriptors = getenv("STANDIN_FDS") != nullptr;
	std::string descriptors;
	for (int fd = 0; report_descriptors && fd <= 2; fd++) {
		char target[4096];
		const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target);
		descriptors += "fd" + std::to_string(fd) + "=" + (n < 0 ? "closed" : std::string(target, size_t(n))) + "\n";
	}
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
	fputs(descriptors.c_str(), report);
	if (getenv("STANDIN_ENV") != nullptr) {
		for (char **e = environ; *e != nullptr; e++)
			fprintf(report, "env %s\n", *e);
	}
	if (fclose(report) != 0)
		return 121;
	const char *status = getenv("STANDIN_STATUS");
	return status != nullptr ? atoi(status) : 0;
}
