// ardova_ntfs_daemon in a private root: real processes, signals, pid files
// and FUSE volumes.  Each scenario is one shell script; the daemon's own
// lines reach the script's standard output and standard error, and the
// script adds what it observes ("status N", "gone", ...).
#include "sandbox.h"

#include <regex>

using sandbox::Result;
using sandbox::Sandbox;

namespace {

// Helpers for the scenarios, on top of lib.sh.
const std::string prelude = R"sh(
D=/sandbox/bin/ardova_ntfs_daemon
PIDFILE=/var/run/ardova_ntfs_daemon.pid
# Test volumes, the FUSE servers' chatter left out.
vol() { mount_testvol "$@" 2>/dev/null; }
st() { echo "status $?"; }
recorded() { cat "$PIDFILE" 2>/dev/null; }
alive() { kill -0 "$1" 2>/dev/null && ! grep -q '^State:.*Z' "/proc/$1/status" 2>/dev/null; }
say_alive() { if alive "$1"; then echo "$2 alive"; else echo "$2 gone"; fi; }
say_mounted() { if is_mounted "$1"; then echo "$1 mounted"; else echo "$1 unmounted"; fi; }
say_pidfile() { if [ -e "$PIDFILE" ]; then echo "pid file: $(recorded | tr '\n' '|')"; else echo "no pid file"; fi; }
# Every thread of the process has stopped (SIGSTOP takes effect later).
all_stopped() { ! grep -L '^State:.*stopped' /proc/$1/task/*/status | grep -q .; }
# The instance waits for requests, its handlers installed: it sleeps in
# sigsuspend.  (Which signals a process catches, as /proc shows it, would
# be a user-mode emulator's own where one runs the program.)
ready() { grep -q '^sigsuspend' "/proc/$1/wchan"; }
# start: a background instance whose lines go to /tmp/inst.out and
# /tmp/inst.err; its id in $INST.
start() { "$D" >/tmp/inst.out 2>/tmp/inst.err && INST=$(recorded) && wait_for ready "$INST"; }
# The process waits for a file lock.
waits_for_lock() { grep -q lock "/proc/$1/wchan"; }
# At least N passes of the instance failed on /tmp/vol.
failed_passes() { [ "$(grep -c 'Could not unmount /tmp/vol!' /tmp/inst.err)" -ge "$1" ]; }
# How many live processes run as an instance ("... -f"), whatever their path.
running() {
	n=0
	for c in /proc/[0-9]*/cmdline; do
		p=${c#/proc/}; p=${p%/cmdline}
		case "$(tr '\0' ' ' 2>/dev/null <"$c")" in
		*ardova_ntfs_daemon*" -f ") alive "$p" && n=$((n + 1)) ;;
		esac
	done
	echo "running: $n"
}
# The process waits to write into a full pipe.
in_write() { grep -q pipe_write "/proc/$1/wchan"; }
# Standard error of a process held in a full FIFO: fill_fifo makes the FIFO,
# open on descriptor 7, and fills it; drain_fifo lets the writer go on;
# rest_of_fifo prints what was written after that, once the writer is done.
fill_fifo() { mkfifo /tmp/fifo && exec 7<>/tmp/fifo && head -c 65536 /dev/zero >&7; }
drain_fifo() { dd bs=65536 count=1 iflag=fullblock <&7 >/dev/null 2>&1; }
rest_of_fifo() { echo END >&7; while read -r l <&7; do [ "$l" = END ] && break; echo "$l"; done; }
)sh";

// Process ids differ from run to run.
std::string without_ids(std::string text)
{
	text = std::regex_replace(text, std::regex("process id [0-9]+\\."), "process id N.");
	text = std::regex_replace(text, std::regex("kill process [0-9]+!"), "kill process N!");
	text = std::regex_replace(text, std::regex("pid file: [0-9]+\\|"), "pid file: N|");
	return text;
}

class Daemon : public testing::Test {
protected:
	void SetUp() override { REQUIRE_SANDBOX_WITH_FUSE(); }

	Result sh(const std::string &script)
	{
		Result r = box.sh(prelude + script);
		r.out = without_ids(r.out);
		r.err = without_ids(r.err);
		EXPECT_EQ(r.status, 0) << r;
		EXPECT_FALSE(r.timed_out) << r;
		return r;
	}

	Sandbox box;
};

const std::string E = "[ardova_ntfs_daemon] ERROR: ";
const std::string unloading_all = "Unloading all running instances of ardova_ntfs_daemon...\n";
const std::string unloading_and_unmounting = "Unloading all running instances of ardova_ntfs_daemon and unmounting...\n";
const std::string unloading_existing = "Unloading existing instance of ardova_ntfs_daemon...\n";
const std::string started = "ardova_ntfs_daemon started with process id N.\n";
const std::string orphaned = "Orphaned .pid file found. Removing it.\n";
const std::string no_instance = E + "Could not find any running instance.\n";
const std::string no_rights =
	"Could not open .pid-file for writing! (Are you running the program with sufficient privileges?)\n";

// --- command line -------------------------------------------------------

TEST_F(Daemon, AnyOtherCommandLinePrintsUsage)
{
	Result r = sh(R"sh(
		$D -x; st
		$D -U; st
		$D u; st
		$D -u -s; st
		$D -f extra; st
		$D -s -u; st
		$D ""; st
		$D --; st
		say_pidfile
	)sh");
	std::string usage;
	for (int i = 0; i < 8; i++)
		usage += "usage: ardova_ntfs_daemon [-u]\nstatus 1\n";
	EXPECT_EQ(r.out, usage + "no pid file\n");
	EXPECT_EQ(r.err, "");
}

