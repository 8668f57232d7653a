/*
 * fusefs_ardntfs.repair: hands a repair request to the driver's utility as
 * "-r" followed by the non-empty arguments it was given.
 */
#include "exec_utility.h"

namespace {

// Each argument left out leaves a null slot after the terminator.
bool leaves_room_for_the_terminator(int j, int last_slot)
{
	return j <= last_slot;
}

const FrontEnd repair_front_end = {
	"-r",  // fixed_option
	false,  // forwards_empty_arguments
	leaves_room_for_the_terminator,  // vector_consistent
	"ASSERTION FAILED: j(%d) > new_argv_size-1(%d)",  // inconsistency_message
};

}  // namespace

int main(int argc, char *argv[])
{
	return exec_utility(repair_front_end, argc, argv);
}
