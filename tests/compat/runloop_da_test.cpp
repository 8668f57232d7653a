// The run loop and Disk Arbitration of the platform layer, in-process.
// Only disks that no mount of this machine comes from are asked for, so
// nothing here is ever unmounted; real volumes are in the sandbox tests.
#include <CoreFoundation/CoreFoundation.h>
#include <DiskArbitration/DiskArbitration.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char *kNoSuchDisk = "/dev/ardova-test-no-such-disk";

struct Delivery {
	std::thread::id thread;
	std::string disk;
	bool dissenter = false;
	DAReturn status = 0;
};

struct Log {
	std::vector<Delivery> deliveries;
	bool stop = true;
	DASessionRef release_in_callback = nullptr;
};

void record(DADiskRef disk, DADissenterRef dissenter, void *context)
{
	auto *log = static_cast<Log *>(context);
	EXPECT_EQ(CFGetTypeID(disk), DADiskGetTypeID());
	log->deliveries.push_back({std::this_thread::get_id(), DADiskGetBSDName(disk), dissenter != nullptr,
				   dissenter != nullptr ? DADissenterGetStatus(dissenter) : 0});
	if (dissenter != nullptr) {
		EXPECT_EQ(CFGetTypeID(dissenter), DADissenterGetTypeID());
	}
	if (log->release_in_callback != nullptr) {
		CFRelease(log->release_in_callback);
		log->release_in_callback = nullptr;
	}
	if (log->stop)
		CFRunLoopStop(CFRunLoopGetCurrent());
}

