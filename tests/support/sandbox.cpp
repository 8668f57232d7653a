#include "sandbox.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#ifndef ARDOVA_BIN_DIR
#error "ARDOVA_BIN_DIR must name the build's bin folder"
#endif
#ifndef ARDOVA_SUPPORT_DIR
#error "ARDOVA_SUPPORT_DIR must name the test support folder"
#endif

namespace sandbox {
namespace {

using Clock = std::chrono::steady_clock;

bool have_bwrap()
{
	for (const char *dir : {"/usr/bin", "/bin", "/usr/local/bin"}) {
		if (access((std::string(dir) + "/bwrap").c_str(), X_OK) == 0)
			return true;
	}
	return false;
}

void add(std::vector<std::string> &v, std::initializer_list<std::string> items)
{
	v.insert(v.end(), items);
}

// The bwrap command line: a tmpfs root with the system folders bound
// read-only, fresh folders, the build's programs and the test support.
std::vector<std::string> bwrap_command(const Sandbox &box, const std::vector<std::string> &argv)
{
	std::vector<std::string> cmd = {"bwrap", "--tmpfs", "/"};
	bool usr_local = false;
	for (const std::string &d : box.dirs)
		usr_local |= d == "/usr/local";
	if (usr_local) {
		add(cmd, {"--ro-bind", "/usr", "/usr"});
	} else {
		// /usr without /usr/local: bind its entries one by one.
		add(cmd, {"--perms", "0755", "--dir", "/usr"});
		for (const auto &entry : std::filesystem::directory_iterator("/usr")) {
			std::string name = entry.path().filename();
			if (name != "local")
				add(cmd, {"--ro-bind", entry.path(), "/usr/" + name});
		}
	}
	add(cmd, {"--symlink", "usr/bin", "/bin", "--symlink", "usr/lib", "/lib",
		  "--symlink", "usr/lib64", "/lib64", "--symlink", "usr/sbin", "/sbin",
		  "--ro-bind", "/etc", "/etc", "--dev-bind", "/dev", "/dev", "--proc", "/proc"});
	// 32-bit programs look for their libraries there too (the loader's
	// cache in /etc names /lib32).
	if (access("/usr/lib32", F_OK) == 0)
		add(cmd, {"--symlink", "usr/lib32", "/lib32"});
	for (const std::string &d : box.dirs) {
		// bwrap would make missing parents 0700; an unprivileged user
		// inside must be able to reach them.
		for (size_t slash = d.find('/', 1); slash != std::string::npos; slash = d.find('/', slash + 1))
			add(cmd, {"--perms", "0755", "--dir", d.substr(0, slash)});
		if (d == "/tmp")
			add(cmd, {"--perms", "1777", "--tmpfs", d});
		else if (d == "/usr/local")
			add(cmd, {"--perms", "0755", "--tmpfs", d});
		else
			add(cmd, {"--perms", "0755", "--dir", d});
	}
	add(cmd, {"--perms", "0755", "--dir", "/sandbox",
		  "--ro-bind", ARDOVA_BIN_DIR, kBin,
		  "--ro-bind", ARDOVA_SUPPORT_DIR, kSupport});
	for (const auto &[host, inside] : box.ro_binds)
		add(cmd, {"--ro-bind", host, inside});
	for (const auto &[host, inside] : box.binds)
		add(cmd, {"--bind", host, inside});
	add(cmd, {"--unshare-pid", "--cap-add", "ALL", "--die-with-parent", "--clearenv",
		  "--setenv", "PATH",
		  std::string(kBin) + ":" + kSupport + ":/usr/sbin:/usr/bin:/sbin:/bin",
		  "--setenv", "HOME", "/tmp", "--setenv", "LC_ALL", "C"});
	// Sanitizer settings reach the programs under test.
	for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
		if (const char *value = getenv(name))
			add(cmd, {"--setenv", name, value});
	}
	for (const std::string &kv : box.env) {
		size_t eq = kv.find('=');
		add(cmd, {"--setenv", kv.substr(0, eq), eq == std::string::npos ? "" : kv.substr(eq + 1)});
	}
	add(cmd, {"--"});
	cmd.insert(cmd.end(), argv.begin(), argv.end());
	return cmd;
}

struct Pipe {
	int fd[2] = {-1, -1};
	~Pipe()
	{
		for (int f : fd)
			if (f >= 0)
				close(f);
	}
	void close_end(int i)
	{
		if (fd[i] >= 0)
			close(fd[i]);
		fd[i] = -1;
	}
};

// Replaces this process with cmd; returns only when that fails.
void exec_command(const std::vector<std::string> &cmd)
{
	std::vector<char *> args;
	for (const std::string &s : cmd)
		args.push_back(const_cast<char *>(s.c_str()));
	args.push_back(nullptr);
	execvp(args[0], args.data());
}

[[noreturn]] void exec_child(const std::vector<std::string> &cmd, Pipe &in, Pipe &out, Pipe &err,
			     bool has_input)
{
	int null_fd = open("/dev/null", O_RDONLY);
	dup2(has_input ? in.fd[0] : null_fd, 0);
	dup2(out.fd[1], 1);
	dup2(err.fd[1], 2);
	for (int fd = 3; fd < 1024; fd++)
		close(fd);
	exec_command(cmd);
	dprintf(2, "sandbox: cannot run bwrap: %s\n", strerror(errno));
	_exit(127);
}

}  // namespace

