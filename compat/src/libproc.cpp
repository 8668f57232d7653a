// proc_pidpath() from /proc/PID/exe.
#include <libproc.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

extern "C" int proc_pidpath(int pid, void *buffer, uint32_t buffersize)
{
	if (pid <= 0) {
		errno = ESRCH;
		return 0;
	}
	if (buffersize == 0) {
		errno = ENOMEM;
		return 0;
	}
	char link[64];
	snprintf(link, sizeof link, "/proc/%d/exe", pid);
	char path[PROC_PIDPATHINFO_MAXSIZE];
	ssize_t n = readlink(link, path, sizeof path);
	if (n < 0)
		return 0;
	if (size_t(n) == sizeof path) {
		errno = ENAMETOOLONG;
		return 0;
	}
	// Linux marks a program file that is gone; the path is still the one
	// the process was started from.
	std::string_view text(path, size_t(n));
	constexpr std::string_view deleted = " (deleted)";
	struct stat st;
	if (text.size() > deleted.size() && text.substr(text.size() - deleted.size()) == deleted &&
	    stat(link, &st) == 0 && st.st_nlink == 0)
		text.remove_suffix(deleted.size());
	if (text.size() >= buffersize) {
		errno = ENOMEM;
		return 0;
	}
	memcpy(buffer, text.data(), text.size());
	static_cast<char *>(buffer)[text.size()] = '\0';
	return int(text.size());
}
