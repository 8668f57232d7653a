// Disk Arbitration sessions and disks over the Linux mount table.
#include <DiskArbitration/DiskArbitration.h>

#include "cf_object.h"
#include "cf_runloop.h"
#include "mountinfo.h"

#include <sys/stat.h>

#include <cerrno>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

using compat::CFObject;

namespace {

struct Answer {
	DADiskUnmountCallback callback;
	void *context;
	std::string bsd_name;
	DAReturn status;
};

}  // namespace

struct __DASession : CFObject {
	__DASession() : CFObject(compat::kDASessionTypeID) {}
	~__DASession() override
	{
		if (run_loop != nullptr)
			compat::runloop_remove_source(run_loop, run_loop_mode, this);
	}

	std::mutex lock;
	std::deque<Answer> answers;  // waiting to be delivered
	CFRunLoopRef run_loop = nullptr;
	CFStringRef run_loop_mode = nullptr;
};

struct __DADisk : CFObject {
	__DADisk(DASessionRef s, std::string name) : CFObject(compat::kDADiskTypeID), session(s), bsd_name(std::move(name))
	{
		CFRetain(session);
	}
	~__DADisk() override { CFRelease(session); }

	const DASessionRef session;
	const std::string bsd_name;
};

struct __DADissenter : CFObject {
	explicit __DADissenter(DAReturn s) : CFObject(compat::kDADissenterTypeID), status(s) {}
	const DAReturn status;
};

namespace {

std::string_view without_dev(std::string_view name)
{
	constexpr std::string_view dev = "/dev/";
	if (name.substr(0, dev.size()) == dev)
		name.remove_prefix(dev.size());
	return name;
}

// Whether the mount is one that Disk Arbitration would know as a disk's
// volume: a FUSE file system, or one mounted from a block device.  A tmpfs
// or a proc that merely carries a disk's name is none.
bool is_disk_volume(const compat::MountEntry &e)
{
	for (std::string_view fuse : {"fuse", "fuseblk"}) {
		std::string_view type = e.fstype;
		if (type == fuse || (type.size() > fuse.size() && type.substr(0, fuse.size()) == fuse &&
				     type[fuse.size()] == '.'))
			return true;
	}
	// Only a name under /dev is looked at: any other path might lead into
	// a volume whose server no longer answers.
	struct stat st;
	return e.source.rfind("/dev/", 0) == 0 && stat(e.source.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

// The mount point of the disk's volume.  The name must lead to exactly one
// volume: when several carry it, none of them is known to be the one the
// caller means.  Read straight from the table, so that the records a caller
// holds from getmntinfo stay as they are.
DAReturn volume_of(std::string_view bsd_name, std::string &mount_point)
{
	int found = 0;
	for (const compat::MountEntry &e : compat::read_mountinfo()) {
		if (without_dev(e.source) == without_dev(bsd_name) && is_disk_volume(e)) {
			mount_point = e.mount_point;
			found++;
		}
	}
	return found == 0 ? kDAReturnNotFound : found == 1 ? kDAReturnSuccess : kDAReturnBadArgument;
}

DAReturn unmount_volume(std::string_view bsd_name, DADiskUnmountOptions options)
{
	std::string mount_point;
	if (DAReturn found = volume_of(bsd_name, mount_point); found != kDAReturnSuccess)
		return found;
	if (unmount(mount_point.c_str(), (options & kDADiskUnmountOptionForce) ? MNT_FORCE : 0) == 0)
		return kDAReturnSuccess;
	switch (errno) {
	case EBUSY:
		return kDAReturnBusy;
	case EPERM:
		return kDAReturnNotPrivileged;
	default:
		return kDAReturnError;
	}
}

bool session_pending(void *info)
{
	auto *session = static_cast<__DASession *>(info);
	std::lock_guard<std::mutex> guard(session->lock);
	return !session->answers.empty();
}

// Delivers the oldest answer.  The callback may release the session, so
// it is held until the delivery is done.
void session_perform(void *info)
{
	auto *session = static_cast<__DASession *>(info);
	std::optional<Answer> answer;
	{
		std::lock_guard<std::mutex> guard(session->lock);
		if (session->answers.empty())
			return;
		answer = std::move(session->answers.front());
		session->answers.pop_front();
	}
	CFRetain(session);
	DADiskRef disk = compat::cf_create<__DADisk>(session, answer->bsd_name);
	DADissenterRef dissenter =
		answer->status == kDAReturnSuccess ? nullptr : compat::cf_create<__DADissenter>(answer->status);
	if (disk != nullptr && (answer->status == kDAReturnSuccess || dissenter != nullptr))
		answer->callback(disk, dissenter, answer->context);
	if (dissenter != nullptr)
		CFRelease(dissenter);
	if (disk != nullptr)
		CFRelease(disk);
	CFRelease(session);
}

}  // namespace

extern "C" {

CFTypeID DASessionGetTypeID(void)
{
	return compat::kDASessionTypeID;
}

DASessionRef DASessionCreate(CFAllocatorRef)
{
	return compat::cf_create<__DASession>();
}

void DASessionScheduleWithRunLoop(DASessionRef session, CFRunLoopRef runLoop, CFStringRef runLoopMode)
{
	if (session->run_loop != nullptr)
		compat::runloop_remove_source(session->run_loop, session->run_loop_mode, session);
	session->run_loop = runLoop;
	session->run_loop_mode = runLoopMode;
	compat::runloop_add_source(runLoop, runLoopMode, {session_pending, session_perform, session});
}

void DASessionUnscheduleFromRunLoop(DASessionRef session, CFRunLoopRef runLoop, CFStringRef runLoopMode)
{
	if (session->run_loop != runLoop || session->run_loop_mode != runLoopMode)
		return;
	compat::runloop_remove_source(runLoop, runLoopMode, session);
	session->run_loop = nullptr;
	session->run_loop_mode = nullptr;
}

CFTypeID DADiskGetTypeID(void)
{
	return compat::kDADiskTypeID;
}

DADiskRef DADiskCreateFromBSDName(CFAllocatorRef, DASessionRef session, const char *name)
{
	if (session == nullptr || name == nullptr || *name == '\0')
		return nullptr;
	return compat::cf_create<__DADisk>(session, name);
}

const char *DADiskGetBSDName(DADiskRef disk)
{
	return disk->bsd_name.c_str();
}

void DADiskUnmount(DADiskRef disk, DADiskUnmountOptions options, DADiskUnmountCallback callback, void *context)
{
	DAReturn status = unmount_volume(disk->bsd_name, options);
	if (callback == nullptr)
		return;
	DASessionRef session = disk->session;
	std::lock_guard<std::mutex> guard(session->lock);
	session->answers.push_back({callback, context, disk->bsd_name, status});
}

CFTypeID DADissenterGetTypeID(void)
{
	return compat::kDADissenterTypeID;
}

DAReturn DADissenterGetStatus(DADissenterRef dissenter)
{
	return dissenter->status;
}

}  // extern "C"
