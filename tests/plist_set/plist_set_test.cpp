// plist_set in a private root.  The files live in a scratch folder of the
// host, seen as /data inside; every file plist_set writes is loaded again
// with Python's plistlib on the host.
#include "plist_files.h"
#include "sandbox.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <regex>

using namespace plist_files;
using sandbox::Result;
using sandbox::Sandbox;
using sandbox::TempDir;

namespace {

// A dictionary with a value of every type, nested containers included.
const std::string kEveryType = kHead +
	"<dict>\n"
	"\t<key>array</key>\n\t<array>\n\t\t<integer>1</integer>\n\t\t<dict>\n"
	"\t\t\t<key>inner</key>\n\t\t\t<string>kept</string>\n\t\t</dict>\n\t</array>\n"
	"\t<key>data</key>\n\t<data>\n\tAAECAwQ=\n\t</data>\n"
	"\t<key>date</key>\n\t<date>1999-12-31T23:59:59Z</date>\n"
	"\t<key>dict</key>\n\t<dict>\n\t\t<key>list</key>\n\t\t<array>\n\t\t\t<real>2.5</real>\n"
	"\t\t</array>\n\t</dict>\n"
	"\t<key>false</key>\n\t<false/>\n"
	"\t<key>integer</key>\n\t<integer>-42</integer>\n"
	"\t<key>real</key>\n\t<real>0.25</real>\n"
	"\t<key>string</key>\n\t<string>text</string>\n"
	"\t<key>true</key>\n\t<true/>\n"
	"</dict>\n" + kTail;

class PlistSet : public testing::Test {
protected:
	void SetUp() override
	{
		REQUIRE_SANDBOX();
		box.binds.push_back({dir.path(), "/data"});
	}
	// Writes a file into the scratch folder and keeps a pristine copy
	// beside it, outside the folder plist_set sees.
	void put(const std::string &name, const std::string &content, unsigned mode = 0644)
	{
		sandbox::write_file(dir / name, content, mode);
		std::filesystem::create_directories(std::filesystem::path(originals / name).parent_path());
		sandbox::write_file(originals / name, content);
	}
	std::string original(const std::string &name) { return originals / name; }
	std::string content(const std::string &name) { return sandbox::read_file(dir / name); }

