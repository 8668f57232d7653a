// sbin_link_repair in a private root whose /usr/local the tests lay out.
#include "sandbox.h"

using sandbox::Result;
using sandbox::Sandbox;

namespace {

const std::string kSupport = "/Library/Filesystems/fusefs_ardntfs.fs/Contents/Resources/Support";
const std::string kMountLink = "/usr/local/sbin/mount_fusefs_ardntfs";
const std::string kNewfsLink = "/usr/local/sbin/newfs_fusefs_ardntfs";
const std::string kMountText =
	"../../../Library/Filesystems/fusefs_ardntfs.fs/Contents/Resources/Support/mount_fusefs_ardntfs";
const std::string kNewfsText =
	"../../../Library/Filesystems/fusefs_ardntfs.fs/Contents/Resources/Support/newfs_fusefs_ardntfs";

// The entries under /usr/local after a run, sorted: path, kind and mode,
// owner and group, and for a link its text.
const std::string kListing = R"(
find /usr/local \( -type l -printf '%p %M %U:%G -> %l\n' \) -o -printf '%p %M %U:%G\n' | sort
)";

struct Outcome {
	int status = -1;
	std::string out;
	std::string err;
	std::string tree;  // the listing; empty when /usr/local does not exist
	std::string raw;   // everything, for failure messages
};

std::ostream &operator<<(std::ostream &os, const Outcome &o) { return os << o.raw; }

class LinkRepair : public testing::Test {
protected:
	void SetUp() override { REQUIRE_SANDBOX(); }

	// Lays out the sandbox with the setup script, runs the command (the
	// program by default) and lists /usr/local.
	Outcome repair(const std::string &setup, const std::string &command = "sbin_link_repair")
	{
		Result r = box.sh("umask 022\n" + setup + "\n{ " + command +
				  "; } >/tmp/out 2>/tmp/err\n"
				  "echo \"status $?\"; echo '[out]'; cat /tmp/out; echo '[err]'; cat /tmp/err\n"
				  "echo '[tree]'; [ -e /usr/local ] || exit 0\n" + kListing);
		Outcome o;
		o.raw = testing::PrintToString(r);
		const size_t out = r.out.find("[out]\n");
		const size_t err = r.out.find("[err]\n");
		const size_t tree = r.out.find("[tree]\n");
		if (r.status != 0 || !r.out.starts_with("status ") || out == std::string::npos ||
		    err == std::string::npos || tree == std::string::npos)
			return o;
		o.status = std::stoi(r.out.substr(7));
		o.out = r.out.substr(out + 6, err - out - 6);
		o.err = r.out.substr(err + 6, tree - err - 6);
		o.tree = r.out.substr(tree + 7);
		return o;
	}

	Sandbox box;
};

const std::string kRepaired = "Successfully repaired symlink: \"" + kMountLink + "\"\n"
			      "Successfully repaired symlink: \"" + kNewfsLink + "\"\n";
const std::string kCorrectTree = "/usr/local drwxr-xr-x 0:0\n"
				 "/usr/local/sbin drwxr-xr-x 0:0\n" +
				 kMountLink + " lrwxrwxrwx 0:0 -> " + kMountText + "\n" +
				 kNewfsLink + " lrwxrwxrwx 0:0 -> " + kNewfsText + "\n";

TEST_F(LinkRepair, OnlyTheSuperUserMayRun)
{
	Outcome o = repair("mkdir /usr/local/sbin && echo data >" + kMountLink,
			   "setpriv --reuid=65534 --regid=65534 --clear-groups sbin_link_repair");
	EXPECT_EQ(o.status, 1) << o;
	EXPECT_EQ(o.out, "");
	EXPECT_EQ(o.err, "Error: Binary must run as superuser.\n");
	EXPECT_EQ(o.tree, "/usr/local drwxr-xr-x 0:0\n"
			  "/usr/local/sbin drwxr-xr-x 0:0\n" +
			  kMountLink + " -rw-r--r-- 0:0\n");
}