// --- start and stop -----------------------------------------------------

TEST_F(Daemon, StartRecordsTheInstanceAndStopKillsItLeavingVolumesMounted)
{
	Result r = sh(R"sh(
		vol /tmp/vol
		$D; st
		inst=$(recorded)
		wait_for ready $inst
		args $inst
		stat -c '%a %s' $PIDFILE
		[ "$(cat $PIDFILE)" = "$inst" ] && echo "record is the id and a newline"
		$D -u; st
		wait_exit $inst; say_alive $inst instance; say_pidfile; say_mounted /tmp/vol
		$D -u; st
	)sh");
	EXPECT_EQ(r.out, started + "status 0\n/sandbox/bin/ardova_ntfs_daemon -f \n" +
				 "644 " + "3\n" + "record is the id and a newline\n" + unloading_all +
				 "status 0\ninstance gone\nno pid file\n/tmp/vol mounted\n" + unloading_all + "status 3\n");
	EXPECT_EQ(r.err, no_instance);
}

TEST_F(Daemon, RestartKillsTheOldInstanceAndLeavesItsVolumesMounted)
{
	Result r = sh(R"sh(
		vol /tmp/vol
		start; old=$INST
		$D; st
		new=$(recorded)
		wait_exit $old
		say_alive $new new; say_mounted /tmp/vol
		[ "$new" != "$old" ] && echo "new id recorded"
	)sh");
	EXPECT_EQ(r.out, unloading_existing + started + "status 0\nnew alive\n/tmp/vol mounted\nnew id recorded\n");
	EXPECT_EQ(r.err, "");
}

TEST_F(Daemon, StoppingWithoutAnInstance)
{
	Result r = sh(R"sh(
		vol /tmp/vol
		$D -u; st
		say_mounted /tmp/vol
		$D -s; st
		say_mounted /tmp/vol; say_pidfile
	)sh");
	EXPECT_EQ(r.out, unloading_all + "status 3\n/tmp/vol mounted\n" + unloading_and_unmounting +
				 "status 13\n/tmp/vol unmounted\nno pid file\n");
	EXPECT_EQ(r.err, no_instance + no_instance);
}

TEST_F(Daemon, StopAndUnmountForcesBusyVolumesAndSucceedsWhateverStays)
{
	Result r = sh(R"sh(
		vol /tmp/idle; vol /tmp/busy; vol /tmp/other fusefs_ardntf
		make_busy /tmp/busy
		start; inst=$INST
		$D -s; st
		wait_exit $inst; say_alive $inst instance; say_pidfile
		say_mounted /tmp/idle; say_mounted /tmp/busy; say_mounted /tmp/other

		# Without the right to unmount, even force fails: still status 0.
		vol /tmp/stuck
		start; inst=$INST
		setpriv --inh-caps=-sys_admin --bounding-set=-sys_admin $D -s; st
		wait_exit $inst; say_alive $inst instance; say_mounted /tmp/stuck
	)sh");
	EXPECT_EQ(r.out, unloading_and_unmounting +
				 "status 0\ninstance gone\nno pid file\n/tmp/idle unmounted\n/tmp/busy unmounted\n"
				 "/tmp/other mounted\n" +
				 unloading_and_unmounting + "status 0\ninstance gone\n/tmp/stuck mounted\n");
	EXPECT_EQ(r.err, E + "Could not unmount /tmp/busy normally, trying to force unmount...\n" + E +
				 "Could not unmount /tmp/stuck normally, trying to force unmount...\n" + E +
				 "Could not unmount /tmp/stuck!\n");
}

TEST_F(Daemon, StopAndUnmountDoesNotWaitForAStoppedFuseServer)
{
	Result r = sh(R"sh(
		vol /tmp/hung
		kill -STOP $TESTVOL_PID; wait_for all_stopped $TESTVOL_PID
		timeout 20 $D -s; st
		say_mounted /tmp/hung
		# Started from a folder of another volume whose server is stopped.
		vol /tmp/other other; other=$TESTVOL_PID
		vol /tmp/idle
		(cd /tmp/other && kill -STOP $other && wait_for all_stopped $other && timeout 20 $D -s); st
		say_mounted /tmp/idle
		kill -CONT $other
	)sh");
	EXPECT_EQ(r.out, unloading_and_unmounting + "status 13\n/tmp/hung unmounted\n" + unloading_and_unmounting +
				 "status 13\n/tmp/idle unmounted\n");
}

TEST_F(Daemon, TypeNamesThatBeginWithTheDriversMatch)
{
	Result r = sh(R"sh(
		vol /tmp/exact fusefs_ardntfs
		vol /tmp/longer fusefs_ardntfs_extended
		vol /tmp/shorter fusefs_ardntf
		vol /tmp/other fusefs_ardntfx
		vol /tmp/plain other
		$D -s >/dev/null 2>&1
		for v in exact longer shorter other plain; do say_mounted /tmp/$v; done
	)sh");
	EXPECT_EQ(r.out,
		  "/tmp/exact unmounted\n/tmp/longer unmounted\n/tmp/shorter mounted\n/tmp/other mounted\n"
		  "/tmp/plain mounted\n");
}

