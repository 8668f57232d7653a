// Where an install puts the front ends and the command-link repair: run in
// a sandbox, so that a destination outside the prefix shows up there and
// cannot touch this machine.
#include "sandbox.h"

#include <sstream>

using sandbox::Result;
using sandbox::Sandbox;

namespace {

const std::string kSupport = "Library/Filesystems/fusefs_ardntfs.fs/Contents/Resources/Support";

class InstallLayout : public testing::Test {
protected:
	void SetUp() override
	{
		REQUIRE_SANDBOX();
		// The build folder takes the install manifest.
		box.ro_binds = {{SOURCE_DIR, SOURCE_DIR}};
		box.binds = {{BUILD_DIR, BUILD_DIR}};
	}

	// The files installed by the given command line, one per line.
	Result install(const std::string &command_line)
	{
		return box.sh(command_line + " >/dev/null && cd /tmp/out && find . -type f | sort");
	}

	Sandbox box;
};

std::string lines_with(const std::string &text, const std::vector<std::string> &names)
{
	std::istringstream in(text);
	std::string kept;
	for (std::string line; std::getline(in, line);) {
		for (const std::string &name : names) {
			if (line.ends_with("/" + name) || line.ends_with("/" + name + ".8"))
				kept += line + "\n";
		}
	}
	return kept;
}

const std::vector<std::string> kPrograms = {"newfs_fusefs_ardntfs", "fusefs_ardntfs.repair",
					    "sbin_link_repair"};

TEST_F(InstallLayout, PrefixHoldsEverything)
{
	Result r = install(std::string(CMAKE_PROGRAM) + " --install " BUILD_DIR " --prefix /tmp/out");
	ASSERT_EQ(r.status, 0) << r;
	EXPECT_EQ(lines_with(r.out, kPrograms),
		  "./" + kSupport + "/newfs_fusefs_ardntfs\n"
		  "./sbin/fusefs_ardntfs.repair\n"
		  "./sbin/sbin_link_repair\n"
		  "./share/man/man8/fusefs_ardntfs.repair.8\n"
		  "./share/man/man8/newfs_fusefs_ardntfs.8\n"
		  "./share/man/man8/sbin_link_repair.8\n");
}

TEST_F(InstallLayout, StagedInstallWithPrefixRootHasThePlatformBundle)
{
	Result r = install("DESTDIR=/tmp/out " + std::string(CMAKE_PROGRAM) + " --install " BUILD_DIR
			   " --prefix /");
	ASSERT_EQ(r.status, 0) << r;
	EXPECT_EQ(lines_with(r.out, kPrograms),
		  "./" + kSupport + "/newfs_fusefs_ardntfs\n"
		  "./sbin/fusefs_ardntfs.repair\n"
		  "./sbin/sbin_link_repair\n"
		  "./share/man/man8/fusefs_ardntfs.repair.8\n"
		  "./share/man/man8/newfs_fusefs_ardntfs.8\n"
		  "./share/man/man8/sbin_link_repair.8\n");
}

}  // namespace