TEST_F(LinkRepair, MissingLinksAreCreatedThenLeftAlone)
{
	Outcome o = repair("", "sbin_link_repair >/tmp/first; cat /tmp/first; sbin_link_repair");
	EXPECT_EQ(o.status, 0) << o;
	// The first run repairs both; the second finds nothing to do.
	EXPECT_EQ(o.out, kRepaired);
	EXPECT_EQ(o.err, "");
	EXPECT_EQ(o.tree, kCorrectTree);
}

TEST_F(LinkRepair, CorrectLinksAreLeftAloneEvenWithoutTheirPrograms)
{
	// An owner the program would never give shows that they were not made
	// again; the bundle does not exist.
	Outcome o = repair("mkdir /usr/local/sbin\n"
			   "ln -s " + kMountText + " " + kMountLink + "\n"
			   "ln -s " + kNewfsText + " " + kNewfsLink + "\n"
			   "chown -h 1234:1234 " + kMountLink + " " + kNewfsLink);
	EXPECT_EQ(o.status, 0) << o;
	EXPECT_EQ(o.out, "");
	EXPECT_EQ(o.err, "");
	EXPECT_EQ(o.tree, "/usr/local drwxr-xr-x 0:0\n"
			  "/usr/local/sbin drwxr-xr-x 0:0\n" +
			  kMountLink + " lrwxrwxrwx 1234:1234 -> " + kMountText + "\n" +
			  kNewfsLink + " lrwxrwxrwx 1234:1234 -> " + kNewfsText + "\n");
}

TEST_F(LinkRepair, LinksWithAnyOtherTextAreReplaced)
{
	// By an absolute path to the right program, and by a text that begins
	// with the right one but goes on.
	Outcome absolute = repair("mkdir /usr/local/sbin\n"
				  "ln -s " + kSupport + "/mount_fusefs_ardntfs " + kMountLink + "\n"
				  "ln -s " + kNewfsText + "x " + kNewfsLink);
	EXPECT_EQ(absolute.status, 0) << absolute;
	EXPECT_EQ(absolute.out, kRepaired);
	EXPECT_EQ(absolute.err, "");
	EXPECT_EQ(absolute.tree, kCorrectTree);

	// A text cut one short, and one that exactly fills the first buffer.
	Outcome shorter = repair("mkdir /usr/local/sbin\n"
				 "ln -s " + kMountText.substr(0, kMountText.size() - 1) + " " + kMountLink + "\n"
				 "ln -s 0123456789abcdef " + kNewfsLink);
	EXPECT_EQ(shorter.status, 0) << shorter;
	EXPECT_EQ(shorter.out, kRepaired);
	EXPECT_EQ(shorter.tree, kCorrectTree);
}

TEST_F(LinkRepair, EntriesOfOtherKindsAreReplaced)
{
	Outcome o = repair("mkdir /usr/local/sbin\n"
			   "echo data >" + kMountLink + "\n"
			   "mkfifo " + kNewfsLink);
	EXPECT_EQ(o.status, 0) << o;
	EXPECT_EQ(o.out, kRepaired);
	EXPECT_EQ(o.err, "");
	EXPECT_EQ(o.tree, kCorrectTree);
}

TEST_F(LinkRepair, OnlyAnEmptyFolderIsRemoved)
{
	Outcome o = repair("mkdir -p " + kMountLink + " " + kNewfsLink + "\n"
			   "echo keep >" + kMountLink + "/file");
	EXPECT_EQ(o.status, 1) << o;
	EXPECT_EQ(o.out, "Successfully repaired symlink: \"" + kNewfsLink + "\"\n");
	EXPECT_EQ(o.err, "Error while removing directory \"" + kMountLink +
				 "\": Directory not empty (39)\n");
	EXPECT_EQ(o.tree, "/usr/local drwxr-xr-x 0:0\n"
			  "/usr/local/sbin drwxr-xr-x 0:0\n" +
			  kMountLink + " drwxr-xr-x 0:0\n" +
			  kMountLink + "/file -rw-r--r-- 0:0\n" +
			  kNewfsLink + " lrwxrwxrwx 0:0 -> " + kNewfsText + "\n");
}