// --- stale and damaged records ------------------------------------------

TEST_F(Daemon, UnreadableOrStaleRecordsAreRemoved)
{
	Result r = sh(R"sh(
		sh -c 'exit 0' & dead=$!; wait $dead
		for record in "" "abc\n" "$dead\n" "$dead and more words\n" "  $dead"; do
			printf "$record" >$PIDFILE
			$D -u; st; say_pidfile
		done
		# A record that is another file's name too is only unnamed.
		echo "other file" >/var/run/other; ln /var/run/other $PIDFILE
		$D -u; st; say_pidfile; cat /var/run/other
		# A start reports the same and goes on.
		printf "$dead\n" >$PIDFILE
		$D; st
	)sh");
	const std::string damaged = "Could not read PID from \"/var/run/ardova_ntfs_daemon.pid\" (scanres=";
	EXPECT_EQ(r.out, unloading_all + damaged + "-1). Removing possibly damaged .pid-file.\nstatus 0\nno pid file\n" +
				 unloading_all + damaged + "0). Removing possibly damaged .pid-file.\nstatus 0\nno pid file\n" +
				 unloading_all + orphaned + "status 0\nno pid file\n" + unloading_all + orphaned +
				 "status 0\nno pid file\n" + unloading_all + orphaned + "status 0\nno pid file\n" +
				 unloading_all + damaged + "0). Removing possibly damaged .pid-file.\nstatus 0\nno pid file\n" +
				 "other file\n" + unloading_existing + orphaned + started + "status 0\n");
	EXPECT_EQ(r.err, "");
}

TEST_F(Daemon, OnlyInstancesOfThisProgramAreEverSignalled)
{
	// 0 would address the caller's process group, 2^31 and above every
	// process; a record may name another program or the caller itself.
	Result r = sh(R"sh(
		sleep 1000 & other=$!
		for record in 0 4294967295 2147483648 -1 $other; do
			echo "$record" >$PIDFILE
			$D -u; st
		done
		sh -c 'echo $$ >'$PIDFILE'; exec '$D' -u'; st
		say_alive $other other; say_pidfile
	)sh");
	std::string out;
	for (int i = 0; i < 6; i++)
		out += unloading_all + orphaned + "status 0\n";
	EXPECT_EQ(r.out, out + "other alive\nno pid file\n");
	EXPECT_EQ(r.err, "");
}

TEST_F(Daemon, InstanceWhoseProgramFileWasReplacedIsStillStopped)
{
	Result r = sh(R"sh(
		mkdir /tmp/bin && cp $D /tmp/bin/
		/tmp/bin/ardova_ntfs_daemon >/dev/null; inst=$(recorded)
		wait_for ready $inst
		rm /tmp/bin/ardova_ntfs_daemon && cp /sandbox/bin/mntflags /tmp/bin/ardova_ntfs_daemon
		$D -u; st
		wait_exit $inst; say_alive $inst instance
	)sh");
	EXPECT_EQ(r.out, unloading_all + "status 0\ninstance gone\n");
}

TEST_F(Daemon, InstanceIsKnownThroughLinksRenamesAndReplacedProgramFiles)
{
	// Started through a link to a versioned file, renamed by an upgrade,
	// replaced while another link keeps the old file alive: each time the
	// instance is still recognised, so a start replaces it, -u stops it,
	// and never do two run.
	Result r = sh(R"sh(
		mkdir /tmp/sbin /tmp/lib
		cp $D /tmp/lib/ardova_ntfs_daemon-1.0
		ln -s /tmp/lib/ardova_ntfs_daemon-1.0 /tmp/sbin/ardova_ntfs_daemon
		/tmp/sbin/ardova_ntfs_daemon >/dev/null; inst=$(recorded); wait_for ready $inst
		$D -u; st; wait_exit $inst; running

		cp $D /tmp/sbin/ardova_ntfs_daemon
		/tmp/sbin/ardova_ntfs_daemon >/dev/null; inst=$(recorded); wait_for ready $inst
		mv /tmp/sbin/ardova_ntfs_daemon /tmp/sbin/ardova_ntfs_daemon.old
		$D; st; wait_exit $inst; wait_for ready $(recorded); running
		$D -u >/dev/null; wait_for test -z "$(running | grep -v 'running: 0')"

		cp $D /tmp/lib/ardova_ntfs_daemon-1.1
		ln -f /tmp/lib/ardova_ntfs_daemon-1.1 /tmp/sbin/ardova_ntfs_daemon
		/tmp/sbin/ardova_ntfs_daemon >/dev/null; inst=$(recorded); wait_for ready $inst
		rm /tmp/sbin/ardova_ntfs_daemon && cp $D /tmp/sbin/ardova_ntfs_daemon
		# The file the instance runs, as its memory map names it (also
		# under a user-mode emulator, where /proc/PID/exe is the emulator).
		sed -n 's|.* \(/tmp/sbin/ardova_ntfs_daemon.*\)$|\1|p' /proc/$inst/maps | head -n 1
		$D -s; st; wait_exit $inst; running
	)sh");
	EXPECT_EQ(r.out, unloading_all + "status 0\nrunning: 0\n" + unloading_existing + started +
				 "status 0\nrunning: 1\n/tmp/sbin/ardova_ntfs_daemon (deleted)\n" +
				 unloading_and_unmounting + "status 0\nrunning: 0\n");
	EXPECT_EQ(r.err, "");
}

