/*
 * newfs_fusefs_ardntfs: hands a format request to the driver's utility as
 * "-newfs" followed by every argument it was given, empty ones included.
 */
#include "exec_utility.h"

namespace {

// Every argument takes a slot: only the terminator's is left.
bool fills_vector_exactly(int j, int last_slot)
{
	return j == last_slot;
}

const FrontEnd format_front_end = {
	"-newfs",  // fixed_option
	true,  // forwards_empty_arguments
	fills_vector_exactly,  // vector_consistent
	"ASSERTION FAILED: j(%d) != new_argv_size-1(%d)",  // inconsistency_message
};

}  // namespace

int main(int argc, char *argv[])
{
	return exec_utility(format_front_end, argc, argv);
}
