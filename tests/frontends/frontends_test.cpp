// The utility front ends in a private root, with a stand-in for the driver's
// utility that reports how it was started to /tmp/utility.report.
#include "sandbox.h"

#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <sstream>

using sandbox::Result;
using sandbox::Sandbox;
using sandbox::TempDir;

namespace {

const std::string kUtility =
	"/Library/Filesystems/fusefs_ardntfs.fs/Contents/Resources/fusefs_ardntfs.util";
const std::string kLogName = "newfs_fusefs_ardntfs.log";

const std::string kInstallUtility =
	"install -D -m 755 /sandbox/support/utility_standin " + kUtility + "\n";
const std::string kInstallUtilityNotExecutable =
	"install -D -m 644 /sandbox/support/utility_standin " + kUtility + "\n";
// For runs of the stand-in under several identities.
const std::string kSharedReport = "install -m 666 /dev/null /tmp/utility.report\n";

struct Program {
	const char *name;
	const char *option;
};

std::ostream &operator<<(std::ostream &os, const Program &p) { return os << p.name; }

// The lines of a failure report after execv of the missing utility failed.
std::string missing_utility_report(const std::vector<std::string> &slots)
{
	std::string report = "executing \"" + kUtility + "\" failed:\n"
			     "  2 (No such file or directory)\n"
			     "  new_argv_size=" + std::to_string(slots.size()) + "\n";
	for (size_t k = 0; k < slots.size(); k++) {
		report += "  new_argv[" + std::to_string(k) + "] = " +
			  (slots[k] == "NULL" ? "NULL" : "\"" + slots[k] + "\"") + "\n";
	}
	return report;
}

bool exists(const std::string &path)
{
	struct stat st;
	return lstat(path.c_str(), &st) == 0;
}

class FrontEndTest : public testing::Test {
protected:
	void SetUp() override
	{
		REQUIRE_SANDBOX();
		// The stand-in reports to /tmp, which users of every kind may write.
		chmod(tmp.path().c_str(), 01777);
		box.dirs = {"/Library", "/var/run", "/usr/local"};
		box.binds = {{tmp.path(), "/tmp"}, {logs.path(), "/Library/Logs"}};
	}

	// Runs a shell script in the sandbox; one that ends by exec'ing the
	// front end gives the front end's own result.
	Result run(const std::string &script) { return box.sh(script); }

	std::string log() const { return sandbox::read_file(logs / kLogName); }
	bool log_exists() const { return exists(logs / kLogName); }
	std::string report() const { return sandbox::read_file(tmp / "utility.report"); }
	bool utility_ran() const { return exists(tmp / "utility.report"); }

	TempDir tmp;
	TempDir logs;
	Sandbox box;
};

// What both front ends do alike, each with its own fixed option.
class BothFrontEnds : public FrontEndTest, public testing::WithParamInterface<Program> {
protected:
	std::string name() const { return GetParam().name; }
	std::string option() const { return GetParam().option; }
};

INSTANTIATE_TEST_SUITE_P(, BothFrontEnds,
			 testing::Values(Program{"newfs_fusefs_ardntfs", "-newfs"},
					 Program{"fusefs_ardntfs.repair", "-r"}),
			 [](const testing::TestParamInfo<Program> &info) {
				 return std::string(info.param.option + 1);
			 });

TEST_P(BothFrontEnds, MissingUtilityIsReportedInTheLogAndOnStandardError)
{
	Result r = run("exec " + name() + " -v Data /dev/disk3s1");
	const std::string expected =
		missing_utility_report({kUtility, option(), "-v", "Data", "/dev/disk3s1", "NULL"});
	EXPECT_EQ(r.status, 2) << r;
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, expected);
	EXPECT_EQ(log(), expected);
}