TEST_F(Daemon, ProcessStartedAfterItsRecordWasWrittenIsNotTheInstance)
{
	// A process that got the recorded id after the record was written
	// (here: a record dated a minute before the process started) is
	// another process, even one of this program.
	Result r = sh(R"sh(
		$D -f & hand=$!
		wait_for ready $hand
		echo $hand >$PIDFILE
		touch -d @$(( $(date +%s) - 60 )) $PIDFILE
		$D -u; st
		say_alive $hand "started later"; say_pidfile
		kill -9 $hand
	)sh");
	EXPECT_EQ(r.out, unloading_all + orphaned + "status 0\nstarted later alive\nno pid file\n");
	EXPECT_EQ(r.err, "");
}

TEST_F(Daemon, RecordsBeyond32BitsAreNeverSignalled)
{
	// Whatever the word size: 2^32 + the instance's id is not its id.
	Result r = sh(R"sh(
		start; inst=$INST
		for record in $((4294967296 + inst)) $((8589934592 + inst)) 18446744073709551617 \
			      99999999999999999999999$inst -$inst; do
			echo "$record" >$PIDFILE
			$D -u; st
		done
		say_alive $inst instance
	)sh");
	std::string out;
	for (int i = 0; i < 5; i++)
		out += unloading_all + orphaned + "status 0\n";
	EXPECT_EQ(r.out, out + "instance alive\n");
	EXPECT_EQ(r.err, "");
}

// --- rights and failing system calls ------------------------------------

TEST_F(Daemon, StartAndStopWithoutRights)
{
	Result r = sh(R"sh(
		nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all "$@"; }
		nobody $D; st; say_pidfile
		echo 123 >$PIDFILE; chmod 600 $PIDFILE
		nobody $D; st
		nobody $D -u; st
		say_pidfile
	)sh");
	EXPECT_EQ(r.out, no_rights + "status 2\nno pid file\nstatus 3\n" + unloading_all + "status 4\npid file: N|\n");
	EXPECT_EQ(r.err, E + "Failed to open /var/run/ardova_ntfs_daemon.pid: 13 (Permission denied)\n" + E +
				 "Unexpected error while opening \"/var/run/ardova_ntfs_daemon.pid\": 13 (Permission denied)\n");
}

TEST_F(Daemon, PidFileThatIsALinkIsNeverFollowed)
{
	Result r = sh(R"sh(
		echo 1 >/tmp/target
		ln -s /tmp/target $PIDFILE
		$D; st
		$D -u; st
		cat /tmp/target; [ -L $PIDFILE ] && echo "link kept"
	)sh");
	EXPECT_EQ(r.out, "status 3\n" + unloading_all + "status 4\n1\nlink kept\n");
	EXPECT_EQ(r.err, E + "Failed to open /var/run/ardova_ntfs_daemon.pid: 40 (Too many levels of symbolic links)\n" +
				 E +
				 "Unexpected error while opening \"/var/run/ardova_ntfs_daemon.pid\": 40 (Too many levels of "
				 "symbolic links)\n");
}

TEST_F(Daemon, ClosedStandardStreamsNeverStandInForThePidFile)
{
	// With descriptor 1 or 2 closed, the pid file would open as one of
	// them and take the messages: the record stays the id, the old
	// instance is stopped, and one instance runs.
	Result r = sh(R"sh(
		start; old=$INST
		$D >&-; st
		wait_exit $old; new=$(recorded); wait_for ready $new; running
		[ "$(cat $PIDFILE)" = "$new" ] && echo "record is the id"
		$D 2>&- <&-; st
		wait_exit $new; last=$(recorded); wait_for ready $last; running
		# SIGKILL takes effect after kill() returns: wait for the end.
		$D -u >&- 2>&-; st; wait_exit $last; running; say_pidfile
	)sh");
	EXPECT_EQ(r.out, "status 0\nrunning: 1\nrecord is the id\n" + unloading_existing + started +
				 "status 0\nrunning: 1\nstatus 0\nrunning: 0\nno pid file\n");
	EXPECT_EQ(r.err, "");
}

TEST_F(Daemon, PidFileThatIsNotARegularFileIsRefused)
{
	// A FIFO would block every reader of the record for ever.
	Result r = sh(R"sh(
		mkfifo $PIDFILE
		timeout 20 $D; st
		timeout 20 $D -u; st
		timeout 20 $D -s; st
		[ -p $PIDFILE ] && echo "FIFO left"
	)sh");
	EXPECT_EQ(r.out, "status 3\n" + unloading_all + "status 4\n" + unloading_and_unmounting + "status 14\nFIFO left\n");
	const std::string refused = E + "Unexpected error while opening \"/var/run/ardova_ntfs_daemon.pid\": 95 (Operation not supported)\n";
	EXPECT_EQ(r.err, E + "Failed to open /var/run/ardova_ntfs_daemon.pid: 95 (Operation not supported)\n" + refused +
				 refused);
}

