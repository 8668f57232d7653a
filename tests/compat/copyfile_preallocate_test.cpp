// fcopyfile() with the metadata flags, and fcntl() with F_PREALLOCATE.
#include "sandbox.h"

#include <copyfile.h>
#include <fcntl.h>
#include <linux/mount.h>  // <sys/mount.h> is the target's here
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <sched.h>
#include <string>

namespace {

using sandbox::attributes;
using sandbox::TempDir;

// A POSIX access control list as Linux stores it: user::rw-, user:1234:r--,
// group::r--, mask::r--, other::---.
std::string acl_bytes()
{
	std::string acl("\x02\0\0\0", 4);
	auto entry = [&acl](uint16_t tag, uint16_t perm, uint32_t id) {
		acl.append(reinterpret_cast<const char *>(&tag), 2);
		acl.append(reinterpret_cast<const char *>(&perm), 2);
		acl.append(reinterpret_cast<const char *>(&id), 4);
	};
	entry(0x01, 6, ~0u);
	entry(0x02, 4, 1234);
	entry(0x04, 4, ~0u);
	entry(0x10, 4, ~0u);
	entry(0x20, 0, ~0u);
	return acl;
}

int open_file(const std::string &path, const std::string &content = "")
{
	sandbox::write_file(path, content, 0600);
	return open(path.c_str(), O_RDWR);
}

TEST(Fcopyfile, MetadataGoesOverAndContentStays)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root to give files away";
	TempDir dir;
	const std::string from = dir / "from", to = dir / "to";
	int src = open_file(from, "source"), dst = open_file(to, "destination");
	ASSERT_GE(src, 0);
	ASSERT_GE(dst, 0);
	ASSERT_EQ(fsetxattr(src, "user.text", "kept", 4, 0), 0);
	ASSERT_EQ(fsetxattr(src, "user.binary", "a\0b", 3, 0), 0);
	const std::string acl = acl_bytes();
	ASSERT_EQ(fsetxattr(src, "system.posix_acl_access", acl.data(), acl.size(), 0), 0);
	ASSERT_EQ(fchown(src, 1234, 5678), 0);
	ASSERT_EQ(fchmod(src, 02640), 0);
	const struct timespec times[2] = {{1000000000, 5}, {1200000000, 7}};
	ASSERT_EQ(futimens(src, times), 0);
	ASSERT_EQ(fsetxattr(dst, "user.own", "x", 1, 0), 0);

	ASSERT_EQ(fcopyfile(src, dst, nullptr, COPYFILE_METADATA), 0) << strerror(errno);
	struct stat st;
	ASSERT_EQ(fstat(dst, &st), 0);
	EXPECT_EQ(st.st_uid, 1234u);
	EXPECT_EQ(st.st_gid, 5678u);
	EXPECT_EQ(st.st_mode & 07777, 02640u);
	EXPECT_EQ(st.st_mtim.tv_sec, 1200000000);
	EXPECT_EQ(st.st_mtim.tv_nsec, 7);
	EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
	EXPECT_EQ(attributes(to), (std::map<std::string, std::string>{{"system.posix_acl_access", acl},
								       {"user.binary", std::string("a\0b", 3)},
								       {"user.own", "x"},
								       {"user.text", "kept"}}));
	EXPECT_EQ(sandbox::read_file(to), "destination");

