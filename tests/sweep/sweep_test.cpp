// Every step may fail: each program's main scenarios, with each of the
// program's own system calls made to fail in turn and with TERM, INT, HUP
// and QUIT arriving at each of them (see sweep.h).  One table of scenarios
// per program, and one check of what must hold whatever failed.
#include "sweep.h"

#include <csignal>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>

using sweep::Run;
using sweep::Scenario;

namespace {

const std::string samples = SAMPLES_DIR;

// The status a run ended with, as the script saw it ("status N").
int status_of(const Run &run)
{
	const std::string s = sweep::line_after(run.result.out, "status ");
	return s.empty() ? -1 : std::stoi(s);
}

int signal_number(const std::string &name)
{
	static const std::map<std::string, int> numbers = {
		{"TERM", SIGTERM}, {"INT", SIGINT},   {"HUP", SIGHUP},   {"QUIT", SIGQUIT},
		{"USR1", SIGUSR1}, {"USR2", SIGUSR2}, {"ALRM", SIGALRM}, {"XCPU", SIGXCPU},
		{"VTALRM", SIGVTALRM}, {"PROF", SIGPROF}};
	auto it = numbers.find(name);
	return it == numbers.end() ? -1 : it->second;
}

// Every signal that ends a run by default and that a caller, a terminal or
// a limit may send: the programs that clean up on a signal take them all.
const std::vector<std::string> termination_signals = {"TERM", "INT",  "HUP",  "QUIT",   "USR1",
						      "USR2", "ALRM", "XCPU", "VTALRM", "PROF"};

// Ended by the signal the point sent.
bool ended_by_its_signal(const Run &run, int status)
{
	return !run.signal.empty() && status == 128 + signal_number(run.signal);
}

void expect_holds(const sweep::Outcome &outcome)
{
	std::cout << outcome;
	EXPECT_TRUE(outcome.broken.empty()) << outcome;
	EXPECT_GT(outcome.points, 0u);
}

// --- plist_set ----------------------------------------------------------
//
// Exit 0 with the whole new content, or 1 with one line on standard error
// and the file as it was, or ended by the signal with either; never a
// temporary file left.

const std::string plist_prelude = R"sh(
# set FILE: the file given, and beside it the content a clean run writes.
set_up() {
	cp "$1" /tmp/f.plist && cp "$1" /tmp/old && cp "$1" /tmp/new && plist_set /tmp/new Language de
}
judge() {
	if cmp -s /tmp/f.plist /tmp/old; then echo "file old"
	elif cmp -s /tmp/f.plist /tmp/new; then echo "file new"
	else echo "file other"; fi
	for f in /tmp/.*plist_set-tmp*; do [ -e "$f" ] && echo "temporary left: $f"; done
	true
}
)sh";

const std::vector<Scenario> plist_scenarios = {
	{"XML file", R"sh(
		set_up /samples/xml.plist
		$SWEEP plist_set /tmp/f.plist Language de; echo "status $?"
		judge; sweep_end
	)sh"},
	{"binary file", R"sh(
		set_up /samples/binary.plist
		$SWEEP plist_set /tmp/f.plist Language de; echo "status $?"
		judge; sweep_end
	)sh"},
	{"file with a second link, written in place", R"sh(
		set_up /samples/xml.plist
		ln /tmp/f.plist /tmp/link
		$SWEEP plist_set /tmp/f.plist Language de; echo "status $?"
		judge; cmp -s /tmp/f.plist /tmp/link || echo "links differ"
		sweep_end
	)sh"},
};

void check_plist_set(const Run &run, std::vector<std::string> &broken)
{
	const std::string &out = run.result.out;
	const int status = status_of(run);
	const std::string file = sweep::line_after(out, "file ");
	if (status == 0) {
		if (file != "new")
			broken.push_back("exit 0 without the new content");
		if (!run.result.err.empty())
			broken.push_back("exit 0 with a message");
	} else if (status == 1) {
		if (file != "old")
			broken.push_back("exit 1 with the file changed");
		if (sweep::line_count(run.result.err) != 1)
			broken.push_back("exit 1 without exactly one line on standard error");
	} else if (ended_by_its_signal(run, status)) {
		if (file != "old" && file != "new")
			broken.push_back("ended by the signal with the file neither old nor new");
	} else {
		broken.push_back("exit status " + std::to_string(status));
	}
	if (!sweep::line_after(out, "temporary left").empty())
		broken.push_back("a temporary file was left");
	if (sweep::has_line(out, "links differ"))
		broken.push_back("the two links differ");
}

