// PrivRunner in a private root, as root, as an unprivileged user and with
// borrowed rights; every stream read back through readPrivRunnerOutput.
#include "parse.h"
#include "sandbox.h"

#include <cstdlib>
#include <random>
#include <set>
#include <sstream>

using namespace privrunner_test;
using sandbox::Result;
using sandbox::Sandbox;

namespace {

struct Outcome {
	Result r;
	Parsed p;
};

std::ostream &operator<<(std::ostream &os, const Outcome &run)
{
	return os << run.r << "\nreader returned " << run.p.ret << ": " << run.p.messages;
}

Outcome run(const Sandbox &box, const std::vector<std::string> &argv)
{
	Outcome run;
	run.r = box.run(argv);
	run.p = parse(run.r.out);
	return run;
}

// The lines that begin the stream of a run whose utility was started: the
// PID line twice (standard output is a pipe here), then the CHILDPID line.
std::string started(const Parsed &p)
{
	const std::string pid = "PID: " + std::to_string(p.result.pid) + "\n";
	return pid + pid + "CHILDPID: " + std::to_string(p.result.childPid) + "\n";
}

std::string pid_line(const Parsed &p)
{
	return "PID: " + std::to_string(p.result.pid) + "\n";
}

class PrivRunner : public testing::Test {
protected:
	void SetUp() override { REQUIRE_SANDBOX(); }
	Sandbox box;
};

TEST_F(PrivRunner, NoArguments)
{
	Outcome res = run(box, {"PrivRunner"});
	EXPECT_EQ(res.r.status, 1) << res;
	EXPECT_EQ(res.r.out,
		  pid_line(res.p) + "ERROR: 1 Invalid number of arguments. (got: 0, minimum required: 1)\n");
	EXPECT_EQ(res.r.err, "");
	EXPECT_EQ(res.p.ret, 1);
	EXPECT_EQ(res.p.result.hasPid, 1);
	EXPECT_GT(res.p.result.pid, 0);
	EXPECT_EQ(res.p.result.hasError, 1);
	EXPECT_EQ(res.p.result.errorCode, 1);
	EXPECT_EQ(res.p.result.hasChildPid, 0);
	EXPECT_EQ(res.p.result.hasExitValue, 0);
}

TEST_F(PrivRunner, WithoutTheRightToBecomeRoot)
{
	for (const auto &argv : {std::vector<std::string>{"PrivRunner", "/usr/bin/id"},
				 std::vector<std::string>{"PrivRunner"}}) {
		Outcome res = run(box, sandbox::as_user(65534, 65534, argv));
		EXPECT_EQ(res.r.status, 2) << res;
		EXPECT_EQ(res.r.out, pid_line(res.p) + "ERROR: 2 Could not setuid(0)\n");
		EXPECT_EQ(res.r.err, "");
		EXPECT_EQ(res.p.ret, 1);
		EXPECT_EQ(res.p.result.hasError, 1);
		EXPECT_EQ(res.p.result.errorCode, 2);
		EXPECT_EQ(res.p.result.hasChildPid, 0);
	}
}

TEST_F(PrivRunner, UtilityThatCannotBeStarted)
{
	Outcome missing = run(box, {"PrivRunner", "/no/such/utility", "arg"});
	EXPECT_EQ(missing.r.status, 0) << missing;
	EXPECT_EQ(missing.r.out, started(missing.p) +
					 frames("STDERR", "[PrivRunner] execv failed with errno: 2 (No such file or directory)\n") +
					 "EXITVALUE: 255\n");
	EXPECT_EQ(missing.r.err, "");
	EXPECT_EQ(missing.p.ret, 1);
	EXPECT_EQ(missing.p.result.hasExitValue, 1);
	EXPECT_EQ(missing.p.result.exitValue, 255);
	EXPECT_EQ(missing.p.result.hasError, 0);
	EXPECT_EQ(missing.p.out, "");

	// No search along PATH, and a file that is not executable.
	Outcome by_name = run(box, {"PrivRunner", "id"});
	EXPECT_EQ(by_name.p.err, "[PrivRunner] execv failed with errno: 2 (No such file or directory)\n") << by_name;
	EXPECT_EQ(by_name.p.result.exitValue, 255);

	Outcome not_executable = run(box, {"PrivRunner", "/etc/passwd"});
	EXPECT_EQ(not_executable.p.err, "[PrivRunner] execv failed with errno: 13 (Permission denied)\n")
		<< not_executable;
	EXPECT_EQ(not_executable.r.status, 0);
}

TEST_F(PrivRunner, ExitValues)
{
	Outcome three = run(box, {"PrivRunner", "/bin/sh", "-c", "exit 3"});
	EXPECT_EQ(three.r.status, 0) << three;
	EXPECT_EQ(three.r.out, started(three.p) + "EXITVALUE: 3\n");
	EXPECT_EQ(three.p.result.exitValue, 3);

	Outcome high = run(box, {"PrivRunner", "/bin/sh", "-c", "exit 254"});
	EXPECT_EQ(high.r.status, 0) << high;
	EXPECT_EQ(high.r.out, started(high.p) + "EXITVALUE: 254\n");

	// A silent utility: nothing but the runner's own lines.
	Outcome silent = run(box, {"PrivRunner", "/bin/true"});
	EXPECT_EQ(silent.r.status, 0) << silent;
	EXPECT_EQ(silent.r.out, started(silent.p) + "EXITVALUE: 0\n");
	EXPECT_EQ(silent.r.err, "");
	EXPECT_EQ(silent.p.ret, 1);
	EXPECT_NE(silent.p.result.childPid, silent.p.result.pid);
}

TEST_F(PrivRunner, UtilityEndedBySignal)
{
	Outcome killed = run(box, {"PrivRunner", "/bin/sh", "-c", "echo before; kill -9 $$"});
	EXPECT_EQ(killed.r.status, 6) << killed;
	EXPECT_EQ(killed.r.out, started(killed.p) + frames("STDOUT", "before\n") +
					"ERROR: 6 Process did not exit cleanly (crash?) status=0x9\n");
	EXPECT_EQ(killed.p.ret, 1);
	EXPECT_EQ(killed.p.result.hasError, 1);
	EXPECT_EQ(killed.p.result.errorCode, 6);
	EXPECT_EQ(killed.p.result.hasExitValue, 0);

	Outcome terminated = run(box, {"PrivRunner", "/bin/sh", "-c", "kill -TERM $$"});
	EXPECT_EQ(terminated.r.status, 6) << terminated;
	EXPECT_EQ(terminated.r.out,
		  started(terminated.p) + "ERROR: 6 Process did not exit cleanly (crash?) status=0xF\n");
}

TEST_F(PrivRunner, ArgumentsStandardInputAndWorkingFolder)
{
	box.input = "from the caller\n";
	Outcome r = run(box, {"/bin/sh", "-c",
			  "printf '#!/bin/sh\\nprintf \"[%%s]\" \"$0\" \"$@\"; cat\\n' >/tmp/args.sh && "
			  "chmod +x /tmp/args.sh && cd /tmp && exec PrivRunner ./args.sh 'a b' '' c"});
	EXPECT_EQ(r.r.status, 0) << r;
	EXPECT_EQ(r.p.out, "[./args.sh][a b][][c]from the caller\n");
	EXPECT_EQ(r.p.err, "");
	EXPECT_EQ(r.p.result.exitValue, 0);
}

TEST_F(PrivRunner, BothStreamsInterleavedEachInItsOrder)
{
	std::string script, out, err;
	for (int i = 0; i < 200; i++) {
		std::string o = "out" + std::to_string(i) + "\n", e = "err" + std::to_string(i) + "\n";
		script += "printf '" + o.substr(0, o.size() - 1) + "\\n'; printf '" + e.substr(0, e.size() - 1) +
			  "\\n' >&2; ";
		out += o;
		err += e;
	}
	Outcome r = run(box, {"PrivRunner", "/bin/sh", "-c", script});
	EXPECT_EQ(r.r.status, 0) << r;
	EXPECT_EQ(r.p.ret, 1) << r;
	EXPECT_EQ(r.p.out, out);
	EXPECT_EQ(r.p.err, err);
	EXPECT_EQ(r.p.calls.size(), out.size() + err.size());
	for (const auto &[tag, body] : r.p.calls)
		EXPECT_EQ(body.size(), 1u);
	EXPECT_TRUE(r.r.out.starts_with(started(r.p)));
	EXPECT_TRUE(r.r.out.ends_with("\nEXITVALUE: 0\n"));
}

TEST_F(PrivRunner, BinaryOutputByteForByte)
{
	sandbox::TempDir dir;
	std::string blob;
	for (int i = 0; i < 256; i++)
		blob.push_back(char(i));
	std::mt19937 random(11);
	for (int i = 0; i < 100000; i++)
		blob.push_back(char(random()));
	sandbox::write_file(dir / "blob", blob);
	box.ro_binds.push_back({dir.path(), "/data"});

	Outcome r = run(box, {"PrivRunner", "/bin/sh", "-c", "cat /data/blob; cat /data/blob >&2"});
	EXPECT_EQ(r.r.status, 0) << r.r.err;
	EXPECT_EQ(r.p.ret, 1) << r.p.messages;
	EXPECT_TRUE(r.p.out == blob) << "standard output differs";
	EXPECT_TRUE(r.p.err == blob) << "standard error differs";
	EXPECT_EQ(r.p.calls.size(), 2 * blob.size());
}

TEST_F(PrivRunner, EachByteLeavesAsSoonAsWritten)
{
	// The utility waits, after one byte, until the caller has seen it.
	Result r = box.sh(R"(
		PrivRunner /bin/sh -c 'printf a; while [ ! -e /tmp/go ]; do sleep 0.01; done; printf b' >/tmp/stream &
		wait_text /tmp/stream 'STDOUT: 1' && echo seen
		touch /tmp/go
		wait $!; echo "status $?"; cat /tmp/stream
	)");
	EXPECT_EQ(r.status, 0) << r;
	EXPECT_TRUE(r.out.starts_with("seen\nstatus 0\n")) << r;
	Parsed p = parse(r.out.substr(r.out.find("status 0\n") + 9));
	EXPECT_EQ(p.out, "ab");
	EXPECT_EQ(p.result.exitValue, 0);
}

TEST_F(PrivRunner, OutputHeldOpenByABackgroundProcess)
{
	// The background process writes once the utility has exited and is a
	// zombie that only the runner can reap.
	Outcome r = run(box, {"PrivRunner", "/bin/sh", "-c",
			  "p=$$; (while [ \"$(cut -d' ' -f3 /proc/$p/stat)\" != Z ]; do sleep 0.01; done;"
			  " echo late; echo late-err >&2) & echo early; exit 4"});
	EXPECT_EQ(r.r.status, 0) << r;
	EXPECT_EQ(r.p.ret, 1) << r;
	EXPECT_EQ(r.p.out, "early\nlate\n");
	EXPECT_EQ(r.p.err, "late-err\n");
	EXPECT_EQ(r.r.out.find("EXITVALUE"), r.r.out.size() - 13) << "EXITVALUE before the last frame";
}

TEST_F(PrivRunner, PidLineOnceOnATerminal)
{
	Result r = box.run({"script", "-qec", "PrivRunner /bin/true", "/dev/null"});
	EXPECT_EQ(r.status, 0) << r;
	std::string stream;
	for (char c : r.out)
		if (c != '\r')
			stream += c;
	Parsed p = parse(stream);
	EXPECT_EQ(p.ret, 1) << r;
	EXPECT_EQ(stream, pid_line(p) + "CHILDPID: " + std::to_string(p.result.childPid) + "\nEXITVALUE: 0\n");
}

// The utility's environment, read back from /usr/bin/env through the runner.
std::set<std::string> environment_of(const Outcome &r)
{
	std::set<std::string> vars;
	std::istringstream lines(r.p.out);
	for (std::string line; std::getline(lines, line);)
		vars.insert(line);
	return vars;
}

const std::vector<std::string> kLoaderAndShellVariables = {
	"LD_FOO=1", "LD_BIND_NOW=1", "LD_LIBRARY_PATH=/nowhere", "DYLD_INSERT_LIBRARIES=/x.dylib",
	"DYLD_LIBRARY_PATH=/nowhere", "IFS=x", "ENV=/tmp/env.sh", "BASH_ENV=/tmp/env.sh",
	"SHELLOPTS=xtrace", "PS4=$(id)", "BASH_FUNC_f%%=() { id; }",
};
const std::vector<std::string> kOrdinaryVariables = {
	"FOO=bar", "LD=1", "MY_LD_PRELOAD=x", "XDYLD_X=1", "IFS2=1", "ENVX=1", "PS41=1", "BASH_FUNCTION=1",
	"BASH_FUNC=1", "EMPTY=", "PATH=/sandbox/bin:/sandbox/support:/usr/sbin:/usr/bin:/sbin:/bin",
};

TEST_F(PrivRunner, EnvironmentPassesUnchangedForRoot)
{
	box.env = kLoaderAndShellVariables;
	box.env.insert(box.env.end(), kOrdinaryVariables.begin(), kOrdinaryVariables.end());
	Outcome r = run(box, {"PrivRunner", "/usr/bin/env"});
	EXPECT_EQ(r.r.status, 0) << r;
	const std::set<std::string> vars = environment_of(r);
	for (const std::string &var : box.env)
		EXPECT_TRUE(vars.count(var)) << var << " missing";
}

TEST_F(PrivRunner, BorrowedRightsRemoveLoaderAndShellVariables)
{
	box.env = kLoaderAndShellVariables;
	box.env.insert(box.env.end(), kOrdinaryVariables.begin(), kOrdinaryVariables.end());
	Outcome r = run(box, {"setpriv", "--ruid=1000", "--euid=0", "PrivRunner", "/usr/bin/env"});
	EXPECT_EQ(r.r.status, 0) << r;
	EXPECT_EQ(r.p.result.exitValue, 0);
	const std::set<std::string> vars = environment_of(r);
	for (const std::string &var : kLoaderAndShellVariables)
		EXPECT_FALSE(vars.count(var)) << var << " reached the utility";
	for (const std::string &var : kOrdinaryVariables)
		EXPECT_TRUE(vars.count(var)) << var << " missing";
	for (const std::string &var : vars)
		EXPECT_FALSE(var.starts_with("LD_") || var.starts_with("DYLD_")) << var;
}

TEST_F(PrivRunner, BorrowedRightsRunTheUtilityAsRoot)
{
	Outcome r = run(box, {"setpriv", "--ruid=1000", "--euid=0", "PrivRunner", "/usr/bin/id"});
	EXPECT_EQ(r.r.status, 0) << r;
	EXPECT_TRUE(r.p.out.starts_with("uid=0(root) gid=0(root)")) << r.p.out;
	EXPECT_EQ(r.p.out.find("euid"), std::string::npos) << r.p.out;
	EXPECT_EQ(r.r.out, started(r.p) + frames("STDOUT", r.p.out) + "EXITVALUE: 0\n");
}

// Runs PrivRunner with one call made to fail by the preloaded fault library.
class PrivRunnerFault : public PrivRunner {
protected:
	// The sanitizer runtime must let the fault library come first.  The
	// loader puts each program's platform for $PLATFORM: the utility may
	// have another word size than the runner.
	static std::vector<std::string> fault_env(const std::string &fault)
	{
		const char *asan = getenv("ASAN_OPTIONS");
		return {"LD_PRELOAD=/sandbox/support/$PLATFORM/privrunner_fault.so", "FAULT=" + fault,
			"ASAN_OPTIONS=" + std::string(asan ? asan : "") + (asan ? ":" : "") +
				"verify_asan_link_order=0"};
	}

