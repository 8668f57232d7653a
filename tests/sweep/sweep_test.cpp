// Every step may fail: each program's main scenarios, with each of the
// program's own system calls made to fail in turn and with TERM, INT, HUP
// and QUIT arriving at each of them (see sweep.h).  One table of scenarios
// per program, and one check of what must hold whatever failed.
#include "sweep.h"

#include <csignal>
#include <iostream>
#include <map>

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
	if (copy_left && (!removal_refused || err.find("Error while removing /tmp/ardova_updater_image.") ==
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

}  // namespace
