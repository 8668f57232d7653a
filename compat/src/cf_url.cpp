// File URLs made from POSIX paths.
#include "cf_types.h"

#include <unistd.h>

#include <cstring>
#include <memory>

extern "C" {

CFTypeID CFURLGetTypeID(void)
{
	return compat::kCFURLTypeID;
}

CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef, CFStringRef filePath, CFURLPathStyle pathStyle,
				       Boolean isDirectory)
{
	if (filePath == nullptr || pathStyle != kCFURLPOSIXPathStyle)
		return nullptr;
	const std::string &path = compat::as_string(filePath, "CFURLCreateWithFileSystemPath")->utf8;
	if (!path.empty() && path[0] == '/')
		return compat::cf_create<__CFURL>(path, isDirectory != 0);

	// Relative paths are taken from the working directory of this moment.
	std::unique_ptr<char, decltype(&free)> cwd(getcwd(nullptr, 0), &free);
	if (!cwd)
		return nullptr;
	std::string absolute(cwd.get());
	if (!path.empty()) {
		if (absolute.back() != '/')
			absolute += '/';
		absolute += path;
	}
	return compat::cf_create<__CFURL>(std::move(absolute), isDirectory != 0);
}

Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean, UInt8 *buffer, CFIndex maxBufLen)
{
	const std::string &path = compat::as_url(url, "CFURLGetFileSystemRepresentation")->path;
	if (buffer == nullptr || maxBufLen <= 0 || path.size() >= size_t(maxBufLen))
		return false;
	memcpy(buffer, path.c_str(), path.size() + 1);
	return true;
}

CFStringRef CFURLCopyFileSystemPath(CFURLRef anURL, CFURLPathStyle pathStyle)
{
	const std::string &path = compat::as_url(anURL, "CFURLCopyFileSystemPath")->path;
	if (pathStyle != kCFURLPOSIXPathStyle || !compat::is_valid_utf8(path))
		return nullptr;
	return compat::make_string(path);
}

}  // extern "C"
