// open() with the target's O_EXLOCK and O_SHLOCK.
#include "locked_open.h"
#include "sandbox.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

extern "C" int open64(const char *path, int flags, ...);
extern "C" int __open_2(const char *path, int flags);
extern "C" int __open64_2(const char *path, int flags);

// What the platform layer hands the C library's openat() for one watched
// path, seen by standing in for openat() and openat64(): a definition in
// the program comes before the library's.  The library may add flags of
// its own below this point; these are the caller's.
namespace watch {
std::string path;
std::atomic<int> flags{-1};
}  // namespace watch

template <const char *name> int watched_openat(int dirfd, const char *path, int flags, va_list ap)
{
	using Openat = int (*)(int, const char *, int, ...);
	static const Openat next = reinterpret_cast<Openat>(dlsym(RTLD_NEXT, name));
	const mode_t mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? mode_t(va_arg(ap, int)) : 0;
	if (!watch::path.empty() && (watch::path == path || watch::path.rfind(std::string(path) + "/", 0) == 0))
		watch::flags = flags;
	return next(dirfd, path, flags, mode);
}

constexpr char openat_name[] = "openat";
constexpr char openat64_name[] = "openat64";
extern "C" int watched_openat32(int dirfd, const char *path, int flags, ...) __asm__("openat");
extern "C" int watched_openat64(int dirfd, const char *path, int flags, ...) __asm__("openat64");

int watched_openat32(int dirfd, const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	int fd = watched_openat<openat_name>(dirfd, path, flags, ap);
	va_end(ap);
	return fd;
}

int watched_openat64(int dirfd, const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	int fd = watched_openat<openat64_name>(dirfd, path, flags, ap);
	va_end(ap);
	return fd;
}

namespace {

using sandbox::read_file;
using sandbox::TempDir;
using sandbox::write_file;

// Whether a new open file description of path could take the lock now;
// flock locks conflict between descriptions even within one process.
bool lockable(const std::string &path, int operation = LOCK_EX)
{
	int fd = ::open(path.c_str(), O_RDONLY);
	if (fd < 0)
		return false;
	bool ok = flock(fd, operation | LOCK_NB) == 0;
	close(fd);
	return ok;
}

std::vector<std::string> names_in(const std::string &folder)
{
	std::vector<std::string> names;
	for (const auto &e : std::filesystem::directory_iterator(folder))
		names.push_back(e.path().filename());
	std::sort(names.begin(), names.end());
	return names;
}

// Whether some process waits for a flock lock on the file's inode.
bool someone_waits_for(const std::string &path)
{
	struct stat st;
	if (stat(path.c_str(), &st) != 0)
		return false;
	std::ifstream locks("/proc/locks");
	const std::string inode = ":" + std::to_string(st.st_ino) + " ";
	for (std::string line; std::getline(locks, line);) {
		if (line.find("->") != std::string::npos && line.find("FLOCK") != std::string::npos &&
		    line.find(inode) != std::string::npos)
			return true;
	}
	return false;
}

template <class F> bool eventually(F condition)
{
	auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
	while (!condition()) {
		if (std::chrono::steady_clock::now() > deadline)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(2));
	}
	return true;
}

class LockedOpen : public testing::Test {
protected:
	TempDir dir;
	std::string file = dir / "file";
};

TEST_F(LockedOpen, ExclusiveAndSharedLocksAreHeldUntilClose)
{
	write_file(file, "abc");
	int ex = open(file.c_str(), O_RDWR | O_EXLOCK);
	ASSERT_GE(ex, 0) << strerror(errno);
	EXPECT_FALSE(lockable(file, LOCK_SH));
	close(ex);
	EXPECT_TRUE(lockable(file));

	int sh1 = open(file.c_str(), O_RDONLY | O_SHLOCK);
	int sh2 = open(file.c_str(), O_RDONLY | O_SHLOCK | O_NONBLOCK);
	ASSERT_GE(sh1, 0);
	ASSERT_GE(sh2, 0) << "shared locks go together";
	EXPECT_TRUE(lockable(file, LOCK_SH));
	EXPECT_FALSE(lockable(file, LOCK_EX));
	close(sh1);
	close(sh2);
	EXPECT_TRUE(lockable(file));
	EXPECT_EQ(read_file(file), "abc");
}

TEST_F(LockedOpen, NonBlockingOpenFailsWithoutLeakingItsDescriptor)
{
	write_file(file, "abc");
	int holder = open(file.c_str(), O_RDWR | O_EXLOCK);
	ASSERT_GE(holder, 0);
	const auto before = names_in("/proc/self/fd").size();
	errno = 0;
	EXPECT_EQ(open(file.c_str(), O_RDWR | O_EXLOCK | O_NONBLOCK), -1);
	EXPECT_EQ(errno, EWOULDBLOCK);
	EXPECT_EQ(open(file.c_str(), O_RDONLY | O_SHLOCK | O_NONBLOCK), -1);
	EXPECT_EQ(errno, EWOULDBLOCK);
	EXPECT_EQ(names_in("/proc/self/fd").size(), before);
	close(holder);
}

