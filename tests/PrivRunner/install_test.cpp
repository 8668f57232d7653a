// The reader as a client program gets it: installed into a scratch prefix,
// then a C program built against it with pkg-config and with find_package.
#include "sandbox.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

// Runs a shell command line; its standard output, and its exit status.
// The client prints its result after the reader's messages, and standard
// error is unbuffered: 2>&1 keeps them in order.
std::string shell(const std::string &command, int *status)
{
	std::string out;
	FILE *p = popen(command.c_str(), "r");
	if (p == nullptr)
		return out;
	char buf[4096];
	for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
		out.append(buf, n);
	int raw = pclose(p);
	*status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
	return out;
}

std::string quote(const std::string &s)
{
	std::string q = "'";
	for (char c : s)
		q += c == '\'' ? std::string("'\\''") : std::string(1, c);
	return q + "'";
}

class Installed : public testing::Test {
protected:
	static void SetUpTestSuite()
	{
		work = new sandbox::TempDir;
		int status = -1;
		build_log = shell(std::string(CLIENT_DIR) + "/build.sh " + quote(BUILD_DIR) + " " +
					  quote(work->path()) + " " + quote(CMAKE_COMMAND_PATH) + " " +
					  quote(C_COMPILER) + " " + quote(C_FLAGS) + " 2>&1",
				  &status);
		built = status == 0;
	}
	static void TearDownTestSuite() { delete work; }

	void SetUp() override { ASSERT_TRUE(built) << build_log; }

	static std::string run_client(const std::string &name, const std::string &stream, int *status)
	{
		sandbox::write_file(*work / "stream", stream);
		return shell(quote(*work / name) + " <" + quote(*work / "stream") + " 2>&1", status);
	}

	static inline sandbox::TempDir *work;
	static inline std::string build_log;
	static inline bool built = false;
};

TEST_F(Installed, ClientsBuiltEveryWayReadAStream)
{
	using namespace std::string_literals;
	const std::string stream = "PID: 10\nPID: 10\nCHILDPID: 11\nSTDOUT: 1\nA\nSTDERR: 2\n\0\xff\nEXITVALUE: 3\n"s;
	for (const char *client : {"client_pkgconfig", "client_shared", "client_static"}) {
		int status = -1;
		std::string out = run_client(client, stream, &status);
		EXPECT_EQ(status, 0) << client;
		EXPECT_EQ(out, "out 1: 41\nerr 2: 00 ff\nok=1 pid=1/10 child=1/11 error=0/0 exit=1/3\n") << client;
	}
}

TEST_F(Installed, FramingErrorReachesTheClient)
{
	int status = -1;
	std::string out = run_client("client_static", "PID: 1\nbogus\n", &status);
	EXPECT_EQ(status, 1);
	EXPECT_EQ(out, "Unrecognized line: \"bogus\n\"\nok=0 pid=1/1 child=0/0 error=0/0 exit=0/0\n");
}

// The example client, built from its installed source with pkg-config and
// with its CMakeLists.txt, runs a utility through the installed runner and
// gives back what the utility did as its own.
TEST_F(Installed, ExampleClientPassesOnWhatTheUtilityDid)
{
	REQUIRE_SANDBOX();
	sandbox::write_file(*work / "utility", R"(#!/bin/sh
printf '[%s]' "$@"; echo
read -r line; echo "read $line" >&2
printf 'no newline'
exit 7
)", 0755);
	sandbox::Sandbox box;
	box.ro_binds = {{work->path(), work->path()}};
	box.input = "typed\n";
	for (const char *client : {"privrun_pkgconfig", "privrun_cmake"}) {
		sandbox::Result r = box.run({*work / client, *work / "utility", "a b", ""});
		EXPECT_EQ(r.out, "[a b][]\nno newline") << client << "\n" << r;
		EXPECT_EQ(r.err, "read typed\n") << client;
		EXPECT_EQ(r.status, 7) << client;

		// A runner without the right to become the super-user.
		r = box.run(sandbox::as_user(65534, 65534, {*work / client, *work / "utility"}));
		EXPECT_EQ(r.out, "") << client;
		EXPECT_EQ(r.err, "privrun: PrivRunner failed with error 2: it could not set its user id to 0\n")
			<< client;
		EXPECT_EQ(r.status, 125) << client;
	}
}

TEST_F(Installed, LayoutAndModes)
{
	const std::filesystem::path prefix = work->path() + "/prefix";
	EXPECT_EQ(sandbox::read_file(prefix / "include/PrivRunnerOutput.h"),
		  sandbox::read_file(SOURCE_HEADER));
	EXPECT_TRUE(std::filesystem::exists(prefix / "share/man/man8/PrivRunner.8"));
	EXPECT_TRUE(std::filesystem::exists(prefix / "share/man/man3/readPrivRunnerOutput.3"));

	// Never set-user-id or set-group-id.
	struct stat st;
	ASSERT_EQ(stat((prefix / "sbin/PrivRunner").c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0755u);

	int status = -1;
	std::string libs = shell("cd " + quote(prefix) + " && find . -name 'libprivrunner-output*' | sort", &status);
	EXPECT_NE(libs.find("/libprivrunner-output.a\n"), std::string::npos) << libs;
	EXPECT_NE(libs.find("/libprivrunner-output.so\n"), std::string::npos) << libs;
	EXPECT_NE(libs.find("/libprivrunner-output.so.1\n"), std::string::npos) << libs;
}

}  // namespace
