// The unmount pass of ardova_ntfs_daemon in-process, against the scripted
// platform of fake_platform.cpp.
#include "fake_platform.h"

#include <DiskArbitration/DiskArbitration.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

int daemon_main(int argc, char *argv[]);
bool unmount_volqa_filesystems(bool use_diskarbitration, bool force_retry);
bool try_unmount_diskarbitration(const struct statfs *fs, bool force);
bool try_unmount_posix(const struct statfs *fs, bool force);
void unmount_callback(DADiskRef disk, DADissenterRef dissenter, void *context);

namespace {

using fake::Answer;
using fake::platform;
using fake::Volume;
using Calls = std::vector<std::string>;

const std::string prefix = "[ardova_ntfs_daemon] ERROR: ";

class UnmountPass : public testing::Test {
protected:
	void SetUp() override
	{
		fake::reset();
		ASSERT_FALSE(platform.root.empty());
		char cwd[4096];
		ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
		home = cwd;
	}
	void TearDown() override { fake::cleanup(); }

	// Runs the pass and keeps what it wrote to standard error, the
	// temporary root taken out.  The pass leaves the working folder at the
	// root, which keeps nothing busy; the test's own is restored.
	bool pass(bool use_diskarbitration, bool force_retry)
	{
		testing::internal::CaptureStderr();
		bool result = unmount_volqa_filesystems(use_diskarbitration, force_retry);
		err = fake::without_root(testing::internal::GetCapturedStderr());
		char cwd[4096];
		const std::string left_in = getcwd(cwd, sizeof cwd);
		EXPECT_TRUE(left_in == home || left_in == "/") << left_in;
		EXPECT_EQ(chdir(home.c_str()), 0);
		return result;
	}

	bool da_attempt(const Volume &v, bool force)
	{
		struct statfs fs{};
		snprintf(fs.f_mntfromname, sizeof fs.f_mntfromname, "%s", v.from.c_str());
		snprintf(fs.f_mntonname, sizeof fs.f_mntonname, "%s", v.on.c_str());
		platform.volumes = {v};
		testing::internal::CaptureStderr();
		bool result = try_unmount_diskarbitration(&fs, force);
		err = testing::internal::GetCapturedStderr();
		return result;
	}