TEST_P(BothFrontEnds, UtilityThatMayNotBeExecutedWithoutArguments)
{
	Result r = run(kInstallUtilityNotExecutable + "exec " + name());
	const std::string expected = "executing \"" + kUtility + "\" failed:\n"
				     "  13 (Permission denied)\n"
				     "  new_argv_size=3\n"
				     "  new_argv[0] = \"" + kUtility + "\"\n"
				     "  new_argv[1] = \"" + option() + "\"\n"
				     "  new_argv[2] = NULL\n";
	EXPECT_EQ(r.status, 13) << r;
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, expected);
	EXPECT_EQ(log(), expected);
	EXPECT_FALSE(utility_ran());
}

TEST_P(BothFrontEnds, SuccessfulStartLeavesNoTrace)
{
	// The utility's exit status is what the caller gets.
	Result r = run(kInstallUtility + "STANDIN_STATUS=7 exec " + name() +
		       " -v 'two words' /dev/disk3s1");
	EXPECT_EQ(r.status, 7) << r;
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "");
	EXPECT_FALSE(log_exists());
	EXPECT_EQ(report(), "argv[0]=" + kUtility + "\nargv[1]=" + option() +
				    "\nargv[2]=-v\nargv[3]=two words\nargv[4]=/dev/disk3s1\n"
				    "uid=0 0 0\ngid=0 0 0\n");
}

TEST_P(BothFrontEnds, NoArgumentsGiveTheUtilityJustTheOption)
{
	Result r = run(kInstallUtility + "exec " + name());
	EXPECT_EQ(r.status, 0) << r;
	EXPECT_EQ(r.out + r.err, "");
	EXPECT_EQ(report(), "argv[0]=" + kUtility + "\nargv[1]=" + option() + "\nuid=0 0 0\ngid=0 0 0\n");
}

TEST_P(BothFrontEnds, BorrowedRightsBecomeTheWholeSuperUserIdentity)
{
	// Effective user id 0 with a real user id, a real group id or both
	// that are not 0.
	Result r = run(kInstallUtility + "set -e\n" +
		       "setpriv --ruid=1000 --euid=0 " + name() + " a\n" +
		       "setpriv --rgid=1000 --clear-groups " + name() + " b\n" +
		       "setpriv --ruid=1000 --euid=0 --regid=1000 --clear-groups " + name() + " c\n");
	EXPECT_EQ(r.status, 0) << r;
	EXPECT_EQ(r.out + r.err, "");
	std::string expected;
	for (const char *arg : {"a", "b", "c"}) {
		expected += "argv[0]=" + kUtility + "\nargv[1]=" + option() + "\nargv[2]=" + arg +
			    "\nuid=0 0 0\ngid=0 0 0\n";
	}
	EXPECT_EQ(report(), expected);
}

TEST_P(BothFrontEnds, OtherIdentitiesPassUnchanged)
{
	// Each identity as the stand-in sees it when started directly, then
	// through the front end: an effective user id that is not 0, an
	// ordinary user, and the super-user with another effective group id
	// (never asked for).
	Result r = run(kInstallUtility + kSharedReport + "set -e\n" + R"(
		for ids in "--euid=1000" "--reuid=65534 --regid=65534 --clear-groups" "--egid=1000 --clear-groups"; do
			setpriv $ids utility_standin
			setpriv $ids )" + name() + R"(
		done
	)");
	EXPECT_EQ(r.status, 0) << r;
	EXPECT_EQ(r.out + r.err, "");

	std::istringstream lines(report());
	std::vector<std::string> ids;
	for (std::string line; std::getline(lines, line);) {
		if (line.starts_with("uid=") || line.starts_with("gid="))
			ids.push_back(line);
	}
	ASSERT_EQ(ids.size(), 12u) << report();
	EXPECT_EQ(ids[0], "uid=0 1000 1000");
	EXPECT_EQ(ids[4], "uid=65534 65534 65534");
	EXPECT_EQ(ids[9], "gid=0 1000 1000");
	for (size_t run = 0; run < 12; run += 4) {
		EXPECT_EQ(ids[run + 2], ids[run]) << report();
		EXPECT_EQ(ids[run + 3], ids[run + 1]) << report();
	}
}

