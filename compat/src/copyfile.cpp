// fcopyfile() for a file's metadata.  Linux keeps access control lists as
// extended attributes of their own names; the target keeps them apart, so
// COPYFILE_XATTR passes them by and COPYFILE_ACL copies them alone.
#include <copyfile.h>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char *kAccessAcl = "system.posix_acl_access";

bool is_acl(std::string_view name)
{
	return name.substr(0, 17) == "system.posix_acl_";
}

// The value of one attribute; false with errno set when it has none or
// cannot be read.  Retries while the value grows between the calls.
bool get_attribute(int fd, const char *name, std::vector<char> &value)
{
	for (;;) {
		ssize_t size = fgetxattr(fd, name, nullptr, 0);
		if (size < 0)
			return false;
		value.resize(size_t(size));
		size = fgetxattr(fd, name, value.data(), value.size());
		if (size >= 0) {
			value.resize(size_t(size));
			return true;
		}
		if (errno != ERANGE)
			return false;
	}
}

// The names of fd's attributes, NUL-separated; empty where the file system
// keeps none.
bool list_attributes(int fd, std::vector<char> &names)
{
	for (;;) {
		ssize_t size = flistxattr(fd, nullptr, 0);
		if (size < 0 && (errno == ENOTSUP || errno == ENOSYS)) {
			names.clear();
			return true;
		}
		if (size < 0)
			return false;
		names.resize(size_t(size));
		size = flistxattr(fd, names.data(), names.size());
		if (size >= 0) {
			names.resize(size_t(size));
			return true;
		}
		if (errno != ERANGE)
			return false;
	}
}

bool copy_xattrs(int from, int to)
{
	std::vector<char> names, value;
	if (!list_attributes(from, names))
		return false;
	for (size_t at = 0; at < names.size(); at += strlen(&names[at]) + 1) {
		const char *name = &names[at];
		if (is_acl(name))
			continue;
		if (!get_attribute(from, name, value)) {
			if (errno == ENODATA)  // removed since it was listed
				continue;
			return false;
		}
		if (fsetxattr(to, name, value.data(), value.size(), 0) != 0)
			return false;
	}
	return true;
}

bool copy_acl(int from, int to)
{
	std::vector<char> acl;
	if (get_attribute(from, kAccessAcl, acl))
		return fsetxattr(to, kAccessAcl, acl.data(), acl.size(), 0) == 0;
	if (errno != ENODATA && errno != ENOTSUP)
		return false;
	// None on the source: none inherited from the folder either.
	return fremovexattr(to, kAccessAcl) == 0 || errno == ENODATA || errno == ENOTSUP;
}

// The permission bits go last: a change of owner clears the set-id bits,
// and an access control list sets the group bits from its mask.
bool copy_owner(int to, const struct stat &st)
{
	return fchown(to, st.st_uid, st.st_gid) == 0;
}

bool copy_mode_and_times(int to, const struct stat &st)
{
	const struct timespec times[2] = {st.st_atim, st.st_mtim};
	return fchmod(to, st.st_mode & 07777) == 0 && futimens(to, times) == 0;
}

}  // namespace

extern "C" int fcopyfile(int from, int to, copyfile_state_t state, copyfile_flags_t flags)
{
	if (state != nullptr) {
		errno = EINVAL;
		return -1;
	}
	if ((flags & ~copyfile_flags_t(COPYFILE_METADATA)) != 0) {
		errno = ENOTSUP;
		return -1;
	}
	struct stat st;
	if (fstat(from, &st) != 0)
		return -1;
	if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode)) {
		errno = ENOTSUP;
		return -1;
	}
	bool ok = true;
	if (ok && (flags & COPYFILE_XATTR))
		ok = copy_xattrs(from, to);
	if (ok && (flags & COPYFILE_STAT))
		ok = copy_owner(to, st);
	if (ok && (flags & COPYFILE_ACL))
		ok = copy_acl(from, to);
	if (ok && (flags & COPYFILE_STAT))
		ok = copy_mode_and_times(to, st);
	return ok ? 0 : -1;
}