	TempDir dir, originals;
	Sandbox box;
};

TEST_F(PlistSet, EveryValueTypeBecomesAStringAndTheRestStays)
{
	const std::vector<std::string> keys = {"array", "data", "date", "dict", "false",
					       "integer", "real", "string", "true"};
	std::string script;
	for (const std::string &key : keys) {
		put(key + ".plist", kEveryType);
		script += "plist_set /data/" + key + ".plist " + key + " 'new value'; echo \"" + key + " $?\"\n";
	}
	Result r = box.sh(script);
	EXPECT_EQ(r.status, 0) << r;
	EXPECT_EQ(r.out, "array 0\ndata 0\ndate 0\ndict 0\nfalse 0\ninteger 0\nreal 0\nstring 0\ntrue 0\n");
	EXPECT_EQ(r.err, "");
	for (const std::string &key : keys)
		EXPECT_EQ(plistlib_check(original(key + ".plist"), dir / (key + ".plist"), key, "new value"), "ok\n")
			<< key;
	// A container replaced whole, the rest written as it was read.
	std::string expected = kEveryType;
	size_t from = expected.find("\t<key>dict</key>"), to = expected.find("\t<key>false</key>");
	expected.replace(from, to - from, "\t<key>dict</key>\n\t<string>new value</string>\n");
	EXPECT_EQ(content("dict.plist"), expected);
}

TEST_F(PlistSet, AddsAKeyAndTakesAnEmptyValue)
{
	put("add.plist", kEveryType);
	put("empty.plist", kHead + "<dict>\n\t<key>k</key>\n\t<string>v</string>\n</dict>\n" + kTail);
	Result r = box.sh("plist_set /data/add.plist added yes && plist_set /data/empty.plist k ''"
			  " && plist_set /data/empty.plist a ''");
	EXPECT_EQ(r.status, 0) << r;
	EXPECT_EQ(r.out + r.err, "");
	EXPECT_EQ(plistlib_check(original("add.plist"), dir / "add.plist", "added", "yes"), "ok\n");
	EXPECT_EQ(content("empty.plist"),
		  kHead + "<dict>\n\t<key>a</key>\n\t<string></string>\n\t<key>k</key>\n\t<string></string>\n</dict>\n" +
			  kTail);
}

TEST_F(PlistSet, RootThatIsNoDictionaryIsLeftAlone)
{
	const std::string array = kHead + "<array>\n\t<string>a</string>\n</array>\n" + kTail;
	put("array.plist", array);
	put("string.plist", kHead + "<string>a</string>\n" + kTail);
	Result r = box.sh("plist_set /data/array.plist k v; echo \"status $?\"; "
			  "plist_set /data/string.plist k v; echo \"status $?\"");
	EXPECT_EQ(r.out, "status 1\nstatus 1\n");
	EXPECT_EQ(r.err, "Invalid property list root type: 19\nInvalid property list root type: 7\n");
	EXPECT_EQ(content("array.plist"), array);
	EXPECT_EQ(names(dir.path()), (std::vector<std::string>{"array.plist", "string.plist"}));
}

TEST_F(PlistSet, MissingFileIsNotCreated)
{
	Result r = box.run({"plist_set", "/data/missing.plist", "k", "v"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "NULL property list.\n");
	EXPECT_TRUE(names(dir.path()).empty());
}

TEST_F(PlistSet, WrongNumberOfArguments)
{
	put("f.plist", kEveryType);
	Result r = box.sh("plist_set; plist_set /data/f.plist; plist_set /data/f.plist k; "
			  "plist_set /data/f.plist k v extra; echo \"status $?\"");
	EXPECT_EQ(r.out, "status 1\n");
	EXPECT_EQ(r.err, "Invalid number of arguments. (got: 0, required: 3)\n"
			 "Invalid number of arguments. (got: 1, required: 3)\n"
			 "Invalid number of arguments. (got: 2, required: 3)\n"
			 "Invalid number of arguments. (got: 4, required: 3)\n");
	EXPECT_EQ(content("f.plist"), kEveryType);
}

TEST_F(PlistSet, InvalidUtf8InAnyArgument)
{
	put("f.plist", kEveryType);
	const std::string p = "0x[0-9a-f]+", nil = "\\(nil\\)";
	auto message = [](const std::string &file, const std::string &key, const std::string &value,
			  const std::string &url) {
		return "Failed to create necessary objects\\. cfFileNameArgument=" + file + " cfKeyArgument=" + key +
		       " cfValueArgument=" + value + " fileURL=" + url + "\n";
	};
	struct Case {
		std::vector<std::string> argv;
		std::string expected;
	} cases[] = {
		{{"plist_set", "/data/f\xFF.plist", "k", "v"}, message(nil, p, p, nil)},
		{{"plist_set", "/data/f.plist", "k\xC0\x80", "v"}, message(p, nil, p, p)},
		{{"plist_set", "/data/f.plist", "k", "\xED\xA0\x80"}, message(p, p, nil, p)},
		{{"plist_set", "/data/f.plist", "\xFE", "v\xF5"}, message(p, nil, nil, p)},
	};
	for (const Case &c : cases) {
		Result r = box.run(c.argv);
		EXPECT_EQ(r.status, 1) << r;
		EXPECT_EQ(r.out, "");
		EXPECT_TRUE(std::regex_match(r.err, std::regex(c.expected))) << r.err;
	}
	EXPECT_EQ(content("f.plist"), kEveryType);
}

TEST_F(PlistSet, BinaryFileIsRewrittenInTheXmlForm)
{
	// plistlib makes the binary file: an independent writer.
	const std::string make = "python3 -c " + quote("import plistlib, datetime; "
						      "open('" + (dir / "bin.plist") + "', 'wb').write(plistlib.dumps("
						      "{'n': 2**64 - 1, 'neg': -7, 'd': datetime.datetime(1900, 1, 2, 3, 4, 5), "
						      "'s': 'caf\\u00e9 \\U0001d11e', 'b': b'\\x00\\xff', 'l': [1.5, True, {}], "
						      "'shared': ['x', 'x']}, fmt=plistlib.FMT_BINARY))");
	ASSERT_EQ(system(make.c_str()), 0);
	std::filesystem::copy_file(dir / "bin.plist", original("bin.plist"));
	ASSERT_EQ(content("bin.plist").substr(0, 8), "bplist00");
	Result r = box.run({"plist_set", "/data/bin.plist", "k", "v"});
	EXPECT_EQ(r.status, 0) << r;
	EXPECT_EQ(r.out + r.err, "");
	EXPECT_EQ(plistlib_check(original("bin.plist"), dir / "bin.plist", "k", "v"), "ok\n");
}

TEST_F(PlistSet, HandLaidOutFileTakesTheWritersForm)
{
	put("hand.plist", "<?xml version=\"1.0\"?>\n"
			  "<!-- settings, kept by hand -->\n"
			  "<plist version=\"1.0\">\n"
			  "  <dict>\n"
			  "    <key>Zeta</key>   <integer> 10</integer>\n"
			  "    <!-- the list -->\n"
			  "    <key>Alpha</key> <array> <string>one &amp; two</string>\n"
			  "        <string><![CDATA[<three>]]></string> </array>\n"
			  "    <key>Empty</key> <dict></dict>\n"
			  "  </dict>\n"
			  "</plist>\n");
	Result r = box.run({"plist_set", "/data/hand.plist", "Middle", "set"});
	EXPECT_EQ(r.status, 0) << r;
	EXPECT_EQ(content("hand.plist"), kHead +
						 "<dict>\n"
						 "\t<key>Alpha</key>\n\t<array>\n"
						 "\t\t<string>one &amp; two</string>\n\t\t<string>&lt;three&gt;</string>\n"
						 "\t</array>\n"
						 "\t<key>Empty</key>\n\t<dict/>\n"
						 "\t<key>Middle</key>\n\t<string>set</string>\n"
						 "\t<key>Zeta</key>\n\t<integer>10</integer>\n"
						 "</dict>\n" +
						 kTail);
	EXPECT_EQ(plistlib_check(original("hand.plist"), dir / "hand.plist", "Middle", "set"), "ok\n");
}

TEST_F(PlistSet, NonAsciiAndXmlSpecialCharacters)
{
	put("f.plist", kHead + "<dict>\n\t<key>\xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87</key>\n\t<string>old</string>\n"
			       "</dict>\n" + kTail);
	const std::vector<std::pair<std::string, std::string>> settings = {
		{"\xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87", "\xD0\xB7\xD0\xBD\xD0\xB0\xD1\x87\xD0\xB5\xD0\xBD\xD0\xB8\xD0\xB5"},
		{"a<b>&c]]>\"d'", "x</string><string>y & ]]> <!-- z -->"},
		{"\xF0\x9F\x98\x80 emoji", "caf\xC3\xA9 \xF0\x9D\x84\x9E\ttab\nline\r\nend"},
	};
	for (const auto &[key, value] : settings) {
		std::filesystem::copy_file(dir / "f.plist", originals / "before.plist",
					   std::filesystem::copy_options::overwrite_existing);
		Result r = box.run({"plist_set", "/data/f.plist", key, value});
		EXPECT_EQ(r.status, 0) << r;
		EXPECT_EQ(plistlib_check(originals / "before.plist", dir / "f.plist", key, value), "ok\n") << key;
	}
	const std::string written = content("f.plist");
	EXPECT_NE(written.find("<key>a&lt;b&gt;&amp;c]]&gt;\"d'</key>"), std::string::npos) << written;
	EXPECT_NE(written.find("line&#13;\nend"), std::string::npos) << written;
}

TEST_F(PlistSet, ReadOnlyFolderAndFile)
{
	// As the super-user, a read-only mount: nothing can be written.
	std::filesystem::create_directory(dir / "ro");
	put("ro/f.plist", kEveryType);
	Result r = box.sh("mount --bind /data/ro /data/ro && mount -o remount,bind,ro /data/ro && "
			  "cd /data/ro && plist_set f.plist k v; echo \"status $?\"");
	EXPECT_EQ(r.out, "status 1\n");
	EXPECT_EQ(r.err, "Failed to write property list to file \"f.plist\"\n");
	EXPECT_EQ(content("ro/f.plist"), kEveryType);

	// As a user, a folder that takes no new file: a file the user may
	// write is rewritten in place, one the user may not write is kept.
	put("ro/mine.plist", kEveryType, 0644);
	put("ro/theirs.plist", kEveryType, 0644);
	ASSERT_EQ(chown((dir / "ro/mine.plist").c_str(), 65534, 65534), 0);
	ASSERT_EQ(chmod((dir / "ro").c_str(), 0555), 0);
	const ino_t inode = stat_of(dir / "ro/mine.plist").st_ino;
	Result mine = box.run(sandbox::as_user(65534, 65534, {"plist_set", "/data/ro/mine.plist", "k", "v"}));
	EXPECT_EQ(mine.status, 0) << mine;
	EXPECT_EQ(plistlib_check(original("ro/mine.plist"), dir / "ro/mine.plist", "k", "v"), "ok\n");
	EXPECT_EQ(stat_of(dir / "ro/mine.plist").st_ino, inode);
	Result theirs = box.run(sandbox::as_user(65534, 65534, {"plist_set", "/data/ro/theirs.plist", "k", "v"}));
	EXPECT_EQ(theirs.status, 1);
	EXPECT_EQ(theirs.err, "Failed to write property list to file \"/data/ro/theirs.plist\"\n");
	EXPECT_EQ(content("ro/theirs.plist"), kEveryType);
	EXPECT_EQ(names(dir / "ro"), (std::vector<std::string>{"f.plist", "mine.plist", "theirs.plist"}));
	chmod((dir / "ro").c_str(), 0755);
}

TEST_F(PlistSet, ModeAndOwnerAreKept)
{
	put("root.plist", kEveryType, 0640);
	ASSERT_EQ(chown((dir / "root.plist").c_str(), 1234, 5678), 0);
	std::filesystem::create_directory(dir / "user");
	put("user/f.plist", kEveryType, 0600);
	ASSERT_EQ(chown((dir / "user").c_str(), 65534, 65534), 0);
	ASSERT_EQ(chown((dir / "user/f.plist").c_str(), 65534, 65534), 0);
	const ino_t inode = stat_of(dir / "root.plist").st_ino;

	Result r = box.run({"plist_set", "/data/root.plist", "k", "v"});
	EXPECT_EQ(r.status, 0) << r;
	struct stat st = stat_of(dir / "root.plist");
	EXPECT_NE(st.st_ino, inode);  // replaced by rename, not rewritten
	EXPECT_EQ(st.st_mode & 07777, 0640u);
	EXPECT_EQ(st.st_uid, 1234u);
	EXPECT_EQ(st.st_gid, 5678u);
	EXPECT_EQ(plistlib_check(original("root.plist"), dir / "root.plist", "k", "v"), "ok\n");

	Result u = box.run(sandbox::as_user(65534, 65534, {"plist_set", "/data/user/f.plist", "k", "v"}));
	EXPECT_EQ(u.status, 0) << u;
	st = stat_of(dir / "user/f.plist");
	EXPECT_EQ(st.st_mode & 07777, 0600u);
	EXPECT_EQ(st.st_uid, 65534u);
	EXPECT_EQ(plistlib_check(original("user/f.plist"), dir / "user/f.plist", "k", "v"), "ok\n");
	// A file the user may not write stays as it is, though the folder
	// would take its replacement.
	put("user/locked.plist", kEveryType, 0444);
	ASSERT_EQ(chown((dir / "user/locked.plist").c_str(), 65534, 65534), 0);
	Result locked = box.run(sandbox::as_user(65534, 65534, {"plist_set", "/data/user/locked.plist", "k", "v"}));
	EXPECT_EQ(locked.status, 1);
	EXPECT_EQ(locked.err, "Failed to write property list to file \"/data/user/locked.plist\"\n");
	EXPECT_EQ(content("user/locked.plist"), kEveryType);

	EXPECT_EQ(names(dir.path()), (std::vector<std::string>{"root.plist", "user"}));
	EXPECT_EQ(names(dir / "user"), (std::vector<std::string>{"f.plist", "locked.plist"}));
}

TEST_F(PlistSet, SymbolicLinksAreWrittenThrough)
{
	std::filesystem::create_directory(dir / "real");
	std::filesystem::create_directory(dir / "links");
	put("real/f.plist", kEveryType, 0604);
	ASSERT_EQ(symlink("../real/f.plist", (dir / "links/relative").c_str()), 0);
	ASSERT_EQ(symlink("/data/links/relative", (dir / "links/absolute").c_str()), 0);
	Result r = box.sh("plist_set /data/links/absolute one 1 && plist_set /data/links/relative two 2");
	EXPECT_EQ(r.status, 0) << r;
	EXPECT_TRUE(S_ISLNK(stat_of(dir / "links/relative").st_mode));
	EXPECT_TRUE(S_ISLNK(stat_of(dir / "links/absolute").st_mode));
	EXPECT_EQ(std::filesystem::read_symlink(dir / "links/relative"), "../real/f.plist");
	EXPECT_EQ(stat_of(dir / "real/f.plist").st_mode & 07777, 0604u);
	std::filesystem::copy_file(original("real/f.plist"), originals / "one.plist");
	EXPECT_EQ(plistlib_check(original("real/f.plist"), dir / "real/f.plist", "two", "2").substr(0, 7),
		  "differs");  // "one" is there as well
	const std::string text = content("real/f.plist");
	EXPECT_NE(text.find("<key>one</key>\n\t<string>1</string>"), std::string::npos);
	EXPECT_NE(text.find("<key>two</key>\n\t<string>2</string>"), std::string::npos);
	EXPECT_EQ(names(dir / "real"), (std::vector<std::string>{"f.plist"}));
	EXPECT_EQ(names(dir / "links"), (std::vector<std::string>{"absolute", "relative"}));
}

TEST_F(PlistSet, HostileInputIsRefusedCleanly)
{
	std::string deep = kHead;
	for (int i = 0; i < 100000; i++)
		deep += "<array>";
	put("deep.plist", deep);
	put("entity.plist", kHead + "<dict><key>k</key><string>&#xD800;&#0;</string></dict>" + kTail);
	put("malformed.plist", kHead + "<dict><key>k</key><integer>12abc</integer></dict>" + kTail);
	put("garbage.plist", "\x01\x02not a property list");
	// Forty arrays, each holding the next one twice: 2^40 values.
	std::string shared = "bplist00";
	for (int i = 0; i < 40; i++)
		shared += std::string("\xA2") + char(i + 1) + char(i + 1);
	shared += "\x51x";
	const size_t table = shared.size();
	for (int i = 0; i <= 40; i++)
		shared += char(8 + 3 * i);
	shared += std::string(6, '\0') + "\x01\x01" + std::string(7, '\0') + char(41) + std::string(8, '\0') +
		  std::string(7, '\0') + char(table);
	put("shared.plist", shared);
	put("truncated.plist", shared.substr(0, shared.size() - 5));

	std::string script;
	for (const char *name : {"deep", "entity", "malformed", "garbage", "shared", "truncated"})
		script += std::string("plist_set /data/") + name + ".plist k v; echo \"" + name + " $?\"\n";
	Result r = box.sh(script);
	EXPECT_EQ(r.out, "deep 1\nentity 1\nmalformed 1\ngarbage 1\nshared 1\ntruncated 1\n");
	std::string expected;
	for (int i = 0; i < 6; i++)
		expected += "NULL property list.\n";
	EXPECT_EQ(r.err, expected);
	for (const char *name : {"deep", "entity", "malformed", "garbage", "shared", "truncated"}) {
		std::string file = std::string(name) + ".plist";
		EXPECT_EQ(content(file), sandbox::read_file(original(file))) << name;
	}
}

// A binary file in which a data object of leaf bytes is shared: levels
// arrays deep, each array holding the next fan times, under the key "k".
std::string shared_data_plist(int levels, int fan, size_t leaf)
{
	auto be = [](uint64_t v, size_t n) {
		std::string b;
		for (size_t k = n; k-- > 0;)
			b += char(v >> (8 * k));
		return b;
	};
	auto counted = [&](unsigned marker, uint64_t n) {
		return n < 15 ? std::string(1, char(marker | n)) : std::string(1, char(marker | 0xF)) + "\x13" + be(n, 8);
	};
	// Objects: 0 the root, 1 its key, 2 .. levels+1 the arrays, then the data.
	std::vector<std::string> objects = {"\xD1" + be(1, 2) + be(2, 2), "\x51k"};
	for (int level = 0; level < levels; level++) {
		std::string array = counted(0xA0, uint64_t(fan));
		for (int i = 0; i < fan; i++)
			array += be(uint64_t(level + 3), 2);
		objects.push_back(array);
	}
	objects.push_back(counted(0x40, leaf) + std::string(leaf, '\x5A'));
	std::string out = "bplist00";
	std::vector<uint64_t> offsets;
	for (const std::string &o : objects) {
		offsets.push_back(out.size());
		out += o;
	}
	const uint64_t table = out.size();
	for (uint64_t off : offsets)
		out += be(off, 4);
	return out + std::string(6, '\0') + "\x04\x02" + be(objects.size(), 8) + be(0, 8) + be(table, 8);
}

// The XML form may take four times the file and 4 MiB more: what a binary
// file's shared objects would make larger is refused, at once and in
// little memory, and the file stays as it was.
TEST_F(PlistSet, XmlFormLargerThanTheFileAllowsIsNotWritten)
{
	const struct {
		const char *name;
		std::string content;
		bool written;
	} cases[] = {
		// 8 KiB and 4 KiB shared 64 * 64 * 64 times: 3.2 GB and 1.6 GB.
		{"nested8k.plist", shared_data_plist(3, 64, 8192), false},
		{"nested4k.plist", shared_data_plist(3, 64, 4096), false},
		// 64 KiB shared 16384 times: 1.5 GB.
		{"flat64k.plist", shared_data_plist(1, 16384, 65536), false},
		// 4 KiB shared 1000 times (5.6 MB) and 500 times (2.8 MB).
		{"over.plist", shared_data_plist(1, 1000, 4096), false},
		{"under.plist", shared_data_plist(1, 500, 4096), true},
	};
	std::string script = "export QEMU_RESERVED_VA=256M\n";
#ifndef __SANITIZE_ADDRESS__
	const std::string limit = "prlimit --as=536870912 ";
#else
	const std::string limit = "";  // the sanitizer's shadow needs more room
#endif
	for (const auto &c : cases) {
		put(c.name, c.content);
		script += "timeout 5 " + limit + "plist_set /data/" + c.name + " set yes; echo \"" + c.name + " $?\"\n";
	}
	Result r = box.sh(script);
	std::string statuses, errors;
	for (const auto &c : cases) {
		statuses += std::string(c.name) + (c.written ? " 0\n" : " 1\n");
		if (!c.written)
			errors += "Failed to write property list to file \"/data/" + std::string(c.name) + "\"\n";
	}
	EXPECT_EQ(r.out, statuses);
	EXPECT_EQ(r.err, errors);
	for (const auto &c : cases) {
		if (c.written)
			EXPECT_EQ(plistlib_check(original(c.name), dir / c.name, "set", "yes"), "ok\n");
		else
			EXPECT_TRUE(content(c.name) == c.content) << c.name << " changed";
	}
	EXPECT_EQ(names(dir.path()).size(), std::size(cases));  // no new file left behind
}

TEST_F(PlistSet, OnlyRegularFilesAreRead)
{
	Result r = box.sh("mkfifo /data/fifo; plist_set /data/fifo k v; echo \"fifo $?\"; "
			  "plist_set /data k v; echo \"folder $?\"; plist_set '' k v; echo \"empty $?\"");
	EXPECT_EQ(r.out, "fifo 1\nfolder 1\nempty 1\n");
	EXPECT_EQ(r.err, "NULL property list.\nNULL property list.\nNULL property list.\n");
}

}  // namespace
