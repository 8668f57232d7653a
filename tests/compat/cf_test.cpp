// The CoreFoundation subset of the platform layer, on its own.
#include <CoreFoundation/CoreFoundation.h>

#include "cf_plist_guard.h"
#include "cf_propertylist.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Releases on scope exit; a null reference is fine.
struct Owned {
	CFTypeRef cf;
	explicit Owned(CFTypeRef r = nullptr) : cf(r) {}
	~Owned()
	{
		if (cf)
			CFRelease(cf);
	}
	Owned(const Owned &) = delete;
	Owned &operator=(const Owned &) = delete;
	template <class T> T as() const { return static_cast<T>(cf); }
};

CFStringRef str(const char *s)
{
	return CFStringCreateWithCString(nullptr, s, kCFStringEncodingUTF8);
}

std::string text(CFStringRef s)
{
	const char *p = CFStringGetCStringPtr(s, kCFStringEncodingUTF8);
	return p ? p : "<null>";
}

CFDataRef data(const std::string &bytes)
{
	return CFDataCreate(nullptr, reinterpret_cast<const UInt8 *>(bytes.data()), CFIndex(bytes.size()));
}

std::string bytes_of(CFDataRef d)
{
	return std::string(reinterpret_cast<const char *>(CFDataGetBytePtr(d)), size_t(CFDataGetLength(d)));
}

// A property list in a compact notation, to compare whole trees:
// {k=v;...} with keys sorted, (a,b), "s", i5, r1.5, d<seconds>, <hex>, T, F.
std::string show(CFTypeRef cf)
{
	std::ostringstream o;
	CFTypeID type = CFGetTypeID(cf);
	if (type == CFStringGetTypeID()) {
		o << '"' << text(static_cast<CFStringRef>(cf)) << '"';
	} else if (type == CFBooleanGetTypeID()) {
		o << (CFBooleanGetValue(static_cast<CFBooleanRef>(cf)) ? "T" : "F");
	} else if (type == CFNumberGetTypeID()) {
		auto n = static_cast<CFNumberRef>(cf);
		if (CFNumberIsFloatType(n)) {
			double d;
			CFNumberGetValue(n, kCFNumberDoubleType, &d);
			o << 'r' << d;
		} else {
			long long v;
			if (CFNumberGetValue(n, kCFNumberLongLongType, &v))
				o << 'i' << v;
			else
				o << 'u' << static_cast<unsigned long long>(v);
		}
	} else if (type == CFDateGetTypeID()) {
		o << 'd' << std::fixed << CFDateGetAbsoluteTime(static_cast<CFDateRef>(cf));
	} else if (type == CFDataGetTypeID()) {
		o << '<';
		for (unsigned char c : bytes_of(static_cast<CFDataRef>(cf))) {
			char hex[3];
			snprintf(hex, sizeof hex, "%02x", c);
			o << hex;
		}
		o << '>';
	} else if (type == CFArrayGetTypeID()) {
		auto a = static_cast<CFArrayRef>(cf);
		o << '(';
		for (CFIndex i = 0; i < CFArrayGetCount(a); i++)
			o << (i ? "," : "") << show(CFArrayGetValueAtIndex(a, i));
		o << ')';
	} else if (type == CFDictionaryGetTypeID()) {
		auto d = static_cast<CFDictionaryRef>(cf);
		std::vector<const void *> keys(size_t(CFDictionaryGetCount(d))), values(keys.size());
		CFDictionaryGetKeysAndValues(d, keys.data(), values.data());
		std::vector<std::pair<std::string, std::string>> entries;
		for (size_t i = 0; i < keys.size(); i++)
			entries.emplace_back(text(static_cast<CFStringRef>(keys[i])), show(values[i]));
		std::sort(entries.begin(), entries.end());
		o << '{';
		for (const auto &[k, v] : entries)
			o << k << '=' << v << ';';
		o << '}';
	} else {
		o << "?" << type;
	}
	return o.str();
}

const std::string kHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
			  "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
			  "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
			  "<plist version=\"1.0\">\n";

std::string xml(const std::string &body)
{
	return kHead + body + "\n</plist>\n";
}

// Parses bytes; on failure returns "NULL: reason".
std::string parse(const std::string &bytes)
{
	Owned d(data(bytes));
	CFStringRef error = nullptr;
	Owned plist(CFPropertyListCreateFromXMLData(nullptr, d.as<CFDataRef>(), kCFPropertyListImmutable, &error));
	Owned err(error);
	if (!plist.cf)
		return "NULL: " + (error ? text(error) : std::string("(no reason)"));
	EXPECT_EQ(error, nullptr);
	return show(plist.cf);
}

