// Runs programs inside a throw-away private root made with bubblewrap, so
// that their fixed system paths (/var/run, /Library, /usr/local, /tmp) are
// fresh folders of the test's own and nothing of this machine is touched.
//
// Inside every sandbox:
//   /sandbox/bin      the build's bin/ (the programs), read-only, on PATH
//   /sandbox/support  test programs and scripts (testfs, stand-ins, lib.sh),
//                     read-only, on PATH
// and, unless a test says otherwise, empty writable folders /Library,
// /var/run, /usr/local and /tmp.  Processes run as root with all
// capabilities in a new pid namespace: when the first process ends, every
// process of the sandbox ends with it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace sandbox {

inline constexpr const char *kBin = "/sandbox/bin";
inline constexpr const char *kSupport = "/sandbox/support";

struct Result {
	int status = -1;        // exit status of the command; a signal N shows as 128 + N
	bool timed_out = false;
	std::string out;        // standard output, whole
	std::string err;        // standard error, whole
};
std::ostream &operator<<(std::ostream &os, const Result &r);

struct Sandbox {
	// Empty writable folders made inside.  "/usr/local" is special: leave it
	// out and /usr/local does not exist at all.
	std::vector<std::string> dirs = {"/Library", "/var/run", "/usr/local", "/tmp"};
	// Host folders bound inside, read-write and read-only: {host, inside}.
	std::vector<std::pair<std::string, std::string>> binds;
	std::vector<std::pair<std::string, std::string>> ro_binds;
	// Extra environment, "NAME=value".  The environment is otherwise clean.
	std::vector<std::string> env;
	std::string input;  // standard input; empty means /dev/null
	std::chrono::milliseconds timeout = std::chrono::seconds(120);

	// Runs argv inside the sandbox and waits for the sandbox to end.
	Result run(const std::vector<std::string> &argv) const;
	// Runs a /bin/sh script with /sandbox/support/lib.sh already sourced.
	Result sh(const std::string &script) const;
	// Replaces this process with the sandbox running argv, on this
	// process's own standard streams, so that an interactive shell can run
	// there; the timeout does not apply.  Returns only when bwrap cannot be
	// started, with errno set.
	void exec(const std::vector<std::string> &argv) const;
};

// The argument vector prefixed so that it runs as the given user and group,
// with no supplementary groups and no capabilities left.
std::vector<std::string> as_user(unsigned uid, unsigned gid, std::vector<std::string> argv);

// Why sandboxes cannot run here, or empty when they can.
std::string unavailable_reason(bool need_fuse);

// A fresh folder under the host's temporary directory, removed with all its
// content when the object goes.
class TempDir {
public:
	TempDir();
	~TempDir();
	TempDir(const TempDir &) = delete;
	TempDir &operator=(const TempDir &) = delete;
	const std::string &path() const { return path_; }
	std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
	std::string path_;
};

// Whole content of a host file; empty when it cannot be read.
std::string read_file(const std::string &path);
// The extended attributes of a host file (links not followed), by name.
std::map<std::string, std::string> attributes(const std::string &path);
void write_file(const std::string &path, const std::string &content, unsigned mode = 0644);

}  // namespace sandbox

// Skips the test when the machine cannot run sandboxes (no root, no bwrap,
// no /dev/fuse) and says why; under CI=true that is a failure instead.
#define REQUIRE_SANDBOX_IMPL(need_fuse)                                                \
	do {                                                                           \
		const std::string reason_ = ::sandbox::unavailable_reason(need_fuse);  \
		if (!reason_.empty()) {                                                \
			if (::sandbox::in_ci())                                        \
				FAIL() << "sandbox required under CI: " << reason_;    \
			GTEST_SKIP() << reason_;                                       \
		}                                                                      \
	} while (0)
#define REQUIRE_SANDBOX() REQUIRE_SANDBOX_IMPL(false)
#define REQUIRE_SANDBOX_WITH_FUSE() REQUIRE_SANDBOX_IMPL(true)

namespace sandbox {
bool in_ci();
}