TEST_F(LinkRepair, MissingParentFoldersAreCreatedForRootWheel)
{
	// Without /usr/local, and with a group of the caller's own that the
	// new folders must not keep.
	box.dirs = {"/Library", "/var/run", "/tmp"};
	Outcome o = repair("", "setpriv --regid=1000 --clear-groups sbin_link_repair");
	EXPECT_EQ(o.status, 0) << o;
	EXPECT_EQ(o.out, kRepaired);
	EXPECT_EQ(o.err, "");
	// The links themselves keep the group they were made with.
	EXPECT_EQ(o.tree, "/usr/local drwxr-xr-x 0:0\n"
			  "/usr/local/sbin drwxr-xr-x 0:0\n" +
			  kMountLink + " lrwxrwxrwx 0:1000 -> " + kMountText + "\n" +
			  kNewfsLink + " lrwxrwxrwx 0:1000 -> " + kNewfsText + "\n");
}

TEST_F(LinkRepair, FileCreationMaskApplies)
{
	Outcome o = repair("umask 027");
	EXPECT_EQ(o.status, 0) << o;
	EXPECT_NE(o.tree.find("/usr/local/sbin drwxr-x--- 0:0\n"), std::string::npos) << o.tree;
}

TEST_F(LinkRepair, RegularFileInPlaceOfTheFolder)
{
	Outcome o = repair("echo data >/usr/local/sbin");
	EXPECT_EQ(o.status, 1) << o;
	EXPECT_EQ(o.out, "");
	EXPECT_EQ(o.err, "'stat' returned error for symlink path \"" + kMountLink +
				 "\": Not a directory (20)\n"
				 "'stat' returned error for symlink path \"" + kNewfsLink +
				 "\": Not a directory (20)\n");
	EXPECT_EQ(o.tree, "/usr/local drwxr-xr-x 0:0\n/usr/local/sbin -rw-r--r-- 0:0\n");
}

TEST_F(LinkRepair, DanglingLinkInPlaceOfTheFolder)
{
	Outcome o = repair("ln -s /nowhere /usr/local/sbin");
	EXPECT_EQ(o.status, 1) << o;
	EXPECT_EQ(o.out, "");
	EXPECT_EQ(o.err, "Error when creating directory \"/usr/local/sbin\": File exists (17)\n"
			 "Error when creating directory \"/usr/local/sbin\": File exists (17)\n");
}

TEST_F(LinkRepair, FolderThatCannotBeCreated)
{
	Outcome o = repair("mount -o remount,ro /usr/local");
	EXPECT_EQ(o.status, 1) << o;
	EXPECT_EQ(o.out, "");
	EXPECT_EQ(o.err,
		  "Error when creating directory \"/usr/local/sbin\": Read-only file system (30)\n"
		  "Error when creating directory \"/usr/local/sbin\": Read-only file system (30)\n");
	EXPECT_EQ(o.tree, "/usr/local drwxr-xr-x 0:0\n");
}

TEST_F(LinkRepair, FailedOwnershipLeavesTheFolderAndGoesOnWithTheOtherLink)
{
	// Without the right to give files away, the new folder keeps the
	// caller's group; the second link finds the folder and is made.
	Outcome o = repair("", "setpriv --regid=1000 --clear-groups --inh-caps=-chown "
			       "--bounding-set=-chown sbin_link_repair");
	EXPECT_EQ(o.status, 1) << o;
	EXPECT_EQ(o.out, "Successfully repaired symlink: \"" + kNewfsLink + "\"\n");
	EXPECT_EQ(o.err, "Error when setting root:wheel ownership for directory \"/usr/local/sbin\": "
			 "Operation not permitted (1)\n");
	EXPECT_EQ(o.tree, "/usr/local drwxr-xr-x 0:0\n"
			  "/usr/local/sbin drwxr-xr-x 0:1000\n" +
			  kNewfsLink + " lrwxrwxrwx 0:1000 -> " + kNewfsText + "\n");
}

