/*
 * newfs_fusefs_ardntfs: hands a format request to the driver's utility as
 * "-newfs" followed by every argument it was given, empty ones included.
 */
#include "exec_utility.h"

namespace {

constexpr FrontEnd format_front_end = {
	.fixed_option = "-newfs",
	.forwards_empty_arguments = true,
	// Every argument takes a slot: only the terminator's is left.
	.vector_consistent = [](int j, int last_slot) { return j == last_slot; },
	.inconsistency_message = "ASSERTION FAILED: j(%d) != new_argv_size-1(%d)",
};

}  // namespace

int main(int argc, char *argv[])
{
	return exec_utility(format_front_end, argc, argv);
}
