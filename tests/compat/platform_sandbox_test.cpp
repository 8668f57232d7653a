// The platform layer against real FUSE volumes and processes, in a private
// root, through platform_probe.
#include "sandbox.h"

using sandbox::Result;
using sandbox::Sandbox;

namespace {

class PlatformVolumes : public testing::Test {
protected:
	void SetUp() override { REQUIRE_SANDBOX_WITH_FUSE(); }
	Result sh(const std::string &script)
	{
		Result r = box.sh("vol() { mount_testvol \"$@\" 2>/dev/null; }\n" + script);
		EXPECT_EQ(r.status, 0) << r;
		return r;
	}
	Sandbox box;
};

TEST_F(PlatformVolumes, MountTableDoesNotWaitForAStoppedFuseServer)
{
	Result r = sh(R"(
		# Every thread of the server stopped, so that none can take a
		# request and leave its caller waiting beyond any timeout.
		all_stopped() { ! grep -L '^State:.*stopped' /proc/$1/task/*/status | grep -q .; }
		vol /tmp/vol fusefs_ardntfs /dev/disk4s1
		vol /tmp/long fusefs_ardntfs_extended disk7
		kill -STOP $TESTVOL_PID; wait_for all_stopped $TESTVOL_PID
		timeout 1 stat -f /tmp/long >/dev/null; echo "statfs $?"
		timeout 20 platform_probe mounts | grep -e fusefs; echo "list $?"
		kill -CONT $TESTVOL_PID
	)");
	EXPECT_EQ(r.out,
		  "statfs 124\n"
		  "fusefs_ardntfs 0 /dev/disk4s1 /tmp/vol\n"
		  "fusefs_ardntfs_ 0 disk7 /tmp/long\n"
		  "list 0\n");
}

TEST_F(PlatformVolumes, PlainUnmountOfABusyVolumeFailsForcedRemovesIt)
{
	Result r = sh(R"(
		vol /tmp/idle
		vol /tmp/busy
		make_busy /tmp/busy
		platform_probe unmount /tmp/idle; is_mounted /tmp/idle || echo "idle gone"
		platform_probe unmount /tmp/busy; is_mounted /tmp/busy && echo "busy stays"
		platform_probe unmount /tmp/busy force; is_mounted /tmp/busy || echo "busy gone"
		platform_probe unmount /tmp/busy force
		platform_probe unmount /tmp/nowhere
		kill $BUSY_PID
	)");
	EXPECT_EQ(r.out,
		  "ok\nidle gone\n"
		  "failed: Device or resource busy\nbusy stays\n"
		  "ok\nbusy gone\n"
		  "failed: Invalid argument\n"
		  "failed: No such file or directory\n");
}

TEST_F(PlatformVolumes, WithoutSysAdminNotEvenForceUnmounts)
{
	Result r = sh(R"(
		vol /tmp/vol
		weak() { setpriv --inh-caps=-sys_admin --bounding-set=-sys_admin "$@"; }
		weak platform_probe unmount /tmp/vol force
		weak platform_probe da-unmount /dev/disk9s1 force
		is_mounted /tmp/vol && echo "still mounted"
	)");
	EXPECT_EQ(r.out, "failed: Operation not permitted\ndissenter 0xf8da0009\nstill mounted\n");
}

TEST_F(PlatformVolumes, DiskArbitrationFindsTheDiskByItsBsdName)
{
	Result r = sh(R"(
		vol /tmp/a fusefs_ardntfs /dev/disk5s1
		vol /tmp/b fusefs_ardntfs disk6s1
		platform_probe da-unmount disk5s1; is_mounted /tmp/a || echo "a gone"
		platform_probe da-unmount /dev/disk6s1; is_mounted /tmp/b || echo "b gone"
		platform_probe da-unmount /dev/disk6s1
	)");
	EXPECT_EQ(r.out,
		  "unmounted disk5s1\na gone\n"
		  "unmounted /dev/disk6s1\nb gone\n"
		  "dissenter 0xf8da0006\n");
}

TEST_F(PlatformVolumes, DiskArbitrationRefusesABusyVolumeUnlessForced)
{
	Result r = sh(R"(
		vol /tmp/vol fusefs_ardntfs /dev/disk3s2
		make_busy /tmp/vol
		platform_probe da-unmount /dev/disk3s2; is_mounted /tmp/vol && echo "stays"
		platform_probe da-unmount /dev/disk3s2 force; is_mounted /tmp/vol || echo "gone"
		kill $BUSY_PID
	)");
	EXPECT_EQ(r.out, "dissenter 0xf8da0002\nstays\nunmounted /dev/disk3s2\ngone\n");
}

TEST_F(PlatformVolumes, DiskArbitrationRefusesANameThatLeadsToNoOneVolume)
{
	// Two volumes of one disk name: which is meant cannot be told.  A
	// tmpfs that merely carries a disk's name is no disk's volume.
	Result r = sh(R"(
		vol /tmp/first fusefs_ardntfs /dev/disk8
		vol /tmp/second fusefs_ardntfs /dev/disk8
		platform_probe da-unmount disk8
		is_mounted /tmp/first && echo "first stays"
		is_mounted /tmp/second && echo "second stays"
		vol /tmp/vol fusefs_ardntfs /dev/disk9
		mkdir /tmp/t; mount -t tmpfs /dev/disk9 /tmp/t
		platform_probe da-unmount /dev/disk9
		is_mounted /tmp/vol || echo "volume gone"
		is_mounted /tmp/t && echo "tmpfs stays"
		platform_probe da-unmount /dev/disk9
	)");
	EXPECT_EQ(r.out, "dissenter 0xf8da0003\nfirst stays\nsecond stays\nunmounted /dev/disk9\nvolume gone\n"
			 "tmpfs stays\ndissenter 0xf8da0006\n");
}

TEST_F(PlatformVolumes, UnscheduledSessionGetsNoAnswer)
{
	// The request is carried out all the same; only its answer is lost.
	Result r = sh(R"(
		vol /tmp/vol fusefs_ardntfs /dev/disk2
		platform_probe da-unmount /dev/disk2 unscheduled
		is_mounted /tmp/vol || echo "gone"
	)");
	EXPECT_EQ(r.out, "no answer\ngone\n");
}

TEST(PlatformProcesses, ProgramPathSurvivesReplacingTheProgramFile)
{
	REQUIRE_SANDBOX();
	Sandbox box;
	Result r = box.sh(R"sh(
		mkdir /tmp/p && cp /bin/sleep /tmp/p/sleeper && cp /bin/sleep /tmp/p/gone
		/tmp/p/sleeper 1000 & replaced=$!
		/tmp/p/gone 1000 & gone=$!
		wait_for test "$(readlink /proc/$replaced/exe)" = /tmp/p/sleeper
		wait_for test "$(readlink /proc/$gone/exe)" = /tmp/p/gone
		rm /tmp/p/sleeper /tmp/p/gone && cp /bin/true /tmp/p/sleeper
		platform_probe pidpath $replaced
		platform_probe pidpath $gone
		platform_probe pidpath $$ | grep -q "sh$" && echo shell
		platform_probe pidpath 0
		platform_probe pidpath 99999
	)sh");
	EXPECT_EQ(r.out,
		  "/tmp/p/sleeper\n/tmp/p/gone\nshell\n"
		  "failed: No such process\nfailed: No such file or directory\n");
}

// A program for another machine may run through a user-mode emulator
// (binfmt_misc): Linux shows the emulator as the exe, its path and then the
// program's first on the command line.  A native program started that way
// stands in for the emulator here.
TEST(PlatformProcesses, ProgramRunByAnEmulatorIsTheProgram)
{
	REQUIRE_SANDBOX();
	Sandbox box;
	Result r = box.sh(R"sh(
		mkdir /tmp/p && cd /tmp/p
		# ELF headers: 64-bit big-endian PowerPC, and a file that is no program
		printf '\177ELF\002\002\001\000\000\000\000\000\000\000\000\000\000\002\000\025' >foreign
		printf 'plain text, twenty bytes or more\n' >text
		ln -s foreign linked
		tail=$(readlink -f /usr/bin/tail)
		$tail /tmp/p/foreign -f >/dev/null & emulated=$!
		$tail /tmp/p/linked -f >/dev/null & through_link=$!
		$tail /bin/true -f >/dev/null & same_machine=$!
		$tail /tmp/p/text -f >/dev/null & not_elf=$!
		$tail foreign -f >/dev/null & relative=$!
		(exec tail /tmp/p/foreign -f >/dev/null) & other_name=$!
		for p in $emulated $through_link $same_machine $not_elf $relative $other_name; do
			wait_for test "$(readlink /proc/$p/exe)" = "$tail"
			platform_probe pidpath $p | sed "s|^$tail\$|tail|"
		done
	)sh");
	EXPECT_EQ(r.out, "/tmp/p/foreign\n/tmp/p/foreign\ntail\ntail\ntail\ntail\n") << r;
}

}  // namespace