// A live instance is never taken for an orphan because the stop cannot
// tell who it is: not when the stop can open no more files to read the
// process's identity, nor when the instance was started through a link of
// another name, which the system names after the program file.
TEST_F(Daemon, LiveInstanceIsStoppedWhenItsIdentityCannotBeReadOrItCameThroughALink)
{
	const struct {
		const char *start;
		const char *stop;
	} cases[] = {
		{"$D", "(ulimit -n 5; $D -u)"},
		{"ln -s $D /tmp/ntfsd && /tmp/ntfsd", "$D -u"},
	};
	for (const auto &c : cases) {
		Result r = sh(std::string(c.start) + R"sh( >/dev/null && inst=$(recorded) && wait_for ready $inst
			)sh" + c.stop + R"sh(; st
			WAIT_SECONDS=5 wait_exit $inst; say_alive $inst instance; say_pidfile
		)sh");
		EXPECT_EQ(r.out, unloading_all + "status 0\ninstance gone\nno pid file\n") << c.stop;
		EXPECT_EQ(r.err, "");
	}
}

TEST_F(Daemon, KillThatFailsKeepsTheRecord)
{
	Result r = sh(R"sh(
		start; inst=$INST
		nokill() { syscall_fail kill/9=1 -- "$@"; }
		nokill $D -u; st; say_pidfile
		nokill $D; st
		nokill $D -s; st
		say_alive $inst instance
		[ "$(recorded)" = "$inst" ] && echo "record untouched"
	)sh");
	EXPECT_EQ(r.out, unloading_all + "status 1\n" + "pid file: N|\n" + unloading_existing + no_rights + "status 2\n" +
				 unloading_and_unmounting + "status 11\ninstance alive\nrecord untouched\n");
	EXPECT_EQ(r.err, E + "Could not kill process N!\n" + E + "Could not kill process N!\n" + E +
				 "Could not kill process N!\n");
}

TEST_F(Daemon, RecordThatCannotBeEmptiedOrDeleted)
{
	Result r = sh(R"sh(
		echo 0 >$PIDFILE
		syscall_fail ftruncate=5 -- $D -u; st; say_pidfile
		syscall_fail unlink=1 -- $D -s; st; say_pidfile
		syscall_fail unlink=1 -- $D; st; say_pidfile
	)sh");
	EXPECT_EQ(r.out, unloading_all + orphaned + "status 2\npid file: N|\n" + unloading_and_unmounting + orphaned +
				 "status 12\npid file: \n" +
				 unloading_existing + "Could not read PID from \"/var/run/ardova_ntfs_daemon.pid\" "
						      "(scanres=-1). Removing possibly damaged .pid-file.\n" +
				 no_rights + "status 2\npid file: \n");
	EXPECT_EQ(r.err, E + "Failed to truncate file: 5 (Input/output error)\n" + E + "Could not delete pid file!\n" + E +
				 "Could not delete pid file!\n");
}

TEST_F(Daemon, StartThatCannotForkOrWriteItsRecordLeavesNothing)
{
	Result r = sh(R"sh(
		# A leak check at exit needs a thread, which cannot be had here.
		ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" syscall_fail fork=11 -- $D; st; say_pidfile
		mount -t tmpfs -o size=4k none /var/run
		dd if=/dev/zero of=/var/run/fill bs=4096 count=1 2>/dev/null
		$D; st; say_pidfile
		pgrep -f "$D -f" || echo "no instance"
		umount /var/run
		(ulimit -f 0; exec $D); st; say_pidfile
		pgrep -f "$D -f" || echo "no instance"
	)sh");
	EXPECT_EQ(r.out, "status 2\nno pid file\nstatus 2\nno pid file\nno instance\n"
			 "status 2\nno pid file\nno instance\n");
	EXPECT_EQ(r.err, E + "Could not start the background instance: 11 (Resource temporarily unavailable)\n" + E +
				 "Could not write /var/run/ardova_ntfs_daemon.pid: 28 (No space left on device)\n" + E +
				 "Could not write /var/run/ardova_ntfs_daemon.pid: 27 (File too large)\n");
}

TEST_F(Daemon, LauncherKilledBeforeItsRecordLeavesNoInstance)
{
	// The launcher dies at the write of its record (strace fails the write
	// and kills it; its child is left alone once it re-executes).  The
	// child must not become an instance that nothing records.
	Result r = sh(R"sh(
		strace -f -b execve -qq -o /dev/null -e trace=write \
			-e inject=write:error=EIO:signal=KILL:when=1 $D; st
		running
		$D >/dev/null; st; wait_for ready $(recorded); running
		$D -u >/dev/null; st
	)sh");
	EXPECT_EQ(r.out, "status 137\nrunning: 0\nstatus 0\nrunning: 1\nstatus 0\n");
}

TEST_F(Daemon, StartWhoseNewFileIsDeletedBeforeItsLockStartsOver)
{
	// Where a new file is locked only after its creation, a stopper may
	// take it in between for a damaged record and delete it.  The start
	// (a build whose opens lock after creating, held at that moment) must
	// not write its record into the deleted file.
	Result r = sh(R"sh(
		/sandbox/support/ardova_ntfs_daemon_target_lock >/tmp/l.out 2>&1 & launcher=$!
		wait_for all_stopped $launcher && echo "held before its lock"
		$D -u; st
		kill -CONT $launcher; wait $launcher; st
		cat /tmp/l.out
		inst=$(recorded); wait_for ready $inst && running
		$D -u >/dev/null; st; wait_exit $inst; running
	)sh");
	EXPECT_EQ(r.out, "held before its lock\n" + unloading_all +
				 "Could not read PID from \"/var/run/ardova_ntfs_daemon.pid\" (scanres=-1). Removing "
				 "possibly damaged .pid-file.\nstatus 0\nstatus 0\n" +
				 started + "running: 1\nstatus 0\nrunning: 0\n");
}

