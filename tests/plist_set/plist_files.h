// What the plist_set tests share: the XML form's fixed lines, and looks at
// the files that plist_set leaves, Python's plistlib being the independent
// reader.
#pragma once

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#ifndef PLIST_CHECK
#error "PLIST_CHECK must name plist_check.py"
#endif

namespace plist_files {

inline const std::string kHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
				 "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
				 "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
				 "<plist version=\"1.0\">\n";
inline const std::string kTail = "</plist>\n";

// s quoted for /bin/sh.
inline std::string quote(const std::string &s)
{
	std::string q = "'";
	for (char c : s)
		q += c == '\'' ? std::string("'\\''") : std::string(1, c);
	return q + "'";
}

// What plist_check.py prints for its arguments, errors included.
inline std::string plist_check(const std::vector<std::string> &args)
{
	std::string cmd = "python3 " + quote(PLIST_CHECK);
	for (const std::string &a : args)
		cmd += " " + quote(a);
	cmd += " 2>&1";
	std::string out;
	FILE *p = popen(cmd.c_str(), "r");
	if (p == nullptr)
		return "cannot run python3";
	char buf[4096];
	size_t n;
	while ((n = fread(buf, 1, sizeof buf, p)) > 0)
		out.append(buf, n);
	pclose(p);
	return out;
}

// "ok\n" when written holds the original with key set to value, sorted,
// and nothing else changed.
inline std::string plistlib_check(const std::string &original, const std::string &written, const std::string &key,
				  const std::string &value)
{
	return plist_check({"same", original, written, key, value});
}

// The sorted names in a folder.
inline std::vector<std::string> names(const std::string &dir)
{
	std::vector<std::string> out;
	for (const auto &e : std::filesystem::directory_iterator(dir))
		out.push_back(e.path().filename());
	std::sort(out.begin(), out.end());
	return out;
}

inline struct stat stat_of(const std::string &path)
{
	struct stat st {};
	EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
	return st;
}

}  // namespace plist_files