std::string to_xml(CFPropertyListRef plist)
{
	Owned out(CFPropertyListCreateXMLData(nullptr, plist));
	return out.cf ? bytes_of(out.as<CFDataRef>()) : "NULL";
}

// Parses and writes back: the XML the writer makes of bytes.
std::string rewrite(const std::string &bytes)
{
	Owned d(data(bytes));
	Owned plist(CFPropertyListCreateFromXMLData(nullptr, d.as<CFDataRef>(), kCFPropertyListImmutable, nullptr));
	return plist.cf ? to_xml(plist.cf) : "NULL";
}

// --- a small binary property-list builder ---

std::string be(uint64_t v, size_t n)
{
	std::string s;
	for (size_t k = n; k-- > 0;)
		s += char((v >> (8 * k)) & 0xFF);
	return s;
}

std::string bplist(const std::vector<std::string> &objects, uint64_t top = 0, size_t ref_size = 1)
{
	std::string out = "bplist00";
	std::vector<uint64_t> offsets;
	for (const std::string &o : objects) {
		offsets.push_back(out.size());
		out += o;
	}
	uint64_t table = out.size();
	size_t offset_size = table < 256 ? 1 : table < 65536 ? 2 : 4;
	for (uint64_t off : offsets)
		out += be(off, offset_size);
	out += std::string(6, '\0') + char(offset_size) + char(ref_size);
	out += be(objects.size(), 8) + be(top, 8) + be(table, 8);
	return out;
}

std::string b_ascii(const std::string &s)
{
	return char(0x50 | s.size()) + s;
}

std::string b_refs(uint8_t marker, const std::vector<uint64_t> &refs, size_t ref_size = 1)
{
	std::string s(1, char(marker | refs.size()));
	for (uint64_t r : refs)
		s += be(r, ref_size);
	return s;
}

std::string b_dict(const std::vector<uint64_t> &keys, const std::vector<uint64_t> &values)
{
	std::string s(1, char(0xD0 | keys.size()));
	for (uint64_t r : keys)
		s += be(r, 1);
	for (uint64_t r : values)
		s += be(r, 1);
	return s;
}

// ===================== objects and strings =====================

TEST(CFObjects, DistinctTypeIdsAndRetainCounts)
{
	std::vector<CFTypeID> ids = {CFStringGetTypeID(), CFNumberGetTypeID(), CFBooleanGetTypeID(),
				     CFDateGetTypeID(),   CFDataGetTypeID(),   CFArrayGetTypeID(),
				     CFDictionaryGetTypeID(), CFURLGetTypeID()};
	std::sort(ids.begin(), ids.end());
	EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end());

	int64_t five = 5;
	Owned s(str("x")), n(CFNumberCreate(nullptr, kCFNumberSInt64Type, &five)), d(CFDateCreate(nullptr, 1.5)),
		b(data("ab"));
	EXPECT_EQ(CFGetTypeID(s.cf), CFStringGetTypeID());
	EXPECT_EQ(CFGetTypeID(n.cf), CFNumberGetTypeID());
	EXPECT_EQ(CFGetTypeID(d.cf), CFDateGetTypeID());
	EXPECT_EQ(CFGetTypeID(b.cf), CFDataGetTypeID());
	EXPECT_EQ(CFGetTypeID(kCFBooleanTrue), CFBooleanGetTypeID());

	EXPECT_EQ(CFGetRetainCount(s.cf), 1);
	CFRetain(s.cf);
	EXPECT_EQ(CFGetRetainCount(s.cf), 2);
	CFRelease(s.cf);
	EXPECT_EQ(CFGetRetainCount(s.cf), 1);

	// Arrays and dictionaries made with the CF callbacks hold their values.
	const void *values[] = {s.cf, n.cf};
	Owned a(CFArrayCreate(nullptr, values, 2, &kCFTypeArrayCallBacks));
	EXPECT_EQ(CFGetRetainCount(s.cf), 2);
	EXPECT_EQ(CFArrayGetValueAtIndex(a.as<CFArrayRef>(), 1), n.cf);
	CFRelease(a.cf);
	a.cf = nullptr;
	EXPECT_EQ(CFGetRetainCount(s.cf), 1);
}