TEST_F(LockedOpen, BlockingOpenWaitsAndTruncatesOnlyOnceItHoldsTheLock)
{
	write_file(file, "abc");
	int holder = open(file.c_str(), O_RDWR | O_EXLOCK);
	ASSERT_GE(holder, 0);
	std::atomic<int> waiter{-2};
	std::thread t([&] { waiter = open(file.c_str(), O_RDWR | O_TRUNC | O_EXLOCK); });
	ASSERT_TRUE(eventually([&] { return someone_waits_for(file); }));
	EXPECT_EQ(waiter, -2);
	EXPECT_EQ(read_file(file), "abc") << "truncated before the lock was granted";
	close(holder);
	t.join();
	ASSERT_GE(waiter, 0);
	EXPECT_EQ(read_file(file), "");
	EXPECT_FALSE(lockable(file));
	close(waiter);
}

TEST_F(LockedOpen, BothLockKindsAtOnceAreInvalid)
{
	write_file(file, "abc");
	errno = 0;
	EXPECT_EQ(open(file.c_str(), O_RDWR | O_EXLOCK | O_SHLOCK), -1);
	EXPECT_EQ(errno, EINVAL);
}

TEST_F(LockedOpen, OnlyFilesAndFoldersCanBeLocked)
{
	// As on the target, whose lock call refuses anything else; a reader
	// of a locked FIFO would wait for ever.
	const std::string fifo = dir / "fifo";
	ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
	const auto before = names_in("/proc/self/fd").size();
	errno = 0;
	EXPECT_EQ(open(fifo.c_str(), O_RDWR | O_EXLOCK), -1);
	EXPECT_EQ(errno, ENOTSUP);
	errno = 0;
	EXPECT_EQ(open("/dev/null", O_RDWR | O_SHLOCK), -1);
	EXPECT_EQ(errno, ENOTSUP);
	EXPECT_EQ(names_in("/proc/self/fd").size(), before);
	int folder = open(dir.path().c_str(), O_RDONLY | O_EXLOCK);
	EXPECT_GE(folder, 0) << strerror(errno);
	close(folder);
}

TEST_F(LockedOpen, OpensWithoutLockBitsAreUntouched)
{
	int fd = open(file.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
	ASSERT_GE(fd, 0);
	EXPECT_TRUE(lockable(file));
	close(fd);
	EXPECT_EQ(open(file.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600), -1);
	EXPECT_EQ(errno, EEXIST);
	EXPECT_EQ(open((dir / "missing").c_str(), O_RDONLY), -1);
	EXPECT_EQ(errno, ENOENT);
}

TEST_F(LockedOpen, LargeFileAndFortifiedFormsLockToo)
{
	write_file(file, "abc");
	int a = open64(file.c_str(), O_RDWR | O_EXLOCK);
	ASSERT_GE(a, 0);
	EXPECT_FALSE(lockable(file));
	close(a);
	int b = __open_2(file.c_str(), O_RDONLY | O_SHLOCK);
	ASSERT_GE(b, 0);
	EXPECT_FALSE(lockable(file, LOCK_EX));
	close(b);
}

// A 32-bit program built with 64-bit file offsets calls the 64 forms; the
// kernel opens a file of 2 GiB or more for it only with O_LARGEFILE.  (In
// 64-bit programs the flag is 0 and the kernel implies it.)
TEST_F(LockedOpen, LargeFileFormsAskForLargeFiles)
{
	write_file(file, "abc");
	const std::string created = dir / "created";
	watch::path = file;
	struct Case {
		const char *form;
		std::function<int()> open;
		const std::string &path;
	} cases[] = {
		{"open64", [&] { return open64(file.c_str(), O_RDONLY); }, file},
		{"open64 locked", [&] { return open64(file.c_str(), O_RDWR | O_EXLOCK); }, file},
		{"__open64_2", [&] { return __open64_2(file.c_str(), O_RDONLY | O_SHLOCK); }, file},
		{"open64 created locked",
		 [&] { return open64(created.c_str(), O_RDWR | O_CREAT | O_EXCL | O_EXLOCK, 0644); }, created},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.form);
		watch::path = c.path;
		watch::flags = -1;
		int fd = c.open();
		ASSERT_GE(fd, 0) << strerror(errno);
		close(fd);
		ASSERT_NE(watch::flags, -1) << "openat() was not called for " << c.path;
		EXPECT_EQ(watch::flags & O_LARGEFILE, O_LARGEFILE);
	}
	watch::path.clear();
}

// What every way of creating must give: the file, locked, with its mode and
// access, and no other name left in the folder.
void expect_created_locked(const TempDir &dir, const std::string &file, int fd)
{
	ASSERT_GE(fd, 0) << strerror(errno);
	EXPECT_FALSE(lockable(file));
	struct stat st;
	ASSERT_EQ(fstat(fd, &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0640u);
	EXPECT_EQ(st.st_nlink, 1u);
	EXPECT_EQ(write(fd, "12\n", 3), 3);
	EXPECT_EQ(read_file(file), "12\n");
	EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
	EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"file"});
	close(fd);
	EXPECT_TRUE(lockable(file));
}

