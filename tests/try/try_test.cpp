// scripts/try as a newcomer uses it, on a staged install of this build.
// Each run happens inside a sandbox of its own, so the playground's sandbox
// is made inside that one, and nothing of this machine is touched.
#include "sandbox.h"

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

using sandbox::Result;
using sandbox::Sandbox;

namespace {

// A README session: each command typed at the playground's prompt, and what
// it printed.
struct Step {
	std::string command;
	std::string output;
};

const std::string kPrompt = "(try) /# ";

// The session shown under "## Try it": the indented lines from the first
// prompt on, to the prompt where the shell is left.
std::vector<Step> readme_session()
{
	std::ifstream readme(SOURCE_DIR "/README.md");
	std::vector<Step> steps;
	bool in_section = false;
	for (std::string line; std::getline(readme, line);) {
		if (line.rfind("## ", 0) == 0) {
			in_section = line == "## Try it";
			continue;
		}
		if (!in_section || line.rfind("    ", 0) != 0)
			continue;
		line.erase(0, 4);
		if (line.rfind(kPrompt, 0) == 0) {
			if (line == kPrompt + "exit")
				break;
			steps.push_back({line.substr(kPrompt.size()), ""});
		} else if (!steps.empty()) {
			steps.back().output += line + "\n";
		}
	}
	return steps;
}

// Process ids and the names of temporary folders differ from run to run.
std::string normalized(const std::string &text)
{
	static const std::regex pid("process id [0-9]+");
	static const std::regex temporary(R"((ardova_updater(_image)?\.)[A-Za-z0-9]{6})");
	return std::regex_replace(std::regex_replace(text, pid, "process id N"), temporary, "$1XXXXXX");
}

class Try : public testing::Test {
protected:
	void SetUp() override
	{
		REQUIRE_SANDBOX_WITH_FUSE();
		// The source and the build at their own paths, reachable by any
		// user; the install writes its manifest into the build.
		for (const char *dir : {SOURCE_DIR, BUILD_DIR})
			box.dirs.push_back(std::filesystem::path(dir).parent_path());
		box.ro_binds = {{SOURCE_DIR, SOURCE_DIR}};
		box.binds = {{BUILD_DIR, BUILD_DIR}};
		box.env = {"TRY_BUILD_DIR=" BUILD_DIR, "TRY_STAGE_DIR=/stage"};
	}

	// Stages an install of the build at /stage, then runs scripts/try with
	// the arguments, as the user given by prefix (sandbox::as_user).
	Result run(const std::vector<std::string> &arguments, const std::vector<std::string> &prefix = {})
	{
		std::vector<std::string> argv = {"/bin/sh", "-c",
						 "DESTDIR=/stage " CMAKE_PROGRAM " --install " BUILD_DIR
						 " >/dev/null && exec \"$@\"",
						 "stage"};
		argv.insert(argv.end(), prefix.begin(), prefix.end());
		argv.push_back(SOURCE_DIR "/scripts/try");
		argv.insert(argv.end(), arguments.begin(), arguments.end());
		return box.run(argv);
	}

	Sandbox box;
};

TEST_F(Try, CommandRunsInThePlaygroundsRoot)
{
	Result r = run({"mntflags", "/"});
	EXPECT_EQ(r.out, "MNT_NOSUID\nMNT_NODEV\nMNT_ROOTFS\n") << r;
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0);
}