TEST(CFString, Utf8IsCheckedStrictly)
{
	Owned ok(str("h\xC3\xA9llo \xF0\x9D\x84\x9E"));
	ASSERT_NE(ok.cf, nullptr);
	EXPECT_EQ(CFStringGetLength(ok.as<CFStringRef>()), 8);  // the clef is a surrogate pair
	char buf[16];
	EXPECT_TRUE(CFStringGetCString(ok.as<CFStringRef>(), buf, sizeof buf, kCFStringEncodingUTF8));
	EXPECT_STREQ(buf, "h\xC3\xA9llo \xF0\x9D\x84\x9E");
	EXPECT_FALSE(CFStringGetCString(ok.as<CFStringRef>(), buf, 11, kCFStringEncodingUTF8));
	EXPECT_FALSE(CFStringGetCString(ok.as<CFStringRef>(), buf, sizeof buf, kCFStringEncodingASCII));

	for (const char *bad : {"\xFF", "a\x80", "\xC0\x80", "\xC3", "\xE2\x82", "\xED\xA0\x80", "\xF4\x90\x80\x80",
				"\xF8\x88\x80\x80\x80", "\xE0\x80\xAF"})
		EXPECT_EQ(str(bad), nullptr) << testing::PrintToString(bad);
	EXPECT_EQ(CFStringCreateWithCString(nullptr, "\xC3\xA9", kCFStringEncodingASCII), nullptr);
	EXPECT_EQ(CFStringCreateWithCString(nullptr, "a", 0x0201), nullptr);
	Owned empty(str(""));
	EXPECT_EQ(CFStringGetLength(empty.as<CFStringRef>()), 0);
	EXPECT_EQ(CFSTR("same"), CFSTR("same"));
}

TEST(CFURL, PosixPathsAbsoluteOrFromTheWorkingDirectory)
{
	auto path = [](CFURLRef url) {
		UInt8 buf[PATH_MAX];
		return CFURLGetFileSystemRepresentation(url, true, buf, sizeof buf) ? std::string((char *)buf) : "";
	};
	Owned abs(CFURLCreateWithFileSystemPath(nullptr, CFSTR("/etc/x.plist"), kCFURLPOSIXPathStyle, false));
	EXPECT_EQ(path(abs.as<CFURLRef>()), "/etc/x.plist");

	char *cwd = getcwd(nullptr, 0);
	ASSERT_EQ(chdir("/tmp"), 0);
	Owned rel(CFURLCreateWithFileSystemPath(nullptr, CFSTR("a/b.plist"), kCFURLPOSIXPathStyle, false));
	ASSERT_EQ(chdir(cwd), 0);
	free(cwd);
	EXPECT_EQ(path(rel.as<CFURLRef>()), "/tmp/a/b.plist");

	EXPECT_EQ(CFURLCreateWithFileSystemPath(nullptr, CFSTR("a"), kCFURLWindowsPathStyle, false), nullptr);
	EXPECT_EQ(CFURLCreateWithFileSystemPath(nullptr, nullptr, kCFURLPOSIXPathStyle, false), nullptr);
}

// ===================== dictionaries =====================

TEST(CFDictionary, KeysAreStringsByContent)
{
	Owned dict(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
					     &kCFTypeDictionaryValueCallBacks));
	auto d = static_cast<CFMutableDictionaryRef>(const_cast<void *>(dict.cf));
	// Enough keys that lookups go through the index as well as the scan.
	for (int i = 0; i < 300; i++) {
		Owned k(str(("key" + std::to_string(i)).c_str())), v(str(std::to_string(i).c_str()));
		CFDictionarySetValue(d, k.cf, v.cf);
	}
	for (int round = 0; round < 2; round++) {
		for (int i = 0; i < 300; i++) {
			Owned k(str(("key" + std::to_string(i)).c_str()));
			ASSERT_TRUE(CFDictionaryContainsKey(d, k.cf));
			EXPECT_EQ(text(static_cast<CFStringRef>(CFDictionaryGetValue(d, k.cf))), std::to_string(i));
		}
		Owned gone(str("key7"));
		CFDictionaryRemoveValue(d, gone.cf);
		EXPECT_EQ(CFDictionaryGetValue(d, gone.cf), nullptr);
		Owned again(str("key8")), v(str("eight"));
		CFDictionarySetValue(d, again.cf, v.cf);
		EXPECT_EQ(CFDictionaryGetValue(d, again.cf), v.cf);
		Owned back(str("key7")), seven(str("7"));
		CFDictionarySetValue(d, back.cf, seven.cf);
		Owned eight(str("8"));
		CFDictionarySetValue(d, again.cf, eight.cf);
	}
	EXPECT_EQ(CFDictionaryGetCount(d), 300);
}

