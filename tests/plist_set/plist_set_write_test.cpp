// How plist_set writes a file, tried as an unlucky or hostile user would:
// a full disk, a file-size limit, runs at once, a name swapped after the
// read, files shared by group, links and attributes, huge files, a file
// mounted on its own, signals.  Races are driven by holding the file's lock
// from the test or by holding plist_set at a system call (syscall_gate),
// never by timing.  Scenarios run in a private root; the files live in a
// scratch folder of the host, seen as /data inside.
#include "plist_files.h"
#include "sandbox.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <regex>

using namespace plist_files;
using sandbox::Result;
using sandbox::Sandbox;
using sandbox::attributes;
using sandbox::TempDir;

namespace {

const std::string kSmall = kHead +
			   "<dict>\n\t<key>Label</key>\n\t<string>com.example.job</string>\n"
			   "\t<key>RunAtLoad</key>\n\t<true/>\n</dict>\n" + kTail;

// A dictionary of a few hundred kilobytes.
std::string large_plist()
{
	std::string s = kHead + "<dict>\n";
	char line[160];
	for (int i = 0; i < 4000; i++) {
		snprintf(line, sizeof line, "\t<key>k%05d</key>\n\t<string>%060d</string>\n", i, i);
		s += line;
	}
	return s + "</dict>\n" + kTail;
}

// user::rw-, user:1234:r--, group::r--, mask::r--, other::--- as Linux
// stores an access control list.
std::string acl_bytes()
{
	std::string acl("\x02\0\0\0", 4);
	const unsigned entries[][3] = {{0x01, 6, ~0u}, {0x02, 4, 1234}, {0x04, 4, ~0u}, {0x10, 4, ~0u}, {0x20, 0, ~0u}};
	for (const auto &e : entries) {
		uint16_t tag = uint16_t(e[0]), perm = uint16_t(e[1]);
		uint32_t id = e[2];
		acl.append(reinterpret_cast<const char *>(&tag), 2);
		acl.append(reinterpret_cast<const char *>(&perm), 2);
		acl.append(reinterpret_cast<const char *>(&id), 4);
	}
	return acl;
}

class PlistSetWrite : public testing::Test {
protected:
	void SetUp() override
	{
		REQUIRE_SANDBOX();
		box.binds.push_back({dir.path(), "/data"});
	}
	// A file in the scratch folder, its folders made as needed, and a
	// pristine copy outside it.
	void put(const std::string &name, const std::string &content, unsigned mode = 0644, int uid = 0, int gid = 0)
	{
		std::filesystem::create_directories(std::filesystem::path(dir / name).parent_path());
		sandbox::write_file(dir / name, content, mode);
		ASSERT_EQ(chown((dir / name).c_str(), uid, gid), 0);
		std::filesystem::create_directories(std::filesystem::path(originals / name).parent_path());
		sandbox::write_file(originals / name, content);
	}
	void folder(const std::string &name, unsigned mode, int uid = 0, int gid = 0)
	{
		std::filesystem::create_directories(dir / name);
		ASSERT_EQ(chown((dir / name).c_str(), uid, gid), 0);
		ASSERT_EQ(chmod((dir / name).c_str(), mode), 0);
	}
	std::string content(const std::string &name) { return sandbox::read_file(dir / name); }
	// Whether the file holds what it held, with key set to value.
	std::string check(const std::string &name, const std::string &key, const std::string &value)
	{
		return plistlib_check(originals / name, dir / name, key, value);
	}

