#include <gtest/gtest.h>

int mntflags_main(int argc, char *argv[]);

namespace {

// Linux never starts a program with an empty argument vector.
TEST(MntflagsEntry, EmptyArgumentVectorCountsMinusOne)
{
	char *argv[] = {nullptr};
	EXPECT_EXIT(exit(mntflags_main(0, argv)), testing::ExitedWithCode(1),
		    "^Invalid number of arguments\\. \\(got: -1, required: 1\\)\n$");
}

}  // namespace
