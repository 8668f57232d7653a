// A scripted stand-in for the mount table, unmount() and Disk Arbitration,
// linked instead of the platform's own so that the unmount pass meets
// records and answers no real system gives (a subtype other than 0, a
// session that cannot be had, an answer that never comes).
//
// The mount points are real folders under a fresh temporary root, so that
// the pass can walk to them; the table names them with that root in front,
// and the call log without it.  A volume that is unmounted leaves the
// table, which always begins with the root, as a real one does.
#pragma once

#include <sys/param.h>
#include <sys/mount.h>

#include <map>
#include <string>
#include <vector>

namespace fake {

enum class Answer { unmounted, refused, none, stray_value };

struct Volume {
	std::string type;
	unsigned subtype = 0;
	std::string from;
	std::string on;
	bool plain_ok = true;  // what unmount() without flags does
	bool force_ok = true;  // what unmount() with MNT_FORCE does
	Answer answer = Answer::unmounted;
	bool stays = false;    // still listed after unmount() returned 0
	bool mounted = true;
};

struct Platform {
	std::vector<Volume> volumes;
	bool session_fails = false;
	bool disk_fails = false;
	int stray_value = 7;
	std::vector<std::string> calls;  // every call, in order
	int getmntinfo_mode = -1;
	bool table_fails = false;
	std::string root;  // the temporary root, made by reset()
};

extern Platform platform;
// Fresh platform and temporary root; cleanup() removes the root.
void reset();
void cleanup();
// text with the temporary root taken out.
std::string without_root(std::string text);

}  // namespace fake