	Outcome run_with(const std::string &fault, const std::vector<std::string> &utility)
	{
		box.env = fault_env(fault);
		std::vector<std::string> argv = {"PrivRunner"};
		argv.insert(argv.end(), utility.begin(), utility.end());
		return run(box, argv);
	}

	// Runs PrivRunner on a utility shell script and, once the runner has
	// ended, waits for the utility's process too: that process writes its
	// copy of the PID line as it starts, and a runner that fails early may
	// end first.  The sandbox would take the process with it.
	Outcome run_waiting_for_utility(const std::string &fault, const std::string &utility_script)
	{
		box.env = fault_env(fault);
		Outcome run;
		// A runner that ends on an error has stopped and reaped the
		// utility first: none is left running as it returns.
		run.r = box.sh("PrivRunner /bin/sh -c '" + utility_script + R"(' >/tmp/stream; status=$?
			child=$(sed -n 's/^CHILDPID: //p' /tmp/stream)
			if [ -n "$child" ] && kill -0 "$child" 2>/dev/null; then
				echo "utility still running" >&2
				wait_exit "$child"
			fi
			cat /tmp/stream
			exit $status
		)");
		run.p = parse(run.r.out);
		return run;
	}
};

TEST_F(PrivRunnerFault, BeforeTheUtilityStarts)
{
	struct Case {
		std::string fault;
		int status;
		std::string line;
	};
	const Case cases[] = {
		{"pipe:1", 8, "ERROR: 8 Couldn't create pipe for capturing stdout. errno: 24 (Too many open files)\n"},
		{"pipe:2", 9, "ERROR: 9 Couldn't create pipe for capturing stderr. errno: 24 (Too many open files)\n"},
		{"fork", 3, "ERROR: 3 Could not fork()!\n"},
		// The readers start before the utility, which is then never run.
		{"thread:1", 255, "ERROR: -1 Couldn't create reader thread: 11 (Resource temporarily unavailable)\n"},
		{"thread:2", 255, "ERROR: -1 Couldn't create reader thread: 11 (Resource temporarily unavailable)\n"},
		{"lock:1", 255, "ERROR: -1 Failed to lock emit_mutex!\n"},
	};
	for (const Case &c : cases) {
		Outcome r = run_with(c.fault, {"/bin/echo", "hi"});
		EXPECT_EQ(r.r.status, c.status) << r;
		EXPECT_EQ(r.r.out, pid_line(r.p) + c.line);
		EXPECT_EQ(r.r.err, "");
		EXPECT_EQ(r.p.ret, 1);
		EXPECT_EQ(r.p.result.errorCode, c.status == 255 ? -1 : c.status);
		EXPECT_EQ(r.p.result.hasChildPid, 0);
	}

	Outcome mutex = run_with("mutex_init", {"/bin/echo", "hi"});
	EXPECT_EQ(mutex.r.status, 255) << mutex;
	EXPECT_EQ(mutex.r.out, "ERROR: -1 pthread_mutex_init failed!\n");
	EXPECT_EQ(mutex.p.result.hasPid, 0);
	EXPECT_EQ(mutex.p.result.errorCode, -1);
}

TEST_F(PrivRunnerFault, WhileRelaying)
{
	struct Case {
		std::string fault;
		int status;
		std::string line;
	};
	const Case cases[] = {
		{"read_stdout:3", 10, "ERROR: 10 Failed to read from sink side of stdout pipe: 5 (Input/output error)\n"},
		{"read_stderr:3", 11, "ERROR: 11 Failed to read from sink side of stderr pipe: 5 (Input/output error)\n"},
		{"lock:3", 255, "ERROR: -1 Failed to lock emit_mutex!\n"},
		{"unlock:3", 255, "ERROR: -1 Failed to unlock emit_mutex!\n"},
	};
	for (const Case &c : cases) {
		// The utility writes to both streams and would then go on running.
		Outcome r = run_waiting_for_utility(c.fault, "echo out; echo err >&2; echo out; echo err >&2; exec sleep 1000");
		EXPECT_EQ(r.r.status, c.status) << c.fault << "\n" << r;
		// The utility's process writes its copy of the PID line as it
		// starts; a runner that fails before it relays anything may be
		// quicker.
		std::string stream = r.r.out;
		if (stream.ends_with(pid_line(r.p)))
			stream = pid_line(r.p) + stream.substr(0, stream.size() - pid_line(r.p).size());
		EXPECT_TRUE(stream.starts_with(started(r.p))) << r;
		EXPECT_TRUE(stream.ends_with(c.line)) << r;
		EXPECT_EQ(r.r.err, "");
		// The error line came whole, after whole frames only.
		EXPECT_EQ(r.p.ret, 1) << c.fault << ": " << r.p.messages;
		EXPECT_EQ(r.p.result.errorCode, c.status == 255 ? -1 : c.status);
		EXPECT_EQ(r.p.result.hasExitValue, 0);
	}
}

TEST_F(PrivRunnerFault, ErrorLineNeverInsideTheOtherThreadsFrame)
{
	// Many runs, each failing at another point while both threads have
	// bytes waiting to be relayed: the line is the stream's one error line
	// and its last, never broken into a frame (the reader rejects that).
	struct Case {
		std::string fault;  // the run's number is put in place of N
		int status;
		std::string line;
	};
	const Case cases[] = {
		{"read_stdout:N", 10, "ERROR: 10 Failed to read from sink side of stdout pipe: 5 (Input/output error)\n"},
		// One lock fails; the other thread's lock still works.
		{"lock:N", 255, "ERROR: -1 Failed to lock emit_mutex!\n"},
		// The lock fails for both threads from then on.
		{"lock:N+", 255, "ERROR: -1 Failed to lock emit_mutex!\n"},
	};
	const int runs = 20;
	sandbox::TempDir dir;
	box.binds.push_back({dir.path(), "/out"});
	box.env = fault_env("");
	for (const Case &c : cases) {
		const std::string fault = c.fault.substr(0, c.fault.find('N'));
		const std::string suffix = c.fault.substr(c.fault.find('N') + 1);
		// The utility fills both pipes at once, before the failing point.
		Result all = box.sh("for n in $(seq " + std::to_string(runs) + "); do FAULT=" + fault +
				    "$((500 + n * 7))" + suffix + R"( PrivRunner /bin/sh -c '
				s=$(head -c 20000 /dev/zero | tr "\000" x); printf %s "$s"; printf %s "$s" >&2
				while echo out && echo err >&2; do :; done' >/out/s$n
			status=$?; [ $status = )" + std::to_string(c.status) + R"( ] || echo "run $n: status $status"
		done)");
		EXPECT_EQ(all.status, 0) << all;
		EXPECT_EQ(all.out, "") << c.fault;
		for (int n = 1; n <= runs; n++) {
			const std::string stream = sandbox::read_file(dir / ("s" + std::to_string(n)));
			Parsed p = parse(stream);
			EXPECT_EQ(p.ret, 1) << c.fault << " run " << n << ": " << p.messages;
			EXPECT_TRUE(stream.ends_with("\n" + c.line))
				<< c.fault << " run " << n << " ends:\n" << stream.substr(stream.size() - 120);
			EXPECT_EQ(stream.find("ERROR:"), stream.size() - c.line.size()) << c.fault << " run " << n;
			if (c.status == 10) {
				EXPECT_EQ(p.out.size(), size_t(500 + n * 7 - 1)) << "run " << n;
			}
		}
	}
}

TEST_F(PrivRunnerFault, WaitFails)
{
	Outcome r = run_with("waitpid", {"/bin/echo", "hi"});
	EXPECT_EQ(r.r.status, 7) << r;
	EXPECT_EQ(r.r.out, started(r.p) + frames("STDOUT", "hi\n") + "ERROR: 7 waitpid failed! waitres=-1\n");
	EXPECT_EQ(r.p.result.errorCode, 7);
	EXPECT_EQ(r.p.result.hasExitValue, 0);
}

TEST_F(PrivRunnerFault, StreamBrokenAtAFrame)
{
	// The third write is the second frame: the first one arrives whole, and
	// nothing after the break could make the stream look complete.
	Outcome r = run_waiting_for_utility("write_stdout:3", "printf abc");
	EXPECT_EQ(r.r.status, 12) << r;
	EXPECT_EQ(r.r.out, started(r.p) + frames("STDOUT", "a"));
	EXPECT_EQ(r.r.err, "ERROR: 12 Failed to write to stdout: 5 (Input/output error)\n");
	EXPECT_EQ(r.p.ret, 1);
	EXPECT_EQ(r.p.result.hasChildPid, 1);
	EXPECT_EQ(r.p.result.hasExitValue, 0);
	EXPECT_EQ(r.p.result.hasError, 0);
}

// The runner started by a caller that hands it an awkward standard output,
// ignores signals, or goes away.  caller.py runs the command line after its
// mode and passes on the runner's stream and exit status.
class PrivRunnerCaller : public PrivRunner {
protected:
	void SetUp() override
	{
		PrivRunner::SetUp();
		sandbox::write_file(dir / "caller.py", kCaller);
		box.ro_binds.push_back({dir.path(), "/data"});
	}

