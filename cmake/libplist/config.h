/* What libplist's configure script finds on a glibc system, for the
 * sources of the package built without it. */
#define HAVE_STDINT_H 1
#define HAVE_STDLIB_H 1
#define HAVE_STRING_H 1

#define HAVE_ASPRINTF 1
#define HAVE_STRCASECMP 1
#define HAVE_STRDUP 1
#define HAVE_STRERROR 1
#define HAVE_STRNDUP 1
#define HAVE_STPCPY 1
#define HAVE_VASPRINTF 1
#define HAVE_GMTIME_R 1
#define HAVE_LOCALTIME_R 1
#define HAVE_TIMEGM 1
#define HAVE_STRPTIME 1
#define HAVE_MEMMEM 1

#define HAVE_TM_TM_GMTOFF 1
#define HAVE_TM_TM_ZONE 1
#define HAVE_FVISIBILITY 1

/* The byte order: the binary form's reader and writer depend on it. */
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
#ifndef __BIG_ENDIAN__
#define __BIG_ENDIAN__ 1
#endif
#elif defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#ifndef __LITTLE_ENDIAN__
#define __LITTLE_ENDIAN__ 1
#endif
#else
#error "unknown byte order"
#endif

#define PACKAGE_NAME "libplist"
#define PACKAGE_VERSION "2.2.0"