TEST(CFDictionary, MutableCopyIsShallowAndLeavesTheOriginal)
{
	Owned inner(CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
				       &kCFTypeDictionaryValueCallBacks));
	const void *keys[] = {CFSTR("a"), CFSTR("n")};
	const void *values[] = {CFSTR("1"), inner.cf};
	Owned orig(CFDictionaryCreate(nullptr, keys, values, 2, &kCFTypeDictionaryKeyCallBacks,
				      &kCFTypeDictionaryValueCallBacks));
	auto o = orig.as<CFDictionaryRef>();
	EXPECT_EQ(CFDictionaryCreateMutableCopy(nullptr, 1, o), nullptr);  // smaller than the count
	Owned copy(CFDictionaryCreateMutableCopy(nullptr, 0, o));
	auto c = static_cast<CFMutableDictionaryRef>(const_cast<void *>(copy.cf));
	EXPECT_EQ(CFDictionaryGetValue(c, CFSTR("n")), inner.cf);  // the same object, not a copy
	EXPECT_EQ(CFGetRetainCount(inner.cf), 3);
	Owned a(str("a")), b(str("b")), v(str("new"));
	CFDictionarySetValue(c, a.cf, v.cf);
	CFDictionarySetValue(c, b.cf, v.cf);
	EXPECT_EQ(show(o), R"({a="1";n={};})");
	EXPECT_EQ(show(c), R"({a="new";b="new";n={};})");
}

// ===================== reading =====================

TEST(PropertyListRead, EveryTypeFromXml)
{
	EXPECT_EQ(parse(xml("<dict>\n"
			    "<key>s</key><string>x &lt;&amp;&gt; &#65;&#x1F600; <![CDATA[<raw>]]>y<!-- c -->z</string>\n"
			    "<key>i</key><integer> -42 </integer><key>big</key><integer>18446744073709551615</integer>\n"
			    "<key>min</key><integer>-9223372036854775808</integer>\n"
			    "<key>r</key><real>1.5</real><key>e</key><real>-2E3</real>\n"
			    "<key>t</key><true/><key>f</key><false></false>\n"
			    "<key>d</key><date>2001-01-01T00:01:00Z</date><key>old</key><date>1900-01-01T00:00:00Z</date>\n"
			    "<key>b</key><data>AAEC\n\t/w==</data><key>none</key><data/>\n"
			    "<key>a</key><array><string/><array/></array><key>n</key><dict/>\n"
			    "</dict>")),
		  "{a=(\"\",());b=<000102ff>;big=u18446744073709551615;d=d60.000000;e=r-2000;f=F;i=i-42;"
		  "min=i-9223372036854775808;n={};none=<>;old=d-3187296000.000000;r=r1.5;"
		  "s=\"x <&> A\xF0\x9F\x98\x80 <raw>yz\";t=T;}");
	// No plist element, a byte-order mark, and a root that is no container.
	EXPECT_EQ(parse("<string>bare</string>"), "\"bare\"");
	EXPECT_EQ(parse("\xEF\xBB\xBF" + xml("<integer>7</integer>")), "i7");
	// The last of equal keys wins.
	EXPECT_EQ(parse(xml("<dict><key>k</key><string>1</string><key>k</key><string>2</string></dict>")),
		  "{k=\"2\";}");
}

TEST(PropertyListRead, EveryTypeFromBinary)
{
	double half = 0.5, date = -3155673600.0;
	uint64_t hb, db;
	memcpy(&hb, &half, 8);
	memcpy(&db, &date, 8);
	std::string bin = bplist({
		b_dict({1, 2, 3, 4, 5, 6, 7}, {8, 9, 10, 11, 12, 13, 14}),
		b_ascii("a"), b_ascii("b"), b_ascii("c"), b_ascii("d"), b_ascii("e"), b_ascii("u"), b_ascii("x"),
		std::string("\x13") + be(uint64_t(-3), 8),
		std::string("\x14") + be(0, 8) + be(UINT64_MAX, 8),
		std::string("\x23") + be(hb, 8),
		std::string("\x33") + be(db, 8),
		std::string("\x63\x00\xE9\xD8\x34\xDD\x1E", 7),  // "é𝄞" in UTF-16
		std::string("\x80\x07", 2),                      // a keyed archiver's reference
		b_refs(0xA0, {12, 12}),                          // an object shared twice
	});
	EXPECT_EQ(parse(bin), "{a=i-3;b=u18446744073709551615;c=r0.5;d=d-3155673600.000000;e=\"\xC3\xA9\xF0\x9D\x84\x9E\";"
			      "u={CF$UID=i7;};x=(\"\xC3\xA9\xF0\x9D\x84\x9E\",\"\xC3\xA9\xF0\x9D\x84\x9E\");}");
	// Equal keys: the last one wins, as in the XML form.
	EXPECT_EQ(parse(bplist({b_dict({1, 1}, {2, 3}), b_ascii("k"), b_ascii("1"), b_ascii("2")})),
		  "{k=\"2\";}");
}

