// Run-loop sources: what a run loop of the platform layer delivers.
// Internal to the platform layer.
#pragma once

#include <CoreFoundation/CFRunLoop.h>

namespace compat {

// A source has work while pending(info) is true; perform(info) does one
// piece of it on the run loop's thread.  pending must not call into the
// run loop; perform may (a callback stops the loop, releases the source).
struct RunLoopSource {
	bool (*pending)(void *info);
	void (*perform)(void *info);
	void *info;
};

// A source is identified by its info pointer.
void runloop_add_source(CFRunLoopRef rl, CFStringRef mode, const RunLoopSource &source);
void runloop_remove_source(CFRunLoopRef rl, CFStringRef mode, void *info);

}  // namespace compat