	// A source without a list takes the destination's away; the
	// attribute flag alone leaves owner and mode be.
	const std::string plain = dir / "plain";
	int bare = open_file(plain);
	ASSERT_EQ(fchmod(bare, 0604), 0);
	ASSERT_EQ(fcopyfile(bare, dst, nullptr, COPYFILE_XATTR), 0);
	ASSERT_EQ(fstat(dst, &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 02640u);
	EXPECT_EQ(attributes(to).count("system.posix_acl_access"), 1u);
	ASSERT_EQ(fcopyfile(bare, dst, nullptr, COPYFILE_SECURITY), 0);
	ASSERT_EQ(fstat(dst, &st), 0);
	EXPECT_EQ(st.st_uid, 0u);
	EXPECT_EQ(st.st_mode & 07777, 0604u);
	EXPECT_EQ(attributes(to).count("system.posix_acl_access"), 0u);

	errno = 0;
	EXPECT_EQ(fcopyfile(src, dst, nullptr, COPYFILE_METADATA | COPYFILE_DATA), -1);
	EXPECT_EQ(errno, ENOTSUP);
	EXPECT_EQ(sandbox::read_file(to), "destination");
	for (int fd : {src, dst, bare})
		close(fd);
}

TEST(Fcopyfile, OwnerThatCannotBeGivenIsAnError)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root to make a file of another owner";
	TempDir dir;
	ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
	int src = open_file(dir / "from");
	ASSERT_EQ(fchown(src, 1234, 5678), 0);
	pid_t child = fork();
	if (child == 0) {
		if (setgid(65534) != 0 || setuid(65534) != 0)
			_exit(2);
		int dst = open((dir / "to").c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
		errno = 0;
		_exit(fcopyfile(src, dst, nullptr, COPYFILE_STAT) == -1 && errno == EPERM ? 0 : 1);
	}
	int status;
	ASSERT_EQ(waitpid(child, &status, 0), child);
	EXPECT_EQ(status, 0);
	close(src);
}

TEST(Preallocate, ReservesWithoutGrowingAndPassesOtherCommandsOn)
{
	TempDir dir;
	int fd = open_file(dir / "f", "four");
	ASSERT_GE(fd, 0);
	struct stat before, after;
	ASSERT_EQ(fstat(fd, &before), 0);
	fstore_t store = {F_ALLOCATEALL, F_PEOFPOSMODE, 0, 1 << 20, 0};
	ASSERT_EQ(fcntl(fd, F_PREALLOCATE, &store), 0) << strerror(errno);
	ASSERT_EQ(fstat(fd, &after), 0);
	EXPECT_EQ(after.st_size, 4);
	EXPECT_GE(after.st_blocks * 512, before.st_blocks * 512 + (1 << 20));
	EXPECT_EQ(store.fst_bytesalloc, 1 << 20);

	fstore_t volume = {F_ALLOCATEALL, F_VOLPOSMODE, 0, 4096, 0};
	fstore_t offset = {F_ALLOCATEALL, F_PEOFPOSMODE, 10, 4096, 0};
	for (fstore_t *bad : {&volume, &offset}) {
		errno = 0;
		EXPECT_EQ(fcntl(fd, F_PREALLOCATE, bad), -1);
		EXPECT_EQ(errno, EINVAL);
	}
	EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDWR);
	EXPECT_EQ(fcntl(fd, F_SETFL, O_APPEND), 0);
	EXPECT_NE(fcntl(fd, F_GETFL) & O_APPEND, 0);
	close(fd);
}

TEST(Preallocate, FullFileSystemRefusesAndChangesNothing)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root to mount a small file system";
	TempDir dir;
	pid_t child = fork();
	if (child == 0) {
		// A private mount of a small tmpfs, filled up but for one page.
		if (unshare(CLONE_NEWNS) != 0 ||
		    syscall(SYS_mount, nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
		    syscall(SYS_mount, "tmpfs", dir.path().c_str(), "tmpfs", 0, "size=256k") != 0)
			_exit(2);
		int fd = open((dir / "f").c_str(), O_RDWR | O_CREAT, 0600);
		int fill = open((dir / "fill").c_str(), O_WRONLY | O_CREAT, 0600);
		static char page[4096];
		while (write(fill, page, sizeof page) == ssize_t(sizeof page)) {
		}
		fstore_t store = {F_ALLOCATEALL, F_PEOFPOSMODE, 0, 64 * 1024, 0};
		errno = 0;
		bool refused = fcntl(fd, F_PREALLOCATE, &store) == -1 && errno == ENOSPC;
		struct stat st;
		fstat(fd, &st);
		_exit(refused && st.st_size == 0 && store.fst_bytesalloc == 0 ? 0 : 1);
	}
	int status;
	ASSERT_EQ(waitpid(child, &status, 0), child);
	EXPECT_EQ(status, 0);
}

}  // namespace
