/*
 * fusefs_ardntfs.repair: hands a repair request to the driver's utility as
 * "-r" followed by the non-empty arguments it was given.
 */
#include "exec_utility.h"

namespace {

constexpr FrontEnd repair_front_end = {
	.fixed_option = "-r",
	.forwards_empty_arguments = false,
	// Each argument left out leaves a null slot after the terminator.
	.vector_consistent = [](int j, int last_slot) { return j <= last_slot; },
	.inconsistency_message = "ASSERTION FAILED: j(%d) > new_argv_size-1(%d)",
};

}  // namespace

int main(int argc, char *argv[])
{
	return exec_utility(repair_front_end, argc, argv);
}
