// Fault sweeps: a program's scenario is run once cleanly, counting the
// program's own system calls, then once for each of those calls made to
// fail, and once for each call and each of a few terminating signals sent
// while the call is made (fault_sweep does the failing and the sending).
// After every run a check says what, if anything, the run broke of what
// must hold whatever failed.
//
// A scenario is a shell script run in a fresh sandbox, with lib.sh and the
// plan's prelude sourced.  It starts the program under test as
//
//	$SWEEP PROGRAM ARG...
//
// prints what it observes, ends every process of the program it may have
// left, and ends with sweep_end, which waits until fault_sweep has seen the
// last of them.  The program's own standard error may pass through to the
// script's; the script's own words go to standard output.
//
// Built with AddressSanitizer, a sweep fails the calls only, and every
// report of the sanitizer's, in any process of the run, breaks the run.
#pragma once

#include "sandbox.h"

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace sweep {

struct Run {
	std::string scenario;
	// What fault_sweep did: "point K CALL ERROR" or "point K CALL SIGNAL";
	// empty for the clean run and for a point the run never reached (the
	// calls of several processes need not come in the same order twice).
	std::string point;
	std::string signal;  // "TERM" etc. when the point sent one
	sandbox::Result result;
	bool ended = false;  // fault_sweep saw the last process of the program
	size_t calls = 0;    // the program's calls that fault_sweep counted
	double seconds = 0;  // the run took
	std::string sanitizer;  // AddressSanitizer's reports, in a sanitized build
};

// Adds a line to broken for each thing the run got wrong.
using Check = std::function<void(const Run &run, std::vector<std::string> &broken)>;

struct Scenario {
	std::string name;
	std::string script;
};

struct Plan {
	sandbox::Sandbox box;
	std::string prelude;
	// Names of the program's executables (fault_sweep -n); by default the
	// last component of the path after $SWEEP.
	std::vector<std::string> names;
	Check check;
	// Points per scenario at most: above that they are spread evenly over
	// the calls, first and last included, so that a call made thousands of
	// times is sampled rather than run thousands of times.
	size_t max_points = 200;
	std::vector<std::string> signals = {"TERM", "INT", "HUP", "QUIT"};
};

struct Outcome {
	size_t scenarios = 0;
	size_t calls = 0;   // in the clean runs, all scenarios
	size_t points = 0;  // swept, all scenarios
	size_t runs = 0;
	std::vector<std::string> broken;  // "scenario, point: what", with the run
	std::map<std::string, double> seconds;  // each scenario's runs took, all together
};
std::ostream &operator<<(std::ostream &os, const Outcome &o);

Outcome sweep(const Plan &plan, const std::vector<Scenario> &scenarios);

// The whole line of text that begins with prefix, without it; empty when
// there is none.
std::string line_after(const std::string &text, const std::string &prefix);
// Whether text has a line that is exactly line.
bool has_line(const std::string &text, const std::string &line);
size_t line_count(const std::string &text);

}  // namespace sweep