// The caller's environment with variables of every kind, and the names of
// the variables that the utility gets.  (The loader itself drops the ones it
// uses, such as LD_LIBRARY_PATH, when it starts a program with mixed ids.)
const std::string kUnsafeEnvironment =
	"env LD_BOGUS=1 DYLD_INSERT_LIBRARIES=/x.dylib "
	"DYLD_LIBRARY_PATH=/x IFS=x ENV=/x BASH_ENV=/x SHELLOPTS=xtrace PS4='$(id)' "
	"'BASH_FUNC_ls%%=() { :; }' "
	"LDX=kept MY_LD_PATH=kept IFS_=kept PS44=kept XENV=kept BASH_FUNC=kept "
	"STANDIN_ENV=1 ";
const std::set<std::string> kSafeNames = {"PATH", "LDX", "MY_LD_PATH", "IFS_",
					  "PS44", "XENV", "BASH_FUNC", "STANDIN_ENV"};
const std::set<std::string> kUnsafeNames = {
	"LD_BOGUS", "DYLD_INSERT_LIBRARIES", "DYLD_LIBRARY_PATH", "IFS", "ENV",
	"BASH_ENV", "SHELLOPTS", "PS4", "BASH_FUNC_ls%%"};

std::set<std::string> environment_names(const std::string &report)
{
	std::set<std::string> names;
	std::istringstream lines(report);
	for (std::string line; std::getline(lines, line);) {
		if (line.starts_with("env "))
			names.insert(line.substr(4, line.find('=') - 4));
	}
	return names;
}

TEST_P(BothFrontEnds, BorrowedRightsDropTheLoaderAndShellVariables)
{
	Result r = run(kInstallUtility + kUnsafeEnvironment + "setpriv --ruid=1000 --euid=0 " + name());
	EXPECT_EQ(r.status, 0) << r;
	const std::set<std::string> names = environment_names(report());
	for (const std::string &name : kSafeNames)
		EXPECT_TRUE(names.contains(name)) << name << "\n" << report();
	for (const std::string &name : kUnsafeNames)
		EXPECT_FALSE(names.contains(name)) << name << "\n" << report();
	EXPECT_NE(report().find("env PS44=kept\n"), std::string::npos);
}

TEST_P(BothFrontEnds, OwnRightsKeepTheWholeEnvironment)
{
	Result r = run(kInstallUtility + kSharedReport + kUnsafeEnvironment + name() + "&&" + kUnsafeEnvironment +
		       "setpriv --euid=1000 " + name());
	EXPECT_EQ(r.status, 0) << r;
	const std::string whole = report();
	const size_t second = whole.find("argv[0]", 1);
	ASSERT_NE(second, std::string::npos) << whole;
	for (const std::string &part : {whole.substr(0, second), whole.substr(second)}) {
		const std::set<std::string> names = environment_names(part);
		for (const std::string &name : kSafeNames)
			EXPECT_TRUE(names.contains(name)) << name << "\n" << part;
		for (const std::string &name : kUnsafeNames)
			EXPECT_TRUE(names.contains(name)) << name << "\n" << part;
	}
	EXPECT_NE(whole.find("env PS4=$(id)\n"), std::string::npos);
	EXPECT_NE(whole.find("env BASH_FUNC_ls%%=() { :; }\n"), std::string::npos);
}

TEST_P(BothFrontEnds, MissingLogFolderLeavesOnlyTheStatusLine)
{
	box.binds = {{tmp.path(), "/tmp"}};
	Result r = run("exec " + name() + " -v Data /dev/disk3s1");
	EXPECT_EQ(r.status, 91) << r;
	EXPECT_EQ(r.out, "Could not open log file! 2 (No such file or directory)");
	EXPECT_EQ(r.err, "");
}