	TempDir dir, originals;
	Sandbox box;
};

// On a full disk, and past the file-size limit, the write fails before the
// first byte of the file changes, by either way of writing, and leaves no
// new file behind; SIGXFSZ does not end the run.
TEST_F(PlistSetWrite, FullDiskAndFileSizeLimitLeaveTheFileWhole)
{
	put("large.plist", large_plist());
	Result r = box.sh(R"sh(
		mkdir /tmp/small && mount -t tmpfs -o size=1m tmpfs /tmp/small &&
		mkdir -m 0755 /tmp/small/rootdir /tmp/small/userdir &&
		chown 65534:65534 /tmp/small/userdir || exit 99
		for d in rootdir userdir; do
			cp /data/large.plist /tmp/small/$d/f.plist && chown 65534:65534 /tmp/small/$d/f.plist
		done
		user() { setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all "$@"; }
		report() {
			echo "$1 $2 status $3"
			cmp -s /data/large.plist /tmp/small/$2/f.plist && echo "$1 $2 intact"
			ls -A /tmp/small/$2
		}
		big=$(head -c 20000 /dev/zero | tr '\0' x)
		cat /dev/zero >/tmp/small/fill 2>/dev/null
		for d in rootdir userdir; do
			user plist_set /tmp/small/$d/f.plist big "$big"; report full $d $?
		done
		rm /tmp/small/fill
		limit=$(( $(stat -c %s /data/large.plist) + 10000 ))
		for d in rootdir userdir; do
			prlimit --fsize=$limit setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all \
				plist_set /tmp/small/$d/f.plist big "$big"
			report limit $d $?
		done
		prlimit --fsize=$limit plist_set /tmp/small/rootdir/f.plist big "$big"; report "root limit" rootdir $?
		# A write refused for space after the growth is in: the head.
		ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" strace -f -qq -o /dev/null \
			-e trace=pwrite64 -e inject=pwrite64:error=ENOSPC:when=2 \
			setpriv --reuid=65534 --regid=65534 --clear-groups plist_set /tmp/small/rootdir/f.plist big "$big"
		report "late full" rootdir $?
		# And the old bytes too: the growth is taken back all the same.
		ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" strace -f -qq -o /dev/null \
			-e trace=pwrite64 -e inject=pwrite64:error=ENOSPC:when=2..3 \
			setpriv --reuid=65534 --regid=65534 --clear-groups plist_set /tmp/small/rootdir/f.plist big "$big"
		report "late full twice" rootdir $?
		user plist_set /tmp/small/rootdir/f.plist big "$big"; echo "room again $?"
		cp /tmp/small/rootdir/f.plist /data/written.plist
	)sh");
	const std::string failed = "Failed to write property list to file \"/tmp/small/";
	EXPECT_EQ(r.err, failed + "rootdir/f.plist\"\n" + failed + "userdir/f.plist\"\n" + failed +
				 "rootdir/f.plist\"\n" + failed + "userdir/f.plist\"\n" + failed + "rootdir/f.plist\"\n" +
				 failed + "rootdir/f.plist\"\n" + failed + "rootdir/f.plist\"\n");
	EXPECT_EQ(r.out, "full rootdir status 1\nfull rootdir intact\nf.plist\n"
			 "full userdir status 1\nfull userdir intact\nf.plist\n"
			 "limit rootdir status 1\nlimit rootdir intact\nf.plist\n"
			 "limit userdir status 1\nlimit userdir intact\nf.plist\n"
			 "root limit rootdir status 1\nroot limit rootdir intact\nf.plist\n"
			 "late full rootdir status 1\nlate full rootdir intact\nf.plist\n"
			 "late full twice rootdir status 1\nlate full twice rootdir intact\nf.plist\n"
			 "room again 0\n");
	EXPECT_EQ(plistlib_check(originals / "large.plist", dir / "written.plist", "big", std::string(20000, 'x')),
		  "ok\n");
}

// Runs at once wait for one another: the test holds the file's lock until
// twenty runs wait for it, and then every run's key is there, by either way
// of writing.
TEST_F(PlistSetWrite, RunsAtOnceWaitForTheLockAndKeepEveryUpdate)
{
	put("original.plist", kSmall);
	folder("byrename", 0755);
	put("byrename/f.plist", kSmall);
	folder("inplace", 0755);
	put("inplace/f.plist", kSmall, 0644, 65534, 65534);
	const ino_t inode = stat_of(dir / "inplace/f.plist").st_ino;
	Result r = box.sh(R"sh(
		# Lines of /proc/locks for the file: its holder, then the runs waiting.
		waiting() { [ "$(grep -c -- "-> FLOCK .*:$(stat -c %i "$1") " /proc/locks)" -eq "$2" ]; }
		mkfifo /tmp/release
		for way in byrename inplace; do
			f=/data/$way/f.plist
			flock -x "$f" sh -c 'read x </tmp/release' &
			holder=$!
			wait_for grep -q "FLOCK .* $holder .*:$(stat -c %i "$f") " /proc/locks || exit 99
			pids=
			for i in $(seq 1 20); do
				if [ $way = inplace ]; then
					setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all \
						plist_set "$f" key$i value$i &
				else
					plist_set "$f" key$i value$i &
				fi
				pids="$pids $!"
			done
			wait_for waiting "$f" 20 || exit 98
			cmp -s "$f" /data/original.plist && echo "$way untouched while locked"
			echo >/tmp/release
			wait $holder
			for p in $pids; do wait $p; echo "$way status $?"; done >/tmp/statuses
			sort /tmp/statuses | uniq -c | sed 's/^ *//'
		done
	)sh");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.out, "byrename untouched while locked\n20 byrename status 0\n"
			 "inplace untouched while locked\n20 inplace status 0\n");
	std::map<std::string, std::string> keys;  // in plistlib's order
	for (int i = 1; i <= 20; i++)
		keys["key" + std::to_string(i)] = "value" + std::to_string(i);
	std::string expected = "Label=com.example.job\nRunAtLoad=True\n";
	for (const auto &[key, value] : keys)
		expected += key + "=" + value + "\n";
	EXPECT_EQ(plist_check({"show", dir / "byrename/f.plist"}), expected);
	EXPECT_EQ(plist_check({"show", dir / "inplace/f.plist"}), expected);
	struct stat st = stat_of(dir / "inplace/f.plist");
	EXPECT_EQ(st.st_ino, inode);
	EXPECT_EQ(st.st_uid, 65534u);
	EXPECT_EQ(names(dir / "byrename"), std::vector<std::string>{"f.plist"});
}

