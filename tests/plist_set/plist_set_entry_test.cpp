#include <gtest/gtest.h>

int plist_set_main(int argc, char *argv[]);

namespace {

// Linux never starts a program with an empty argument vector.
TEST(PlistSetEntry, EmptyArgumentVectorCountsMinusOne)
{
	char *argv[] = {nullptr};
	EXPECT_EXIT(exit(plist_set_main(0, argv)), testing::ExitedWithCode(1),
		    "^Invalid number of arguments\\. \\(got: -1, required: 3\\)\n$");
}

}  // namespace
