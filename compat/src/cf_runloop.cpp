// Per-thread run loops that deliver the work of their sources.
#include "cf_object.h"
#include "cf_runloop.h"

#include <CoreFoundation/CFString.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

using compat::CFObject;
using compat::RunLoopSource;

struct __CFRunLoop : CFObject {
	// Returned by CFRunLoopGetCurrent without a reference: never freed by
	// CFRelease, only when its thread ends.
	__CFRunLoop() : CFObject(compat::kCFRunLoopTypeID) { immortal = true; }

	struct Scheduled {
		CFStringRef mode;
		RunLoopSource source;
	};
	std::mutex lock;
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
	std::unique_lock<std::mutex> guard(rl->lock);
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
		RunLoopSource source = ready->source;
		guard.unlock();
		source.perform(source.info);
		guard.lock();
	}
	rl->running--;
}

void CFRunLoopStop(CFRunLoopRef rl)
{
	std::lock_guard<std::mutex> guard(rl->lock);
	if (rl->running > 0)
		rl->stop_requested = true;
}

}  // extern "C"

namespace compat {

void runloop_add_source(CFRunLoopRef rl, CFStringRef mode, const RunLoopSource &source)
{
	std::lock_guard<std::mutex> guard(rl->lock);
	for (const auto &s : rl->sources) {
		if (s.mode == mode && s.source.info == source.info)
			return;
	}
	rl->sources.push_back({mode, source});
}

void runloop_remove_source(CFRunLoopRef rl, CFStringRef mode, void *info)
{
	std::lock_guard<std::mutex> guard(rl->lock);
	std::erase_if(rl->sources, [&](const auto &s) { return s.mode == mode && s.source.info == info; });
}

}  // namespace compat