// A session with one disk, scheduled on this thread's run loop or not.
struct Request {
	explicit Request(bool scheduled, const char *name = kNoSuchDisk)
	{
		session = DASessionCreate(kCFAllocatorDefault);
		if (scheduled)
			DASessionScheduleWithRunLoop(session, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
		disk = DADiskCreateFromBSDName(kCFAllocatorDefault, session, name);
	}
	~Request()
	{
		if (disk != nullptr)
			CFRelease(disk);
		if (session != nullptr)
			CFRelease(session);
	}
	void unmount(Log &log) { DADiskUnmount(disk, kDADiskUnmountOptionDefault, record, &log); }

	DASessionRef session = nullptr;
	DADiskRef disk = nullptr;
};

TEST(RunLoop, OnePerThreadAndNotFreedByRelease)
{
	CFRunLoopRef here = CFRunLoopGetCurrent();
	ASSERT_NE(here, nullptr);
	EXPECT_EQ(CFRunLoopGetCurrent(), here);
	EXPECT_EQ(CFGetTypeID(here), CFRunLoopGetTypeID());
	CFRunLoopRef there = nullptr;
	std::thread([&] { there = CFRunLoopGetCurrent(); }).join();
	EXPECT_NE(there, here);
	CFRelease(here);
	EXPECT_EQ(CFGetTypeID(CFRunLoopGetCurrent()), CFRunLoopGetTypeID());
	EXPECT_NE(kCFRunLoopDefaultMode, nullptr);
}

TEST(RunLoop, RunReturnsAtOnceWithNothingToDo)
{
	CFRunLoopRun();
	Request idle(true);
	CFRunLoopRun();
	SUCCEED();
}

TEST(DiskArbitration, RefusalIsDeliveredOnlyByTheSchedulingThreadsRunLoop)
{
	Log log;
	Request request(true);
	ASSERT_NE(request.session, nullptr);
	EXPECT_EQ(CFGetTypeID(request.session), DASessionGetTypeID());
	request.unmount(log);
	EXPECT_TRUE(log.deliveries.empty()) << "answered outside the run loop";

	std::thread([] { CFRunLoopRun(); }).join();
	EXPECT_TRUE(log.deliveries.empty()) << "answered by another thread's run loop";

	CFRunLoopRun();
	ASSERT_EQ(log.deliveries.size(), 1u);
	EXPECT_EQ(log.deliveries[0].thread, std::this_thread::get_id());
	EXPECT_EQ(log.deliveries[0].disk, kNoSuchDisk);
	EXPECT_TRUE(log.deliveries[0].dissenter);
	EXPECT_EQ(log.deliveries[0].status, kDAReturnNotFound);
}

TEST(DiskArbitration, SessionScheduledOnAnotherThreadAnswersThere)
{
	Log log;
	Request request(false);
	std::thread::id worker;
	std::thread t([&] {
		worker = std::this_thread::get_id();
		DASessionScheduleWithRunLoop(request.session, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
		request.unmount(log);
		CFRunLoopRun();
		DASessionUnscheduleFromRunLoop(request.session, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
	});
	t.join();
	ASSERT_EQ(log.deliveries.size(), 1u);
	EXPECT_EQ(log.deliveries[0].thread, worker);
}

TEST(DiskArbitration, UnscheduledSessionNeverAnswers)
{
	Log log;
	Request never(false);
	never.unmount(log);
	CFRunLoopRun();
	EXPECT_TRUE(log.deliveries.empty());

	Request unscheduled(true);
	unscheduled.unmount(log);
	DASessionUnscheduleFromRunLoop(unscheduled.session, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
	CFRunLoopRun();
	EXPECT_TRUE(log.deliveries.empty());

	// Scheduled later, the answer that waited is delivered.
	DASessionScheduleWithRunLoop(never.session, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
	CFRunLoopRun();
	EXPECT_EQ(log.deliveries.size(), 1u);
}

TEST(DiskArbitration, StopEndsTheRunAfterOneAnswerAndOnlyWhileRunning)
{
	Log log;
	Request request(true);
	request.unmount(log);
	request.unmount(log);
	CFRunLoopStop(CFRunLoopGetCurrent());  // not running: no effect
	CFRunLoopRun();
	EXPECT_EQ(log.deliveries.size(), 1u);
	CFRunLoopRun();
	EXPECT_EQ(log.deliveries.size(), 2u);

	// Without a stop, a run delivers everything there is.
	log.stop = false;
	request.unmount(log);
	request.unmount(log);
	CFRunLoopRun();
	EXPECT_EQ(log.deliveries.size(), 4u);
}

TEST(DiskArbitration, ReleasedSessionDropsItsAnswers)
{
	Log log;
	{
		Request request(true);
		request.unmount(log);
	}
	CFRunLoopRun();
	EXPECT_TRUE(log.deliveries.empty());
}

TEST(DiskArbitration, CallbackMayReleaseTheLastReferenceToTheSession)
{
	Log log;
	Request request(true);
	request.unmount(log);
	CFRelease(request.disk);
	request.disk = nullptr;
	log.release_in_callback = request.session;
	request.session = nullptr;
	CFRunLoopRun();
	EXPECT_EQ(log.deliveries.size(), 1u);
}

TEST(DiskArbitration, DiskNeedsANameAndTheSessionItKeeps)
{
	DASessionRef session = DASessionCreate(kCFAllocatorDefault);
	EXPECT_EQ(DADiskCreateFromBSDName(kCFAllocatorDefault, session, nullptr), nullptr);
	EXPECT_EQ(DADiskCreateFromBSDName(kCFAllocatorDefault, session, ""), nullptr);
	EXPECT_EQ(DADiskCreateFromBSDName(kCFAllocatorDefault, nullptr, "disk1"), nullptr);
	DADiskRef disk = DADiskCreateFromBSDName(kCFAllocatorDefault, session, "ardova-test-disk1s1");
	ASSERT_NE(disk, nullptr);
	EXPECT_STREQ(DADiskGetBSDName(disk), "ardova-test-disk1s1");
	EXPECT_EQ(CFGetRetainCount(session), 2);
	CFRelease(disk);
	EXPECT_EQ(CFGetRetainCount(session), 1);
	// Without a callback there is nothing to answer.
	DASessionScheduleWithRunLoop(session, CFRunLoopGetCurrent(), kCFRunLoopDefaultMode);
	disk = DADiskCreateFromBSDName(kCFAllocatorDefault, session, kNoSuchDisk);
	DADiskUnmount(disk, kDADiskUnmountOptionForce, nullptr, nullptr);
	CFRunLoopRun();
	CFRelease(disk);
	CFRelease(session);
}

}  // namespace