TEST_F(LockedOpen, ExclusiveCreateIsLockedFromTheStart)
{
	mode_t old_umask = umask(022);
	expect_created_locked(dir, file, open(file.c_str(), O_RDWR | O_EXLOCK | O_CREAT | O_EXCL | O_CLOEXEC, 0660));
	umask(old_umask);
}

TEST_F(LockedOpen, ExclusiveCreateWithoutUnnamedFiles)
{
	mode_t old_umask = umask(022);
	expect_created_locked(
		dir, file, compat::create_locked(file.c_str(), O_RDWR | O_EXLOCK | O_CREAT | O_EXCL | O_CLOEXEC, 0660, false));
	umask(old_umask);
}

TEST_F(LockedOpen, ExclusiveCreateRefusesAnyExistingName)
{
	for (bool use_tmpfile : {true, false}) {
		SCOPED_TRACE(use_tmpfile ? "unnamed file" : "hidden name");
		TempDir d;
		const int flags = O_RDWR | O_EXLOCK | O_CREAT | O_EXCL;
		write_file(d / "file", "old");
		errno = 0;
		EXPECT_EQ(compat::create_locked((d / "file").c_str(), flags, 0644, use_tmpfile), -1);
		EXPECT_EQ(errno, EEXIST);
		EXPECT_EQ(read_file(d / "file"), "old");

		// A dangling link is a name too, and is not followed.
		ASSERT_EQ(symlink((d / "target").c_str(), (d / "link").c_str()), 0);
		EXPECT_EQ(compat::create_locked((d / "link").c_str(), flags, 0644, use_tmpfile), -1);
		EXPECT_EQ(errno, EEXIST);
		EXPECT_EQ(compat::create_locked((d / "no/such").c_str(), flags, 0644, use_tmpfile), -1);
		EXPECT_EQ(errno, ENOENT);
		EXPECT_EQ(names_in(d.path()), (std::vector<std::string>{"file", "link"}));
	}
}

TEST_F(LockedOpen, CreateThroughALinkedFolderWithNoFollow)
{
	// O_NOFOLLOW is about the last name; the folder may be a link.
	std::filesystem::create_directory(dir / "real");
	ASSERT_EQ(symlink((dir / "real").c_str(), (dir / "run").c_str()), 0);
	int fd = open((dir / "run/file").c_str(), O_RDWR | O_EXLOCK | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
	ASSERT_GE(fd, 0) << strerror(errno);
	EXPECT_FALSE(lockable(dir / "real/file"));
	close(fd);
}

TEST_F(LockedOpen, CreateWithoutExclusiveLocksNewOrExistingFile)
{
	int fd = open(file.c_str(), O_RDWR | O_EXLOCK | O_CREAT, 0644);
	ASSERT_GE(fd, 0);
	EXPECT_FALSE(lockable(file));
	EXPECT_EQ(write(fd, "abc", 3), 3);
	close(fd);
	fd = open(file.c_str(), O_RDWR | O_EXLOCK | O_CREAT, 0644);
	ASSERT_GE(fd, 0);
	EXPECT_FALSE(lockable(file));
	EXPECT_EQ(read_file(file), "abc");
	close(fd);
}

// A watcher opens and locks the name as fast as it can while it is created
// and removed over and over.  The lock must never be had while the name
// exists: the creator holds it from before the name appears until after it
// is gone.
void expect_name_never_appears_unlocked(const std::string &file, bool use_tmpfile)
{
	int report[2];
	ASSERT_EQ(pipe(report), 0);
	pid_t watcher = fork();
	ASSERT_GE(watcher, 0);
	if (watcher == 0) {
		close(report[0]);
		for (;;) {
			int fd = ::open(file.c_str(), O_RDONLY);
			if (fd < 0)
				continue;
			struct stat st;
			if (flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &st) == 0 && st.st_nlink > 0) {
				(void)!write(report[1], "x", 1);
				_exit(0);
			}
			close(fd);
		}
	}
	close(report[1]);
	fcntl(report[0], F_SETFL, O_NONBLOCK);
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(700);
	int rounds = 0;
	while (std::chrono::steady_clock::now() < deadline) {
		int fd = compat::create_locked(file.c_str(), O_RDWR | O_EXLOCK | O_CREAT | O_EXCL, 0644, use_tmpfile);
		ASSERT_GE(fd, 0) << strerror(errno);
		unlink(file.c_str());
		close(fd);
		rounds++;
	}
	kill(watcher, SIGKILL);
	waitpid(watcher, nullptr, 0);
	char buf[256];
	ssize_t early = read(report[0], buf, sizeof buf);
	close(report[0]);
	EXPECT_LE(early, 0) << "the watcher locked a named file before its creator in " << rounds << " rounds";
	EXPECT_GT(rounds, 100);
}

TEST_F(LockedOpen, NameNeverAppearsUnlocked)
{
	expect_name_never_appears_unlocked(file, true);
	expect_name_never_appears_unlocked(file, false);
}

}  // namespace
