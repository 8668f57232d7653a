// The utility front ends newfs_fusefs_ardntfs and fusefs_ardntfs.repair are
// one program: exec_utility below.  Each front end is that logic with its
// own table of differences.
#ifndef EXEC_UTILITY_H
#define EXEC_UTILITY_H

struct FrontEnd {
	// Slot 1 of the utility's argument vector: the job the utility is to do.
	const char *fixed_option;
	// Whether an empty caller argument is passed on or left out.
	bool forwards_empty_arguments;
	// The check of the filled vector, given the next free slot j and the
	// last slot of the vector (new_argv_size - 1).
	bool (*vector_consistent)(int j, int last_slot);
	// Logged when that check fails, filled with the same two numbers.
	const char *inconsistency_message;
};

// Completes the super-user identity, builds the utility's argument vector
// and replaces the process with the utility.  Returns only when that fails,
// with the exit status: the error number of execv, -1 when the vector fails
// its check, ENOMEM when it cannot be allocated.  Ends the process at once
// with status 91 when the log cannot be opened, and with the error number
// when a closed standard descriptor cannot be opened on /dev/null.
int exec_utility(const FrontEnd &front_end, int argc, char *argv[]);

#endif
