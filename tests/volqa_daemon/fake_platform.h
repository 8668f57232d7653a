// A scripted stand-in for the mount table, unmount() and Disk Arbitration,
// linked instead of the platform's own so that the unmount pass meets
// records and answers no real system gives (a subtype other than 0, a
// session that cannot be had, an answer that never comes).
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
};

struct Platform {
	std::vector<Volume> volumes;
	bool session_fails = false;
	bool disk_fails = false;
	int stray_value = 7;
	std::vector<std::string> calls;  // every call, in order
	int getmntinfo_mode = -1;
};

extern Platform platform;
void reset();

}  // namespace fake