TEST(Sweep, PlistSet)
{
	REQUIRE_SANDBOX();
	sweep::Plan plan;
	plan.box.ro_binds.push_back({samples, "/samples"});
	plan.prelude = plist_prelude;
	plan.check = check_plist_set;
	plan.signals = termination_signals;
	expect_holds(sweep::sweep(plan, plist_scenarios));
}

// --- ArdovaUpdater -------------------------------------------------------
//
// Exit 0 only when installer ran on the verified bytes; on every other end
// no copy, no mount point, and nothing attached that was not detached.  An
// image whose detach cannot be run stays attached only with a line that
// says so and names its device.

const std::string updater_prelude = R"sh(
judge() {
	[ "$(cat /stub/attached.sha1 2>/dev/null)" = "$(sha1sum </data/image.dmg)" ] && echo "attached the image"
	grep -q '^installer: package "bundle v1"$' /stub/calls 2>/dev/null && echo "installed"
	[ -f /stub/mounted ] && echo "still attached"
	for f in /tmp/ardova_updater*; do [ -e "$f" ] && echo "left: $f"; done
	true
}
)sh";

const std::vector<Scenario> updater_scenarios = {
	{"signed image installed", R"sh(
		make_image /data/image.dmg v1 && sign /data/image.dmg
		$SWEEP ArdovaUpdater-testkey /data/image.dmg /data/image.dmg.sig; echo "status $?"
		judge; sweep_end
	)sh"},
};

// What the system refuses to remove stays, said or not: the copy (which is
// said), the mount point (which is not); and an attach whose output cannot
// be read names no device to detach.
void check_updater(const Run &run, std::vector<std::string> &broken)
{
	const std::string &out = run.result.out;
	const std::string &err = run.result.err;
	const int status = status_of(run);
	const bool attached = sweep::has_line(out, "still attached");
	const bool copy_left = !sweep::line_after(out, "left: /tmp/ardova_updater_image.").empty();
	const bool mount_point_left = !sweep::line_after(out, "left: /tmp/ardova_updater.").empty();
	const bool removal_refused = run.point.find(" unlink ") != std::string::npos ||
				     run.point.find(" rmdir ") != std::string::npos;
	const bool attach_output_unread = run.point.find(" read EIO pipe") != std::string::npos;
	if (status == 0) {
		if (!sweep::has_line(out, "installed") || !sweep::has_line(out, "attached the image"))
			broken.push_back("exit 0 without installing the verified image");
		if (attached && err.find("which stays attached") == std::string::npos)
			broken.push_back("exit 0 with the image attached and not a word of it");
	} else {
		if (status != 1 && !ended_by_its_signal(run, status))
			broken.push_back("exit status " + std::to_string(status));
		if (attached && !attach_output_unread)
			broken.push_back("the image was left attached");
		if (mount_point_left && !removal_refused && !attached)
			broken.push_back("the mount point was left in /tmp");
	}
	if (copy_left && (!removal_refused || err.find("Error while removing '/tmp/ardova_updater_image.") ==
							 std::string::npos))
		broken.push_back("the copy was left in /tmp");
}

TEST(Sweep, Updater)
{
	REQUIRE_SANDBOX();
	sweep::Plan plan;
	plan.box.dirs.push_back("/stub");
	plan.box.dirs.push_back("/data");
	plan.prelude = updater_prelude;
	plan.check = check_updater;
	plan.signals = termination_signals;
	expect_holds(sweep::sweep(plan, updater_scenarios));
}

// --- ardova_ntfs_daemon --------------------------------------------------
//
// Never two instances, never an instance the pid file does not name, never
// an exit 0 from a stopper with the instance still there, and no signal to
// anything but the instance: a bystander and a volume of another type come
// through every run.

