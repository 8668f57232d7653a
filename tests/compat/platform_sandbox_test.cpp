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

}  // namespace