// Root sets a key in a user's file in a sticky folder; the user swaps the
// name for a symbolic link after the read.  Nothing is written through the
// link: before the last check the run refuses and changes nothing, at the
// rename itself the link is replaced, not followed.
TEST_F(PlistSetWrite, NameSwappedAfterTheReadLeadsNowhere)
{
	folder("sticky", 01777);
	put("sticky/f.plist", kSmall, 0644, 1000, 1000);
	folder("secret", 0700);
	put("secret/s.plist", kSmall, 0600);
	folder("LaunchDaemons", 0755);
	sandbox::write_file(originals / "read.plist", kSmall);
	Result r = box.sh(R"sh(
		as1000='setpriv --reuid=1000 --regid=1000 --clear-groups --inh-caps=-all sh -c'
		cd /data/sticky
		syscall_gate chdir "$as1000 'mv f.plist read.plist && ln -s /data/secret/s.plist f.plist'" \
			plist_set /data/sticky/f.plist Label evil
		echo "to a root file $?"
		$as1000 'rm f.plist && cp read.plist f.plist'
		syscall_gate chdir "$as1000 'rm f.plist && ln -s /data/LaunchDaemons/evil.plist f.plist'" \
			plist_set /data/sticky/f.plist Label evil
		echo "to a missing file $?"
		$as1000 'rm f.plist && cp read.plist f.plist'
		syscall_gate rename "$as1000 'mv f.plist moved.plist && ln -s /data/secret/s.plist f.plist'" \
			plist_set /data/sticky/f.plist Label evil
		echo "at the rename $?"
	)sh");
	const std::string failed = "Failed to write property list to file \"/data/sticky/f.plist\"\n";
	EXPECT_EQ(r.err, failed + failed);
	EXPECT_EQ(r.out, "to a root file 1\nto a missing file 1\nat the rename 0\n");
	EXPECT_EQ(content("secret/s.plist"), kSmall);
	EXPECT_EQ(stat_of(dir / "secret/s.plist").st_mode & 07777, 0600u);
	EXPECT_TRUE(names(dir / "LaunchDaemons").empty());
	EXPECT_EQ(names(dir / "sticky"), (std::vector<std::string>{"f.plist", "moved.plist", "read.plist"}));
	EXPECT_EQ(content("sticky/read.plist"), kSmall);  // the files read, untouched
	EXPECT_EQ(content("sticky/moved.plist"), kSmall);
	struct stat st = stat_of(dir / "sticky/f.plist");
	EXPECT_TRUE(S_ISREG(st.st_mode));
	EXPECT_EQ(st.st_uid, 1000u);
	EXPECT_EQ(plistlib_check(originals / "read.plist", dir / "sticky/f.plist", "Label", "evil"), "ok\n");
}