TEST(PropertyListRead, MalformedXmlIsRefusedNotGuessed)
{
	// What libplist alone would read as something else, or crash on.
	const char *cases[][2] = {
		{"<integer>010</integer>", "malformed value"},
		{"<integer>0x10</integer>", "malformed value"},
		{"<integer>12abc</integer>", "malformed value"},
		{"<integer>18446744073709551616</integer>", "malformed value"},
		{"<integer>-9223372036854775809</integer>", "malformed value"},
		{"<integer>&#49;</integer>", "malformed value"},
		{"<integer/>", "unknown or empty element"},
		{"<real>0x1p3</real>", "malformed value"},
		{"<real>1e</real>", "malformed value"},
		{"<date>garbage</date>", "malformed value"},
		{"<date>2023-02-29T00:00:00Z</date>", "malformed value"},
		{"<date>0000-01-01T00:00:00Z</date>", "malformed value"},
		{"<data>!!!!</data>", "malformed value"},
		{"<data>QUJD=</data>", "malformed value"},
		{"<data>QQ==QQ==</data>", "malformed value"},
		{"<true>x</true>", "mismatched closing tag"},
		{"<array><key>a</key></array>", "key outside a dictionary"},
		{"<dict><key>a</key></dict>", "dictionary key without a value"},
		{"<dict><string>a</string></dict>", "dictionary value without a key"},
		{"<string>a&#0;b</string>", "character reference out of range"},
		{"<string>a&#xD800;b</string>", "character reference out of range"},
		{"<string>a&#x110000;b</string>", "character reference out of range"},
		{"<string>a&unknown;b</string>", "unknown entity"},
		{"<string>a&b</string>", "malformed entity"},
		{"<string>a<b/>c</string>", "mismatched closing tag"},
		{"<string>a</str>", "mismatched closing tag"},
		{"<string x='>'>a</string>", "malformed tag"},
		{"<foo/>", "unknown or empty element"},
		{"<array></array><array></array>", "mismatched closing tag"},
		{"<string>\xFF</string>", "document is not valid UTF-8"},
	};
	for (const auto &[body, why] : cases)
		EXPECT_EQ(parse(xml(body)), std::string("NULL: ") + why) << body;
	EXPECT_EQ(parse(xml(std::string("<string>a\0b</string>", 20))), "NULL: NUL character in the document");
	EXPECT_EQ(parse(kHead + "<string>a"), "NULL: unterminated text");
	EXPECT_EQ(parse(xml("<string>a</string>") + "<array>"), "NULL: content after the property list");
	EXPECT_EQ(parse("<!DOCTYPE plist [ <!ENTITY e \"x\"> ]><plist><string>&e;</string></plist>"),
		  "NULL: document type with declarations of its own");
	EXPECT_EQ(parse(""), "NULL: text where an element belongs");
	EXPECT_EQ(parse("<plist version=\"1.0\"/>"), "NULL: empty plist element");
}

TEST(PropertyListRead, NestingIsBoundedInBothForms)
{
	const size_t limit = compat::plist_guard::kMaxDepth;
	auto nested = [](size_t n) {
		std::string s;
		for (size_t i = 0; i < n; i++)
			s += "<array>";
		for (size_t i = 0; i < n; i++)
			s += "</array>";
		return xml(s);
	};
	EXPECT_EQ(parse(nested(limit)).substr(0, 3), "(((");
	EXPECT_EQ(parse(nested(limit + 1)), "NULL: containers nested too deeply");
	EXPECT_EQ(parse(nested(100000)), "NULL: containers nested too deeply");

	auto chain = [](size_t n) {
		std::vector<std::string> objects;
		for (size_t i = 0; i + 1 < n; i++)
			objects.push_back(b_refs(0xA0, {i + 1}, 2));
		objects.push_back(std::string(1, char(0xA0)));
		return bplist(objects, 0, 2);
	};
	EXPECT_EQ(parse(chain(limit)).substr(0, 3), "(((");
	EXPECT_EQ(parse(chain(limit + 1)), "NULL: containers nested too deeply");
	EXPECT_EQ(parse(chain(60000)), "NULL: containers nested too deeply");

	// A shallow object shared by a deep one is as deep as where it sits.
	std::vector<std::string> objects;
	for (size_t i = 0; i + 1 < limit; i++)
		objects.push_back(b_refs(0xA0, {limit, i + 1}, 2));  // the shared one first
	objects.push_back(b_refs(0xA0, {limit}, 2));
	objects.push_back(b_refs(0xA0, {}, 2));
	EXPECT_EQ(parse(bplist(objects, 0, 2)), "NULL: containers nested too deeply");
}

