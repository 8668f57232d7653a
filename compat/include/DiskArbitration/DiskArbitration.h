/*
 * Disk Arbitration for Linux: sessions, disks named by their BSD name, and
 * unmounting with an answer delivered through the run loop.
 *
 * A disk is found by its name among the sources ("mounted from") of the
 * mount table's FUSE volumes and volumes of block devices; "disk2s1" and
 * "/dev/disk2s1" name the same disk.  A name that more than one such volume
 * carries leads to none of them (kDAReturnBadArgument).  DADiskUnmount
 * carries out the unmount (unmount(2), with MNT_FORCE when
 * kDADiskUnmountOptionForce is given) and queues its answer on the session;
 * the callback runs only from inside CFRunLoopRun on the thread whose run
 * loop the session is scheduled with, so a session that is not scheduled
 * never answers.  A refusal (a busy volume, an unknown or ambiguous disk, no
 * permission) comes back as a dissenter.
 */
#ifndef ARDOVA_COMPAT_DISKARBITRATION_H
#define ARDOVA_COMPAT_DISKARBITRATION_H

#include <CoreFoundation/CoreFoundation.h>

CF_EXTERN_C_BEGIN

typedef struct __DASession *DASessionRef;
typedef struct __DADisk *DADiskRef;
typedef const struct __DADissenter *DADissenterRef;

typedef int DAReturn;
enum {
	kDAReturnSuccess = 0,
	kDAReturnError = (int)0xF8DA0001,
	kDAReturnBusy = (int)0xF8DA0002,
	kDAReturnBadArgument = (int)0xF8DA0003,
	kDAReturnNotFound = (int)0xF8DA0006,
	kDAReturnNotPrivileged = (int)0xF8DA0009
};

typedef UInt32 DADiskUnmountOptions;
enum {
	kDADiskUnmountOptionDefault = 0x00000000,
	kDADiskUnmountOptionForce = 0x00080000
};

/* The dissenter is absent when the disk was unmounted; it belongs to the
 * caller of the callback. */
typedef void (*DADiskUnmountCallback)(DADiskRef disk, DADissenterRef dissenter, void *context);

CFTypeID DASessionGetTypeID(void);
DASessionRef DASessionCreate(CFAllocatorRef allocator);
void DASessionScheduleWithRunLoop(DASessionRef session, CFRunLoopRef runLoop, CFStringRef runLoopMode);
void DASessionUnscheduleFromRunLoop(DASessionRef session, CFRunLoopRef runLoop, CFStringRef runLoopMode);

CFTypeID DADiskGetTypeID(void);
/* NULL when name is NULL or empty. */
DADiskRef DADiskCreateFromBSDName(CFAllocatorRef allocator, DASessionRef session, const char *name);
const char *DADiskGetBSDName(DADiskRef disk);
void DADiskUnmount(DADiskRef disk, DADiskUnmountOptions options, DADiskUnmountCallback callback, void *context);

CFTypeID DADissenterGetTypeID(void);
DAReturn DADissenterGetStatus(DADissenterRef dissenter);

CF_EXTERN_C_END

#endif
