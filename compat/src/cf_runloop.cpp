// Per-thread run loops that deliver the work of their sources.
#include "cf_object.h"
#include "cf_runloop.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

using compat::CFObject;
using compat::RunLoopSource;

namespace {

// The mode names are CFStrings on the target.  Until this layer has
// strings, a mode is an immortal object of its own type, compared by
// identity.
constexpr CFTypeID run_loop_mode_type_id = 0x7f01;

struct RunLoopMode : CFObject {
	explicit RunLoopMode(const char *text) : CFObject(run_loop_mode_type_id), name(text) { immortal = true; }
	const char *const name;
};

RunLoopMode default_mode("kCFRunLoopDefaultMode");

}  // namespace

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

const CFStringRef kCFRunLoopDefaultMode = reinterpret_cast<CFStringRef>(static_cast<CFObject *>(&default_mode));

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
