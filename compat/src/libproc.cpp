// proc_pidpath() from /proc/PID/exe.
#include <libproc.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

// The bytes of an ELF header that say which machine runs the program:
// class, byte order and e_machine; empty for a file that is not ELF.
std::string elf_machine(const char *path)
{
	int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
	if (fd < 0)
		return {};
	unsigned char header[20];
	ssize_t n = pread(fd, header, sizeof header, 0);
	close(fd);
	if (n != ssize_t(sizeof header) || memcmp(header, "\x7f" "ELF", 4) != 0)
		return {};
	const unsigned char machine[] = {header[4], header[5], header[18], header[19]};
	return std::string(reinterpret_cast<const char *>(machine), sizeof machine);
}

// A program the kernel cannot run itself may run through a binfmt_misc
// interpreter: a user-mode emulator (qemu-user) runs 32-bit programs on a
// kernel built without them.  Linux then shows the emulator as the exe,
// and the command line begins with the emulator's path and then the
// program's.  The program is what the caller asks for.  Empty when the
// process is not run that way.
std::string emulated_program(int pid, std::string_view exe)
{
	char name[64];
	snprintf(name, sizeof name, "/proc/%d/cmdline", pid);
	int fd = open(name, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return {};
	std::string words;
	char buf[4096];
	ssize_t n;
	while (words.size() < 2 * PATH_MAX && (n = read(fd, buf, sizeof buf)) > 0)
		words.append(buf, size_t(n));
	close(fd);

	const size_t end0 = words.find('\0');
	const size_t end1 = end0 == std::string::npos ? end0 : words.find('\0', end0 + 1);
	if (end1 == std::string::npos || std::string_view(words).substr(0, end0) != exe)
		return {};
	const std::string program = words.substr(end0 + 1, end1 - end0 - 1);
	if (program.empty() || program[0] != '/')
		return {};
	snprintf(name, sizeof name, "/proc/%d/exe", pid);
	const std::string machine = elf_machine(program.c_str());
	if (machine.empty() || machine == elf_machine(name))
		return {};
	char real[PATH_MAX];
	return realpath(program.c_str(), real) != nullptr ? std::string(real) : program;
}

}  // namespace

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
	const std::string program = emulated_program(pid, text);
	if (!program.empty())
		text = program;
	if (text.size() >= buffersize) {
		errno = ENOMEM;
		return 0;
	}
	memcpy(buffer, text.data(), text.size());
	static_cast<char *>(buffer)[text.size()] = '\0';
	return int(text.size());
}
