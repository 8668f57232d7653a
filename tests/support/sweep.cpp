#include "sweep.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <thread>

namespace sweep {
namespace {

// Waits until fault_sweep has seen the last process of the program; one
// that outlives the scenario is reported by the check, not waited for long.
const char common_prelude[] = R"sh(
sweep_end() {
	WAIT_SECONDS=${SWEEP_WAIT:-20} wait_text /sweep/report 'calls ' 2>/dev/null ||
		echo "sweep: processes of the program outlived the scenario"
}
)sh";

#if defined(__SANITIZE_ADDRESS__)
// The programs are built with AddressSanitizer: every run's reports, leaks
// included, go to files in the run's own folder, and each is a fault.  Such
// a sweep fails the calls and sends no signals: a signal ends a run before
// the leak check, and the plain build's sweep sends them.
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
const char sanitizer_log[] = "/sweep/sanitizer";

struct Job {
	size_t scenario;
	long point;          // 0: the clean run
	std::string signal;  // empty: the point fails the call
};

std::string sweep_command(const Plan &plan, const Job &job)
{
	std::string command = std::string(sandbox::kSupport) + "/fault_sweep -r /sweep/report";
	for (const std::string &name : plan.names)
		command += " -n " + name;
	if (job.point > 0 && job.signal.empty())
		command += " -f " + std::to_string(job.point);
	else if (job.point > 0)
		command += " -s " + std::to_string(job.point) + ":" + job.signal;
	return command;
}

Run run_job(const Plan &plan, const Scenario &scenario, const Job &job)
{
	sandbox::TempDir report_dir;
	sandbox::Sandbox box = plan.box;
	box.binds.push_back({report_dir.path(), "/sweep"});
	box.env.push_back("SWEEP=" + sweep_command(plan, job));
	if (sanitized) {
		const char *options = getenv("ASAN_OPTIONS");
		box.env.push_back(std::string("ASAN_OPTIONS=") + (options ? options : "") + ":log_path=" +
				  sanitizer_log);
	}
	Run run;
	run.scenario = scenario.name;
	const auto start = std::chrono::steady_clock::now();
	run.result = box.sh(common_prelude + plan.prelude + scenario.script);
	run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
	const std::string report = sandbox::read_file(report_dir / "report");
	run.point = line_after(report, "point ");
	if (!run.point.empty()) {
		run.point = "point " + run.point;
		run.signal = job.signal;
	}
	const std::string calls = line_after(report, "calls ");
	run.ended = !calls.empty();
	run.calls = run.ended ? size_t(std::stoul(calls)) : 0;
	const std::string log_name = std::filesystem::path(sanitizer_log).filename();
	for (const auto &entry : std::filesystem::directory_iterator(report_dir.path()))
		if (entry.path().filename().string().compare(0, log_name.size(), log_name) == 0)
			run.sanitizer += sandbox::read_file(entry.path());
	return run;
}

// 1..calls, or max points spread evenly over them, first and last included.
std::vector<long> points_of(size_t calls, size_t max)
{
	std::vector<long> points;
	if (calls <= max || max < 2) {
		for (size_t k = 1; k <= calls; k++)
			points.push_back(long(k));
		return points;
	}
	for (size_t i = 0; i < max; i++)
		points.push_back(long(1 + (i * (calls - 1) + (max - 1) / 2) / (max - 1)));
	points.erase(std::unique(points.begin(), points.end()), points.end());
	return points;
}

std::string describe(const Run &run, const Job &job)
{
	std::ostringstream os;
	os << run.scenario << ", ";
	if (job.point == 0)
		os << "clean run";
	else if (!run.point.empty())
		os << run.point;
	else
		os << "point " << job.point << (job.signal.empty() ? "" : " " + job.signal) << " not reached";
	return os.str();
}

// Runs every job on as many workers as the machine has processors.
template <typename Work>
void run_all(size_t count, Work work)
{
	std::atomic<size_t> next{0};
	const unsigned workers = std::max(2u, std::thread::hardware_concurrency());
	std::vector<std::thread> threads;
	for (unsigned w = 0; w < workers; w++)
		threads.emplace_back([&] {
			for (size_t i; (i = next++) < count;)
				work(i);
		});
	for (std::thread &t : threads)
		t.join();
}

}  // namespace

std::ostream &operator<<(std::ostream &os, const Outcome &o)
{
	os << o.scenarios << " scenarios, " << o.calls << " calls in the clean runs, " << o.points
	   << " points swept, " << o.runs << " runs, " << o.broken.size() << " broken\n";
	for (const auto &[scenario, seconds] : o.seconds)
		os << "  " << scenario << ": " << int(seconds) << " s of runs\n";
	// Every broken point in a line, then the whole of the first few runs.
	for (const std::string &b : o.broken)
		os << "  " << b.substr(0, b.find('\n')) << "\n";
	const size_t shown = std::min<size_t>(o.broken.size(), 4);
	for (size_t i = 0; i < shown; i++)
		os << "\n" << o.broken[i] << "\n";
	return os;
}

Outcome sweep(const Plan &plan, const std::vector<Scenario> &scenarios)
{
	Outcome outcome;
	outcome.scenarios = scenarios.size();
	std::mutex lock;
	auto record = [&](const Run &run, const Job &job) {
		std::vector<std::string> broken;
		if (!run.ended)
			broken.push_back("processes of the program were still running when the scenario ended");
		plan.check(run, broken);
		if (!run.sanitizer.empty())
			broken.push_back("a sanitizer report\n" + run.sanitizer);
		std::lock_guard<std::mutex> guard(lock);
		outcome.runs++;
		outcome.seconds[run.scenario] += run.seconds;
		for (const std::string &what : broken) {
			std::ostringstream os;
			os << describe(run, job) << ": " << what << "\n" << run.result;
			outcome.broken.push_back(os.str());
		}
	};

	// The clean runs count the calls; then every point of every scenario,
	// failing and with each signal.
	std::vector<Job> jobs;
	for (size_t s = 0; s < scenarios.size(); s++)
		jobs.push_back(Job{s, 0, ""});
	std::vector<size_t> calls(scenarios.size());
	run_all(jobs.size(), [&](size_t i) {
		Run run = run_job(plan, scenarios[jobs[i].scenario], jobs[i]);
		calls[i] = run.calls;
		record(run, jobs[i]);
	});
	jobs.clear();
	for (size_t s = 0; s < scenarios.size(); s++) {
		outcome.calls += calls[s];
		for (long point : points_of(calls[s], plan.max_points)) {
			outcome.points++;
			jobs.push_back(Job{s, point, ""});
			for (const std::string &signal : plan.signals)
				if (!sanitized)
					jobs.push_back(Job{s, point, signal});
		}
	}
	run_all(jobs.size(), [&](size_t i) { record(run_job(plan, scenarios[jobs[i].scenario], jobs[i]), jobs[i]); });
	return outcome;
}

std::string line_after(const std::string &text, const std::string &prefix)
{
	std::istringstream in(text);
	for (std::string line; std::getline(in, line);)
		if (line.compare(0, prefix.size(), prefix) == 0)
			return line.substr(prefix.size());
	return "";
}

bool has_line(const std::string &text, const std::string &line)
{
	std::istringstream in(text);
	for (std::string l; std::getline(in, l);)
		if (l == line)
			return true;
	return false;
}

size_t line_count(const std::string &text)
{
	return size_t(std::count(text.begin(), text.end(), '\n'));
}

}  // namespace sweep