	Outcome call(const std::string &mode, const std::vector<std::string> &argv)
	{
		std::vector<std::string> cmd = {"python3", "/data/caller.py", mode};
		cmd.insert(cmd.end(), argv.begin(), argv.end());
		return run(box, cmd);
	}

	static constexpr const char *kCaller = R"(
import array, fcntl, os, select, subprocess, sys, termios, time

mode, argv = sys.argv[1], sys.argv[2:]
r, w = os.pipe()

def queued():
    n = array.array("i", [0])
    fcntl.ioctl(r, termios.FIONREAD, n)
    return n[0]

def wait_for(condition):
    deadline = time.monotonic() + 60
    while not condition():
        if time.monotonic() > deadline:
            sys.exit("caller: timed out")
        time.sleep(0.005)

def read_some():
    chunk = os.read(r, 65536)
    sys.stdout.buffer.write(chunk)
    return chunk

if mode == "nonblocking":
    # One page: a frame no longer fits once more than 4096 - 12 bytes wait.
    fcntl.fcntl(w, fcntl.F_SETPIPE_SZ, 4096)
    fcntl.fcntl(w, fcntl.F_SETFL, fcntl.fcntl(w, fcntl.F_GETFL) | os.O_NONBLOCK)
elif mode == "closed":
    os.close(r)
runner = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=w)

if mode == "nonblocking":
    wait_for(lambda: queued() > 4096 - 12)
    while runner.poll() is None:
        if select.select([r], [], [], 0.05)[0]:
            read_some()
    os.set_blocking(r, False)
    try:
        while read_some():
            pass
    except BlockingIOError:
        pass
    if not fcntl.fcntl(w, fcntl.F_GETFL) & os.O_NONBLOCK:
        print("caller: O_NONBLOCK cleared", file=sys.stderr)
elif mode == "leaves":
    # Reads the first frame, then goes away and lets the utility end.
    os.close(w)
    seen = b""
    while b"STDOUT: 1\na\n" not in seen:
        seen += read_some()
    os.close(r)
    open("/tmp/go", "w").close()
else:
    os.close(w)
    if mode != "closed":
        while read_some():
            pass
sys.stdout.flush()
status = runner.wait()
sys.exit(status if status >= 0 else 128 - status)
)";

	sandbox::TempDir dir;
};

