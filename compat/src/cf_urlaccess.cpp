// Reading and replacing the content of the file that a file URL names.
//
// A replacement never leaves a half-written file behind: the new content
// goes to a fresh file in the same folder, is flushed to disk and renamed
// over the old file.  Only where the folder takes no new file (but the file
// itself may be written) is the file rewritten in place.
#include "cf_types.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

namespace {

SInt32 url_error(int err)
{
	switch (err) {
	case ENOENT:
	case ENOTDIR:
		return kCFURLResourceNotFoundError;
	case EACCES:
	case EPERM:
	case EROFS:
		return kCFURLResourceAccessViolationError;
	case EISDIR:
	case EINVAL:
	case ELOOP:
	case ENAMETOOLONG:
		return kCFURLImproperArgumentsError;
	default:
		return kCFURLUnknownError;
	}
}

bool fail(SInt32 *errorCode, SInt32 code)
{
	if (errorCode)
		*errorCode = code;
	return false;
}

// A descriptor closed when the scope ends.
struct Fd {
	int fd = -1;
	~Fd()
	{
		if (fd >= 0)
			close(fd);
	}
	// Closes now and reports a failed close (a late write error).
	int release()
	{
		int result = close(fd);
		fd = -1;
		return result;
	}
};

// Reads all of fd; returns 0 or an error number.
int read_all(int fd, size_t size_hint, std::string &out)
{
	out.reserve(size_hint);
	char buf[65536];
	for (;;) {
		ssize_t n = read(fd, buf, sizeof buf);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return errno;
		if (n == 0)
			return 0;
		out.append(buf, size_t(n));
	}
}

int write_all(int fd, std::string_view bytes, off_t offset)
{
	while (!bytes.empty()) {
		ssize_t n = pwrite(fd, bytes.data(), bytes.size(), offset);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return errno;
		bytes.remove_prefix(size_t(n));
		offset += n;
	}
	return 0;
}

std::string dir_of(const std::string &path)
{
	size_t slash = path.find_last_of('/');
	if (slash == std::string::npos)
		return ".";
	return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string &path)
{
	size_t slash = path.find_last_of('/');
	return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The path of the file that path names once symbolic links in its last
// component are followed; the file need not exist.  0 or an error number.
int follow_links(std::string path, std::string &out)
{
	for (int hops = 0; hops <= 40; hops++) {
		struct stat st;
		if (lstat(path.c_str(), &st) != 0) {
			if (errno != ENOENT)
				return errno;
			out = path;
			return 0;
		}
		if (!S_ISLNK(st.st_mode)) {
			out = path;
			return 0;
		}
		char target[PATH_MAX];
		ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
		if (n < 0)
			return errno;
		target[n] = '\0';
		path = target[0] == '/' ? std::string(target) : dir_of(path) + "/" + target;
	}
	return ELOOP;
}

// Opens a new file named like ".NAME.XXXXXXXX" beside NAME.
int create_temporary(int dirfd, const std::string &base, mode_t mode, std::string &name)
{
	for (int attempt = 0; attempt < 100; attempt++) {
		unsigned char r[6];
		if (getrandom(r, sizeof r, 0) != sizeof r) {
			errno = EAGAIN;
			return -1;
		}
		static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_-";
		name = "." + base.substr(0, 200) + ".";
		for (unsigned char c : r)
			name += digits[c % 64];
		int fd = openat(dirfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
		if (fd >= 0 || errno != EEXIST)
			return fd;
	}
	errno = EEXIST;
	return -1;
}

// Writes the temporary file fully and durably, with the old file's
// permission bits, owner and group.  0 or an error number.
int fill_temporary(int fd, std::string_view bytes, const struct stat *old)
{
	if (old) {
		// Owner first: a change of owner clears the set-id bits.
		if (geteuid() == 0 && fchown(fd, old->st_uid, old->st_gid) != 0)
			return errno;
		if (fchmod(fd, old->st_mode & 07777) != 0)
			return errno;
	}
	if (int err = write_all(fd, bytes, 0))
		return err;
	if (fsync(fd) != 0)
		return errno;
	return 0;
}

// Rewrites the existing file in place: the content is whole in memory
// before the file is opened, and the file is cut to its new length last.
int rewrite_in_place(int dirfd, const std::string &base, std::string_view bytes)
{
	Fd fd{openat(dirfd, base.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK)};
	if (fd.fd < 0)
		return errno;
	struct stat st;
	if (fstat(fd.fd, &st) != 0)
		return errno;
	if (!S_ISREG(st.st_mode))
		return EINVAL;
	if (int err = write_all(fd.fd, bytes, 0))
		return err;
	if (ftruncate(fd.fd, off_t(bytes.size())) != 0 || fsync(fd.fd) != 0)
		return errno;
	return fd.release() == 0 ? 0 : errno;
}

// Replaces the content of the file at path.  0 or an error number.
int replace_file(const std::string &path, std::string_view bytes)
{
	std::string file;
	if (int err = follow_links(path, file))
		return err;
	const std::string base = base_of(file);
	if (base.empty() || base == "." || base == "..")
		return EISDIR;

	Fd dir{open(dir_of(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
	if (dir.fd < 0)
		return errno;

	// The file as it is now, looked at through a descriptor so that what
	// is checked is what is replaced.
	struct stat old_st;
	bool exists = false;
	{
		Fd old{openat(dir.fd, base.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC)};
		if (old.fd >= 0) {
			if (fstat(old.fd, &old_st) != 0)
				return errno;
			if (!S_ISREG(old_st.st_mode))
				return S_ISLNK(old_st.st_mode) ? ELOOP : EINVAL;
			// A rename in a writable folder would replace a file that
			// the caller may not write; writing in place could not.
			if (faccessat(dir.fd, base.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0)
				return errno;
			exists = true;
		} else if (errno != ENOENT) {
			return errno;
		}
	}

	std::string tmp_name;
	Fd tmp{create_temporary(dir.fd, base, exists ? 0600 : 0666, tmp_name)};
	if (tmp.fd < 0) {
		int err = errno;
		if (exists && (err == EACCES || err == EPERM))
			return rewrite_in_place(dir.fd, base, bytes);
		return err;
	}
	int err = fill_temporary(tmp.fd, bytes, exists ? &old_st : nullptr);
	if (err == 0 && tmp.release() != 0)
		err = errno;
	if (err == 0 && renameat(dir.fd, tmp_name.c_str(), dir.fd, base.c_str()) != 0)
		err = errno;
	if (err != 0) {
		unlinkat(dir.fd, tmp_name.c_str(), 0);
		// A sticky folder may refuse the rename of a file we may write.
		if (exists && (err == EACCES || err == EPERM))
			return rewrite_in_place(dir.fd, base, bytes);
		return err;
	}
	// The rename itself must reach the disk too.
	fsync(dir.fd);
	return 0;
}

}  // namespace

extern "C" {

Boolean CFURLCreateDataAndPropertiesFromResource(CFAllocatorRef, CFURLRef url, CFDataRef *resourceData,
						 CFDictionaryRef *properties, CFArrayRef, SInt32 *errorCode)
{
	const std::string &path = compat::as_url(url, "CFURLCreateDataAndPropertiesFromResource")->path;
	if (resourceData)
		*resourceData = nullptr;
	if (properties)
		*properties = nullptr;

	// Not blocking: a FIFO planted at the path must not hang the reader.
	Fd fd{open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
	if (fd.fd < 0)
		return fail(errorCode, url_error(errno));
	struct stat st;
	if (fstat(fd.fd, &st) != 0)
		return fail(errorCode, url_error(errno));
	if (!S_ISREG(st.st_mode))
		return fail(errorCode, url_error(S_ISDIR(st.st_mode) ? EISDIR : EINVAL));

	CFDataRef data = nullptr;
	if (resourceData) {
		std::string bytes;
		if (int err = read_all(fd.fd, size_t(st.st_size), bytes))
			return fail(errorCode, url_error(err));
		data = compat::make_data(std::move(bytes));
		if (data == nullptr)
			return fail(errorCode, kCFURLUnknownError);
	}
	if (properties) {
		*properties = CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
						 &kCFTypeDictionaryValueCallBacks);
		if (*properties == nullptr) {
			if (data)
				CFRelease(data);
			return fail(errorCode, kCFURLUnknownError);
		}
	}
	if (resourceData)
		*resourceData = data;
	if (errorCode)
		*errorCode = 0;
	return true;
}

Boolean CFURLWriteDataAndPropertiesToResource(CFURLRef url, CFDataRef dataToWrite, CFDictionaryRef propertiesToWrite,
					      SInt32 *errorCode)
{
	const std::string &path = compat::as_url(url, "CFURLWriteDataAndPropertiesToResource")->path;
	if (propertiesToWrite && CFDictionaryGetCount(propertiesToWrite) != 0)
		return fail(errorCode, kCFURLUnknownPropertyKeyError);
	if (dataToWrite) {
		const std::string &bytes = compat::as_data(dataToWrite, "CFURLWriteDataAndPropertiesToResource")->bytes;
		if (int err = replace_file(path, bytes))
			return fail(errorCode, url_error(err));
	}
	if (errorCode)
		*errorCode = 0;
	return true;
}

}  // extern "C"
