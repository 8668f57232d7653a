#include "mountinfo.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace compat {
namespace {

// mountinfo escapes blank, tab, newline and backslash as \ooo.
std::string unescape(std::string_view field)
{
	auto octal = [](char c) { return c >= '0' && c <= '7'; };
	std::string out;
	out.reserve(field.size());
	for (size_t i = 0; i < field.size(); i++) {
		if (field[i] == '\\' && i + 3 < field.size() &&
		    octal(field[i + 1]) && octal(field[i + 2]) && octal(field[i + 3])) {
			out += char((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
			i += 3;
		} else {
			out += field[i];
		}
	}
	return out;
}

std::vector<std::string_view> split_blanks(std::string_view line)
{
	std::vector<std::string_view> fields;
	size_t pos = 0;
	while (pos < line.size()) {
		size_t end = line.find(' ', pos);
		if (end == std::string_view::npos)
			end = line.size();
		if (end > pos)
			fields.push_back(line.substr(pos, end - pos));
		pos = end + 1;
	}
	return fields;
}

// Calls f with the name (the part before '=') of every option in a list.
template <class F> bool any_option(std::string_view options, F f)
{
	size_t pos = 0;
	while (pos <= options.size()) {
		size_t end = options.find(',', pos);
		if (end == std::string_view::npos)
			end = options.size();
		std::string_view option = options.substr(pos, end - pos);
		if (f(option.substr(0, option.find('='))))
			return true;
		pos = end + 1;
	}
	return false;
}

bool has_option(std::string_view options, std::string_view name)
{
	return any_option(options, [name](std::string_view o) { return o == name; });
}

bool is_quota_option(std::string_view name)
{
	static constexpr std::array<std::string_view, 14> names = {
		"quota",   "usrquota", "grpquota", "prjquota",    "usrjquota",   "grpjquota",   "jqfmt",
		"uquota",  "gquota",   "pquota",   "uqnoenforce", "gqnoenforce", "pqnoenforce", "qnoenforce",
	};
	return std::find(names.begin(), names.end(), name) != names.end();
}

bool copy_field(char *dest, size_t size, const std::string &src)
{
	if (src.size() >= size)
		return false;
	memcpy(dest, src.c_str(), src.size() + 1);
	return true;
}

}  // namespace

std::optional<MountEntry> parse_mountinfo_line(std::string_view line)
{
	// id parent major:minor root mount-point options [optional...] - type source super-options
	std::vector<std::string_view> f = split_blanks(line);
	if (f.size() < 10)
		return std::nullopt;
	size_t dash = 6;
	while (dash < f.size() && f[dash] != "-")
		dash++;
	if (dash + 2 >= f.size())
		return std::nullopt;

	MountEntry e;
	for (char c : f[0]) {
		if (c < '0' || c > '9')
			return std::nullopt;
		e.mount_id = e.mount_id * 10 + uint64_t(c - '0');
	}
	if (sscanf(std::string(f[2]).c_str(), "%u:%u", &e.dev_major, &e.dev_minor) != 2)
		return std::nullopt;
	e.mount_point = unescape(f[4]);
	e.mount_options = std::string(f[5]);
	e.fstype = unescape(f[dash + 1]);
	e.source = unescape(f[dash + 2]);
	if (dash + 3 < f.size())
		e.super_options = std::string(f[dash + 3]);
	return e;
}

std::vector<MountEntry> read_mountinfo()
{
	std::vector<MountEntry> entries;
	int fd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return entries;
	std::string text;
	char buf[16384];
	ssize_t n;
	while ((n = ::read(fd, buf, sizeof buf)) != 0) {
		if (n < 0) {
			if (errno == EINTR)
				continue;
			int err = errno;
			::close(fd);
			errno = err;
			return entries;
		}
		text.append(buf, size_t(n));
	}
	::close(fd);

	std::string_view rest = text;
	while (!rest.empty()) {
		size_t end = rest.find('\n');
		std::string_view line = rest.substr(0, end);
		if (auto e = parse_mountinfo_line(line))
			entries.push_back(std::move(*e));
		rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
	}
	return entries;
}

const MountEntry *find_mount(const std::vector<MountEntry> &entries, uint64_t mount_id, unsigned dev_major,
			     unsigned dev_minor, std::string_view real_path)
{
	for (const MountEntry &e : entries) {
		if (e.mount_id == mount_id)
			return &e;
	}
	auto holds = [real_path](const std::string &mount_point) {
		if (mount_point == "/")
			return true;
		return real_path.substr(0, mount_point.size()) == mount_point &&
		       (real_path.size() == mount_point.size() || real_path[mount_point.size()] == '/');
	};
	const MountEntry *found = nullptr;
	for (const MountEntry &e : entries) {
		if (e.dev_major == dev_major && e.dev_minor == dev_minor && holds(e.mount_point) &&
		    (found == nullptr || e.mount_point.size() >= found->mount_point.size()))
			found = &e;
	}
	return found;
}

std::string target_fstypename(std::string_view linux_fstype)
{
	for (std::string_view prefix : {"fuse.", "fuseblk."}) {
		if (linux_fstype.size() > prefix.size() && linux_fstype.substr(0, prefix.size()) == prefix) {
			linux_fstype.remove_prefix(prefix.size());
			break;
		}
	}
	return std::string(linux_fstype.substr(0, MFSTYPENAMELEN - 1));
}

uint32_t target_mount_flags(const MountEntry &e)
{
	static constexpr std::array<std::string_view, 5> journaled = {"ext3", "ext4", "xfs", "jfs",
								       "reiserfs"};
	uint32_t flags = 0;
	if (has_option(e.mount_options, "ro") || has_option(e.super_options, "ro"))
		flags |= MNT_RDONLY;
	if (has_option(e.mount_options, "sync") || has_option(e.super_options, "sync"))
		flags |= MNT_SYNCHRONOUS;
	if (has_option(e.mount_options, "noexec"))
		flags |= MNT_NOEXEC;
	if (has_option(e.mount_options, "nosuid"))
		flags |= MNT_NOSUID;
	if (has_option(e.mount_options, "nodev"))
		flags |= MNT_NODEV;
	if (e.fstype == "overlay")
		flags |= MNT_UNION;
	if (any_option(e.mount_options, is_quota_option) || any_option(e.super_options, is_quota_option))
		flags |= MNT_QUOTA;
	if (e.mount_point == "/")
		flags |= MNT_ROOTFS;
	if (std::find(journaled.begin(), journaled.end(), e.fstype) != journaled.end())
		flags |= MNT_JOURNALED;
	return flags;
}

bool fill_names(const MountEntry &e, struct compat_statfs &out)
{
	if (!copy_field(out.f_mntonname, sizeof out.f_mntonname, e.mount_point) ||
	    !copy_field(out.f_mntfromname, sizeof out.f_mntfromname, e.source))
		return false;
	copy_field(out.f_fstypename, sizeof out.f_fstypename, target_fstypename(e.fstype));
	out.f_flags = target_mount_flags(e);
	out.f_fssubtype = 0;
	return true;
}

}  // namespace compat
