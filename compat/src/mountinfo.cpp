#include "mountinfo.h"

#include <fcntl.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
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

// Copies src into a zero-terminated field, cut to fit; false when cut.
bool copy_field(char *dest, size_t size, const std::string &src)
{
	const size_t length = std::min(src.size(), size - 1);
	memcpy(dest, src.data(), length);
	dest[length] = '\0';
	return length == src.size();
}

// A path cut to fit ends just after a slash: what is kept names a folder
// above the mount, never a mount that merely shares the first bytes.
bool copy_path_field(char *dest, size_t size, const std::string &src)
{
	if (src.size() < size)
		return copy_field(dest, size, src);
	const size_t slash = src.rfind('/', size - 2);
	copy_field(dest, size, src.substr(0, slash == std::string::npos ? 0 : slash + 1));
	return false;
}

std::string read_whole(const char *path)
{
	std::string text;
	int fd = ::open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return text;
	char buf[16384];
	ssize_t n;
	while ((n = ::read(fd, buf, sizeof buf)) != 0) {
		if (n < 0) {
			if (errno == EINTR)
				continue;
			int err = errno;
			::close(fd);
			errno = err;
			return std::string();
		}
		text.append(buf, size_t(n));
	}
	::close(fd);
	return text;
}

// The kernel's name of a block device ("sda1", "loop0", "dm-0"), from
// /proc/partitions: "major minor #blocks name" lines.
std::optional<std::string> block_device_name(unsigned major, unsigned minor)
{
	const std::string table = read_whole("/proc/partitions");
	std::string_view rest = table;
	while (!rest.empty()) {
		size_t end = rest.find('\n');
		std::vector<std::string_view> f = split_blanks(rest.substr(0, end));
		rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
		if (f.size() == 4 && f[0] == std::to_string(major) && f[1] == std::to_string(minor))
			return std::string(f[3]);
	}
	return std::nullopt;
}

// Reads "major:minor".
bool parse_device(std::string_view field, unsigned &major, unsigned &minor)
{
	size_t colon = field.find(':');
	if (colon == std::string_view::npos)
		return false;
	auto number = [](std::string_view digits, unsigned &value) {
		auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
		return ec == std::errc() && end == digits.data() + digits.size() && !digits.empty();
	};
	return number(field.substr(0, colon), major) && number(field.substr(colon + 1), minor);
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
	if (!parse_device(f[2], e.dev_major, e.dev_minor))
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
	const std::string text = read_whole("/proc/self/mountinfo");
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

bool has_journal(const MountEntry &e)
{
	static constexpr std::array<std::string_view, 3> always = {"xfs", "jfs", "reiserfs"};
	if (std::find(always.begin(), always.end(), e.fstype) != always.end())
		return true;
	if (e.fstype != "ext3" && e.fstype != "ext4")
		return false;
	// jbd2 names the journal of a file system after its device and the
	// journal's inode, which is 8 for a journal inside the file system.
	std::optional<std::string> device = block_device_name(e.dev_major, e.dev_minor);
	struct stat st;
	return device && stat(("/proc/fs/jbd2/" + *device + "-8").c_str(), &st) == 0;
}

uint32_t target_mount_flags(const MountEntry &e)
{
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
	if (has_journal(e))
		flags |= MNT_JOURNALED;
	return flags;
}

bool fill_names(const MountEntry &e, struct compat_statfs &out)
{
	const bool on_fits = copy_path_field(out.f_mntonname, sizeof out.f_mntonname, e.mount_point);
	const bool from_fits = copy_field(out.f_mntfromname, sizeof out.f_mntfromname, e.source);
	copy_field(out.f_fstypename, sizeof out.f_fstypename, target_fstypename(e.fstype));
	out.f_fsid.val[0] = int32_t(e.mount_id);
	out.f_fsid.val[1] = 0;
	out.f_flags = target_mount_flags(e);
	out.f_fssubtype = 0;
	return on_fits && from_fits;
}

}  // namespace compat