TEST_F(PrivRunnerCaller, NonBlockingStandardOutput)
{
	// The pipe fills up at once; every frame must wait for room.
	Outcome r = call("nonblocking", {"PrivRunner", "/usr/bin/head", "-c", "100000", "/dev/zero"});
	EXPECT_EQ(r.r.status, 0) << r.r.err;
	EXPECT_EQ(r.r.err, "");
	EXPECT_EQ(r.p.ret, 1) << r.p.messages;
	EXPECT_EQ(r.p.out.size(), 100000u);
	EXPECT_EQ(r.p.out.find_first_not_of('\0'), std::string::npos);
	EXPECT_EQ(r.p.calls.size(), 100000u);
	EXPECT_TRUE(r.r.out.starts_with(started(r.p)));
	EXPECT_TRUE(r.r.out.ends_with("\nEXITVALUE: 0\n"));
}

TEST_F(PrivRunnerCaller, StandardOutputThatCannotBeWritten)
{
	// The utility is not run when its stream cannot be written at all.
	Result full = box.sh("PrivRunner /bin/sh -c 'echo ran >/tmp/ran' >/dev/full; echo \"status $?\"; "
			     "cat /tmp/ran 2>/dev/null");
	EXPECT_EQ(full.out, "status 12\n") << full;
	EXPECT_EQ(full.err, "ERROR: 12 Failed to write to stdout: 28 (No space left on device)\n");

	// A file past the caller's file-size limit: the stream stops at the
	// limit, and the runner says why rather than die of SIGXFSZ.
	Result limited = box.sh("(ulimit -f 1; exec PrivRunner /usr/bin/head -c 2000 /dev/zero >/tmp/s); "
				"echo \"status $?\"; stat -c %s /tmp/s");
	EXPECT_EQ(limited.out, "status 12\n512\n") << limited;  // blocks of 512 bytes
	EXPECT_EQ(limited.err, "ERROR: 12 Failed to write to stdout: 27 (File too large)\n");

	// Nobody reads the stream, whatever the caller did with SIGPIPE.
	for (const std::vector<std::string> &argv :
	     {std::vector<std::string>{"PrivRunner", "/bin/echo", "hi"},
	      std::vector<std::string>{"env", "--ignore-signal=PIPE", "PrivRunner", "/bin/echo", "hi"}}) {
		Outcome closed = call("closed", argv);
		EXPECT_EQ(closed.r.status, 12) << closed;
		EXPECT_EQ(closed.r.err, "ERROR: 12 Failed to write to stdout: 32 (Broken pipe)\n");
	}

	// The caller goes away after the first frame: the end cannot be told.
	Outcome leaves = call("leaves", {"PrivRunner", "/bin/sh", "-c",
					 "printf a; while [ ! -e /tmp/go ]; do sleep 0.01; done; exit 0"});
	EXPECT_EQ(leaves.r.status, 12) << leaves;
	EXPECT_EQ(leaves.r.err, "ERROR: 12 Failed to write to stdout: 32 (Broken pipe)\n");
	EXPECT_EQ(leaves.p.result.hasExitValue, 0);
}

