// Where an install puts things.  The installs run in a sandbox, so that a
// destination outside the prefix shows up there and cannot touch this
// machine.
#include "sandbox.h"

#include <set>
#include <sstream>
#include <string>

using sandbox::Result;
using sandbox::Sandbox;

namespace {

const char *const programs[] = {"ardova_ntfs_daemon", "PrivRunner", "ArdovaUpdater", "fusefs_ardntfs.repair",
				"sbin_link_repair", "plist_set", "mntflags"};
const std::string bundle_support = "Library/Filesystems/fusefs_ardntfs.fs/Contents/Resources/Support";

class InstallLayout : public testing::Test {
protected:
	void SetUp() override
	{
		REQUIRE_SANDBOX();
		box.ro_binds = {{SOURCE_DIR, SOURCE_DIR}};
		box.binds = {{BUILD_DIR, BUILD_DIR}};  // the install manifest goes there
	}

	// Installs with the given environment and arguments; then lists every
	// file of the sandbox below / that is not the system's or the build's,
	// with a + in front of those with a set-user-id or set-group-id bit.
	Result install(const std::string &env, const std::string &arguments)
	{
		return box.sh(env + " " CMAKE_PROGRAM " --install " BUILD_DIR " " + arguments + R"( >/dev/null || exit 1
			find / -xdev \( -path /proc -o -path /sandbox -o -path /usr -o -path /etc -o -path /dev \
				-o -path /work -o -path /tmp/ardova-test.\* \) -prune -o \
				-type f \( -perm -4000 -o -perm -2000 \) -printf '+%p\n' -o -type f -printf '%p\n' | sort
		)");
	}

	static std::set<std::string> lines(const std::string &text)
	{
		std::set<std::string> set;
		std::istringstream in(text);
		for (std::string line; std::getline(in, line);)
			set.insert(line);
		return set;
	}

	Sandbox box;
};

TEST_F(InstallLayout, StagedTreeHasThePlatformsLayout)
{
	Result r = install("DESTDIR=/stage", "");
	ASSERT_EQ(r.status, 0) << r;
	std::set<std::string> files = lines(r.out);

	std::set<std::string> expected = {"/stage/" + bundle_support + "/newfs_fusefs_ardntfs",
					  "/stage/usr/local/share/man/man8/newfs_fusefs_ardntfs.8",
					  "/stage/usr/local/share/man/man3/readPrivRunnerOutput.3",
					  "/stage/usr/local/include/PrivRunnerOutput.h"};
	for (const char *program : programs) {
		expected.insert(std::string("/stage/usr/local/sbin/") + program);
		expected.insert(std::string("/stage/usr/local/share/man/man8/") + program + ".8");
	}
	for (const std::string &file : expected)
		EXPECT_TRUE(files.count(file)) << file << " missing from\n" << r.out;
	// Nothing lands outside the stage, and nothing is set-user-id:
	// PrivRunner would run anything as the super-user for anyone.
	for (const std::string &file : files)
		EXPECT_EQ(file.rfind("/stage/", 0), 0u) << file;
	EXPECT_FALSE(files.count("/stage/usr/local/sbin/newfs_fusefs_ardntfs"));
}

TEST_F(InstallLayout, CommandLinkLeadsToTheStagedFrontEnd)
{
	Result r = box.sh("DESTDIR=/stage " CMAKE_PROGRAM " --install " BUILD_DIR R"( >/dev/null || exit 1
		cd /stage/usr/local/sbin &&
		test -x ../../../Library/Filesystems/fusefs_ardntfs.fs/Contents/Resources/Support/newfs_fusefs_ardntfs &&
		echo leads there
	)");
	EXPECT_EQ(r.out, "leads there\n") << r;
}

TEST_F(InstallLayout, OtherPrefixKeepsEverythingInside)
{
	Result r = install("", "--prefix /opt/ardova");
	ASSERT_EQ(r.status, 0) << r;
	std::set<std::string> files = lines(r.out);
	EXPECT_TRUE(files.count("/opt/ardova/" + bundle_support + "/newfs_fusefs_ardntfs")) << r.out;
	for (const char *program : programs)
		EXPECT_TRUE(files.count(std::string("/opt/ardova/sbin/") + program)) << program;
	for (const std::string &file : files)
		EXPECT_EQ(file.rfind("/opt/ardova/", 0), 0u) << file;
}

}  // namespace