TEST(PropertyListRead, HostileBinaryIsRefused)
{
	// Each array refers twice to the next: 2^40 values once expanded.
	std::vector<std::string> objects;
	for (uint64_t i = 0; i < 40; i++)
		objects.push_back(b_refs(0xA0, {i + 1, i + 1}));
	objects.push_back(b_ascii("x"));
	EXPECT_EQ(parse(bplist(objects)), "NULL: too many shared objects");

	EXPECT_EQ(parse(bplist({b_refs(0xA0, {0})})), "NULL: object inside itself");
	EXPECT_EQ(parse(bplist({b_refs(0xA0, {1}), b_refs(0xA0, {0})})), "NULL: object inside itself");
	EXPECT_EQ(parse(bplist({b_refs(0xA0, {5})})), "NULL: object reference out of range");
	EXPECT_EQ(parse(bplist({b_ascii("x")}, 3)), "NULL: malformed trailer");
	EXPECT_EQ(parse(bplist({b_dict({1}, {1}), std::string("\x10\x01", 2)})),
		  "NULL: dictionary key that is not a string");
	EXPECT_EQ(parse(bplist({std::string(1, '\0')})), "NULL: malformed object");       // null
	EXPECT_EQ(parse(bplist({b_refs(0xC0, {})})), "NULL: malformed object");            // a set
	EXPECT_EQ(parse(bplist({std::string("\x52\x61\x00", 3)})), "NULL: malformed object");  // NUL
	EXPECT_EQ(parse(bplist({std::string("\x51\xE9", 2)})), "NULL: malformed object");      // not ASCII
	EXPECT_EQ(parse(bplist({std::string("\x61\xD8\x34", 3)})), "NULL: malformed object");  // lone surrogate
	EXPECT_EQ(parse(bplist({std::string("\x4F\x13", 2) + be(UINT64_MAX, 8)})), "NULL: malformed object");
	EXPECT_EQ(parse(bplist({std::string("\x14") + be(1, 8) + be(0, 8)})), "NULL: malformed object");

	// Cut anywhere, a valid file is refused rather than read past its end.
	std::string good = bplist({b_refs(0xA0, {1, 2}), b_ascii("hello"), std::string("\x13") + be(5, 8)});
	EXPECT_EQ(parse(good), "(\"hello\",i5)");
	for (size_t len = 0; len < good.size(); len++)
		EXPECT_EQ(parse(good.substr(0, len)).substr(0, 5), "NULL:") << len;
}

