// A staged install (DESTDIR) has the platform's layout; an install into
// another prefix stays inside it.
#include "sandbox.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char *const programs[] = {"ardova_ntfs_daemon", "PrivRunner", "ArdovaUpdater", "fusefs_ardntfs.repair",
				"sbin_link_repair", "plist_set", "mntflags"};
const char *const bundle_support = "Library/Filesystems/fusefs_ardntfs.fs/Contents/Resources/Support";

// Installs the build; its exit status, and in *written every path the
// install reports it wrote.
int install(const std::string &destdir, const std::string &prefix, std::vector<std::string> *written = nullptr)
{
	std::string command = std::string(destdir.empty() ? "" : "DESTDIR='" + destdir + "' ") + "'" +
			      CMAKE_COMMAND_PATH + "' --install '" BUILD_DIR "'" +
			      (prefix.empty() ? "" : " --prefix '" + prefix + "'");
	FILE *p = popen(command.c_str(), "r");
	if (p == nullptr)
		return -1;
	char line[4096];
	while (fgets(line, sizeof line, p) != nullptr) {
		std::string text(line);
		for (const char *verb : {"-- Installing: ", "-- Up-to-date: "}) {
			if (written != nullptr && text.rfind(verb, 0) == 0)
				written->push_back(text.substr(strlen(verb), text.size() - strlen(verb) - 1));
		}
	}
	int status = pclose(p);
	return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::set<std::string> files_under(const std::string &root)
{
	std::set<std::string> files;
	for (const auto &entry : fs::recursive_directory_iterator(root)) {
		if (!entry.is_directory())
			files.insert(fs::relative(entry.path(), root));
	}
	return files;
}

TEST(InstallLayout, StagedTreeHasThePlatformsLayout)
{
	sandbox::TempDir stage;
	ASSERT_EQ(install(stage.path(), ""), 0);
	std::set<std::string> files = files_under(stage.path());

	for (const char *program : programs) {
		EXPECT_TRUE(files.count(std::string("usr/local/sbin/") + program)) << program;
		EXPECT_TRUE(files.count(std::string("usr/local/share/man/man8/") + program + ".8")) << program;
	}
	EXPECT_TRUE(files.count("usr/local/share/man/man8/newfs_fusefs_ardntfs.8"));
	EXPECT_TRUE(files.count("usr/local/share/man/man3/readPrivRunnerOutput.3"));
	EXPECT_TRUE(files.count("usr/local/include/PrivRunnerOutput.h"));

	// The command link's text, taken from where the link lives, leads to
	// the format front end in the bundle.
	const std::string front_end = stage / bundle_support + "/newfs_fusefs_ardntfs";
	EXPECT_TRUE(files.count(std::string(bundle_support) + "/newfs_fusefs_ardntfs"));
	EXPECT_EQ(fs::weakly_canonical(stage / "usr/local/sbin" /
				       "../../../Library/Filesystems/fusefs_ardntfs.fs/Contents/Resources/Support/newfs_fusefs_ardntfs"),
		  fs::path(front_end));
	EXPECT_FALSE(files.count("usr/local/sbin/newfs_fusefs_ardntfs"));

	// Nothing is installed set-user-id: PrivRunner would run anything as
	// the super-user for anyone.
	for (const std::string &file : files) {
		struct stat st;
		ASSERT_EQ(lstat((stage / file).c_str(), &st), 0) << file;
		EXPECT_EQ(st.st_mode & (S_ISUID | S_ISGID), 0u) << file;
	}
}

TEST(InstallLayout, OtherPrefixKeepsEverythingInside)
{
	sandbox::TempDir root;
	const std::string prefix = root / "opt";
	std::vector<std::string> written;
	ASSERT_EQ(install("", prefix, &written), 0);
	std::set<std::string> files = files_under(prefix);
	EXPECT_TRUE(files.count(std::string(bundle_support) + "/newfs_fusefs_ardntfs"));
	for (const char *program : programs)
		EXPECT_TRUE(files.count(std::string("sbin/") + program)) << program;
	ASSERT_FALSE(written.empty());
	for (const std::string &path : written)
		EXPECT_EQ(path.rfind(prefix + "/", 0), 0u) << path;
}

}  // namespace
