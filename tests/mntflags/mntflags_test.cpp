// mntflags in a private root, against real mounts.
#include "sandbox.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

using sandbox::Result;
using sandbox::Sandbox;

namespace {

class Mntflags : public testing::Test {
protected:
	void SetUp() override { REQUIRE_SANDBOX(); }
	Sandbox box;
};

TEST_F(Mntflags, SandboxRootIsTheRootFileSystem)
{
	// bwrap mounts its tmpfs root nosuid and nodev.
	Result r = box.run({"mntflags", "/"});
	EXPECT_EQ(r.status, 0) << r;
	EXPECT_EQ(r.out, "MNT_NOSUID\nMNT_NODEV\nMNT_ROOTFS\n");
	EXPECT_EQ(r.err, "");
}

TEST_F(Mntflags, TmpfsOptionsInTableOrder)
{
	Result r = box.sh(R"(
		m() { mkdir -p "$1"; mount -t tmpfs -o "$2" none "$1"; }
		m /tmp/plain rw
		m /tmp/a ro,nosuid
		m /tmp/b nodev,noexec,sync
		m /tmp/c sync,nodev,ro,noexec,nosuid
		mkdir /tmp/b/sub && touch /tmp/b/sub/file
		for p in /tmp/plain /tmp/a /tmp/b /tmp/b/sub/file /tmp/c; do
			echo "[$p]"; mntflags "$p"; echo "status $?"
		done
	)");
	EXPECT_EQ(r.status, 0) << r;
	EXPECT_EQ(r.out,
		  "[/tmp/plain]\nstatus 0\n"
		  "[/tmp/a]\nMNT_RDONLY\nMNT_NOSUID\nstatus 0\n"
		  "[/tmp/b]\nMNT_SYNCHRONOUS\nMNT_NOEXEC\nMNT_NODEV\nstatus 0\n"
		  "[/tmp/b/sub/file]\nMNT_SYNCHRONOUS\nMNT_NOEXEC\nMNT_NODEV\nstatus 0\n"
		  "[/tmp/c]\nMNT_RDONLY\nMNT_SYNCHRONOUS\nMNT_NOEXEC\nMNT_NOSUID\nMNT_NODEV\nstatus 0\n");
	EXPECT_EQ(r.err, "");
}

TEST_F(Mntflags, FindsTheMountThatReallyHoldsThePath)
{
	// A read-only bind of a folder of a writable mount, a mount stacked on
	// top of a read-only one, a name that merely begins like a mount point,
	// and a link into another mount.
	Result r = box.sh(R"(
		mkdir -p /tmp/w /tmp/ro-under /tmp/view /tmp/wx
		mount -t tmpfs none /tmp/w && mkdir /tmp/w/dir
		mount --bind /tmp/w/dir /tmp/view && mount -o remount,bind,ro /tmp/view
		mount -t tmpfs -o ro none /tmp/ro-under && mount -t tmpfs -o noexec none /tmp/ro-under
		mount -t tmpfs -o nodev none /tmp/wx
		ln -s /tmp/view /tmp/w/link
		for p in /tmp/w/dir /tmp/view /tmp/ro-under /tmp/wx /tmp/w/link; do
			echo "[$p]"; mntflags "$p"
		done
	)");
	EXPECT_EQ(r.status, 0) << r;
	EXPECT_EQ(r.out,
		  "[/tmp/w/dir]\n"
		  "[/tmp/view]\nMNT_RDONLY\n"
		  "[/tmp/ro-under]\nMNT_NOEXEC\n"
		  "[/tmp/wx]\nMNT_NODEV\n"
		  "[/tmp/w/link]\nMNT_RDONLY\n");
}

TEST_F(Mntflags, OverlayIsAUnionAndJournaledFileSystemsShowIt)
{
	// /usr is bound read-only from this machine; whether it is journaled
	// depends on the machine's own file system: ext3 and ext4 when the
	// kernel runs a journal for their device.
	std::string usr_type, usr_dev;
	std::ifstream mountinfo("/proc/self/mountinfo");
	for (std::string line; std::getline(mountinfo, line);) {
		std::istringstream f(line);
		std::string id, parent, dev, root, mp, field;
		f >> id >> parent >> dev >> root >> mp;
		while (f >> field && field != "-") {
		}
		std::string type;
		f >> type;
		if (mp == "/usr" || (mp == "/" && usr_type.empty())) {
			usr_type = type;
			usr_dev = dev;
		}
	}
	std::string device;
	std::ifstream partitions("/proc/partitions");
	for (std::string major, minor, blocks, name; partitions >> major >> minor >> blocks >> name;)
		if (major + ":" + minor == usr_dev)
			device = name;
	bool journaled = usr_type == "xfs" || usr_type == "jfs" || usr_type == "reiserfs" ||
			 ((usr_type == "ext3" || usr_type == "ext4") && !device.empty() &&
			  access(("/proc/fs/jbd2/" + device + "-8").c_str(), F_OK) == 0);

	Result r = box.sh(R"(
		mkdir -p /tmp/lo /tmp/up /tmp/wk /tmp/ov
		mount -t overlay overlay -o lowerdir=/tmp/lo,upperdir=/tmp/up,workdir=/tmp/wk /tmp/ov
		echo "[ov]"; mntflags /tmp/ov
		echo "[usr]"; mntflags /usr/bin
	)");
	EXPECT_EQ(r.status, 0) << r;
	EXPECT_EQ(r.out, std::string("[ov]\nMNT_UNION\n[usr]\nMNT_RDONLY\nMNT_NOSUID\nMNT_NODEV\n") +
				 (journaled ? "MNT_JOURNALED\n" : ""))
		<< "/usr is " << usr_type;
}

TEST_F(Mntflags, JournaledOnlyWithAJournal)
{
	// ext4 made without a journal is not journaled; with one, and ext3,
	// which always has one, are.
	if (access("/dev/loop-control", R_OK | W_OK) != 0) {
		if (sandbox::in_ci())
			FAIL() << "loop devices required under CI";
		GTEST_SKIP() << "needs loop devices (/dev/loop-control)";
	}
	Result r = box.sh(R"(
		cd /tmp
		mkfs.ext4 -q -F -O ^has_journal none.img 8M >/dev/null 2>&1
		mkfs.ext4 -q -F ext4.img 8M >/dev/null 2>&1
		mkfs.ext3 -q -F ext3.img 8M >/dev/null 2>&1
		for fs in none ext4 ext3; do
			mkdir $fs && mount -o loop $fs.img $fs && echo "[$fs]" && mntflags $fs
		done
		umount none ext4 ext3
	)");
	EXPECT_EQ(r.status, 0) << r;
	EXPECT_EQ(r.out, "[none]\n[ext4]\nMNT_JOURNALED\n[ext3]\nMNT_JOURNALED\n");
}

TEST_F(Mntflags, FlagsDoNotDependOnHowLongTheNamesAre)
{
	// A mount point, or a name mounted from, of 1024 bytes or more.
	Result r = box.sh(R"sh(
		p=/tmp; for i in 1 2 3 4 5 6; do p=$p/$(printf '%0200d' $i); done
		mkdir -p $p /tmp/lo /tmp/up /tmp/wk /tmp/lo2 /tmp/up2 /tmp/wk2 /tmp/ov
		mount -t overlay overlay -o lowerdir=/tmp/lo,upperdir=/tmp/up,workdir=/tmp/wk $p
		mount -t overlay "$(printf '%01100d' 0)" -o ro,lowerdir=/tmp/lo2:/tmp/up2 /tmp/ov
		echo "[long mount point]"; mntflags $p
		echo "[long source]"; mntflags /tmp/ov
	)sh");
	EXPECT_EQ(r.status, 0) << r;
	EXPECT_EQ(r.out, "[long mount point]\nMNT_UNION\n[long source]\nMNT_RDONLY\nMNT_UNION\n");
}

TEST_F(Mntflags, FuseTestVolume)
{
	REQUIRE_SANDBOX_WITH_FUSE();
	Result r = box.sh(R"(
		mount_testvol /tmp/vol fusefs_ardntfs /dev/disk3s1
		cat /tmp/vol/hello
		grep -q ' /tmp/vol .* fuse.fusefs_ardntfs /dev/disk3s1 ' /proc/self/mountinfo && echo listed
		mntflags /tmp/vol
	)");
	EXPECT_EQ(r.status, 0) << r;
	EXPECT_EQ(r.out, "hello\nlisted\nMNT_NOSUID\nMNT_NODEV\n");
}

TEST_F(Mntflags, MissingPath)
{
	Result r = box.run({"mntflags", "/no/such/path"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "Could not statfs \"/no/such/path\". errno=2\n");
}

TEST_F(Mntflags, WrongNumberOfArguments)
{
	Result none = box.run({"mntflags"});
	EXPECT_EQ(none.status, 1);
	EXPECT_EQ(none.out, "");
	EXPECT_EQ(none.err, "Invalid number of arguments. (got: 0, required: 1)\n");

	// A valid first path does not save a call with too many arguments.
	Result two = box.run({"mntflags", "/", "/tmp"});
	EXPECT_EQ(two.status, 1);
	EXPECT_EQ(two.out, "");
	EXPECT_EQ(two.err, "Invalid number of arguments. (got: 2, required: 1)\n");

	Result three = box.run({"mntflags", "/", "/tmp", "/no/such/path"});
	EXPECT_EQ(three.err, "Invalid number of arguments. (got: 3, required: 1)\n");
}

TEST_F(Mntflags, AnswerThatCannotBeWrittenIsAnError)
{
	Result r = box.sh("mntflags / >/dev/full; echo \"status $?\"");
	EXPECT_EQ(r.out, "status 1\n");
	EXPECT_EQ(r.err, "Could not write to standard output. errno=28\n");
}

}  // namespace