const std::string daemon_prelude = R"sh(
D=/sandbox/bin/ardova_ntfs_daemon
PIDFILE=/var/run/ardova_ntfs_daemon.pid
recorded() { cat "$PIDFILE" 2>/dev/null; }
alive() { kill -0 "$1" 2>/dev/null && ! grep -q '^State:.*Z' "/proc/$1/status" 2>/dev/null; }
gone() { ! alive "$1"; }
# The live instances ("... -f"), whatever their path.
instances() {
	for c in /proc/[0-9]*/cmdline; do
		p=${c#/proc/}; p=${p%/cmdline}
		case "$(tr '\0' ' ' 2>/dev/null <"$c")" in
		*ardova_ntfs_daemon" -f ") alive "$p" && printf '%s ' "$p" ;;
		esac
	done
}
only_recorded_instances() {
	for p in $(instances); do [ "$p" = "$(recorded)" ] || return 1; done
}
ready() { grep -q '^sigsuspend' "/proc/$1/wchan"; }
start() { "$D" >/dev/null 2>&1 && wait_for ready "$(recorded)"; }
vol() { mount_testvol "$@" 2>/dev/null; }
sleep 100000 & BYSTANDER=$!
# judge: what the run left, once killed instances have had the time to go;
# then every process of the program is ended.
settled() { ready "$1" || gone "$1"; }
judge() {
	r=$(recorded)
	case $r in '' | *[!0-9]*) ;; *) WAIT_SECONDS=5 wait_for settled "$r" ;; esac
	WAIT_SECONDS=5 wait_for only_recorded_instances
	echo "instances: $(instances)"
	if [ -e "$PIDFILE" ]; then echo "recorded: $(recorded | head -c 24 | tr '\n' '|')"; else echo "no record"; fi
	alive $BYSTANDER || echo "bystander gone"
	[ -z "$OTHER" ] || is_mounted /tmp/other || echo "other volume unmounted"
	for p in /proc/[0-9]*; do [ "$(readlink $p/exe)" != "$D" ] || kill -9 ${p#/proc/}; done
	true
}
)sh";

const std::vector<Scenario> daemon_scenarios = {
	{"start", R"sh(
		$SWEEP $D; echo "status $?"
		judge; sweep_end
	)sh"},
	{"restart", R"sh(
		start
		$SWEEP $D; echo "status $?"
		judge; sweep_end
	)sh"},
	{"-u", R"sh(
		start
		$SWEEP $D -u; echo "status $?"
		judge; sweep_end
	)sh"},
	{"-s with a mounted volume", R"sh(
		vol /tmp/vol; vol /tmp/other fusefs_other; OTHER=1
		start
		$SWEEP $D -s; echo "status $?"
		judge; sweep_end
	)sh"},
	{"instance told to stop with a mounted volume", R"sh(
		vol /tmp/vol; vol /tmp/other fusefs_other; OTHER=1
		$SWEEP $D; echo "status $?"
		inst=$(recorded)
		if [ -n "$inst" ] && WAIT_SECONDS=5 wait_for settled "$inst" && ready "$inst"; then
			kill -TERM "$inst"
			WAIT_SECONDS=10 wait_for gone "$inst" || echo "instance did not stop"
		fi
		judge; sweep_end
	)sh"},
};

void check_daemon(const Run &run, std::vector<std::string> &broken)
{
	const std::string &out = run.result.out;
	const int status = status_of(run);
	std::istringstream listed(sweep::line_after(out, "instances: "));
	std::vector<std::string> instances{std::istream_iterator<std::string>(listed),
					   std::istream_iterator<std::string>()};
	const std::string recorded = sweep::line_after(out, "recorded: ");
	if (instances.size() > 1)
		broken.push_back("two instances");
	for (const std::string &pid : instances)
		if (recorded != pid + "|")
			broken.push_back("an instance the pid file does not name");
	const bool stopper = run.scenario == "-u" || run.scenario.starts_with("-s");
	const bool launcher_failed = run.signal.empty() && run.point.ends_with(" main");
	const bool starter = run.scenario == "start" || run.scenario == "restart";
	if (starter && status == 0 && launcher_failed && (instances.size() != 1 || recorded != instances[0] + "|"))
		broken.push_back("a start that exits 0 and leaves no recorded instance");
	// A record that cannot be deleted stays emptied, and a new one that
	// cannot be checked stays empty; the next stop removes either.
	const bool empty_record = recorded.empty() && !sweep::has_line(out, "no record");
	const bool checks_refused = run.signal.empty() && (run.point.find(" newfstatat ") != std::string::npos ||
							    run.point.find(" unlink ") != std::string::npos);
	if (empty_record && !checks_refused)
		broken.push_back("an empty pid file was left");
	if (stopper && status == 0 && (!instances.empty() || !recorded.empty()))
		broken.push_back("a stop that exits 0 and leaves the instance or its record");
	if (sweep::has_line(out, "bystander gone"))
		broken.push_back("a process that is not the instance was ended");
	if (sweep::has_line(out, "other volume unmounted"))
		broken.push_back("a volume of another type was unmounted");
	const bool expected = ended_by_its_signal(run, status) ||
			      (stopper ? status == 0 || (status >= 1 && status <= 4) || (status >= 11 && status <= 14)
				       : status == 0 || status == 2 || status == 3);
	if (!expected)
		broken.push_back("exit status " + std::to_string(status));
	if (sweep::has_line(out, "instance did not stop"))
		broken.push_back("the instance did not stop on TERM");
}

