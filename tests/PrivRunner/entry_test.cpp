#include "sandbox.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <regex>

int privrunner_main(int argc, char *argv[]);

namespace {

// Linux never starts a program with an empty argument vector.
TEST(PrivRunnerEntry, EmptyArgumentVectorCountsMinusOne)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root to pass setuid(0)";
	sandbox::TempDir dir;
	const std::string out = dir / "out";
	char *argv[] = {nullptr};
	EXPECT_EXIT(
		{
			fflush(stdout);
			int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
			dup2(fd, STDOUT_FILENO);
			privrunner_main(0, argv);
		},
		testing::ExitedWithCode(1), "^$");
	const std::string stream = sandbox::read_file(out);
	EXPECT_TRUE(std::regex_match(stream, std::regex("PID: [0-9]+\nERROR: 1 Invalid number of arguments\\. "
							"\\(got: -1, minimum required: 1\\)\n")))
		<< stream;
}

}  // namespace
