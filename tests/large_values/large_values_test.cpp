// The programs on values beyond 32 bits, in a private root: inode numbers
// of 2^32 and more (an overlay with xino=on) and a file system of 20 TiB.
// A 32-bit build gets them right only with 64-bit file offsets.
#include "sandbox.h"

#include <regex>

using sandbox::Result;
using sandbox::Sandbox;

namespace {

// /var/run, /usr/local and /Library become overlays of two tmpfs layers:
// what lies in the lower layer shows inode numbers of 2^32 and more.
const std::string layout = R"sh(
D=/sandbox/bin/ardova_ntfs_daemon
PIDFILE=/var/run/ardova_ntfs_daemon.pid
SUPPORT=/Library/Filesystems/fusefs_ardntfs.fs/Contents/Resources/Support
st() { echo "status $?"; }
overlay() {
	mkdir -p "/layers$1/up" && mount -t tmpfs none "/layers$1/up" &&
	mkdir "/layers$1/up/upper" "/layers$1/up/work" &&
	mount -t overlay overlay -o "lowerdir=/layers$1/lower,upperdir=/layers$1/up/upper,workdir=/layers$1/up/work,xino=on" "$1"
}
large_inode() { awk -v i="$(stat -c %i "$1")" 'BEGIN { exit !(i >= 4294967296) }' && echo "$1: large inode"; }

mkdir -p /layers/var/run/lower /layers/usr/local/lower/sbin "/layers/Library/lower/$SUPPORT" /layers/Library/lower/Preferences
echo 999999 >/layers/var/run/lower/ardova_ntfs_daemon.pid
ln -s /nowhere /layers/usr/local/lower/sbin/mount_fusefs_ardntfs
touch "/layers/Library/lower/$SUPPORT/mount_fusefs_ardntfs" "/layers/Library/lower/$SUPPORT/newfs_fusefs_ardntfs"
printf '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">\n<dict><key>Name</key><string>old</string></dict>\n</plist>\n' \
	>/layers/Library/lower/Preferences/test.plist
for dir in /var/run /usr/local /Library; do overlay $dir; done
mkdir /big && mount -t tmpfs -o size=20t,nosuid none /big
)sh";

class LargeValues : public testing::Test {
protected:
	void SetUp() override { REQUIRE_SANDBOX(); }
	Sandbox box;
};

TEST_F(LargeValues, InodeNumbersAndFileSystemSizesBeyond32Bits)
{
	// A program that spins on an error it cannot get past never ends.
	box.timeout = std::chrono::seconds(60);
	Result r = box.sh(layout + R"sh(
		for f in $PIDFILE /usr/local/sbin /usr/local/sbin/mount_fusefs_ardntfs /Library/Preferences/test.plist; do
			large_inode $f
		done
		echo "/big: $(stat -f -c %b /big) blocks of $(stat -f -c %S /big)"

		mntflags /big; st
		mntflags /usr/local/sbin; st

		plist_set /Library/Preferences/test.plist Name new; st
		cat /Library/Preferences/test.plist

		sbin_link_repair; st
		readlink /usr/local/sbin/mount_fusefs_ardntfs /usr/local/sbin/newfs_fusefs_ardntfs

		timeout 30 $D; st
		inst=$(cat $PIDFILE) && kill -0 $inst && echo "instance running"
		timeout 30 $D -u; st
		wait_exit $inst && echo "instance gone"
	)sh");
	const std::string out = std::regex_replace(r.out, std::regex("process id [0-9]+\\."), "process id N.");
	EXPECT_EQ(out,
		  "/var/run/ardova_ntfs_daemon.pid: large inode\n"
		  "/usr/local/sbin: large inode\n"
		  "/usr/local/sbin/mount_fusefs_ardntfs: large inode\n"
		  "/Library/Preferences/test.plist: large inode\n"
		  "/big: 5368709120 blocks of 4096\n"
		  // mntflags
		  "MNT_NOSUID\nstatus 0\n"
		  "MNT_UNION\nstatus 0\n"
		  // plist_set
		  "status 0\n"
		  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
		  "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
		  "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
		  "<plist version=\"1.0\">\n<dict>\n\t<key>Name</key>\n\t<string>new</string>\n</dict>\n</plist>\n"
		  // sbin_link_repair
		  "Successfully repaired symlink: \"/usr/local/sbin/mount_fusefs_ardntfs\"\n"
		  "Successfully repaired symlink: \"/usr/local/sbin/newfs_fusefs_ardntfs\"\n"
		  "status 0\n"
		  "../../../Library/Filesystems/fusefs_ardntfs.fs/Contents/Resources/Support/mount_fusefs_ardntfs\n"
		  "../../../Library/Filesystems/fusefs_ardntfs.fs/Contents/Resources/Support/newfs_fusefs_ardntfs\n"
		  // the daemon, over a stale record
		  "Unloading existing instance of ardova_ntfs_daemon...\n"
		  "Orphaned .pid file found. Removing it.\n"
		  "ardova_ntfs_daemon started with process id N.\n"
		  "status 0\ninstance running\n"
		  "Unloading all running instances of ardova_ntfs_daemon...\n"
		  "status 0\ninstance gone\n");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0) << r;
}

}  // namespace