TEST_P(BothFrontEnds, UnwritableLogFolderLeavesOnlyTheStatusLine)
{
	// A folder of root's that an ordinary user may not write.
	Result as_user = box.run(sandbox::as_user(65534, 65534, {name(), "x"}));
	EXPECT_EQ(as_user.status, 91) << as_user;
	EXPECT_EQ(as_user.out, "Could not open log file! 13 (Permission denied)");
	EXPECT_EQ(as_user.err, "");

	// A folder that nobody may write.
	box.binds = {{tmp.path(), "/tmp"}};
	box.ro_binds = {{logs.path(), "/Library/Logs"}};
	Result read_only = run("exec " + name() + " x");
	EXPECT_EQ(read_only.status, 91) << read_only;
	EXPECT_EQ(read_only.out, "Could not open log file! 30 (Read-only file system)");
	EXPECT_EQ(read_only.err, "");
	EXPECT_FALSE(log_exists());
}

TEST_P(BothFrontEnds, LinkAtTheLogPathIsNotFollowed)
{
	sandbox::write_file(tmp / "victim", "precious\n", 0644);
	ASSERT_EQ(symlink("/tmp/victim", (logs / kLogName).c_str()), 0);
	Result to_file = run("exec " + name() + " x");
	EXPECT_EQ(to_file.status, 91) << to_file;
	EXPECT_EQ(to_file.out, "Could not open log file! 40 (Too many levels of symbolic links)");
	EXPECT_EQ(to_file.err, "");
	EXPECT_EQ(sandbox::read_file(tmp / "victim"), "precious\n");

	// A dangling link must not create the file it names either.
	ASSERT_EQ(unlink((logs / kLogName).c_str()), 0);
	ASSERT_EQ(symlink("/tmp/planted", (logs / kLogName).c_str()), 0);
	Result dangling = run("exec " + name() + " x");
	EXPECT_EQ(dangling.status, 91) << dangling;
	EXPECT_EQ(dangling.out, "Could not open log file! 40 (Too many levels of symbolic links)");
	EXPECT_FALSE(exists(tmp / "planted"));
}

TEST_P(BothFrontEnds, LogPathThatIsNotAPlainFileIsRefused)
{
	// A hard link to another file, planted where the log belongs, with a
	// line feed in an argument that would forge a line of its own; then a
	// FIFO that no one reads, whose open must not wait, and one that
	// someone reads, which must get nothing.
	sandbox::write_file(tmp / "victim", "precious\n", 0644);
	ASSERT_EQ(link((tmp / "victim").c_str(), (logs / kLogName).c_str()), 0);
	box.timeout = std::chrono::seconds(60);
	Result r = run("log=/Library/Logs/" + kLogName + "\n" +
		       name() + " 'x\ninjected line'; echo \" status $?\"\n"
		       "rm $log && mkfifo $log\n" +
		       name() + " x; echo \" status $?\"\n"
		       "exec 3<>$log\n" +
		       name() + " x; echo \" status $?\"\n"
		       "echo end >&3; read -r first <&3; echo \"read from the FIFO: $first\"\n");
	EXPECT_FALSE(r.timed_out);
	EXPECT_EQ(r.out, "Could not open log file! 31 (Too many links) status 91\n"
			 "Could not open log file! 22 (Invalid argument) status 91\n"
			 "Could not open log file! 22 (Invalid argument) status 91\n"
			 "read from the FIFO: end\n");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(sandbox::read_file(tmp / "victim"), "precious\n");
}

TEST_P(BothFrontEnds, EachLineIsOneWriteHoweverLong)
{
	// Four runs at once, each with an argument of 100000 bytes: every line
	// reaches the log and standard error in a single write, so that no run
	// splits the lines of another.
	Result r = run(R"(
		for n in 1 2 3 4; do
			arg=$(head -c 100000 /dev/zero | tr '\0' $n)
			ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
				strace -o /tmp/trace.$n -e trace=write,writev )" + name() + R"( -v "$arg" 2>/tmp/err.$n &
		done
		wait
		for n in 1 2 3 4; do grep -cE '^writev?\(' /tmp/trace.$n; done
	)");
	// Eight lines, each written to the log and to standard error.
	EXPECT_EQ(r.out, "16\n16\n16\n16\n") << r;
	std::multiset<std::string> expected, got;
	for (char n = '1'; n <= '4'; n++) {
		const std::string report = missing_utility_report(
			{kUtility, option(), "-v", std::string(100000, n), "NULL"});
		EXPECT_EQ(sandbox::read_file(tmp / ("err." + std::string(1, n))), report);
		std::istringstream lines(report);
		for (std::string line; std::getline(lines, line);)
			expected.insert(line);
	}
	std::istringstream lines(log());
	for (std::string line; std::getline(lines, line);)
		got.insert(line);
	EXPECT_TRUE(got == expected) << "the log's lines differ from the four reports";
}

