// platform_probe: calls one interface of the platform layer and prints what
// it gave, for tests that need real mounts inside a sandbox.
//
//   platform_probe mounts                         every getmntinfo record
//   platform_probe unmount PATH [force]           unmount(), with MNT_FORCE
//   platform_probe da-unmount NAME [force] [unscheduled]
//                                                 DADiskUnmount and its answer
#include <sys/param.h>
#include <sys/mount.h>

#include <CoreFoundation/CoreFoundation.h>
#include <DiskArbitration/DiskArbitration.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int list_mounts()
{
	struct statfs *mounts = nullptr;
	int n = getmntinfo(&mounts, MNT_WAIT);
	for (int i = 0; i < n; i++)
		printf("%s %u %s %s\n", mounts[i].f_fstypename, mounts[i].f_fssubtype, mounts[i].f_mntfromname,
		       mounts[i].f_mntonname);
	return n > 0 ? 0 : 1;
}

int do_unmount(const char *path, bool force)
{
	if (unmount(path, force ? MNT_FORCE : 0) != 0) {
		printf("failed: %s\n", strerror(errno));
		return 1;
	}
	printf("ok\n");
	return 0;
}

struct Answer {
	bool called = false;
	bool on_run_loop = false;
	DAReturn status = 0;
	std::string name;
};

void answered(DADiskRef disk, DADissenterRef dissenter, void *context)
{
	auto *answer = static_cast<Answer *>(context);
	answer->called = true;
	answer->status = dissenter != nullptr ? DADissenterGetStatus(dissenter) : kDAReturnSuccess;
	answer->name = DADiskGetBSDName(disk);
	CFRunLoopStop(CFRunLoopGetCurrent());
}

int da_unmount(const char *name, bool force, bool scheduled)
{
	DASessionRef session = DASessionCreate(kCFAllocatorDefault);
	if (scheduled)
		DASessionScheduleWithRunLoop(session, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
	DADiskRef disk = DADiskCreateFromBSDName(kCFAllocatorDefault, session, name);
	Answer answer;
	DADiskUnmount(disk, force ? kDADiskUnmountOptionForce : kDADiskUnmountOptionDefault, answered, &answer);
	if (answer.called)
		printf("answered before the run loop ran\n");
	CFRunLoopRun();
	CFRelease(disk);
	CFRelease(session);
	if (!answer.called)
		printf("no answer\n");
	else if (answer.status == kDAReturnSuccess)
		printf("unmounted %s\n", answer.name.c_str());
	else
		printf("dissenter 0x%08x\n", unsigned(answer.status));
	return 0;
}

bool has(int argc, char *argv[], int from, const char *word)
{
	for (int i = from; i < argc; i++)
		if (strcmp(argv[i], word) == 0)
			return true;
	return false;
}

}  // namespace

int main(int argc, char *argv[])
{
	std::string what = argc > 1 ? argv[1] : "";
	if (what == "mounts")
		return list_mounts();
	if (what == "unmount" && argc >= 3)
		return do_unmount(argv[2], has(argc, argv, 3, "force"));
	if (what == "da-unmount" && argc >= 3)
		return da_unmount(argv[2], has(argc, argv, 3, "force"), !has(argc, argv, 3, "unscheduled"));
	fprintf(stderr, "usage: platform_probe mounts | unmount PATH [force] | "
			"da-unmount NAME [force] [unscheduled]\n");
	return 2;
}
