// The mount table and statfs of the platform layer.
#include "mountinfo.h"

#include <sys/sysctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

using compat::MountEntry;
using compat::parse_mountinfo_line;

namespace {

MountEntry entry(const std::string &line)
{
	auto e = parse_mountinfo_line(line);
	EXPECT_TRUE(e.has_value()) << line;
	return e.value_or(MountEntry{});
}

TEST(MountInfo, ParsesFieldsAroundOptionalTags)
{
	MountEntry e = entry("36 35 98:0 /mnt1 /mnt/a rw,noatime master:1 shared:7 - ext3 /dev/root rw,errors=continue");
	EXPECT_EQ(e.mount_id, 36u);
	EXPECT_EQ(e.dev_major, 98u);
	EXPECT_EQ(e.dev_minor, 0u);
	EXPECT_EQ(e.mount_point, "/mnt/a");
	EXPECT_EQ(e.mount_options, "rw,noatime");
	EXPECT_EQ(e.fstype, "ext3");
	EXPECT_EQ(e.source, "/dev/root");
	EXPECT_EQ(e.super_options, "rw,errors=continue");
}

TEST(MountInfo, DecodesOctalEscapesInPathsOnly)
{
	MountEntry e = entry("50 1 0:40 / /tmp/with\\040blank\\011tab\\134 rw - fuse.fusefs_ardntfs /dev/disk\\0403 rw");
	EXPECT_EQ(e.mount_point, "/tmp/with blank\ttab\\");
	EXPECT_EQ(e.source, "/dev/disk 3");
	// A backslash without three octal digits stays as it is.
	EXPECT_EQ(entry("50 1 0:40 / /a\\9 rw - tmpfs x\\04 rw").mount_point, "/a\\9");
	EXPECT_EQ(entry("50 1 0:40 / /a rw - tmpfs x\\04 rw").source, "x\\04");
}

TEST(MountInfo, RejectsDamagedLines)
{
	EXPECT_FALSE(parse_mountinfo_line(""));
	EXPECT_FALSE(parse_mountinfo_line("36 35 98:0 /mnt1 /mnt/a rw,noatime master:1"));
	EXPECT_FALSE(parse_mountinfo_line("x6 35 98:0 / /a rw - tmpfs none rw"));
	EXPECT_FALSE(parse_mountinfo_line("36 35 98 / /a rw - tmpfs none rw"));
	EXPECT_FALSE(parse_mountinfo_line("36 35 98:0 / /a rw shared:1 -"));
	EXPECT_FALSE(parse_mountinfo_line("36 35 98 / /a rw - tmpfs none rw"));
}

TEST(MountInfo, FuseTypesShowTheirSubtypeCutTo15Characters)
{
	EXPECT_EQ(compat::target_fstypename("fuse.fusefs_ardntfs"), "fusefs_ardntfs");
	EXPECT_EQ(compat::target_fstypename("fuseblk.fusefs_ardntfs"), "fusefs_ardntfs");
	EXPECT_EQ(compat::target_fstypename("fuse.fusefs_ardntfs_extended"), "fusefs_ardntfs_");
	EXPECT_EQ(compat::target_fstypename("fuse"), "fuse");
	EXPECT_EQ(compat::target_fstypename("fuse."), "fuse.");
	EXPECT_EQ(compat::target_fstypename("ext4"), "ext4");
	EXPECT_EQ(compat::target_fstypename("a_very_long_type_name"), "a_very_long_typ");
}

TEST(MountInfo, MapsLinuxOptionsOntoTargetFlags)
{
	auto flags = [](const std::string &line) { return compat::target_mount_flags(entry(line)); };
	EXPECT_EQ(flags("1 0 0:1 / /x rw,relatime - tmpfs none rw"), 0u);
	EXPECT_EQ(flags("1 0 0:1 / /x ro,nosuid,nodev,noexec - tmpfs none rw"),
		  uint32_t(MNT_RDONLY | MNT_NOSUID | MNT_NODEV | MNT_NOEXEC));
	// A read-only or synchronous superblock counts as well.
	EXPECT_EQ(flags("1 0 0:1 / /x rw - tmpfs none ro,sync"), uint32_t(MNT_RDONLY | MNT_SYNCHRONOUS));
	EXPECT_EQ(flags("1 0 0:1 / / rw - tmpfs none rw"), uint32_t(MNT_ROOTFS));
	EXPECT_EQ(flags("1 0 0:1 / /x rw - overlay overlay rw,lowerdir=/a"), uint32_t(MNT_UNION));
	for (const char *type : {"xfs", "jfs", "reiserfs"})
		EXPECT_EQ(flags(std::string("1 0 0:1 / /x rw - ") + type + " /dev/sda1 rw"),
			  uint32_t(MNT_JOURNALED))
			<< type;
	// ext3 and ext4 only with a journal the kernel runs; device 0:1 has none.
	for (const char *type : {"ext2", "ext3", "ext4"})
		EXPECT_EQ(flags(std::string("1 0 0:1 / /x rw - ") + type + " /dev/sda1 rw"), 0u) << type;
	for (const char *option : {"usrquota", "grpquota", "prjquota", "quota", "usrjquota=aquota.user", "uquota"})
		EXPECT_EQ(flags(std::string("1 0 0:1 / /x rw - xfs /dev/sda1 rw,") + option),
			  uint32_t(MNT_QUOTA | MNT_JOURNALED))
			<< option;
	EXPECT_EQ(flags("1 0 0:1 / /x rw - xfs /dev/sda1 rw,noquota"), uint32_t(MNT_JOURNALED));
}

TEST(MountInfo, FindsTheMountByIdOrElseByDeviceAndPath)
{
	const std::vector<MountEntry> table = {
		entry("21 1 0:20 / / rw - tmpfs none rw"),
		entry("22 21 0:21 / /proc rw - proc proc rw"),
		entry("23 21 8:1 / /data rw - ext4 /dev/sda1 rw"),
		entry("24 23 8:1 /sub /data/deep/bind rw - ext4 /dev/sda1 rw"),
		entry("25 21 0:30 / /data/deep rw - tmpfs a rw"),
		entry("26 25 0:31 / /data/deep rw - tmpfs b rw"),
		entry("27 26 0:31 / /data/deep ro - tmpfs b rw"),
	};
	auto id_of = [&](uint64_t id, unsigned major, unsigned minor, const char *path) -> int {
		const MountEntry *e = compat::find_mount(table, id, major, minor, path);
		return e == nullptr ? -1 : int(e->mount_id);
	};
	EXPECT_EQ(id_of(22, 8, 1, "/data/file"), 22) << "the id decides";
	EXPECT_EQ(id_of(0, 0, 20, "/"), 21);
	EXPECT_EQ(id_of(0, 0, 21, "/proc/1"), 22);
	EXPECT_EQ(id_of(0, 8, 1, "/data"), 23);
	EXPECT_EQ(id_of(0, 8, 1, "/data/deep/bind/x"), 24);
	EXPECT_EQ(id_of(0, 0, 31, "/data/deep/x"), 27) << "the last mounted is on top";
	EXPECT_EQ(id_of(0, 0, 30, "/data/deep/x"), 25);
	EXPECT_EQ(id_of(0, 8, 1, "/database"), -1);
	EXPECT_EQ(id_of(0, 9, 9, "/data/file"), -1);
	EXPECT_EQ(id_of(0, 8, 1, ""), -1);
}

TEST(MountInfo, LongPathsDoNotFitTheRecord)
{
	MountEntry e = entry("7 0 0:1 / /x rw - fuse.fusefs_ardntfs /dev/disk2 rw");
	e.mount_point = "/" + std::string(1000, 'a') + "/" + std::string(100, 'b');
	struct compat_statfs rec{};
	EXPECT_FALSE(compat::fill_names(e, rec));
	// Cut after a slash, so that it cannot name a mount at "/aaa...abb",
	// yet the record is whole: its type, id and flags do not depend on how
	// long the names are.
	EXPECT_EQ(std::string(rec.f_mntonname), "/" + std::string(1000, 'a') + "/");
	EXPECT_STREQ(rec.f_fstypename, "fusefs_ardntfs");
	EXPECT_EQ(rec.f_fsid.val[0], 7);
	e.fstype = "overlay";
	e.source = std::string(2000, 's');
	e.mount_point = "/";
	EXPECT_FALSE(compat::fill_names(e, rec));
	EXPECT_EQ(std::string(rec.f_mntfromname), std::string(1023, 's'));
	EXPECT_EQ(rec.f_flags, uint32_t(MNT_UNION | MNT_ROOTFS));
	e = entry("1 0 0:1 / /x rw - fuse.fusefs_ardntfs /dev/disk2 rw");
	e.mount_point = "/" + std::string(1022, 'a');
	ASSERT_TRUE(compat::fill_names(e, rec));
	EXPECT_EQ(strlen(rec.f_mntonname), 1023u);
	EXPECT_STREQ(rec.f_fstypename, "fusefs_ardntfs");
	EXPECT_STREQ(rec.f_mntfromname, "/dev/disk2");
	EXPECT_EQ(rec.f_fssubtype, 0u);
}

TEST(MountTable, ListsTheRootMount)
{
	struct compat_statfs *list = nullptr;
	int n = compat_getmntinfo(&list, MNT_WAIT);
	ASSERT_GT(n, 0);
	bool root = false;
	for (int i = 0; i < n; i++)
		root |= strcmp(list[i].f_mntonname, "/") == 0 && (list[i].f_flags & MNT_ROOTFS);
	EXPECT_TRUE(root);
}

TEST(Statfs, DescribesTheMountThatHoldsThePath)
{
	struct compat_statfs sfs;
	ASSERT_EQ(compat_statfs("/proc/self", &sfs), 0) << strerror(errno);
	EXPECT_STREQ(sfs.f_fstypename, "proc");
	EXPECT_STREQ(sfs.f_mntonname, "/proc");
	EXPECT_EQ(sfs.f_flags & MNT_ROOTFS, 0u);
	ASSERT_EQ(compat_statfs("/", &sfs), 0) << strerror(errno);
	EXPECT_STREQ(sfs.f_mntonname, "/");
	EXPECT_NE(sfs.f_flags & MNT_ROOTFS, 0u);
}

TEST(Statfs, FailsWithTheCallsErrorNumber)
{
	struct compat_statfs sfs;
	errno = 0;
	EXPECT_EQ(compat_statfs("/nonexistent/path", &sfs), -1);
	EXPECT_EQ(errno, ENOENT);
}

// One process by its id, as sysctl(CTL_KERN, KERN_PROC, KERN_PROC_PID) gives it.
bool process(pid_t pid, struct kinfo_proc &info, size_t &length)
{
	int name[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
	length = sizeof info;
	return sysctl(name, 4, &info, &length, nullptr, 0) == 0;
}

double seconds(const struct timeval &tv)
{
	return double(tv.tv_sec) + double(tv.tv_usec) / 1e6;
}

TEST(Sysctl, ProcessStartAndCommandName)
{
	struct timespec before, after;
	clock_gettime(CLOCK_REALTIME, &before);
	pid_t child = fork();
	if (child == 0) {
		execl("/bin/sleep", "a-name-longer-than-sixteen", "100", (char *)nullptr);
		_exit(127);
	}
	clock_gettime(CLOCK_REALTIME, &after);
	ASSERT_GT(child, 0);

	struct kinfo_proc info;
	size_t length = 0;
	// The name is the program file's, once it is executed.
	for (int i = 0; i < 5000 && process(child, info, length) && strcmp(info.kp_proc.p_comm, "sleep") != 0; i++)
		usleep(1000);
	ASSERT_TRUE(process(child, info, length)) << strerror(errno);
	EXPECT_EQ(length, sizeof info);
	EXPECT_EQ(info.kp_proc.p_pid, child);
	EXPECT_EQ(info.kp_eproc.e_ppid, getpid());
	EXPECT_STREQ(info.kp_proc.p_comm, "sleep");
	// Made by the fork, to a clock tick of 10 ms.
	const double start = seconds(info.kp_proc.p_starttime);
	EXPECT_GE(start, double(before.tv_sec) + before.tv_nsec / 1e9 - 0.02);
	EXPECT_LE(start, double(after.tv_sec) + after.tv_nsec / 1e9 + 0.001);

	kill(child, SIGKILL);
	waitpid(child, nullptr, 0);
	ASSERT_TRUE(process(child, info, length));
	EXPECT_EQ(length, 0u) << "a process that is gone";
	ASSERT_TRUE(process(0, info, length));
	EXPECT_EQ(length, 0u);

	length = 1;
	int name[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, getpid()};
	EXPECT_EQ(sysctl(name, 4, &info, &length, nullptr, 0), -1);
	EXPECT_EQ(errno, ENOMEM);
	length = 0;
	EXPECT_EQ(sysctl(name, 4, nullptr, &length, nullptr, 0), 0);
	EXPECT_EQ(length, sizeof info);
}

// The name the target keeps: the program file's own, reached through
// links, cut at MAXCOMLEN characters.
TEST(Sysctl, CommandNameIsTheFilesAfterLinksCutAtSixteen)
{
	char dir[] = "/tmp/sysctl-names.XXXXXX";
	ASSERT_NE(mkdtemp(dir), nullptr);
	const std::string base = dir;
	const std::string copy = base + "/a-program-file-named-at-length";
	ASSERT_EQ(system(("cp /bin/sleep " + copy + " && ln -s " + copy + " " + base + "/ntfsd && ln -s /bin/sleep " +
			  base + "/other").c_str()),
		  0);
	const struct {
		std::string started_as, expected;
	} cases[] = {
		{base + "/ntfsd", "a-program-file-n"},
		{base + "/other", "sleep"},
		{copy, "a-program-file-n"},
	};
	for (const auto &c : cases) {
		pid_t child = fork();
		if (child == 0) {
			execl(c.started_as.c_str(), "x", "100", (char *)nullptr);
			_exit(127);
		}
		struct kinfo_proc info;
		size_t length = 0;
		for (int i = 0; i < 5000 && process(child, info, length) && strcmp(info.kp_proc.p_comm, c.expected.c_str()) != 0; i++)
			usleep(1000);
		EXPECT_STREQ(info.kp_proc.p_comm, c.expected.c_str()) << c.started_as;
		kill(child, SIGKILL);
		waitpid(child, nullptr, 0);
	}
	system(("rm -rf " + base).c_str());
}

}  // namespace