TEST_P(BothFrontEnds, ReportOutlivesAReaderThatIsGone)
{
	// Standard error, then standard output, a pipe nobody reads: the report
	// still reaches the log whole and the status still tells what failed.
	const std::string gone = R"(python3 -c '
import os, subprocess, sys
r, w = os.pipe()
os.close(r)
out = w if sys.argv[1] == "stdout" else None
err = w if sys.argv[1] == "stderr" else None
sys.exit(subprocess.run(sys.argv[2:], stdout=out, stderr=err).returncode)' )";
	Result r = run(gone + "stderr " + name() + " x; echo \"stderr status $?\"\n"
		       "mv /Library/Logs/" + kLogName + " /tmp/kept.log && chmod 555 /Library/Logs\n" +
		       gone + "stdout setpriv --reuid=65534 --regid=65534 --clear-groups " + name() +
		       " x; echo \"stdout status $?\"\n");
	EXPECT_EQ(r.out, "stderr status 2\nstdout status 91\n") << r;
	EXPECT_EQ(sandbox::read_file(tmp / "kept.log"), missing_utility_report({kUtility, option(), "x", "NULL"}));
}

TEST_P(BothFrontEnds, ClosedStandardDescriptorsAreOpenedOnDevNull)
{
	// The utility never starts with 0, 1 or 2 closed, where it would take
	// the first file it opens for its output.  Without /dev/null to put
	// there, the run ends with that open's error number and nothing else.
	Result r = run(kInstallUtility + "STANDIN_FDS=1 " + name() + " a <&- >&- 2>&-; echo \"status $?\"\n" +
		       "mount -t tmpfs tmpfs /dev\n" + name() + " b 2>&-; echo \"status $?\"\n");
	EXPECT_EQ(r.out, "status 0\nstatus 2\n");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(report(), "argv[0]=" + kUtility + "\nargv[1]=" + option() + "\nargv[2]=a\n"
			    "uid=0 0 0\ngid=0 0 0\nfd0=/dev/null\nfd1=/dev/null\nfd2=/dev/null\n");
	EXPECT_FALSE(log_exists());
}