TEST_F(Daemon, FailedReExecutionLeavesAnOrphanedRecord)
{
	// Started through the command path, argv[0] names no file from /tmp.
	Result r = sh(R"sh(
		cd /tmp
		ardova_ntfs_daemon; st
		wait_exit $(recorded)
		$D -u; st
	)sh");
	EXPECT_EQ(r.out, started + "status 0\n" + unloading_all + orphaned + "status 0\n");
	EXPECT_EQ(r.err, "");
}

// --- the background instance --------------------------------------------

TEST_F(Daemon, RunByHandAndInterruptedItHasNoRecordToDelete)
{
	Result r = sh(R"sh(
		$D -f & pid=$!
		wait_for ready $pid; kill -INT $pid; wait $pid; st

		# Nor does it delete the record of another instance.
		start; inst=$INST
		$D -f & pid=$!
		wait_for ready $pid; kill -INT $pid; wait $pid; st
		say_alive $inst recorded
		[ "$(recorded)" = "$inst" ] && echo "record kept"
	)sh");
	EXPECT_EQ(r.out, "status 5\nstatus 5\nrecorded alive\nrecord kept\n");
	EXPECT_EQ(r.err, E + "Could not delete /var/run/ardova_ntfs_daemon.pid!\n" + E +
				 "Could not delete /var/run/ardova_ntfs_daemon.pid!\n");
}

TEST_F(Daemon, InterruptEndsWithoutUnmounting)
{
	Result r = sh(R"sh(
		vol /tmp/vol
		start; inst=$INST
		kill -INT $inst; wait_exit $inst
		say_pidfile; say_mounted /tmp/vol
		cat /tmp/inst.out /tmp/inst.err
	)sh");
	EXPECT_EQ(r.out, "no pid file\n/tmp/vol mounted\n" + started);
}

TEST_F(Daemon, TerminateForcesABusyVolumeAndEnds)
{
	Result r = sh(R"sh(
		vol /tmp/busy; vol /tmp/idle; vol /tmp/other other
		make_busy /tmp/busy
		start; inst=$INST
		kill -TERM $inst; wait_exit $inst
		say_pidfile; for v in busy idle other; do say_mounted /tmp/$v; done
		cat /tmp/inst.out; echo "--"; cat /tmp/inst.err
	)sh");
	EXPECT_EQ(r.out, "no pid file\n/tmp/busy unmounted\n/tmp/idle unmounted\n/tmp/other mounted\n" + started +
				 "--\n" + E + "Could not unmount /tmp/busy normally, trying to force unmount...\n");
}

TEST_F(Daemon, InstanceWorksOnWhenNoOneReadsItsMessages)
{
	// Its output is a pipe whose reader is gone: the message about the
	// busy volume is lost, and the unmounting goes on.
	Result r = sh(R"sh(
		vol /tmp/vol; make_busy /tmp/vol
		$D 2>&1 | head -n 1
		inst=$(recorded); wait_for ready $inst
		kill -TERM $inst; wait_exit $inst
		say_pidfile; say_mounted /tmp/vol
	)sh");
	EXPECT_EQ(r.out, started + "no pid file\n/tmp/vol unmounted\n");
}

TEST_F(Daemon, TerminateKeepsRetryingEverySecondUntilStopped)
{
	Result r = sh(R"sh(
		vol /tmp/vol
		setpriv --inh-caps=-sys_admin --bounding-set=-sys_admin $D >/tmp/inst.out 2>/tmp/inst.err
		inst=$(recorded); wait_for ready $inst
		kill -TERM $inst
		wait_for failed_passes 2
		say_alive $inst instance; say_pidfile
		$D -u; st
		wait_exit $inst; say_alive $inst instance; say_pidfile; say_mounted /tmp/vol
		head -n 4 /tmp/inst.err
	)sh");
	const std::string pass = E + "Could not unmount /tmp/vol normally, trying to force unmount...\n" + E +
				 "Could not unmount /tmp/vol!\n";
	EXPECT_EQ(r.out, "instance alive\npid file: N|\n" + unloading_all +
				 "status 0\ninstance gone\nno pid file\n/tmp/vol mounted\n" + pass + pass);
}

TEST_F(Daemon, UserSignalUnmountsPolitelyAndStaysWhileAVolumeIsBusy)
{
	Result r = sh(R"sh(
		vol /tmp/a fusefs_ardntfs /dev/disk2s1
		vol /tmp/b fusefs_ardntfs /dev/disk3s1
		vol /tmp/other other
		make_busy /tmp/a
		start; inst=$INST
		kill -USR1 $inst; wait_unmounted /tmp/b
		wait_text /tmp/inst.err 'Could not unmount /tmp/a!'
		say_alive $inst instance; say_pidfile; say_mounted /tmp/a

		# Once the volume is free, the next request ends the instance.
		kill $BUSY_PID; wait_exit $BUSY_PID
		kill -USR1 $inst; wait_exit $inst
		say_pidfile; say_mounted /tmp/a; say_mounted /tmp/other
		cat /tmp/inst.err
	)sh");
	EXPECT_EQ(r.out, "instance alive\npid file: N|\n/tmp/a mounted\nno pid file\n/tmp/a unmounted\n/tmp/other mounted\n" +
				 E + "Could not unmount /tmp/a!\n");
}

