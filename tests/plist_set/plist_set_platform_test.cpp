// plist_set reads what the platform reads and writes what it writes: the
// files real programs wrote (corpus/, with the outcome the platform's
// reader gives each in manifest.tsv), and the platform's rules one by one.
// Each file plist_set writes is read again here, with this layer's reader
// and, where it can read both files, with Python's plistlib.
#include "sandbox.h"

#include "cf_helpers.h"
#include "cf_plist.h"
#include "plist_files.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

using sandbox::Result;
using sandbox::Sandbox;
using sandbox::TempDir;

using plist_files::kHead;
using plist_files::kTail;

namespace {

struct Entry {
	std::string file, kind, expect, note;
};

std::vector<Entry> manifest()
{
	std::ifstream f(std::string(CORPUS_DIR) + "/manifest.tsv");
	std::vector<Entry> entries;
	std::string line;
	std::getline(f, line);  // the header
	while (std::getline(f, line)) {
		std::vector<std::string> fields;
		std::istringstream cells(line);
		for (std::string cell; std::getline(cells, cell, '\t');)
			fields.push_back(cell);
		if (fields.size() == 8)
			entries.push_back({fields[0], fields[1], fields[2], fields[7]});
	}
	return entries;
}

// The type number plist_set names for a root the note calls "... root".
std::string root_type(const std::string &note)
{
	static const std::map<std::string, std::string> types = {
		{"array", "19"}, {"string", "7"}, {"integer", "22"}, {"real", "22"}, {"boolean", "21"}, {"UID", "41"},
	};
	const size_t at = note.rfind(" root");
	const size_t word = note.find_last_of(" ;", at - 1);
	auto found = types.find(note.substr(word + 1, at - word - 1));
	return found == types.end() ? "?" : found->second;
}

cftest::Owned read_plist(const std::string &bytes)
{
	const char *why = nullptr;
	return cftest::Owned(compat::parse_property_list(bytes, why));
}

// Whether written holds what original held, as the XML form carries it:
// dates in whole seconds, and a dictionary whose only key is CF$UID (an
// integer) as the keyed archiver's reference it is read back as.
bool same_tree(CFTypeRef original, CFTypeRef written)
{
	const CFTypeID type = CFGetTypeID(original);
	if (type == compat::kCFDateTypeID && CFGetTypeID(written) == type)
		return std::floor(compat::as_date(original, "test")->time) == compat::as_date(written, "test")->time;
	if (type == compat::kCFDictionaryTypeID && CFGetTypeID(written) == compat::kCFKeyedArchiverUIDTypeID)
		return cftest::show(original) ==
		       "{CF$UID=i" + std::to_string(static_cast<const __CFKeyedArchiverUID *>(written)->value) + ";}";
	if (type != CFGetTypeID(written))
		return false;
	if (type == compat::kCFKeyedArchiverUIDTypeID)
		return static_cast<const __CFKeyedArchiverUID *>(original)->value ==
		       static_cast<const __CFKeyedArchiverUID *>(written)->value;
	if (type == compat::kCFArrayTypeID) {
		const auto &a = compat::as_array(original, "test")->values, &b = compat::as_array(written, "test")->values;
		return std::equal(a.begin(), a.end(), b.begin(), b.end(), same_tree);
	}
	if (type == compat::kCFDictionaryTypeID) {
		const __CFDictionary *a = compat::as_dictionary(original, "test"), *b = compat::as_dictionary(written, "test");
		if (a->entries.size() != b->entries.size())
			return false;
		for (const auto &[key, value] : a->entries) {
			size_t at = b->find(key);
			if (at == __CFDictionary::npos || !same_tree(value, b->entries[at].second))
				return false;
		}
		return true;
	}
	return compat::equal(original, written);
}

class PlistSetPlatform : public testing::Test {
protected:
	void SetUp() override
	{
		REQUIRE_SANDBOX();
		box.binds.push_back({dir.path(), "/data"});
	}
	std::string content(const std::string &name) { return sandbox::read_file(dir / name); }