TEST(Sweep, Daemon)
{
	REQUIRE_SANDBOX_WITH_FUSE();
	sweep::Plan plan;
	plan.prelude = daemon_prelude;
	plan.check = check_daemon;
	expect_holds(sweep::sweep(plan, daemon_scenarios));
}

// --- PrivRunner ---------------------------------------------------------
//
// The stream is the runner's lines and whole frames, ending with EXITVALUE
// (exit 0) or with the runner's ERROR line (exit with its code), or it
// breaks off with that line on standard error (12); and no utility runs on
// after an ERROR.  The utility writes to both streams, then waits for its
// standard input to end, which the script holds open until the runner has
// either ended or is waiting for the utility: a utility left running by a
// runner that failed stays to be seen.

const std::string runner_prelude = R"sh(
cat >/tmp/util <<'UTILITY'
#!/bin/sh
echo $$ >/tmp/util.pid
printf 'out\n'; printf 'err\n' >&2; printf 'more\n'
touch /tmp/util.waiting
cat >/dev/null
exit 3
UTILITY
chmod 755 /tmp/util
alive() { kill -0 "$1" 2>/dev/null && ! grep -q '^State:.*Z' "/proc/$1/status" 2>/dev/null; }
settled() { [ -e /tmp/util.waiting ] || ! kill -0 "$1" 2>/dev/null; }
)sh";

const std::vector<Scenario> runner_scenarios = {
	{"utility writing both streams", R"sh(
		mkfifo /tmp/in; exec 5<>/tmp/in
		$SWEEP PrivRunner /tmp/util </tmp/in >/tmp/stream 2>/tmp/err 5>&- &
		R=$!
		WAIT_SECONDS=10 wait_for settled $R
		kill -0 $R 2>/dev/null && exec 5>&-
		wait $R; echo "status $?"
		[ -s /tmp/util.pid ] && alive "$(cat /tmp/util.pid)" && echo "utility running after the runner"
		exec 5>&-
		cat /tmp/err >&2
		sweep_end
		echo "--stream--"; cat /tmp/stream
	)sh"},
};

// The stream taken apart: the bytes of each of the utility's streams, the
// last line, and whether anything in it was not a line or frame.
struct Stream {
	std::string out, err, last;
	bool malformed = false;
};

Stream parse_stream(const std::string &text)
{
	Stream s;
	size_t at = 0;
	while (at < text.size()) {
		const size_t end = text.find('\n', at);
		if (end == std::string::npos) {
			s.malformed = true;
			break;
		}
		const std::string line = text.substr(at, end + 1 - at);
		at = end + 1;
		if (line == "STDOUT: 1\n" || line == "STDERR: 1\n") {
			if (at + 2 > text.size() || text[at + 1] != '\n') {
				s.malformed = true;
				break;
			}
			(line[3] == 'O' ? s.out : s.err) += text[at];
			at += 2;
			s.last = line;
		} else if (line.starts_with("PID: ") || line.starts_with("CHILDPID: ") ||
			   line.starts_with("EXITVALUE: ") || line.starts_with("ERROR: ")) {
			s.last = line;
		} else {
			s.malformed = true;
			break;
		}
	}
	return s;
}