// A group member's edit keeps the owner; hard links stay one file;
// extended attributes and access lists survive a replacement by rename.
TEST_F(PlistSetWrite, OwnerLinksAndAttributesAreKept)
{
	folder("group", 0775, 1000, 50);
	put("group/f.plist", kSmall, 0664, 1000, 50);
	put("links/f.plist", kSmall);
	ASSERT_EQ(link((dir / "links/f.plist").c_str(), (dir / "links/other.plist").c_str()), 0);
	put("attrs/f.plist", kSmall, 0640, 1234, 5678);
	folder("mine", 0755, 65534, 65534);
	put("mine/f.plist", kSmall, 0600, 65534, 65534);
	const std::string acl = acl_bytes();
	for (const char *name : {"attrs/f.plist", "mine/f.plist"}) {
		ASSERT_EQ(setxattr((dir / name).c_str(), "user.comment", "kept", 4, 0), 0);
		ASSERT_EQ(setxattr((dir / name).c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0), 0);
	}
	const auto attrs_before = attributes(dir / "attrs/f.plist");
	const struct stat attrs_st = stat_of(dir / "attrs/f.plist"), mine_st = stat_of(dir / "mine/f.plist");

	Result r = box.sh(R"sh(
		setpriv --reuid=1001 --regid=1001 --groups=50 --inh-caps=-all plist_set /data/group/f.plist member 1001
		echo "member $?"
		setpriv --reuid=1000 --regid=50 --groups=50 --inh-caps=-all plist_set /data/group/f.plist owner 1000
		echo "owner $?"
		plist_set /data/links/other.plist linked yes; echo "links $?"
		plist_set /data/attrs/f.plist k v; echo "attributes $?"
		setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all plist_set /data/mine/f.plist k v
		echo "mine $?"
	)sh");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.out, "member 0\nowner 0\nlinks 0\nattributes 0\nmine 0\n");

	struct stat st = stat_of(dir / "group/f.plist");
	EXPECT_EQ(st.st_uid, 1000u);
	EXPECT_EQ(st.st_gid, 50u);
	EXPECT_EQ(st.st_mode & 07777, 0664u);
	EXPECT_EQ(plist_check({"show", dir / "group/f.plist"}),
		  "Label=com.example.job\nRunAtLoad=True\nmember=1001\nowner=1000\n");

	st = stat_of(dir / "links/f.plist");
	EXPECT_EQ(st.st_nlink, 2u);
	EXPECT_EQ(st.st_ino, stat_of(dir / "links/other.plist").st_ino);
	EXPECT_EQ(check("links/f.plist", "linked", "yes"), "ok\n");

	st = stat_of(dir / "attrs/f.plist");
	EXPECT_NE(st.st_ino, attrs_st.st_ino);  // replaced by rename
	EXPECT_EQ(st.st_uid, 1234u);
	EXPECT_EQ(st.st_gid, 5678u);
	EXPECT_EQ(st.st_mode, attrs_st.st_mode);
	EXPECT_EQ(attributes(dir / "attrs/f.plist"), attrs_before);
	EXPECT_EQ(check("attrs/f.plist", "k", "v"), "ok\n");

	st = stat_of(dir / "mine/f.plist");
	EXPECT_NE(st.st_ino, mine_st.st_ino);
	EXPECT_EQ(st.st_uid, 65534u);
	EXPECT_EQ(st.st_mode, mine_st.st_mode);
	EXPECT_EQ(attributes(dir / "mine/f.plist"), attrs_before);
	EXPECT_EQ(check("mine/f.plist", "k", "v"), "ok\n");
	EXPECT_EQ(names(dir / "mine"), std::vector<std::string>{"f.plist"});
}

