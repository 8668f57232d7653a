#include "fake_platform.h"

#include <CoreFoundation/CoreFoundation.h>
#include <DiskArbitration/DiskArbitration.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

struct __DASession {
	bool scheduled = false;
};
struct __DADisk {
	std::string name;
};
struct __DADissenter {};
struct __CFRunLoop {};

namespace fake {

Platform platform;

namespace {

std::vector<struct statfs> records;
__DASession the_session;
__DADisk the_disk;
const __DADissenter the_dissenter{};
__CFRunLoop the_run_loop;
const char default_mode_object = 0;

struct Pending {
	bool set = false;
	DADiskUnmountCallback callback = nullptr;
	void *context = nullptr;
	Answer answer = Answer::none;
	Volume *volume = nullptr;
} pending;

void log(const std::string &call)
{
	platform.calls.push_back(call);
}

Volume *volume_from(const std::string &from)
{
	for (Volume &v : platform.volumes)
		if (v.from == from && v.mounted)
			return &v;
	return nullptr;
}

// The path a relative or absolute name leads to, without the root.
std::string resolved(const char *dir)
{
	std::string path = dir;
	if (path.empty() || path[0] != '/') {
		char cwd[4096];
		path = std::string(getcwd(cwd, sizeof cwd) != nullptr ? cwd : "?") + "/" + path;
	}
	path = without_root(path);
	return path.empty() ? "/" : path;
}

}  // namespace

void reset()
{
	cleanup();
	platform = Platform{};
	the_session = __DASession{};
	pending = Pending{};
	std::string tmpl = std::filesystem::temp_directory_path() / "ardova-pass.XXXXXX";
	if (mkdtemp(tmpl.data()) != nullptr)
		platform.root = std::filesystem::canonical(tmpl);
}

void cleanup()
{
	std::error_code ec;
	if (!platform.root.empty())
		std::filesystem::remove_all(platform.root, ec);
	platform.root.clear();
}

std::string without_root(std::string text)
{
	if (platform.root.empty())
		return text;
	for (size_t at; (at = text.find(platform.root)) != std::string::npos;)
		text.erase(at, platform.root.size());
	return text;
}

}  // namespace fake

using fake::platform;

extern "C" {

int compat_getmntinfo(struct statfs **mntbufp, int mode)
{
	platform.getmntinfo_mode = mode;
	if (platform.table_fails) {
		errno = ENOMEM;
		return 0;
	}
	// A real table always holds the root.
	fake::records.assign(1, {});
	snprintf(fake::records[0].f_fstypename, sizeof fake::records[0].f_fstypename, "hfs");
	snprintf(fake::records[0].f_mntonname, sizeof fake::records[0].f_mntonname, "/");
	for (size_t i = 0; i < platform.volumes.size(); i++) {
		const fake::Volume &v = platform.volumes[i];
		if (!v.mounted)
			continue;
		const std::string on = platform.root + (v.on == "/" ? "" : v.on);
		std::error_code ec;
		std::filesystem::create_directories(on, ec);
		struct statfs rec{};
		snprintf(rec.f_fstypename, sizeof rec.f_fstypename, "%s", v.type.c_str());
		snprintf(rec.f_mntfromname, sizeof rec.f_mntfromname, "%s", v.from.c_str());
		snprintf(rec.f_mntonname, sizeof rec.f_mntonname, "%s", on.c_str());
		rec.f_fssubtype = v.subtype;
		rec.f_fsid.val[0] = int32_t(i + 1);
		fake::records.push_back(rec);
	}
	*mntbufp = fake::records.data();
	return int(fake::records.size());
}

int unmount(const char *dir, int flags)
{
	const std::string path = fake::resolved(dir);
	fake::log("unmount " + path + (flags == MNT_FORCE ? " MNT_FORCE" : flags == 0 ? " 0" : " ?"));
	for (fake::Volume &v : platform.volumes) {
		if (v.mounted && v.on == path && (flags & MNT_FORCE ? v.force_ok : v.plain_ok)) {
			v.mounted = v.stays;
			return 0;
		}
	}
	errno = EBUSY;
	return -1;
}

const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFStringRef kCFRunLoopDefaultMode = reinterpret_cast<CFStringRef>(&fake::default_mode_object);

void CFRelease(CFTypeRef cf)
{
	if (cf == &fake::the_session)
		fake::log("CFRelease session");
	else if (cf == &fake::the_disk)
		fake::log("CFRelease disk");
	else
		fake::log("CFRelease ?");
}

CFRunLoopRef CFRunLoopGetCurrent(void)
{
	return &fake::the_run_loop;
}

// Delivers the pending answer when the session is scheduled.
void CFRunLoopRun(void)
{
	fake::log("CFRunLoopRun");
	if (!fake::pending.set || !fake::the_session.scheduled)
		return;
	fake::pending.set = false;
	switch (fake::pending.answer) {
	case fake::Answer::unmounted:
		if (fake::pending.volume != nullptr)
			fake::pending.volume->mounted = fake::pending.volume->stays;
		fake::pending.callback(&fake::the_disk, nullptr, fake::pending.context);
		break;
	case fake::Answer::refused:
		fake::pending.callback(&fake::the_disk, &fake::the_dissenter, fake::pending.context);
		break;
	case fake::Answer::none:
		break;
	case fake::Answer::stray_value:
		*static_cast<int *>(fake::pending.context) = platform.stray_value;
		break;
	}
}

void CFRunLoopStop(CFRunLoopRef rl)
{
	fake::log(rl == &fake::the_run_loop ? "CFRunLoopStop current" : "CFRunLoopStop ?");
}

DASessionRef DASessionCreate(CFAllocatorRef allocator)
{
	fake::log(allocator == kCFAllocatorDefault ? "DASessionCreate" : "DASessionCreate ?");
	return platform.session_fails ? nullptr : &fake::the_session;
}

void DASessionScheduleWithRunLoop(DASessionRef session, CFRunLoopRef rl, CFStringRef mode)
{
	bool expected = session == &fake::the_session && rl == &fake::the_run_loop && mode == kCFRunLoopDefaultMode;
	fake::log(expected ? "DASessionScheduleWithRunLoop current default" : "DASessionScheduleWithRunLoop ?");
	session->scheduled = true;
}

void DASessionUnscheduleFromRunLoop(DASessionRef session, CFRunLoopRef rl, CFStringRef mode)
{
	bool expected = session == &fake::the_session && rl == &fake::the_run_loop && mode == kCFRunLoopDefaultMode;
	fake::log(expected ? "DASessionUnscheduleFromRunLoop current default" : "DASessionUnscheduleFromRunLoop ?");
	session->scheduled = false;
}

DADiskRef DADiskCreateFromBSDName(CFAllocatorRef, DASessionRef session, const char *name)
{
	fake::log(std::string("DADiskCreateFromBSDName ") + (session == &fake::the_session ? "" : "? ") + name);
	if (platform.disk_fails)
		return nullptr;
	fake::the_disk.name = name;
	return &fake::the_disk;
}

void DADiskUnmount(DADiskRef disk, DADiskUnmountOptions options, DADiskUnmountCallback callback, void *context)
{
	char text[64];
	snprintf(text, sizeof text, "DADiskUnmount 0x%x", unsigned(options));
	fake::log(text);
	fake::Volume *v = fake::volume_from(disk->name);
	fake::pending = {true, callback, context, v != nullptr ? v->answer : fake::Answer::refused, v};
}

}  // extern "C"