TEST_F(Try, DaemonUnmountsTheDriversVolumesOnly)
{
	Result r = run({"sh", "-c", R"(
		ardova_ntfs_daemon -s; echo "status $?"
		awk '$3 ~ /^fuse/ { print $2, $3, $1 }' /proc/mounts
	)"});
	EXPECT_EQ(r.out,
		  "Unloading all running instances of ardova_ntfs_daemon and unmounting...\n"
		  "status 13\n"
		  "/Volumes/Other fuse.fusefs_other /dev/disk4s1\n")
		<< r;
	EXPECT_EQ(r.err,
		  "[ardova_ntfs_daemon] ERROR: Could not find any running instance.\n"
		  "[ardova_ntfs_daemon] ERROR: Could not unmount /Volumes/Busy normally, trying to force unmount...\n");
	EXPECT_EQ(r.status, 0);
}

TEST_F(Try, ShellWelcomesThenRunsWhatIsTyped)
{
	box.input = "mntflags /Volumes/Other\nexit 4\n";
	Result r = run({});
	EXPECT_EQ(r.out.rfind("The Ardova NTFS tools playground: ", 0), 0u) << r;
	EXPECT_NE(r.out.find("\nTry:\n  /usr/local/sbin/ardova_ntfs_daemon; ardova_ntfs_daemon -s\n"),
		  std::string::npos)
		<< r;
	const std::string flags = "\n\nMNT_NOSUID\nMNT_NODEV\n";
	EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), flags.size())), flags) << r;
	EXPECT_EQ(r.status, 4) << r;
}

// /samples holds a property list in each form that plist_set reads; the
// two forms without types come back in XML with every value a string.
TEST_F(Try, SamplesHoldEveryFormPlistSetReads)
{
	Result r = run({"sh", "-c", R"(
		cd /samples && ls
		head -c 8 binary.plist; echo
		plist_set old-style.plist Language de && cat old-style.plist
		plist_set Localizable.strings RepairDone Repaired. && cat Localizable.strings
	)"});
	const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
				 "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
				 "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
				 "<plist version=\"1.0\">\n<dict>\n";
	const std::string tail = "</dict>\n</plist>\n";
	EXPECT_EQ(r.out, "Localizable.strings\nUpdate.dmg\nUpdate.dmg.sig\nbinary.plist\nold-style.plist\nxml.plist\n"
			 "bplist00\n" +
				 head +
				 "\t<key>AutoMount</key>\n\t<string>YES</string>\n"
				 "\t<key>Language</key>\n\t<string>de</string>\n"
				 "\t<key>MountOptions</key>\n\t<array>\n\t\t<string>noatime</string>\n"
				 "\t\t<string>nobrowse</string>\n\t</array>\n"
				 "\t<key>Version</key>\n\t<string>3</string>\n" +
				 tail + head +
				 "\t<key>MountFailed</key>\n\t<string>The volume could not be mounted.</string>\n"
				 "\t<key>RepairDone</key>\n\t<string>Repaired.</string>\n" +
				 tail)
		<< r;
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0);
}

TEST_F(Try, SaysWhatIsMissing)
{
	Result r = run({"true"}, sandbox::as_user(65534, 65534, {}));
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "scripts/try: the playground needs root to build a private root with bubblewrap\n");
	EXPECT_EQ(r.status, 1);
}

// The session in README.md, command by command in one shell, each
// command's output on both streams as a terminal shows it.
TEST_F(Try, ReadmeSessionRunsAsWritten)
{
	const std::vector<Step> steps = readme_session();
	ASSERT_GE(steps.size(), 6u) << "no session under \"## Try it\" in README.md";
	std::string script = "exec 2>&1\n";
	for (size_t i = 0; i < steps.size(); i++)
		script += "echo '@@ " + std::to_string(i) + "'\n" + steps[i].command + "\n";
	Result r = run({"bash", "-c", script});
	EXPECT_EQ(r.status, 0) << r;

	std::vector<std::string> outputs;
	std::istringstream lines(r.out);
	for (std::string line; std::getline(lines, line);) {
		if (line == "@@ " + std::to_string(outputs.size()))
			outputs.emplace_back();
		else if (!outputs.empty())
			outputs.back() += line + "\n";
	}
	ASSERT_EQ(outputs.size(), steps.size()) << r;
	for (size_t i = 0; i < steps.size(); i++)
		EXPECT_EQ(normalized(outputs[i]), normalized(steps[i].output)) << kPrompt << steps[i].command;
}

}  // namespace