// Files of 2 GiB or more are refused before anything is read or
// allocated; below that, memory that cannot be had is a refusal too.
TEST_F(PlistSetWrite, HugeFilesAreRefusedInBoundedMemory)
{
	const std::vector<std::pair<std::string, uintmax_t>> files = {
		{"almost.plist", (uintmax_t(1) << 31) - 1}, {"2g.plist", uintmax_t(1) << 31}, {"64g.plist", uintmax_t(64) << 30}};
	for (const auto &[name, size] : files) {
		put(name, kSmall);
		std::filesystem::resize_file(dir / name, size);
	}
#ifdef __SANITIZE_ADDRESS__
	// The sanitizer's shadow memory cannot live in a small address space,
	// and the file just below the limit would be read whole.
	const std::string limit = "", almost = "";
#else
	const std::string limit = "prlimit --as=536870912 ", almost = "almost ";
#endif
	// A user-mode emulator running a 32-bit build reserves its guest's
	// whole address space up front unless told to take less.
	Result r = box.sh("export QEMU_RESERVED_VA=256M; for f in " + almost + "2g 64g; do " + limit +
			  "plist_set /data/$f.plist k v; echo \"$f $?\"; done");
	EXPECT_EQ(r.out, (almost.empty() ? "" : "almost 1\n") + std::string("2g 1\n64g 1\n"));
	std::string expected;
	for (size_t i = 0; i < (almost.empty() ? 2u : 3u); i++)
		expected += "NULL property list.\n";
	EXPECT_EQ(r.err, expected);
	for (const auto &[name, size] : files)
		EXPECT_EQ(uintmax_t(stat_of(dir / name).st_size), size);
}

// A single file mounted into a folder (as into a container) cannot be
// renamed over: it is written in place.
TEST_F(PlistSetWrite, FileMountedOnItsOwnIsWrittenInPlace)
{
	put("source.plist", kSmall);
	put("etc/config.plist", "placeholder");
	Result r = box.sh("mount --bind /data/source.plist /data/etc/config.plist && "
			  "plist_set /data/etc/config.plist k v; echo \"status $?\"; ls -A /data/etc");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.out, "status 0\nconfig.plist\n");
	EXPECT_EQ(check("source.plist", "k", "v"), "ok\n");
	EXPECT_EQ(content("etc/config.plist"), "placeholder");
}

// The rename way's new file goes with the run on every signal that ends it
// but SIGKILL, which leaves it under a name that says what it is.  In
// place, those signals wait until the file is whole.  A run with its
// standard descriptors closed writes no message into the file.
TEST_F(PlistSetWrite, SignalsLeaveNoNewFileAndNoHalfFile)
{
	folder("r", 0755);
	put("r/f.plist", kSmall);
	folder("p", 0755);
	put("p/f.plist", kSmall, 0644, 65534, 65534);
	folder("q", 0755);
	put("q/f.plist", kSmall, 0644, 65534, 65534);
	put("array.plist", kHead + "<array/>\n" + kTail);
	Result r = box.sh(R"sh(
		for sig in TERM INT HUP ALRM USR1 KILL; do
			syscall_gate fsync "kill -$sig \$1" plist_set /data/r/f.plist k v; echo "$sig $?"
		done
		syscall_gate pwrite 'kill -TERM $1' \
			setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all plist_set /data/p/f.plist k v
		echo "in place TERM $?"
		syscall_gate pwrite 'kill -USR2 $1' \
			setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all plist_set /data/q/f.plist k v
		echo "in place USR2 $?"
		plist_set /data/array.plist k v <&- >&- 2>&-; echo "closed $?"
	)sh");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.out, "TERM 143\nINT 130\nHUP 129\nALRM 142\nUSR1 138\nKILL 137\nin place TERM 143\n"
			 "in place USR2 140\nclosed 1\n");
	EXPECT_EQ(content("r/f.plist"), kSmall);
	const std::vector<std::string> left = names(dir / "r");
	ASSERT_EQ(left.size(), 2u);
	EXPECT_TRUE(std::regex_match(left[0], std::regex("\\.f\\.plist\\.plist_set-tmp\\.[A-Za-z0-9]{6}"))) << left[0];
	EXPECT_EQ(left[1], "f.plist");
	EXPECT_EQ(check("p/f.plist", "k", "v"), "ok\n");
	EXPECT_EQ(check("q/f.plist", "k", "v"), "ok\n");
	EXPECT_EQ(content("array.plist"), kHead + "<array/>\n" + kTail);
}

}  // namespace