TEST_F(Daemon, RequestSentTheMomentTheStartReturnsIsCarriedOut)
{
	// The instance may not have installed its handlers yet: the request
	// must wait for them rather than kill it and leave a stale record.
	Result r = sh(R"sh(
		stale=0
		for i in 1 2 3 4 5; do
			for sig in TERM INT USR1; do
				$D >/dev/null; read inst <$PIDFILE; kill -$sig $inst
				wait_exit $inst
				[ -e $PIDFILE ] && stale=$((stale + 1)) && rm $PIDFILE
			done
		done
		echo "stale records: $stale"
	)sh");
	EXPECT_EQ(r.out, "stale records: 0\n");
}

TEST_F(Daemon, RequestThatArrivesDuringAnotherIsCarriedOutWithoutAFurtherSignal)
{
	// The instance is held inside a failing SIGUSR1 pass (its standard
	// error is a full pipe) while SIGINT arrives; once the pass is over,
	// the interrupt must be acted on without waiting for another signal.
	Result r = sh(R"sh(
		in_write() { grep -q pipe_write "/proc/$1/wchan"; }
		vol /tmp/vol; make_busy /tmp/vol
		mkfifo /tmp/err; exec 7<>/tmp/err
		$D >/tmp/inst.out 2>&7; inst=$(recorded); wait_for ready $inst
		head -c 65536 /dev/zero >&7
		kill -USR1 $inst
		wait_for in_write $inst && echo "held in its pass"
		kill -INT $inst
		dd bs=65536 count=1 <&7 >/dev/null 2>&1
		WAIT_SECONDS=10 wait_exit $inst && echo "ended"
		say_pidfile; say_mounted /tmp/vol
	)sh");
	EXPECT_EQ(r.out, "held in its pass\nended\nno pid file\n/tmp/vol mounted\n");
}

TEST_F(Daemon, RequestsPendingTogetherAreTakenInOrder)
{
	// Stopped, then sent two requests, the instance sees both at its next
	// wake-up: SIGTERM goes before SIGINT, SIGINT before SIGUSR1.
	Result r = sh(R"sh(
		both() {
			vol /tmp/vol
			start; inst=$INST
			kill -STOP $inst; wait_for all_stopped $inst
			kill -$1 $inst; kill -$2 $inst; kill -CONT $inst
			wait_exit $inst
			say_mounted /tmp/vol
			umount /tmp/vol 2>/dev/null
		}
		both TERM INT
		both INT TERM
		both USR1 INT
	)sh");
	EXPECT_EQ(r.out, "/tmp/vol unmounted\n/tmp/vol unmounted\n/tmp/vol mounted\n");
}

// --- only the driver's volumes ------------------------------------------

TEST_F(Daemon, UserSignalUnmountsNoOtherMountOfTheSameDiskName)
{
	// A tmpfs named like a driver volume's disk, and two driver volumes of
	// one disk name: the name leads to no one volume, so each listed
	// volume is unmounted by its own path, and the message names the one
	// that stays.
	Result r = sh(R"sh(
		vol /tmp/a fusefs_ardntfs /dev/disk5s1
		mkdir /tmp/t; mount -t tmpfs /dev/disk5s1 /tmp/t
		vol /tmp/b fusefs_ardntfs /dev/disk6s1
		vol /tmp/c fusefs_ardntfs /dev/disk6s1
		make_busy /tmp/b
		start; inst=$INST
		kill -USR1 $inst
		wait_text /tmp/inst.err 'Could not unmount'; wait_unmounted /tmp/c
		say_mounted /tmp/a; say_mounted /tmp/t; say_mounted /tmp/b; say_alive $inst instance
		cat /tmp/inst.err
	)sh");
	EXPECT_EQ(r.out, "/tmp/a unmounted\n/tmp/t mounted\n/tmp/b mounted\ninstance alive\n" + E +
				 "Could not unmount /tmp/b!\n");
}

TEST_F(Daemon, MountPointBehindAFolderSwappedForALinkIsLeftAlone)
{
	// After the listing (the stopper is held writing its first message),
	// the folder above a driver volume is moved and a link to another
	// folder takes its name, where a busy unrelated mount lies under the
	// same name.  Only the listed volume may be unmounted, and it is no
	// longer where the path leads.
	Result r = sh(R"sh(
		vol /tmp/a; make_busy /tmp/a
		mkdir -p /tmp/u/dir /tmp/other/vol; vol /tmp/u/dir/vol
		mount -t tmpfs none /tmp/other/vol; make_busy /tmp/other/vol
		start
		fill_fifo
		$D -s >/dev/null 2>&7 & stopper=$!
		wait_for in_write $stopper && echo "held after the listing"
		mv /tmp/u/dir /tmp/u/moved && ln -s /tmp/other /tmp/u/dir
		drain_fifo; wait $stopper; st
		rest_of_fifo
		say_mounted /tmp/other/vol; say_mounted /tmp/u/moved/vol; say_mounted /tmp/a
	)sh");
	EXPECT_EQ(r.out, "held after the listing\nstatus 0\n" + E +
				 "Could not unmount /tmp/a normally, trying to force unmount...\n" + E +
				 "Could not unmount /tmp/u/dir/vol normally, trying to force unmount...\n" + E +
				 "Could not unmount /tmp/u/dir/vol!\n/tmp/other/vol mounted\n/tmp/u/moved/vol mounted\n"
				 "/tmp/a unmounted\n");
}

