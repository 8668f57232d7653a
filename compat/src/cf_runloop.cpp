// Per-thread run loops that deliver the work of their sources.  A run loop
// belongs to its thread alone: only that thread runs it, schedules on it
// and stops it, as the single-threaded programs that link this do.
#include "cf_object.h"
#include "cf_runloop.h"

#include <CoreFoundation/CFString.h>

#include <algorithm>
#include <memory>
#include <vector>

using compat::CFObject;
using compat::RunLoopSource;

struct __CFRunLoop : CFObject {
	// Returned by CFRunLoopGetCurrent without a reference: never freed by
	// CFRelease, only when its thread ends.
	__CFRunLoop() : CFObject(compat::kCFRunLoopTypeID) { make_immortal(); }

	struct Scheduled {
		CFStringRef mode;
		RunLoopSource source;
	};
	std::vector<Scheduled> sources;
	int running = 0;  // depth of nested CFRunLoopRun calls
	bool stop_requested = false;
};

extern "C" {

// Modes are compared by identity: every use of the name is this object.
const CFStringRef kCFRunLoopDefaultMode = CFSTR("kCFRunLoopDefaultMode");

CFTypeID CFRunLoopGetTypeID(void)
{
	return compat::kCFRunLoopTypeID;
}

CFRunLoopRef CFRunLoopGetCurrent(void)
{
	thread_local std::unique_ptr<__CFRunLoop> current;
	if (!current)
		current = std::make_unique<__CFRunLoop>();
	return current.get();
}

void CFRunLoopRun(void)
{
	CFRunLoopRef rl = CFRunLoopGetCurrent();
	rl->running++;
	for (;;) {
		if (rl->stop_requested) {
			rl->stop_requested = false;
			break;
		}
		auto ready = std::find_if(rl->sources.begin(), rl->sources.end(), [](const auto &s) {
			return s.mode == kCFRunLoopDefaultMode && s.source.pending(s.source.info);
		});
		if (ready == rl->sources.end())
			break;
		// A copy: the delivery may remove the source.
		RunLoopSource source = ready->source;
		source.perform(source.info);
	}
	rl->running--;
}

void CFRunLoopStop(CFRunLoopRef rl)
{
	if (rl->running > 0)
		rl->stop_requested = true;
}

}  // extern "C"

namespace compat {

void runloop_add_source(CFRunLoopRef rl, CFStringRef mode, const RunLoopSource &source)
{
	for (const auto &s : rl->sources) {
		if (s.mode == mode && s.source.info == source.info)
			return;
	}
	rl->sources.push_back({mode, source});
}

void runloop_remove_source(CFRunLoopRef rl, CFStringRef mode, void *info)
{
	std::erase_if(rl->sources, [&](const auto &s) { return s.mode == mode && s.source.info == info; });
}

}  // namespace compat