TEST_P(BothFrontEnds, LogIsCreatedReadableByAllAndWritableByItsOwner)
{
	// Even a caller that masks nothing gets a log that only root may write.
	Result r = run("umask 000; exec " + name() + " x");
	EXPECT_EQ(r.status, 2) << r;
	struct stat st;
	ASSERT_EQ(stat((logs / kLogName).c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0644u);
	EXPECT_EQ(st.st_uid, 0u);
}

TEST_P(BothFrontEnds, LogIsAppendedTo)
{
	sandbox::write_file(logs / kLogName, "earlier line\n", 0600);
	Result first = run("exec " + name() + " first");
	Result second = run("exec " + name() + " second");
	EXPECT_EQ(log(), "earlier line\n" + first.err + second.err);
	EXPECT_EQ(second.err, missing_utility_report({kUtility, option(), "second", "NULL"}));
	struct stat st;
	ASSERT_EQ(stat((logs / kLogName).c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_P(BothFrontEnds, ConcurrentRunsAppendWholeLines)
{
	Result r = run(R"(
		for n in 1 2 3 4 5 6 7 8; do
			)" + name() + R"( "run $n" 2>/dev/null &
		done
		wait
	)");
	EXPECT_EQ(r.status, 0) << r;
	std::multiset<std::string> expected, got;
	for (int n = 1; n <= 8; n++) {
		std::istringstream report(missing_utility_report(
			{kUtility, option(), "run " + std::to_string(n), "NULL"}));
		for (std::string line; std::getline(report, line);)
			expected.insert(line);
	}
	std::istringstream lines(log());
	for (std::string line; std::getline(lines, line);)
		got.insert(line);
	EXPECT_EQ(got, expected) << log();
}

TEST_P(BothFrontEnds, LogThatCannotBeOpenedForALaterLineEndsTheReport)
{
	// The front end's standard error is a pipe with room for the report's
	// first two lines only: the copy of the third waits until the log path
	// has been made a folder, so the open for the fourth line fails.
	Result r = run(R"(exec python3 - )" + name() + R"( <<'EOF'
import fcntl, os, subprocess, sys, time
program, log = sys.argv[1], '/Library/Logs/newfs_fusefs_ardntfs.log'
first_lines = [b'executing "/Library/Filesystems/fusefs_ardntfs.fs/Contents/Resources/fusefs_ardntfs.util" failed:',
               b'  2 (No such file or directory)']
r, w = os.pipe()
fcntl.fcntl(w, fcntl.F_SETPIPE_SZ, 4096)
filler = 4096 - sum(len(line) + 1 for line in first_lines)
os.write(w, b'#' * filler)
front_end = subprocess.Popen([program, '-v', 'Data', '/dev/disk3s1'], stdout=subprocess.PIPE, stderr=w)
os.close(w)
deadline = time.monotonic() + 60
while not os.path.exists(log) or open(log, 'rb').read().count(b'\n') < 3:
    if time.monotonic() > deadline:
        sys.exit('the third line never reached the log')
    time.sleep(0.01)
os.rename(log, '/Library/Logs/kept.log')
os.mkdir(log)
err = b''
while chunk := os.read(r, 65536):
    err += chunk
sys.stdout.buffer.write(front_end.stdout.read())
sys.stderr.buffer.write(err[filler:])
sys.exit(front_end.wait())
EOF
)");
	const std::string first_three = "executing \"" + kUtility + "\" failed:\n"
					"  2 (No such file or directory)\n"
					"  new_argv_size=6\n";
	EXPECT_EQ(r.status, 91) << r;
	EXPECT_EQ(r.out, "Could not open log file! 21 (Is a directory)");
	EXPECT_EQ(r.err, first_three);
	EXPECT_EQ(sandbox::read_file(logs / "kept.log"), first_three);
}

// Where the two front ends differ: empty arguments.
TEST_F(FrontEndTest, FormatForwardsEmptyArguments)
{
	Result started = run(kInstallUtility + "exec newfs_fusefs_ardntfs '' Data ''");
	EXPECT_EQ(started.status, 0) << started;
	EXPECT_EQ(report(), "argv[0]=" + kUtility + "\nargv[1]=-newfs\nargv[2]=\nargv[3]=Data\nargv[4]=\n"
				    "uid=0 0 0\ngid=0 0 0\n");

	Result failed = run("exec newfs_fusefs_ardntfs '' Data ''");
	EXPECT_EQ(failed.status, 2) << failed;
	EXPECT_EQ(failed.err, missing_utility_report({kUtility, "-newfs", "", "Data", "", "NULL"}));
}

TEST_F(FrontEndTest, RepairLeavesOutEmptyArgumentsAndListsTheirNullSlots)
{
	Result started = run(kInstallUtility + "exec fusefs_ardntfs.repair '' -f '' /dev/disk3s1");
	EXPECT_EQ(started.status, 0) << started;
	EXPECT_EQ(report(), "argv[0]=" + kUtility + "\nargv[1]=-r\nargv[2]=-f\nargv[3]=/dev/disk3s1\n"
				    "uid=0 0 0\ngid=0 0 0\n");

	Result failed = run("exec fusefs_ardntfs.repair '' -f '' /dev/disk3s1");
	const std::string expected =
		missing_utility_report({kUtility, "-r", "-f", "/dev/disk3s1", "NULL", "NULL", "NULL"});
	EXPECT_EQ(failed.status, 2) << failed;
	EXPECT_EQ(failed.out, "");
	EXPECT_EQ(failed.err, expected);
	EXPECT_EQ(log(), expected);
}

}  // namespace