TEST_F(PrivRunner, SignalsTheCallerIgnores)
{
	// An ignored SIGCHLD would let the kernel reap the utility unseen; an
	// ignored SIGPIPE or SIGXFSZ is the caller's choice and reaches the
	// utility, as their default actions do.
	Outcome r = run(box, {"env", "--ignore-signal=CHLD,PIPE,XFSZ", "PrivRunner", "/bin/sh", "-c",
			      "grep '^SigIgn:' /proc/self/status; exit 3"});
	EXPECT_EQ(r.r.status, 0) << r;
	EXPECT_EQ(r.p.out, "SigIgn:\t0000000001001000\n");
	Outcome defaults = run(box, {"PrivRunner", "/bin/sh", "-c", "grep '^SigIgn:' /proc/self/status"});
	EXPECT_EQ(defaults.p.out, "SigIgn:\t0000000000000000\n");
	EXPECT_EQ(r.r.out, started(r.p) + frames("STDOUT", r.p.out) + "EXITVALUE: 3\n");
}

TEST_F(PrivRunner, ClosedStandardDescriptors)
{
	// The utility gets /dev/null for a closed standard input, the runner's
	// pipes stay off descriptors 0 to 2, and the stream is whole.
	Result open = box.sh("exec PrivRunner /bin/sh -c 'readlink /proc/self/fd/0; printf e >&2' <&- 2>&-");
	Parsed p = parse(open.out);
	EXPECT_EQ(open.status, 0) << open;
	// The two streams are relayed side by side: each is whole, in any order.
	EXPECT_EQ(p.out, "/dev/null\n");
	EXPECT_EQ(p.err, "e");
	std::string relayed;
	for (const auto &[stream, body] : p.calls)
		relayed += frames(stream == 'O' ? "STDOUT" : "STDERR", body);
	EXPECT_EQ(open.out, started(p) + relayed + "EXITVALUE: 0\n");

	// No standard output: no stream, and nothing is run for nobody.
	Result closed = box.sh("PrivRunner /bin/sh -c 'echo ran >/tmp/ran' >&-; echo \"status $?\"; "
			       "cat /tmp/ran 2>/dev/null");
	EXPECT_EQ(closed.out, "status 12\n") << closed;
	EXPECT_EQ(closed.err, "ERROR: 12 Failed to write to stdout: 9 (Bad file descriptor)\n");
}

}  // namespace