void check_runner(const Run &run, std::vector<std::string> &broken)
{
	const std::string &out = run.result.out;
	const size_t mark = out.find("--stream--\n");
	const Stream stream = parse_stream(mark == std::string::npos ? "" : out.substr(mark + 11));
	const int status = status_of(run);
	if (stream.malformed)
		broken.push_back("a stream that is not lines and whole frames");
	// What the runner's process says when it cannot become the utility
	// comes in the utility's standard error.
	const bool says_why = run.point.ends_with(" child") && stream.err.starts_with("[PrivRunner] ");
	if (!std::string("out\nmore\n").starts_with(stream.out) ||
	    (!std::string("err\n").starts_with(stream.err) && !says_why))
		broken.push_back("bytes relayed that the utility did not write");
	const bool utility_left = sweep::has_line(out.substr(0, mark), "utility running after the runner");
	if (status == 0) {
		const bool whole = stream.last == "EXITVALUE: 3\n" && stream.out == "out\nmore\n" && stream.err == "err\n";
		const bool not_started = says_why && stream.last == "EXITVALUE: 255\n";
		if (!whole && !not_started)
			broken.push_back("exit 0 without the whole run and its exit value");
	} else if (status == 12) {
		if (!run.result.err.starts_with("ERROR: 12 Failed to write to stdout: "))
			broken.push_back("exit 12 without its line on standard error");
	} else if (!ended_by_its_signal(run, status)) {
		const std::string error = "ERROR: " + std::to_string(status == 255 ? -1 : status) + " ";
		if (!stream.last.starts_with(error))
			broken.push_back("exit " + std::to_string(status) + " without its ERROR line last");
	}
	if (utility_left && status != 0 && !ended_by_its_signal(run, status))
		broken.push_back("the utility runs on after an ERROR");
}

TEST(Sweep, PrivRunner)
{
	REQUIRE_SANDBOX();
	sweep::Plan plan;
	plan.prelude = runner_prelude;
	plan.check = check_runner;
	expect_holds(sweep::sweep(plan, runner_scenarios));
}

// --- the front ends -----------------------------------------------------
//
// Exit 0 only when the utility ran and said 0; otherwise the failure in
// whole lines, in the log and the same on standard error, or "Could not
// open log file!" and 91.

const std::string frontends_prelude = R"sh(
UTILITY=/Library/Filesystems/fusefs_ardntfs.fs/Contents/Resources/fusefs_ardntfs.util
LOG=/Library/Logs/newfs_fusefs_ardntfs.log
mkdir -p /Library/Logs
# run PROGRAM: the front end, its standard error passed on, then what the
# utility and the log saw.
run() {
	$SWEEP "$@" >/tmp/out; echo "status $?"
	[ -e /tmp/utility.report ] && echo "utility ran"
	[ ! -s $LOG ] || [ "$(tail -c 1 $LOG | od -An -c | tr -d ' ')" = '\n' ] || echo "log ends in a broken line"
	[ ! -e $LOG ] || echo "log lines $(wc -l <$LOG)"
	sed 's/^/out: /' /tmp/out; echo
	cp $LOG /tmp/log 2>/dev/null
	true
}
)sh";

const std::vector<Scenario> frontend_scenarios = {
	{"format, utility present", "install -D -m 755 /sandbox/support/utility_standin $UTILITY\n"
				    "run newfs_fusefs_ardntfs -v Data /dev/disk3s1; sweep_end\n"},
	{"format, utility missing", "run newfs_fusefs_ardntfs -v Data /dev/disk3s1; sweep_end\n"},
	{"repair, utility present", "install -D -m 755 /sandbox/support/utility_standin $UTILITY\n"
				    "run fusefs_ardntfs.repair '' /dev/disk3s1; sweep_end\n"},
	{"repair, utility missing", "run fusefs_ardntfs.repair '' /dev/disk3s1; sweep_end\n"},
};

void check_frontends(const Run &run, std::vector<std::string> &broken)
{
	const std::string &out = run.result.out;
	const int status = status_of(run);
	const bool ran = sweep::has_line(out, "utility ran");
	const std::string log_lines = sweep::line_after(out, "log lines ");
	if (status == 0 && !ran)
		broken.push_back("exit 0 and the utility never ran");
	if (ran && status != 0 && !ended_by_its_signal(run, status))
		broken.push_back("the utility ran and said 0, and the exit status is another");
	if (sweep::has_line(out, "log ends in a broken line"))
		broken.push_back("a broken line in the log");
	if (status == 91) {
		if (!sweep::line_after(out, "out: Could not open log file! ").size())
			broken.push_back("exit 91 without saying the log could not be opened");
	} else if (!ran && !ended_by_its_signal(run, status)) {
		if (status == 0 || log_lines.empty() || log_lines == "0")
			broken.push_back("a failure with nothing in the log");
		// A line whose write failed is missing from one of the two.
		else if (sweep::line_count(run.result.err) != size_t(std::stoul(log_lines)) &&
			 run.point.find(" writev ") == std::string::npos)
			broken.push_back("standard error does not carry the log's lines");
	}
}