TEST_F(LinkRepair, FolderSwappedForALinkBeforeItsOwnerIsSet)
{
	// The program is stopped right after it made /usr/local/sbin; the
	// folder is then replaced by a symbolic link to a file of another
	// user, or by a hard link to one.  Neither file changes owner.
	const struct {
		const char *swap, *tree;
		int error;
	} swaps[] = {
		{"ln -s /tmp/victim /usr/local/sbin",
		 "/usr/local/sbin lrwxrwxrwx 0:0 -> /tmp/victim\n/usr/local/victim -rw-r--r-- 1234:1234\n", 40},
		{"ln /usr/local/victim /usr/local/sbin",
		 "/usr/local/sbin -rw-r--r-- 1234:1234\n/usr/local/victim -rw-r--r-- 1234:1234\n", 20},
	};
	for (const auto &swap : swaps) {
		Outcome o = repair("for v in /tmp/victim /usr/local/victim; do echo victim >$v && chown 1234:1234 $v; done\n"
				   // A sanitized build's leak checker cannot work under strace.
				   "export ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\"\n"
				   "strace -o /tmp/trace -e trace=mkdir -e inject=mkdir:signal=SIGSTOP \\\n"
				   "	sh -c 'echo $$ >/tmp/pid; exec sbin_link_repair' >/tmp/repair.out 2>/tmp/repair.err &\n"
				   "wait_text /tmp/trace 'stopped by SIGSTOP' || exit 1\n"
				   "rmdir /usr/local/sbin && " + std::string(swap.swap) + "\n"
				   "kill -CONT $(cat /tmp/pid)",
				   "wait $!; status=$?; cat /tmp/repair.out; cat /tmp/repair.err >&2; ls -ln /tmp/victim; "
				   "(exit $status)");
		EXPECT_EQ(o.status, 1) << o;
		EXPECT_NE(o.out.find(" 1234 1234 7 "), std::string::npos) << o;
		EXPECT_EQ(o.err, "Error when setting root:wheel ownership for directory \"/usr/local/sbin\": " +
					 std::string(strerror(swap.error)) + " (" + std::to_string(swap.error) + ")\n"
					 "'stat' returned error for symlink path \"" + kNewfsLink +
					 "\": Not a directory (20)\n");
		EXPECT_EQ(o.tree, "/usr/local drwxr-xr-x 0:0\n" + std::string(swap.tree));
	}
}

TEST_F(LinkRepair, ReadOnlyFolderOfTheLinks)
{
	// A wrong link that cannot be removed, and a missing one that cannot be
	// made.
	Outcome o = repair("mkdir /usr/local/sbin && mount -t tmpfs -o mode=755 none /usr/local/sbin\n"
			   "ln -s wrong " + kMountLink + "\n"
			   "mount -o remount,ro /usr/local/sbin");
	EXPECT_EQ(o.status, 1) << o;
	EXPECT_EQ(o.out, "");
	EXPECT_EQ(o.err, "Error while removing file \"" + kMountLink +
				 "\": Read-only file system (30)\n"
				 "Error while recreating symlink \"" + kNewfsLink + "\" with target \"" +
				 kNewfsText + "\": Read-only file system (30)\n");
}

TEST_F(LinkRepair, LinkLeadsToTheInstalledFrontEnd)
{
	Outcome o = repair("mkdir /Library/Logs\n"
			   "install -D /sandbox/bin/newfs_fusefs_ardntfs " + kSupport + "/newfs_fusefs_ardntfs",
			   "sbin_link_repair && " + kNewfsLink + " x");
	// The front end itself answers: the driver's utility is not there.
	EXPECT_EQ(o.status, 2) << o;
	EXPECT_EQ(o.out, kRepaired);
	EXPECT_TRUE(o.err.starts_with("executing \"/Library/Filesystems/fusefs_ardntfs.fs/Contents/"
				      "Resources/fusefs_ardntfs.util\" failed:\n"))
		<< o;
}

}  // namespace