std::ostream &operator<<(std::ostream &os, const Result &r)
{
	os << "status " << r.status << (r.timed_out ? " (timed out)" : "") << "\n--- stdout ---\n"
	   << r.out << "\n--- stderr ---\n"
	   << r.err << "\n---";
	return os;
}

Result Sandbox::run(const std::vector<std::string> &argv) const
{
	Result r;
	std::vector<std::string> cmd = bwrap_command(*this, argv);
	Pipe in, out, err;
	if (pipe2(in.fd, O_CLOEXEC) != 0 || pipe2(out.fd, O_CLOEXEC) != 0 || pipe2(err.fd, O_CLOEXEC) != 0) {
		r.err = std::string("sandbox: pipe: ") + strerror(errno);
		return r;
	}
	const bool has_input = !input.empty();
	pid_t pid = fork();
	if (pid < 0) {
		r.err = std::string("sandbox: fork: ") + strerror(errno);
		return r;
	}
	if (pid == 0)
		exec_child(cmd, in, out, err, has_input);

	in.close_end(0);
	out.close_end(1);
	err.close_end(1);
	if (!has_input)
		in.close_end(1);
	else
		fcntl(in.fd[1], F_SETFL, O_NONBLOCK);

	const auto deadline = Clock::now() + timeout;
	size_t written = 0;
	while (out.fd[0] >= 0 || err.fd[0] >= 0) {
		auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
		if (left.count() <= 0) {
			r.timed_out = true;
			kill(pid, SIGKILL);  // the sandbox's pid namespace goes with it
			break;
		}
		pollfd fds[3] = {{out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}, {in.fd[1], POLLOUT, 0}};
		if (poll(fds, 3, int(std::min<long>(left.count(), 1000))) < 0 && errno != EINTR)
			break;
		for (int i = 0; i < 2; i++) {
			Pipe &p = i == 0 ? out : err;
			std::string &sink = i == 0 ? r.out : r.err;
			if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
				char buf[65536];
				ssize_t n = read(p.fd[0], buf, sizeof buf);
				if (n > 0)
					sink.append(buf, size_t(n));
				else if (n == 0 || errno != EINTR)
					p.close_end(0);
			}
		}
		if (fds[2].revents & (POLLOUT | POLLERR | POLLHUP)) {
			ssize_t n = write(in.fd[1], input.data() + written, input.size() - written);
			if (n > 0)
				written += size_t(n);
			if (n < 0 || written == input.size())
				in.close_end(1);
		}
	}
	in.close_end(1);
	int wstatus = 0;
	while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
	}
	if (WIFEXITED(wstatus))
		r.status = WEXITSTATUS(wstatus);
	else if (WIFSIGNALED(wstatus))
		r.status = 128 + WTERMSIG(wstatus);
	return r;
}

void Sandbox::exec(const std::vector<std::string> &argv) const
{
	exec_command(bwrap_command(*this, argv));
}

Result Sandbox::sh(const std::string &script) const
{
	return run({"/bin/sh", "-c", std::string(". ") + kSupport + "/lib.sh\n" + script});
}

std::vector<std::string> as_user(unsigned uid, unsigned gid, std::vector<std::string> argv)
{
	std::vector<std::string> cmd = {"setpriv", "--reuid=" + std::to_string(uid),
					"--regid=" + std::to_string(gid), "--clear-groups",
					"--inh-caps=-all", "--"};
	cmd.insert(cmd.end(), argv.begin(), argv.end());
	return cmd;
}

bool in_ci()
{
	const char *ci = getenv("CI");
	return ci != nullptr && strcmp(ci, "true") == 0;
}

std::string unavailable_reason(bool need_fuse)
{
	if (geteuid() != 0)
		return "needs root to build a private root with bubblewrap";
	if (!have_bwrap())
		return "needs bwrap (Debian package bubblewrap)";
	if (need_fuse && access("/dev/fuse", R_OK | W_OK) != 0)
		return "needs /dev/fuse";
	return {};
}

TempDir::TempDir()
{
	std::string tmpl = std::filesystem::temp_directory_path() / "ardova-test.XXXXXX";
	if (mkdtemp(tmpl.data()) == nullptr)
		throw std::runtime_error("mkdtemp: " + std::string(strerror(errno)));
	chmod(tmpl.c_str(), 0755);
	path_ = tmpl;
}

TempDir::~TempDir()
{
	std::error_code ec;
	std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	std::ostringstream s;
	s << f.rdbuf();
	return s.str();
}

std::map<std::string, std::string> attributes(const std::string &path)
{
	std::map<std::string, std::string> out;
	std::vector<char> names(65536), value(65536);
	ssize_t n = llistxattr(path.c_str(), names.data(), names.size());
	for (ssize_t at = 0; at < n; at += ssize_t(strlen(&names[at])) + 1) {
		ssize_t size = lgetxattr(path.c_str(), &names[at], value.data(), value.size());
		out[&names[at]] = size < 0 ? "?" : std::string(value.data(), size_t(size));
	}
	return out;
}

void write_file(const std::string &path, const std::string &content, unsigned mode)
{
	std::ofstream f(path, std::ios::binary | std::ios::trunc);
	f << content;
	f.close();
	chmod(path.c_str(), mode);
}

}  // namespace sandbox
