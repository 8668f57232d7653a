/*
 * <copyfile.h> for Linux: fcopyfile() for a file's metadata, as the target's
 * C library has it.
 *
 *   COPYFILE_STAT   owner, group, permission bits (set-id bits included),
 *                   access and modification times
 *   COPYFILE_ACL    the access control list; the destination ends with
 *                   none when the source has none
 *   COPYFILE_XATTR  every extended attribute that the caller can list on
 *                   the source, set on the destination; attributes that
 *                   only the destination has stay
 *
 * fcopyfile() returns 0, or -1 with errno set by the first step that
 * failed; steps before it have taken effect.  Only the metadata flags are
 * known here (COPYFILE_DATA and the others give ENOTSUP), and the state
 * must be NULL.
 */
#ifndef ARDOVA_COMPAT_COPYFILE_H
#define ARDOVA_COMPAT_COPYFILE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct _copyfile_state;
typedef struct _copyfile_state *copyfile_state_t;
typedef uint32_t copyfile_flags_t;

#define COPYFILE_ACL (1 << 0)
#define COPYFILE_STAT (1 << 1)
#define COPYFILE_XATTR (1 << 2)
#define COPYFILE_DATA (1 << 3)
#define COPYFILE_SECURITY (COPYFILE_STAT | COPYFILE_ACL)
#define COPYFILE_METADATA (COPYFILE_SECURITY | COPYFILE_XATTR)

int fcopyfile(int from, int to, copyfile_state_t state, copyfile_flags_t flags);

#ifdef __cplusplus
}
#endif

#endif