TEST(PropertyListRead, TooLongForTheParserIsRefusedUnread)
{
	if (sizeof(size_t) <= sizeof(uint32_t))
		GTEST_SKIP() << "a 32-bit program has no string of 2^32 bytes";
	// A reservation nothing may touch: reading any of it would crash.
	const size_t len = size_t(uint64_t(UINT32_MAX) + 1);
	void *p = mmap(nullptr, len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
	ASSERT_NE(p, MAP_FAILED);
	std::string why;
	EXPECT_EQ(compat::parse_property_list(std::string_view(static_cast<const char *>(p), len), why), nullptr);
	EXPECT_EQ(why, "property list too large");
	munmap(p, len);
}

TEST(PropertyListRead, OnlyImmutableIsOffered)
{
	Owned d(data(xml("<dict/>")));
	CFStringRef error = nullptr;
	EXPECT_EQ(CFPropertyListCreateFromXMLData(nullptr, d.as<CFDataRef>(), kCFPropertyListMutableContainers, &error),
		  nullptr);
	Owned err(error);
	EXPECT_EQ(text(error), "only immutable property lists are supported");
}

// ===================== writing =====================

TEST(PropertyListWrite, PlatformFormSortedAtEveryLevel)
{
	EXPECT_EQ(rewrite(xml("<dict><key>b</key><dict><key>z</key><true/><key>y</key><array><dict>"
			      "<key>q</key><false/><key>p</key><integer>-1</integer></dict></array></dict>"
			      "<key>a</key><dict/><key>c</key><array/><key>B</key><data>AAE=</data></dict>")),
		  xml("<dict>\n"
		      "\t<key>B</key>\n\t<data>\n\tAAE=\n\t</data>\n"
		      "\t<key>a</key>\n\t<dict/>\n"
		      "\t<key>b</key>\n\t<dict>\n"
		      "\t\t<key>y</key>\n\t\t<array>\n\t\t\t<dict>\n"
		      "\t\t\t\t<key>p</key>\n\t\t\t\t<integer>-1</integer>\n"
		      "\t\t\t\t<key>q</key>\n\t\t\t\t<false/>\n"
		      "\t\t\t</dict>\n\t\t</array>\n"
		      "\t\t<key>z</key>\n\t\t<true/>\n"
		      "\t</dict>\n"
		      "\t<key>c</key>\n\t<array/>\n"
		      "</dict>"));
}

TEST(PropertyListWrite, KeysInUtf16Order)
{
	// U+FFFD sorts after U+1F600 by UTF-16 code units, before it by code points.
	EXPECT_EQ(rewrite(xml("<dict><key>\xEF\xBF\xBD</key><true/><key>\xF0\x9F\x98\x80</key><true/>"
			      "<key>z</key><true/><key>\xC3\xA9</key><true/></dict>")),
		  xml("<dict>\n\t<key>z</key>\n\t<true/>\n\t<key>\xC3\xA9</key>\n\t<true/>\n"
		      "\t<key>\xF0\x9F\x98\x80</key>\n\t<true/>\n\t<key>\xEF\xBF\xBD</key>\n\t<true/>\n</dict>"));
}

TEST(PropertyListWrite, ValuesSurviveTheRoundTrip)
{
	const std::string doc = xml(
		"<dict>\n"
		"\t<key>big</key>\n\t<integer>18446744073709551615</integer>\n"
		"\t<key>esc</key>\n\t<string>&lt;a&gt; &amp; ]]&gt; \"q\" 'a'</string>\n"
		"\t<key>future</key>\n\t<date>2999-12-31T23:59:59Z</date>\n"
		"\t<key>inf</key>\n\t<real>+infinity</real>\n"
		"\t<key>min</key>\n\t<integer>-9223372036854775808</integer>\n"
		"\t<key>nan</key>\n\t<real>nan</real>\n"
		"\t<key>old</key>\n\t<date>1000-01-01T00:00:00Z</date>\n"
		"\t<key>pi</key>\n\t<real>3.1415926535897931</real>\n"
		"\t<key>uni</key>\n\t<string>\xD0\xBA\xF0\x9D\x84\x9E</string>\n"
		"</dict>");
	EXPECT_EQ(rewrite(doc), doc);
}

TEST(PropertyListWrite, LineBreaksAsXmlReadersSeeThem)
{
	// Raw line breaks of any kind read as line feeds; only a character
	// reference is a carriage return, and that is how one is written.
	EXPECT_EQ(parse(xml("<string>a\r\nb\rc&#13;d</string>")), "\"a\nb\nc\rd\"");
	EXPECT_EQ(rewrite(xml("<string>a\r\nb\rc&#13;d</string>")), xml("<string>a\nb\nc&#13;d</string>"));
}

TEST(PropertyListWrite, DatesInWholeSecondsWithinFourDigitYears)
{
	auto dated = [](double t) {
		Owned d(CFDateCreate(nullptr, t));
		return to_xml(d.cf);
	};
	EXPECT_EQ(dated(-0.5), xml("<date>2000-12-31T23:59:59Z</date>"));
	EXPECT_EQ(dated(59.9), xml("<date>2001-01-01T00:00:59Z</date>"));
	EXPECT_EQ(dated(-31622400.0 * 1001), "NULL");  // before the year 1000
	EXPECT_EQ(dated(1e12), "NULL");                // after 9999
	EXPECT_EQ(dated(NAN), "NULL");
}

TEST(PropertyListWrite, OnlyPropertyListTypes)
{
	Owned url(CFURLCreateWithFileSystemPath(nullptr, CFSTR("/x"), kCFURLPOSIXPathStyle, false));
	const void *values[] = {url.cf};
	Owned array(CFArrayCreate(nullptr, values, 1, &kCFTypeArrayCallBacks));
	EXPECT_EQ(to_xml(array.cf), "NULL");
	int64_t one = 1;
	Owned n(CFNumberCreate(nullptr, kCFNumberSInt64Type, &one));
	const void *keys[] = {n.cf};
	Owned dict(CFDictionaryCreate(nullptr, keys, keys, 1, &kCFTypeDictionaryKeyCallBacks,
				      &kCFTypeDictionaryValueCallBacks));
	EXPECT_EQ(to_xml(dict.cf), "NULL");  // a key that is not a string
}

// ===================== files =====================

class CFURLAccess : public testing::Test {
protected:
	void SetUp() override
	{
		char tmpl[] = "/tmp/cf-test.XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir = tmpl;
	}
	void TearDown() override { std::filesystem::remove_all(dir); }

	CFURLRef url(const std::string &name)
	{
		Owned s(str((dir + "/" + name).c_str()));
		return CFURLCreateWithFileSystemPath(nullptr, s.as<CFStringRef>(), kCFURLPOSIXPathStyle, false);
	}
	std::string read(const std::string &name)
	{
		std::ifstream f(dir + "/" + name, std::ios::binary);
		std::ostringstream s;
		s << f.rdbuf();
		return s.str();
	}
	std::vector<std::string> names()
	{
		std::vector<std::string> out;
		for (const auto &e : std::filesystem::directory_iterator(dir))
			out.push_back(e.path().filename());
		std::sort(out.begin(), out.end());
		return out;
	}
	std::string dir;
};

TEST_F(CFURLAccess, ReadsWholeRegularFilesOnly)
{
	std::ofstream(dir + "/f") << "content";
	Owned u(url("f"));
	CFDataRef d = nullptr;
	SInt32 err = 1;
	ASSERT_TRUE(CFURLCreateDataAndPropertiesFromResource(nullptr, u.as<CFURLRef>(), &d, nullptr, nullptr, &err));
	Owned owned(d);
	EXPECT_EQ(bytes_of(d), "content");
	EXPECT_EQ(err, 0);

	Owned missing(url("missing"));
	EXPECT_FALSE(CFURLCreateDataAndPropertiesFromResource(nullptr, missing.as<CFURLRef>(), &d, nullptr, nullptr, &err));
	EXPECT_EQ(err, kCFURLResourceNotFoundError);
	EXPECT_EQ(d, nullptr);

	Owned folder(url(""));
	EXPECT_FALSE(CFURLCreateDataAndPropertiesFromResource(nullptr, folder.as<CFURLRef>(), &d, nullptr, nullptr, &err));
	EXPECT_EQ(err, kCFURLImproperArgumentsError);

	// A FIFO with no writer would block a plain open.
	ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
	Owned fifo(url("fifo"));
	EXPECT_FALSE(CFURLCreateDataAndPropertiesFromResource(nullptr, fifo.as<CFURLRef>(), &d, nullptr, nullptr, &err));
	EXPECT_EQ(err, kCFURLImproperArgumentsError);
}

TEST_F(CFURLAccess, ReplacesKeepingModeAndLinks)
{
	std::ofstream(dir + "/f") << "old content that is longer";
	ASSERT_EQ(chmod((dir + "/f").c_str(), 0640), 0);
	ASSERT_EQ(chown((dir + "/f").c_str(), 1234, 5678), 0);
	ASSERT_EQ(symlink("f", (dir + "/link").c_str()), 0);
	struct stat before;
	ASSERT_EQ(stat((dir + "/f").c_str(), &before), 0);

	Owned u(url("link")), d(data("new"));
	SInt32 err = 1;
	ASSERT_TRUE(CFURLWriteDataAndPropertiesToResource(u.as<CFURLRef>(), d.as<CFDataRef>(), nullptr, &err));
	EXPECT_EQ(err, 0);
	EXPECT_EQ(read("f"), "new");
	struct stat after, link;
	ASSERT_EQ(stat((dir + "/f").c_str(), &after), 0);
	ASSERT_EQ(lstat((dir + "/link").c_str(), &link), 0);
	EXPECT_TRUE(S_ISLNK(link.st_mode));
	EXPECT_NE(after.st_ino, before.st_ino);  // a new file, renamed into place
	EXPECT_EQ(after.st_mode & 07777, 0640u);
	EXPECT_EQ(after.st_uid, 1234u);
	EXPECT_EQ(after.st_gid, 5678u);
	EXPECT_EQ(names(), (std::vector<std::string>{"f", "link"}));  // no temporary file left

	Owned fresh(url("fresh"));
	ASSERT_TRUE(CFURLWriteDataAndPropertiesToResource(fresh.as<CFURLRef>(), d.as<CFDataRef>(), nullptr, &err));
	EXPECT_EQ(read("fresh"), "new");
}

TEST_F(CFURLAccess, RefusesWhatIsNoRegularFile)
{
	ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
	ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
	Owned d(data("x"));
	SInt32 err = 0;
	Owned sub(url("sub")), fifo(url("fifo")), nodir(url("nodir/f"));
	EXPECT_FALSE(CFURLWriteDataAndPropertiesToResource(sub.as<CFURLRef>(), d.as<CFDataRef>(), nullptr, &err));
	EXPECT_FALSE(CFURLWriteDataAndPropertiesToResource(fifo.as<CFURLRef>(), d.as<CFDataRef>(), nullptr, &err));
	EXPECT_EQ(err, kCFURLImproperArgumentsError);
	EXPECT_FALSE(CFURLWriteDataAndPropertiesToResource(nodir.as<CFURLRef>(), d.as<CFDataRef>(), nullptr, &err));
	EXPECT_EQ(err, kCFURLResourceNotFoundError);
	EXPECT_EQ(names(), (std::vector<std::string>{"fifo", "sub"}));
}

}  // namespace
