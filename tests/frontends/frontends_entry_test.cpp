// A front end's entry logic called in-process, for what no exec can deliver:
// an empty argument vector (Linux starts every program with at least its
// name) and a vector too large to allocate.  The front end logs to a fixed
// path, so this program starts itself again inside a sandbox, with
// FRONT_END_ENTRY naming the case, and calls the entry logic there before
// any test runs.
#include "sandbox.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

int front_end_main(int argc, char *argv[]);

// The vector that cannot be allocated must come back as a null pointer.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }

using sandbox::Result;
using sandbox::Sandbox;
using sandbox::TempDir;

namespace {

// One test suite per front end, named for it.
#ifdef REPAIR_FRONT_END
#define ENTRY_SUITE RepairEntry
constexpr const char *kCheckMessage = "ASSERTION FAILED: j(2) > new_argv_size-1(1)\n";
#else
#define ENTRY_SUITE FormatEntry
constexpr const char *kCheckMessage = "ASSERTION FAILED: j(2) != new_argv_size-1(1)\n";
#endif

// Leaves the process room for small allocations only.
void limit_address_space()
{
	std::ifstream status("/proc/self/status");
	for (std::string line; std::getline(status, line);) {
		if (line.starts_with("VmSize:")) {
			const rlim_t in_use = std::stoull(line.substr(7)) * 1024;
			const rlimit limit = {in_use + (rlim_t(1) << 30), in_use + (rlim_t(1) << 30)};
			setrlimit(RLIMIT_AS, &limit);
			return;
		}
	}
}

[[noreturn]] void run_entry_logic(std::string_view entry_case)
{
	if (entry_case == "empty-vector") {
		char *argv[] = {nullptr};
		exit(front_end_main(0, argv));
	}
	// As many slots as an int counts: more than the limit leaves room for.
	limit_address_space();
	char name[] = "front_end";
	char *argv[] = {name, nullptr};
	exit(front_end_main(INT_MAX - 2, argv));
}

const bool entry_logic_run = [] {
	if (const char *entry_case = getenv("FRONT_END_ENTRY"))
		run_entry_logic(entry_case);
	return false;
}();

class FrontEndEntry : public testing::Test {
protected:
	void SetUp() override
	{
		REQUIRE_SANDBOX();
		const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
		box.ro_binds = {{self.parent_path(), "/sandbox/tests"}};
		box.binds = {{tmp.path(), "/tmp"}, {logs.path(), "/Library/Logs"}};
		box.dirs = {"/Library", "/var/run", "/usr/local"};
		program = "/sandbox/tests/" + self.filename().string();
	}

	// Runs this program's entry case with the stand-in utility installed.
	Result run_case(const std::string &entry_case)
	{
		box.env = {"FRONT_END_ENTRY=" + entry_case};
		return box.sh("install -D -m 755 /sandbox/support/utility_standin "
			      "/Library/Filesystems/fusefs_ardntfs.fs/Contents/Resources/fusefs_ardntfs.util\n"
			      "exec " + program);
	}

	std::string log() const { return sandbox::read_file(logs / "newfs_fusefs_ardntfs.log"); }
	bool utility_ran() const { return std::filesystem::exists(tmp / "utility.report"); }

	TempDir tmp;
	TempDir logs;
	Sandbox box;
	std::string program;
};

using ENTRY_SUITE = FrontEndEntry;

TEST_F(ENTRY_SUITE, EmptyArgumentVectorFailsTheCheck)
{
	Result r = run_case("empty-vector");
	EXPECT_EQ(r.status, 255) << r;
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, kCheckMessage);
	EXPECT_EQ(log(), kCheckMessage);
	EXPECT_FALSE(utility_ran());
}

TEST_F(ENTRY_SUITE, VectorThatCannotBeAllocated)
{
	Result r = run_case("no-memory");
	const std::string message =
		"allocating new_argv (2147483647 slots) failed: 12 (Cannot allocate memory)\n";
	EXPECT_EQ(r.status, 12) << r;
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, message);
	EXPECT_EQ(log(), message);
	EXPECT_FALSE(utility_ran());
}

}  // namespace