	std::string err;
	std::string home;
};

// The whole Disk Arbitration attempt on one disk, up to its release.
Calls da_calls(const std::string &from, const char *options, bool answered)
{
	Calls calls = {"DASessionCreate", "DASessionScheduleWithRunLoop current default",
		       "DADiskCreateFromBSDName " + from, std::string("DADiskUnmount ") + options, "CFRunLoopRun"};
	if (answered)
		calls.push_back("CFRunLoopStop current");
	calls.insert(calls.end(), {"CFRelease disk", "DASessionUnscheduleFromRunLoop current default",
				   "CFRelease session"});
	return calls;
}

TEST_F(UnmountPass, PicksVolumesByTheFirst14CharactersOfTheTypeAndSubtypeZero)
{
	platform.volumes = {
		{"hfs", 0, "/dev/disk0s2", "/", false, false},
		{"fusefs_ardntfs", 0, "/dev/disk2s1", "/Volumes/A"},
		{"fusefs_ardntfs", 1, "/dev/disk2s2", "/Volumes/Subtype", false, false},
		{"fusefs_ardntfs_", 0, "disk3", "/Volumes/Longer"},
		{"fusefs_ardntf", 0, "/dev/disk4", "/Volumes/Shorter", false, false},
		{"fusefs_ardntfx", 0, "/dev/disk5", "/Volumes/Other", false, false},
		{"Fusefs_ardntfs", 0, "/dev/disk6", "/Volumes/Case", false, false},
	};
	EXPECT_TRUE(pass(false, true));
	EXPECT_EQ(platform.calls, (Calls{"unmount /Volumes/A 0", "unmount /Volumes/Longer 0"}));
	EXPECT_EQ(err, "");
	// Only names are needed: no volume is asked for fresh figures.
	EXPECT_EQ(platform.getmntinfo_mode, MNT_NOWAIT);
}

TEST_F(UnmountPass, NothingMountedIsSuccessWithoutAWord)
{
	EXPECT_TRUE(pass(false, true));
	EXPECT_TRUE(pass(true, false));
	EXPECT_TRUE(platform.calls.empty());
	EXPECT_EQ(err, "");
}

TEST_F(UnmountPass, ForceRetryAfterAFailedPlainUnmountAndEveryVolumeIsTried)
{
	platform.volumes = {
		{"fusefs_ardntfs", 0, "/dev/disk2", "/Volumes/Busy", false, true},
		{"fusefs_ardntfs", 0, "/dev/disk3", "/Volumes/Stuck", false, false},
		{"fusefs_ardntfs", 0, "/dev/disk4", "/Volumes/Idle"},
	};
	EXPECT_FALSE(pass(false, true));
	EXPECT_EQ(platform.calls, (Calls{"unmount /Volumes/Busy 0", "unmount /Volumes/Busy MNT_FORCE",
					 "unmount /Volumes/Stuck 0", "unmount /Volumes/Stuck MNT_FORCE",
					 "unmount /Volumes/Idle 0"}));
	EXPECT_EQ(err, prefix + "Could not unmount /Volumes/Busy normally, trying to force unmount...\n" + prefix +
			       "Could not unmount /Volumes/Stuck normally, trying to force unmount...\n" + prefix +
			       "Could not unmount /Volumes/Stuck!\n");
}

TEST_F(UnmountPass, WithoutForceRetryAFailureIsFinal)
{
	platform.volumes = {
		{"fusefs_ardntfs", 0, "/dev/disk2", "/Volumes/Busy", false, true},
		{"fusefs_ardntfs", 0, "/dev/disk4", "/Volumes/Idle"},
	};
	EXPECT_FALSE(pass(false, false));
	EXPECT_EQ(platform.calls, (Calls{"unmount /Volumes/Busy 0", "unmount /Volumes/Idle 0"}));
	EXPECT_EQ(err, prefix + "Could not unmount /Volumes/Busy!\n");
}

TEST_F(UnmountPass, DiskArbitrationFirstThenTheUnmountCallWhenItFails)
{
	platform.volumes = {
		{"fusefs_ardntfs", 0, "/dev/disk2s1", "/Volumes/Refused", false, true, Answer::refused},
		{"fusefs_ardntfs", 0, "/dev/disk3s1", "/Volumes/Done", false, false, Answer::unmounted},
		{"fusefs_ardntfs", 0, "/dev/disk4s1", "/Volumes/RefusedIdle", true, true, Answer::refused},
	};
	EXPECT_FALSE(pass(true, false));
	Calls expected = da_calls("/dev/disk2s1", "0x0", true);
	expected.push_back("unmount /Volumes/Refused 0");
	for (const std::string &c : da_calls("/dev/disk3s1", "0x0", true))
		expected.push_back(c);
	for (const std::string &c : da_calls("/dev/disk4s1", "0x0", true))
		expected.push_back(c);
	expected.push_back("unmount /Volumes/RefusedIdle 0");
	EXPECT_EQ(platform.calls, expected);
	// A refusal is silent; only the last failure is told.
	EXPECT_EQ(err, prefix + "Could not unmount /Volumes/Refused!\n");
}

TEST_F(UnmountPass, NoSessionStillUnmountsIdleVolumesAfterOneLineEach)
{
	platform.session_fails = true;
	platform.volumes = {
		{"fusefs_ardntfs", 0, "/dev/disk2", "/Volumes/A"},
		{"fusefs_ardntfs", 0, "/dev/disk3", "/Volumes/B"},
	};
	EXPECT_TRUE(pass(true, false));
	EXPECT_EQ(platform.calls,
		  (Calls{"DASessionCreate", "unmount /Volumes/A 0", "DASessionCreate", "unmount /Volumes/B 0"}));
	EXPECT_EQ(err, prefix + "Error while creating Disk Arbitration session.\n" + prefix +
			       "Error while creating Disk Arbitration session.\n");
}

TEST_F(UnmountPass, VerdictsOfOneDiskArbitrationAttempt)
{
	Volume v{"fusefs_ardntfs", 0, "/dev/disk2s1", "/Volumes/A"};

	v.answer = Answer::unmounted;
	EXPECT_TRUE(da_attempt(v, false));
	EXPECT_EQ(err, "");
	EXPECT_EQ(platform.calls, da_calls("/dev/disk2s1", "0x0", true));

	platform.calls.clear();
	v.answer = Answer::refused;
	EXPECT_FALSE(da_attempt(v, true));
	EXPECT_EQ(err, "");
	EXPECT_EQ(platform.calls, da_calls("/dev/disk2s1", "0x80000", true));

	platform.calls.clear();
	v.answer = Answer::none;
	EXPECT_FALSE(da_attempt(v, false));
	EXPECT_EQ(err, prefix + "No result from unmounting!\n");
	EXPECT_EQ(platform.calls, da_calls("/dev/disk2s1", "0x0", false));

	platform.calls.clear();
	v.answer = Answer::stray_value;
	platform.stray_value = 7;
	EXPECT_FALSE(da_attempt(v, false));
	EXPECT_EQ(err, prefix + "Unexpected result from unmounting: 7\n");
	platform.stray_value = -2;
	EXPECT_FALSE(da_attempt(v, false));
	EXPECT_EQ(err, prefix + "Unexpected result from unmounting: -2\n");
}

TEST_F(UnmountPass, NoDiskObjectReleasesTheSession)
{
	platform.disk_fails = true;
	EXPECT_FALSE(da_attempt({"fusefs_ardntfs", 0, "disk9", "/Volumes/A"}, false));
	EXPECT_EQ(err, prefix + "Error while creating disk from BSD name.\n");
	EXPECT_EQ(platform.calls,
		  (Calls{"DASessionCreate", "DASessionScheduleWithRunLoop current default",
			 "DADiskCreateFromBSDName disk9", "DASessionUnscheduleFromRunLoop current default",
			 "CFRelease session"}));
}

TEST_F(UnmountPass, CallbackStoresItsVerdictAndStopsTheRunLoop)
{
	int cell = -1;
	const __DADissenter *dissenter = reinterpret_cast<const __DADissenter *>(&cell);
	unmount_callback(nullptr, dissenter, &cell);
	EXPECT_EQ(cell, 0);
	unmount_callback(nullptr, nullptr, &cell);
	EXPECT_EQ(cell, 1);
	EXPECT_EQ(platform.calls, (Calls{"CFRunLoopStop current", "CFRunLoopStop current"}));
}

TEST_F(UnmountPass, AMountTableThatCannotBeReadIsNoSuccess)
{
	platform.table_fails = true;
	EXPECT_FALSE(pass(false, true));
	EXPECT_TRUE(platform.calls.empty());
	EXPECT_EQ(err, prefix + "Could not list the mounted file systems: 12 (Cannot allocate memory)\n");
}

TEST_F(UnmountPass, AVolumeStillListedAfterItsUnmountIsNotUnmounted)
{
	// unmount() returned 0 and Disk Arbitration answered, yet the volume
	// is still there: the pass says so rather than believe them.
	Volume stuck{"fusefs_ardntfs", 0, "/dev/disk2", "/Volumes/Stuck"};
	stuck.stays = true;
	platform.volumes = {stuck, {"fusefs_ardntfs", 0, "/dev/disk3", "/Volumes/Idle"}};
	EXPECT_FALSE(pass(false, true));
	EXPECT_EQ(platform.calls, (Calls{"unmount /Volumes/Stuck 0", "unmount /Volumes/Stuck MNT_FORCE",
					 "unmount /Volumes/Idle 0"}));
	EXPECT_EQ(err, prefix + "Could not unmount /Volumes/Stuck normally, trying to force unmount...\n" + prefix +
			       "Could not unmount /Volumes/Stuck!\n");

	platform.calls.clear();
	EXPECT_FALSE(pass(true, false));
	Calls expected = da_calls("/dev/disk2", "0x0", true);
	expected.push_back("unmount /Volumes/Stuck 0");
	EXPECT_EQ(platform.calls, expected);
	EXPECT_EQ(err, prefix + "Could not unmount /Volumes/Stuck!\n");
}

TEST_F(UnmountPass, OnlyTheMountThatThePathLeadsToIsUnmounted)
{
	// Another volume was mounted over the listed one: the path leads to
	// it, not to the driver's volume, so nothing is unmounted.  A volume
	// that went away meanwhile counts as unmounted.
	platform.volumes = {{"fusefs_ardntfs", 0, "/dev/disk2", "/Volumes/Covered"},
			    {"fusefs_ardntfs", 0, "/dev/disk4", "/Volumes/Gone"},
			    {"tmpfs", 0, "tmpfs", "/Volumes/Covered"}};
	struct statfs *mounts = nullptr;
	ASSERT_EQ(getmntinfo(&mounts, MNT_NOWAIT), 4);
	// The next look at the table reuses its storage.
	std::vector<struct statfs> listed(mounts + 1, mounts + 3);
	platform.volumes[1].mounted = false;
	EXPECT_FALSE(try_unmount_posix(&listed[0], true));
	EXPECT_TRUE(try_unmount_posix(&listed[1], true));
	EXPECT_TRUE(platform.calls.empty());
	EXPECT_TRUE(platform.volumes[0].mounted);
	EXPECT_TRUE(platform.volumes[2].mounted);
}

TEST(DaemonEntry, EmptyArgumentVectorIsAUsageError)
{
	// Linux never starts a program so; the target may.
	char *argv[] = {nullptr};
	EXPECT_EXIT(exit(daemon_main(0, argv)), testing::ExitedWithCode(1), "^$");
}

}  // namespace