	TempDir dir;
	Sandbox box;
};

TEST_F(PlistSetPlatform, EveryCorpusFileAsThePlatformReadsIt)
{
	const std::vector<Entry> entries = manifest();
	ASSERT_EQ(entries.size(), 242u);
	const std::string key = "Corpus Key", value = "corpus \xE2\x9C\x93 value";
	std::string script = "mkdir /data/err\n";
	for (const Entry &e : entries) {
		std::filesystem::copy_file(std::string(CORPUS_DIR) + "/" + e.file, dir / e.file);
		chmod((dir / e.file).c_str(), 0644);
		script += "plist_set '/data/" + e.file + "' '" + key + "' '" + value + "' 2>'/data/err/" + e.file +
			  "'; echo $?\n";
	}
	Result r = box.sh(script);
	ASSERT_EQ(r.status, 0) << r;
	std::istringstream statuses(r.out);

	std::string pairs;
	size_t dictionaries = 0;
	for (const Entry &e : entries) {
		std::string status;
		std::getline(statuses, status);
		const std::string original = sandbox::read_file(std::string(CORPUS_DIR) + "/" + e.file);
		const std::string written = content(e.file), err = content("err/" + e.file);
		SCOPED_TRACE(e.file + " (" + e.kind + ", " + e.expect + ": " + e.note + ")");
		if (e.expect == "dict") {
			EXPECT_EQ(status, "0");
			EXPECT_EQ(err, "");
			cftest::Owned before(read_plist(original)), after(read_plist(written));
			ASSERT_NE(before.cf, nullptr);
			ASSERT_NE(after.cf, nullptr) << "the written file does not read back";
			EXPECT_EQ(written.substr(0, kHead.size()), kHead);
			// Every value as read, and the new key.
			cftest::Owned copy(CFDictionaryCreateMutableCopy(nullptr, 0, before.as<CFDictionaryRef>()));
			cftest::Owned k(cftest::str(key.c_str())), v(cftest::str(value.c_str()));
			CFDictionarySetValue(static_cast<CFMutableDictionaryRef>(const_cast<void *>(copy.cf)), k.cf, v.cf);
			EXPECT_TRUE(same_tree(copy.cf, after.cf));
			pairs += std::string(CORPUS_DIR) + "/" + e.file + "\t" + (dir / e.file) + "\t" + key + "\t" + value + "\n";
			dictionaries++;
		} else {
			EXPECT_EQ(status, "1");
			EXPECT_EQ(err, e.expect == "root" ? "Invalid property list root type: " + root_type(e.note) + "\n"
							  : "NULL property list.\n");
			EXPECT_EQ(written, original);
		}
	}
	EXPECT_EQ(dictionaries, 208u);

	// Independently, with plistlib, wherever it reads both files.
	sandbox::write_file(dir / "pairs", pairs);
	std::istringstream answers(plist_files::plist_check({"pairs", dir / "pairs"}));
	size_t checked = 0;
	for (std::string answer; std::getline(answers, answer);) {
		EXPECT_TRUE(answer == "ok" || answer == "unreadable") << answer;
		checked += answer == "ok";
	}
	EXPECT_GE(checked, 119u);
}

// Item by item, what the platform reads and writes.  Each file is set one
// key; the rest comes back as the platform's writer writes it.
struct Case {
	std::string name, content, written;
};

void expect_written(Sandbox &box, TempDir &dir, const std::vector<Case> &cases)
{
	std::string script;
	for (const Case &c : cases) {
		sandbox::write_file(dir / c.name, c.content);
		script += "plist_set /data/" + c.name + " set yes; echo \"" + c.name + " $?\"\n";
	}
	Result r = box.sh(script);
	std::string statuses;
	for (const Case &c : cases)
		statuses += c.name + " 0\n";
	EXPECT_EQ(r.out, statuses) << r;
	EXPECT_EQ(r.err, "");
	for (const Case &c : cases)
		EXPECT_EQ(sandbox::read_file(dir / c.name), kHead + c.written + kTail) << c.name;
}

const std::string kSet = "\t<key>set</key>\n\t<string>yes</string>\n";

TEST_F(PlistSetPlatform, DatesOfAnyYear)
{
	// The platform's "distant past", and years of three and five digits,
	// written with at least four.
	expect_written(box, dir,
		       {{"dates.plist",
			 kHead + "<dict><key>distantPast</key><date>0001-01-01T00:00:00Z</date>"
				 "<key>old</key><date>999-12-31T23:59:59Z</date>"
				 "<key>far</key><date>10000-01-01T00:00:00Z</date></dict>" + kTail,
			 "<dict>\n\t<key>distantPast</key>\n\t<date>0001-01-01T00:00:00Z</date>\n"
			 "\t<key>far</key>\n\t<date>10000-01-01T00:00:00Z</date>\n"
			 "\t<key>old</key>\n\t<date>0999-12-31T23:59:59Z</date>\n" + kSet + "</dict>\n"}});
}

TEST_F(PlistSetPlatform, CarriageReturnsKept)
{
	expect_written(box, dir,
		       {{"cr.plist", kHead + "<dict><key>line\r\nbreak</key><string>a\rb</string></dict>" + kTail,
			 "<dict>\n\t<key>line&#13;\nbreak</key>\n\t<string>a&#13;b</string>\n" + kSet + "</dict>\n"}});
}

TEST_F(PlistSetPlatform, EncodingsByMarkOrDeclaration)
{
	// "<dict><key>café</key><string>€</string></dict>" in UTF-16,
	// little-endian with its byte-order mark.
	std::string utf16 = "\xFF\xFE";
	for (char16_t c : std::u16string(u"<plist version=\"1.0\"><dict><key>caf\u00e9</key><string>\u20ac</string></dict></plist>")) {
		utf16 += char(c & 0xFF);
		utf16 += char(c >> 8);
	}
	const std::string expected = "<dict>\n\t<key>caf\xC3\xA9</key>\n\t<string>\xE2\x82\xAC</string>\n" + kSet + "</dict>\n";
	expect_written(box, dir,
		       {{"utf16.plist", utf16, expected},
			{"latin1.plist",
			 "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<plist version=\"1.0\"><dict><key>caf\xE9</key>"
			 "<string>\xA3</string></dict></plist>\n",
			 "<dict>\n\t<key>caf\xC3\xA9</key>\n\t<string>\xC2\xA3</string>\n" + kSet + "</dict>\n"}});
}

TEST_F(PlistSetPlatform, OldStyleAndStringsFiles)
{
	expect_written(box, dir,
		       {{"openstep.plist", "{ key = value; list = (a, b); data = <0fbd77>; }\n",
			 "<dict>\n\t<key>data</key>\n\t<data>\n\tD713\n\t</data>\n\t<key>key</key>\n\t<string>value</string>\n"
			 "\t<key>list</key>\n\t<array>\n\t\t<string>a</string>\n\t\t<string>b</string>\n\t</array>\n" + kSet +
				 "</dict>\n"},
			{"Localizable.strings", "/* greeting */\n\"key\" = \"value\";\n\"quote\" = \"say \\\"hi\\\"\";\n",
			 "<dict>\n\t<key>key</key>\n\t<string>value</string>\n\t<key>quote</key>\n\t<string>say \"hi\"</string>\n" +
				 kSet + "</dict>\n"}});
}

TEST_F(PlistSetPlatform, LenientValues)
{
	expect_written(box, dir,
		       {{"lenient.plist",
			 kHead + "<dict><key>octal</key><integer>007</integer><key>hex</key><integer>0x1F</integer>"
				 "<key>bytes</key><data>AA-E*C!/w==</data></dict>" + kTail,
			 "<dict>\n\t<key>bytes</key>\n\t<data>\n\tAAEC/w==\n\t</data>\n\t<key>hex</key>\n\t<integer>31</integer>\n"
			 "\t<key>octal</key>\n\t<integer>7</integer>\n" + kSet + "</dict>\n"}});
}

TEST_F(PlistSetPlatform, KeyedArchiverReferences)
{
	// A UID root, in either form, is no dictionary: the file stays.
	const std::string binary_uid = std::string("bplist00\x80\x07\x08", 11) + std::string(6, '\0') + "\x01\x01" +
				       std::string(7, '\0') + "\x01" + std::string(8, '\0') + std::string(7, '\0') + "\x0A";
	const std::string xml_uid = kHead + "<dict><key>CF$UID</key><integer>7</integer></dict>\n" + kTail;
	sandbox::write_file(dir / "binary.plist", binary_uid);
	sandbox::write_file(dir / "xml.plist", xml_uid);
	Result r = box.sh("plist_set /data/binary.plist k v; echo \"binary $?\"; plist_set /data/xml.plist k v; echo \"xml $?\"");
	EXPECT_EQ(r.out, "binary 1\nxml 1\n");
	EXPECT_EQ(r.err, "Invalid property list root type: 41\nInvalid property list root type: 41\n");
	EXPECT_EQ(content("binary.plist"), binary_uid);
	EXPECT_EQ(content("xml.plist"), xml_uid);
	// Inside an archive, references are kept as the platform writes them.
	expect_written(box, dir,
		       {{"archive.plist",
			 kHead + "<dict><key>$top</key><dict><key>root</key><dict><key>CF$UID</key><integer>1</integer>"
				 "</dict></dict></dict>" + kTail,
			 "<dict>\n\t<key>$top</key>\n\t<dict>\n\t\t<key>root</key>\n\t\t<dict>\n\t\t\t<key>CF$UID</key>\n"
			 "\t\t\t<integer>1</integer>\n\t\t</dict>\n\t</dict>\n" + kSet + "</dict>\n"}});
}

}  // namespace
