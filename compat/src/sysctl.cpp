// sysctl() for one process, from /proc/PID/stat.
#include <sys/sysctl.h>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

enum class Found { process, none, error };

// The target names a process after the last component of the path it was
// started by, as the system resolved it: symbolic links followed, so that
// a program started through a link under another name goes by its file's
// name.  Linux keeps that file as /proc/PID/exe (which follows a rename
// made since, and marks a file deleted since).  False with errno set when
// it cannot be read.
bool command_name(pid_t pid, std::string &name)
{
	const std::string link = "/proc/" + std::to_string(pid) + "/exe";
	char target[4096];
	const ssize_t n = readlink(link.c_str(), target, sizeof target);
	if (n < 0)
		return false;
	if (size_t(n) == sizeof target) {
		errno = ENAMETOOLONG;
		return false;
	}
	std::string_view path(target, size_t(n));
	constexpr std::string_view deleted = " (deleted)";
	if (path.ends_with(deleted))
		path.remove_suffix(deleted.size());
	const size_t slash = path.rfind('/');
	name = std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
	return true;
}

// "pid (comm) state ppid ...": the name may hold blanks and parentheses,
// so it ends at the last ')'.  Fields after it are counted from 3.
Found read_stat(pid_t pid, struct kinfo_proc &out)
{
	const std::string path = "/proc/" + std::to_string(pid) + "/stat";
	int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return errno == ENOENT ? Found::none : Found::error;
	char buf[2048];  // the fields used come first
	ssize_t n;
	while ((n = read(fd, buf, sizeof buf)) < 0 && errno == EINTR) {
	}
	int err = errno;
	close(fd);
	if (n < 0) {
		errno = err;
		return err == ESRCH ? Found::none : Found::error;  // ended since the open
	}
	std::string_view text(buf, size_t(n));
	const size_t open_paren = text.find('(');
	const size_t close_paren = text.rfind(')');
	if (open_paren == std::string_view::npos || close_paren == std::string_view::npos || close_paren < open_paren) {
		errno = EIO;
		return Found::error;
	}
	std::vector<std::string_view> fields;  // fields[0] is field 3, the state
	std::string_view rest = text.substr(close_paren + 1);
	while (!rest.empty()) {
		size_t start = rest.find_first_not_of(" \n");
		if (start == std::string_view::npos)
			break;
		rest.remove_prefix(start);
		size_t end = rest.find_first_of(" \n");
		fields.push_back(rest.substr(0, end));
		rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
	}
	if (fields.size() < 20) {
		errno = EIO;
		return Found::error;
	}

	// The start in clock ticks since boot, on the clock that counts
	// suspended time too; the realtime clock's distance from that clock
	// turns it into a date.
	const unsigned long long ticks = strtoull(std::string(fields[19]).c_str(), nullptr, 10);
	const long hz = sysconf(_SC_CLK_TCK);
	struct timespec real, boot;
	if (hz <= 0 || clock_gettime(CLOCK_REALTIME, &real) != 0 || clock_gettime(CLOCK_BOOTTIME, &boot) != 0) {
		errno = EIO;
		return Found::error;
	}
	const int64_t offset_ns = (int64_t(real.tv_sec) - boot.tv_sec) * 1000000000 + (real.tv_nsec - boot.tv_nsec);
	const int64_t since_boot_ns =
		int64_t(ticks / hz) * 1000000000 + int64_t(ticks % hz) * 1000000000 / hz;
	const int64_t start_ns = offset_ns + since_boot_ns;

	memset(&out, 0, sizeof out);
	out.kp_proc.p_starttime.tv_sec = time_t(start_ns / 1000000000);
	out.kp_proc.p_starttime.tv_usec = suseconds_t(start_ns % 1000000000 / 1000);
	out.kp_proc.p_pid = pid;
	out.kp_proc.p_stat = fields[0] == "Z" ? SZOMB : SRUN;
	std::string comm;
	if (!command_name(pid, comm)) {
		if (errno != ENOENT && errno != EACCES && errno != EPERM)
			return errno == ESRCH ? Found::none : Found::error;
		// No program file to name (a zombie, a kernel thread), or one that
		// only its owner may see, which the target never withholds:
		// Linux's own name for it.
		comm = std::string(text.substr(open_paren + 1, close_paren - open_paren - 1));
	}
	if (comm.size() > MAXCOMLEN)
		comm.resize(MAXCOMLEN);
	memcpy(out.kp_proc.p_comm, comm.data(), comm.size());
	out.kp_eproc.e_ppid = pid_t(strtol(std::string(fields[1]).c_str(), nullptr, 10));
	return Found::process;
}

}  // namespace

extern "C" int sysctl(int *name, unsigned int namelen, void *oldp, size_t *oldlenp, void *newp, size_t newlen)
{
	if (name == nullptr || namelen != 4 || name[0] != CTL_KERN || name[1] != KERN_PROC || name[2] != KERN_PROC_PID) {
		errno = ENOTSUP;
		return -1;
	}
	if (newp != nullptr || newlen != 0) {
		errno = EPERM;
		return -1;
	}
	if (oldlenp == nullptr) {
		errno = EINVAL;
		return -1;
	}
	if (oldp == nullptr) {
		*oldlenp = sizeof(struct kinfo_proc);
		return 0;
	}
	if (*oldlenp < sizeof(struct kinfo_proc)) {
		errno = ENOMEM;
		return -1;
	}
	struct kinfo_proc info;
	const Found found = name[3] > 0 ? read_stat(pid_t(name[3]), info) : Found::none;
	if (found == Found::error)
		return -1;
	if (found == Found::none) {
		*oldlenp = 0;
		return 0;
	}
	memcpy(oldp, &info, sizeof info);
	*oldlenp = sizeof info;
	return 0;
}
