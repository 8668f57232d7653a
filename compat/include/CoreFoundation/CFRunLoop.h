/*
 * CFRunLoop for Linux: the subset of the target's run loop that the tools
 * use.  Each thread has its own run loop; sources scheduled on it (Disk
 * Arbitration sessions) deliver their answers only from inside
 * CFRunLoopRun on that thread.
 *
 * Nothing outside the thread can wake a run loop of this layer, so where
 * the target would wait for ever CFRunLoopRun returns: it runs while a
 * source scheduled in the default mode has something to deliver and until
 * CFRunLoopStop is called from a delivery.
 */
#ifndef ARDOVA_COMPAT_CFRUNLOOP_H
#define ARDOVA_COMPAT_CFRUNLOOP_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef struct __CFRunLoop *CFRunLoopRef;

extern const CFStringRef kCFRunLoopDefaultMode;

CFTypeID CFRunLoopGetTypeID(void);
/* The calling thread's run loop, made on first use; not to be released. */
CFRunLoopRef CFRunLoopGetCurrent(void);
void CFRunLoopRun(void);
/* Makes the innermost CFRunLoopRun of rl return; no effect when rl is not
 * running. */
void CFRunLoopStop(CFRunLoopRef rl);

CF_EXTERN_C_END

#endif