TEST(Sweep, FrontEnds)
{
	REQUIRE_SANDBOX();
	sweep::Plan plan;
	plan.prelude = frontends_prelude;
	plan.check = check_frontends;
	expect_holds(sweep::sweep(plan, frontend_scenarios));
}

// --- sbin_link_repair ---------------------------------------------------
//
// Exit 0 only with both links correct; after a failure each link is correct
// or as it was, and nothing else was left under /usr/local.

const std::string link_prelude = R"sh(
SUPPORT=../../../Library/Filesystems/fusefs_ardntfs.fs/Contents/Resources/Support
# state NAME: what stands at the link's place.
state() {
	f=/usr/local/sbin/$1
	if [ "$(readlink "$f")" = "$SUPPORT/$1" ]; then echo correct
	elif [ -L "$f" ]; then echo "link to $(readlink "$f")"
	elif [ -f "$f" ]; then echo "file $(cat "$f")"
	elif [ -e "$f" ]; then echo other
	else echo missing; fi
}
judge() {
	echo "mount: $(state mount_fusefs_ardntfs) (was: $MOUNT_WAS)"
	echo "newfs: $(state newfs_fusefs_ardntfs) (was: $NEWFS_WAS)"
	echo "entries: $(find /usr/local | sort | tr '\n' ' ')"
}
before() { MOUNT_WAS=$(state mount_fusefs_ardntfs); NEWFS_WAS=$(state newfs_fusefs_ardntfs); }
)sh";

const std::vector<Scenario> link_scenarios = {
	{"links and their folder missing", R"sh(
		before
		$SWEEP sbin_link_repair; echo "status $?"
		judge; sweep_end
	)sh"},
	{"a wrong link and a file in their places", R"sh(
		mkdir -p /usr/local/sbin
		ln -s /elsewhere /usr/local/sbin/mount_fusefs_ardntfs
		echo old >/usr/local/sbin/newfs_fusefs_ardntfs
		before
		$SWEEP sbin_link_repair; echo "status $?"
		judge; sweep_end
	)sh"},
};

void check_link_repair(const Run &run, std::vector<std::string> &broken)
{
	const std::string &out = run.result.out;
	const int status = status_of(run);
	for (const char *link : {"mount: ", "newfs: "}) {
		const std::string line = sweep::line_after(out, link);
		const size_t was = line.find(" (was: ");
		const std::string now = line.substr(0, was);
		const std::string before = was == std::string::npos ? "" : line.substr(was + 7, line.size() - was - 8);
		if (status == 0 && now != "correct")
			broken.push_back(std::string("exit 0 with ") + link + now);
		if (now != "correct" && now != before && !ended_by_its_signal(run, status))
			broken.push_back(std::string(link) + before + " became " + now);
	}
	if (status != 0 && status != 1 && !ended_by_its_signal(run, status))
		broken.push_back("exit status " + std::to_string(status));
	if (status == 1 && run.result.err.empty())
		broken.push_back("exit 1 with nothing said");
	// The folders made, the two names, and nothing else.
	std::istringstream entries(sweep::line_after(out, "entries: "));
	for (std::string entry; entries >> entry;)
		if (entry != "/usr/local" && entry != "/usr/local/sbin" && entry != "/usr/local/sbin/mount_fusefs_ardntfs" &&
		    entry != "/usr/local/sbin/newfs_fusefs_ardntfs")
			broken.push_back("left under /usr/local: " + entry);
}

TEST(Sweep, LinkRepair)
{
	REQUIRE_SANDBOX();
	sweep::Plan plan;
	plan.prelude = link_prelude;
	plan.check = check_link_repair;
	expect_holds(sweep::sweep(plan, link_scenarios));
}

}  // namespace