TEST_F(Daemon, VolumeUnderAnotherMountIsReportedAndTriedAgain)
{
	// The path leads to the tmpfs on top, which is not the driver's: it
	// stays, the covered volume is reported, and the instance keeps
	// trying until it is stopped.
	Result r = sh(R"sh(
		vol /tmp/vol; mount -t tmpfs none /tmp/vol
		start; inst=$INST
		kill -TERM $inst
		wait_for failed_passes 2
		say_alive $inst instance; say_pidfile
		grep -c ' /tmp/vol ' /proc/self/mountinfo
		$D -u >/dev/null; wait_exit $inst
		head -n 2 /tmp/inst.err
	)sh");
	EXPECT_EQ(r.out, "instance alive\npid file: N|\n2\n" + E +
				 "Could not unmount /tmp/vol normally, trying to force unmount...\n" + E +
				 "Could not unmount /tmp/vol!\n");
}

TEST_F(Daemon, VolumeWhosePathIsTooLongToNameIsNotReportedGone)
{
	// A mount point of 1024 bytes or more cannot be named in the record:
	// the volume is listed under its path cut after its last slash within
	// 1023 bytes, cannot be unmounted by it, and is reported; the instance
	// does not end.
	Result r = sh(R"sh(
		p=/tmp; for i in 1 2 3 4 5; do p=$p/$(printf '%0200d' $i); done; p=$p/volume-mounted-here
		vol $p
		# A mount whose path is the volume's cut to 1023 bytes is no one's
		# to unmount.
		decoy=$(printf '%s' "$p" | head -c 1023); mkdir -p $decoy; mount -t tmpfs tmpfs $decoy
		start; inst=$INST
		$D -s 2>/tmp/s.err >/dev/null; st
		is_mounted $decoy && echo "other mount kept"
		cut=${p%/*}/
		[ "$(cat /tmp/s.err)" = "[ardova_ntfs_daemon] ERROR: Could not unmount $cut normally, trying to force unmount...
[ardova_ntfs_daemon] ERROR: Could not unmount $cut!" ] && echo "reported with its path cut"
		is_mounted $p && echo "still mounted"
		start; inst=$INST
		kill -TERM $inst; wait_for grep -q "unmount $cut!" /tmp/inst.err
		say_alive $inst instance
		$D -u >/dev/null; wait_exit $inst
	)sh");
	EXPECT_EQ(r.out, "status 0\nother mount kept\nreported with its path cut\nstill mounted\ninstance alive\n");
}

// --- the pid-file lock --------------------------------------------------

TEST_F(Daemon, StopperWaitsForTheLockAndActsOnTheFileThePathNamesThen)
{
	// While a stopper waits for the lock, the record is moved aside and a
	// new one naming another program takes its place: the stopper must
	// act on the new one, and must not kill the instance of the old.
	Result r = sh(R"sh(
		start; inst=$INST
		sleep 1000 & other=$!
		exec 9<>$PIDFILE; flock 9
		$D -u >/tmp/u.out 2>&1 9>&- & stopper=$!
		wait_for waits_for_lock $stopper
		say_alive $stopper stopper
		mv $PIDFILE $PIDFILE.old && echo $other >$PIDFILE
		exec 9>&-
		wait $stopper; st
		cat /tmp/u.out
		say_alive $inst instance; say_alive $other other; say_pidfile
		[ "$(cat $PIDFILE.old)" = "$inst" ] && echo "old record untouched"
	)sh");
	EXPECT_EQ(r.out, "stopper alive\nstatus 0\n" + unloading_all + orphaned +
				 "instance alive\nother alive\nno pid file\nold record untouched\n");
}

TEST_F(Daemon, ManyStartsStopsAndSignalsAtOnceLeaveAtMostOneRecordedInstance)
{
	Result r = sh(R"sh(
		# Every process running as the instance that is not a zombie.
		instances() {
			for s in /proc/[0-9]*/status; do
				p=${s#/proc/}; p=${p%/status}
				[ "$(args $p 2>/dev/null)" = "$D -f " ] && alive $p && echo $p
			done
		}
		settled() {
			n=$(instances | wc -l); rec=$(recorded)
			if [ -n "$rec" ]; then [ "$n" -eq 1 ] && [ "$(instances)" = "$rec" ]; else [ "$n" -eq 0 ]; fi
		}
		signal() { p=$(recorded) && [ -n "$p" ] && kill -$1 "$p"; } 2>/dev/null
		run() { "$@" >/dev/null 2>&1; echo "$* $?" >>/tmp/statuses; }
		# Twelve processes at once, each running twelve requests.
		actor() {
			for step in $(seq 12); do
				case $((($1 + step) % 8)) in
				0|1|2) run $D ;; 3) run $D -u ;; 4) run $D -s ;;
				5) signal TERM ;; 6) signal INT ;; 7) signal USR1 ;;
				esac
			done
		}
		for i in $(seq 12); do actor $i & done
		wait
		WAIT_SECONDS=15 wait_for settled && echo settled
		# One more start and stop find a consistent state.
		$D >/dev/null && $D -u >/dev/null && echo consistent
		settled && echo "nothing left"
		grep -v -E "^($D [02]|$D -u [03]|$D -s (0|13))\$" /tmp/statuses || echo "every status expected"
	)sh");
	EXPECT_EQ(r.out, "settled\nconsistent\nnothing left\nevery status expected\n");
}

}  // namespace
