// Property lists of the CoreFoundation subset: read as the platform reads
// them (binary, XML in any encoding it takes, old-style and strings files),
// refused where it would misread them or where they are hostile, and
// written in the platform's XML form.
#include <CoreFoundation/CoreFoundation.h>

#include "alloc_failure.h"
#include "cf_helpers.h"
#include "cf_plist.h"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

using namespace cftest;

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

// Text in UTF-16 or UTF-32 with its byte-order mark, from ASCII or UTF-8.
std::string utf16(const std::string &utf8, bool big)
{
	std::u32string chars;
	for (size_t i = 0; i < utf8.size();) {
		const auto c = static_cast<unsigned char>(utf8[i]);
		const size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
		char32_t cp = len == 1 ? c : c & (0xFF >> (len + 1));
		for (size_t k = 1; k < len; k++)
			cp = cp << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
		chars += cp;
		i += len;
	}
	std::string out = big ? "\xFE\xFF" : "\xFF\xFE";
	auto unit = [&](unsigned u) {
		out += big ? char(u >> 8) : char(u & 0xFF);
		out += big ? char(u & 0xFF) : char(u >> 8);
	};
	for (char32_t cp : chars) {
		if (cp >= 0x10000) {
			unit(0xD800 + ((cp - 0x10000) >> 10));
			unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
		} else {
			unit(cp);
		}
	}
	return out;
}

// --- a small binary property-list builder ---

std::string be(uint64_t v, size_t n)
{
	std::string s;
	for (size_t k = n; k-- > 0;)
		s += char((v >> (8 * k)) & 0xFF);
	return s;
}

// A binary property list; offset_size 0 is the narrowest that reaches the
// offset table, and gap is put between that table and the trailer.
std::string bplist(const std::vector<std::string> &objects, uint64_t top = 0, size_t ref_size = 1,
		   size_t offset_size = 0, const std::string &gap = "")
{
	std::string out = "bplist00";
	std::vector<uint64_t> offsets;
	for (const std::string &o : objects) {
		offsets.push_back(out.size());
		out += o;
	}
	uint64_t table = out.size();
	if (offset_size == 0)
		offset_size = table < 256 ? 1 : table < 65536 ? 2 : 4;
	for (uint64_t off : offsets)
		out += be(off, offset_size);
	out += gap + std::string(6, '\0') + char(offset_size) + char(ref_size);
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

// ===================== reading =====================

TEST(PropertyListRead, EveryTypeFromXml)
{
	EXPECT_EQ(parse(xml("<dict>\n"
			    "<key>s</key><string>x &lt;&amp;&gt; &#65;&#x1F600; <![CDATA[<raw>]]>yz</string>\n"
			    "<key>i</key><integer>\t-42</integer><key>big</key><integer>18446744073709551615</integer>\n"
			    "<key>min</key><integer>-9223372036854775808</integer>\n"
			    "<key>r</key><real>1.5</real><key>e</key><real>-2E3</real>\n"
			    "<key>t</key><true/><key>f</key><false></false>\n"
			    "<key>d</key><date>2001-01-01T00:01:00Z</date><key>old</key><date>1900-01-01T00:00:00Z</date>\n"
			    "<key>b</key><data>AAEC\n\t/w==</data><key>none</key><data></data>\n"
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
			      "u=U7;x=(\"\xC3\xA9\xF0\x9D\x84\x9E\",\"\xC3\xA9\xF0\x9D\x84\x9E\");}");
	// Equal keys: the last one wins, as in the XML form.
	EXPECT_EQ(parse(bplist({b_dict({1, 1}, {2, 3}), b_ascii("k"), b_ascii("1"), b_ascii("2")})),
		  "{k=\"2\";}");
}

TEST(PropertyListRead, MalformedXmlIsRefusedNotGuessed)
{
	// What the platform reads, it reads; what it refuses or would read
	// as something else than the text says is refused.
	const char *cases[][2] = {
		{"<integer>12abc</integer>", "malformed integer"},
		{"<integer>-42 </integer>", "malformed integer"},
		{"<integer>0x</integer>", "malformed integer"},
		{"<integer>18446744073709551616</integer>", "integer out of range"},
		{"<integer>-9223372036854775809</integer>", "integer out of range"},
		{"<integer>&#49;</integer>", "malformed integer"},
		{"<integer/>", "empty integer element"},
		{"<real>0x1p3</real>", "malformed real"},
		{"<real>1e</real>", "malformed real"},
		{"<real>1.5 </real>", "malformed real"},
		{"<date>garbage</date>", "malformed date"},
		{"<date> 2001-01-01T00:00:00Z</date>", "malformed date"},
		{"<date>2023-02-29T00:00:00Z</date>", "date that is no real day and time"},
		{"<date>2023-04-31T00:00:00Z</date>", "date that is no real day and time"},
		{"<date>2023-01-01T24:00:00Z</date>", "date that is no real day and time"},
		{"<date>99999999999-01-01T00:00:00Z</date>", "date out of range"},
		{"<data/>", "empty data element"},
		{"<data>QUJD=</data>", "malformed base64"},
		{"<data>QUJDRA</data>", "malformed base64"},
		{"<data>QQ=A</data>", "malformed base64"},
		{"<data>QQ=.=</data>", "malformed base64"},
		{"<data>QQ\xC3\xA9==</data>", "data element with a character outside ASCII"},
		{"<true>x</true>", "mismatched closing tag"},
		{"<dict><key>a</key></dict>", "dictionary key without a value"},
		{"<dict><string>a</string></dict>", "dictionary value without a key"},
		{"<dict><key>CF$UID</key><integer>-1</integer></dict>", "CF$UID that is not an integer from 0 to 4294967295"},
		{"<dict><key>CF$UID</key><integer>4294967296</integer></dict>",
		 "CF$UID that is not an integer from 0 to 4294967295"},
		{"<string>a&#0;b</string>", "character reference out of range"},
		{"<string>a&#xD800;b</string>", "character reference out of range"},
		{"<string>a&#x110000;b</string>", "character reference out of range"},
		{"<string>a&#X41;b</string>", "malformed character reference"},
		{"<string>a&#x000000041;b</string>", "malformed character reference"},
		{"<string>a&unknown;b</string>", "unknown entity"},
		{"<string>a&b</string>", "unknown entity"},
		{"<string>a<b/>c</string>", "mismatched closing tag"},
		{"<string>a<!b>c</string>", "malformed CDATA section"},
		{"<string>a</str>", "mismatched closing tag"},
		{"<string x='>'>a</string>", "'>' inside an attribute value"},
		{"<foo/>", "unknown element"},
		{"<array></array><array></array>", "more than one value in the plist element"},
		{"<string>\xFF</string>", "text that is not valid UTF-8"},
	};
	for (const auto &[body, why] : cases)
		EXPECT_EQ(parse(xml(body)), std::string("NULL: ") + why) << body;
	EXPECT_EQ(parse(xml(std::string("<string>a\0b</string>", 20))), "NULL: NUL character in the text");
	EXPECT_EQ(parse(kHead + "<string>a"), "NULL: unterminated text");
	EXPECT_EQ(parse("<!DOCTYPE plist [ <!ENTITY e \"x\"> ]><plist><string>&e;</string></plist>"),
		  "NULL: unknown entity");
	EXPECT_EQ(parse(""), "NULL: empty data");
	EXPECT_EQ(parse("<plist version=\"1.0\"/>"), "NULL: empty plist element");
}

TEST(PropertyListRead, NestingIsBoundedInEveryForm)
{
	const size_t limit = compat::kMaxDepth;
	auto nested = [](size_t n, const char *open, const char *close) {
		std::string s;
		for (size_t i = 0; i < n; i++)
			s += open;
		for (size_t i = 0; i < n; i++)
			s += close;
		return s;
	};
	EXPECT_EQ(parse(xml(nested(limit, "<array>", "</array>"))).substr(0, 3), "(((");
	EXPECT_EQ(parse(xml(nested(limit + 1, "<array>", "</array>"))), "NULL: containers nested too deeply");
	EXPECT_EQ(parse(xml(nested(100000, "<array>", "</array>"))), "NULL: containers nested too deeply");
	EXPECT_EQ(parse(nested(100000, "<plist>", "")), "NULL: plist elements nested too deeply");
	EXPECT_EQ(parse(nested(limit, "(", ")")).substr(0, 3), "(((");
	EXPECT_EQ(parse(nested(limit + 1, "(", ")")), "NULL: containers nested too deeply");
	EXPECT_EQ(parse(nested(100000, "{a=", "")), "NULL: containers nested too deeply");

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
	EXPECT_EQ(parse(bplist({b_dict({1}, {2}), b_refs(0xA0, {}), b_ascii("v")})),
		  "NULL: dictionary key that is a container");
	EXPECT_EQ(parse(bplist({std::string(1, '\0')})), "NULL: object of no property-list type");  // null
	EXPECT_EQ(parse(bplist({b_refs(0xC0, {})})), "NULL: object of no property-list type");      // a set
	EXPECT_EQ(parse(bplist({std::string("\x52\x61\x00", 3)})), "NULL: string that is not ASCII");
	EXPECT_EQ(parse(bplist({std::string("\x51\xE9", 2)})), "NULL: string that is not ASCII");
	EXPECT_EQ(parse(bplist({std::string("\x61\xD8\x34", 3)})), "NULL: string that is not valid UTF-16");
	EXPECT_EQ(parse(bplist({std::string("\x4F\x13", 2) + be(UINT64_MAX, 8)})), "NULL: malformed data");
	EXPECT_EQ(parse(bplist({std::string("\x14") + be(1, 8) + be(0, 8)})), "NULL: integer out of range");
	EXPECT_EQ(parse(bplist({std::string("\x84\x01\x00\x00\x00\x00", 6)})), "NULL: UID out of range");
	EXPECT_EQ(parse(bplist({std::string("\x33") + be(0x7FF0000000000000, 8)})), "NULL: date out of range");

	// Keys the platform reads but the XML form cannot carry: read, and
	// then not written.
	Owned d(data(bplist({b_dict({1}, {1}), std::string("\x10\x01", 2)})));
	Owned plist(CFPropertyListCreateFromXMLData(nullptr, d.as<CFDataRef>(), kCFPropertyListImmutable, nullptr));
	ASSERT_NE(plist.cf, nullptr);
	EXPECT_EQ(show(plist.cf), "{i1=i1;}");
	EXPECT_EQ(to_xml(plist.cf), "NULL");

	// Cut anywhere, a valid file is refused rather than read past its
	// end.  (Cut to its signature, it is a word of the old-style form, as
	// the platform reads it.)
	std::string good = bplist({b_refs(0xA0, {1, 2}), b_ascii("hello"), std::string("\x13") + be(5, 8)});
	EXPECT_EQ(parse(good), "(\"hello\",i5)");
	EXPECT_EQ(parse(good.substr(0, 8)), "\"bplist00\"");
	for (size_t len = 9; len < good.size(); len++)
		EXPECT_EQ(parse(good.substr(0, len)).substr(0, 5), "NULL:") << len;
}

TEST(PropertyListRead, TooLongForTheParserIsRefusedUnread)
{
	// A reservation nothing may touch: reading any of it would crash.
	const size_t len = compat::kMaxBytes;
	void *p = mmap(nullptr, len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
	if (p == MAP_FAILED && sizeof(void *) == 4)
		GTEST_SKIP() << "no 2 GiB of address space left in a 32-bit process";
	ASSERT_NE(p, MAP_FAILED);
	const char *why = nullptr;
	EXPECT_EQ(compat::parse_property_list(std::string_view(static_cast<const char *>(p), len), why), nullptr);
	EXPECT_STREQ(why, "property list too large");
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

// ===================== what the platform reads =====================

TEST(PlatformReading, DatesWithAnyNumberOfYearDigits)
{
	// The platform's "distant past" and "distant future", and years of
	// one to six digits, before year 1 and after 9999.
	EXPECT_EQ(parse(xml("<date>0001-01-01T00:00:00Z</date>")), "d-63113904000.000000");
	EXPECT_EQ(parse(xml("<date>1-01-01T00:00:00Z</date>")), "d-63113904000.000000");
	EXPECT_EQ(parse(xml("<date>4001-01-01T00:00:00Z</date>")), "d63113904000.000000");
	EXPECT_EQ(parse(xml("<date>999-12-31T23:59:59Z</date>")), "d-31588531201.000000");
	for (const char *date : {"0001-01-01T00:00:00Z", "0999-12-31T23:59:59Z", "0000-02-29T12:00:00Z",
				 "-001-03-01T00:00:00Z", "-4713-11-24T12:00:00Z", "10000-01-01T00:00:00Z",
				 "275760-09-13T00:00:00Z", "1969-12-31T23:59:59Z"}) {
		const std::string doc = xml(std::string("<date>") + date + "</date>");
		EXPECT_EQ(rewrite(doc), doc) << date;
	}
}

TEST(PlatformReading, CarriageReturnsInTextAreKept)
{
	// Raw, as CRLF or alone, in strings and keys; written back as a
	// character reference, which every reader keeps.
	EXPECT_EQ(parse(xml("<dict><key>k\r\ney</key><string>a\r\nb\rc&#13;d</string></dict>")),
		  "{k\r\ney=\"a\r\nb\rc\rd\";}");
	EXPECT_EQ(rewrite(xml("<dict><key>k\rey</key><string>a\r\nb</string></dict>")),
		  xml("<dict>\n\t<key>k&#13;ey</key>\n\t<string>a&#13;\nb</string>\n</dict>"));
}

TEST(PlatformReading, EncodingsByByteOrderMarkOrDeclaration)
{
	const std::string body = "<dict><key>caf\xC3\xA9</key><string>\xE2\x82\xAC \xF0\x9D\x84\x9E</string></dict>";
	const std::string expected = "{caf\xC3\xA9=\"\xE2\x82\xAC \xF0\x9D\x84\x9E\";}";
	EXPECT_EQ(parse(utf16(xml(body), false)), expected);
	EXPECT_EQ(parse(utf16(xml(body), true)), expected);
	// UTF-32: each character of the UTF-16 text widened, little-endian.
	std::string le32("\xFF\xFE\x00\x00", 4);
	const std::string le16 = utf16(xml(body), false).substr(2);
	for (size_t i = 0; i < le16.size(); i += 2) {
		unsigned u = static_cast<unsigned char>(le16[i]) | static_cast<unsigned char>(le16[i + 1]) << 8;
		if (u >= 0xD800 && u <= 0xDBFF) {
			unsigned low = static_cast<unsigned char>(le16[i + 2]) | static_cast<unsigned char>(le16[i + 3]) << 8;
			u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
			i += 2;
		}
		le32 += std::string{char(u & 0xFF), char(u >> 8 & 0xFF), char(u >> 16), '\0'};
	}
	EXPECT_EQ(parse(le32), expected);

	// One-byte encodings named in the declaration.
	auto declared = [](const char *name, const std::string &value) {
		return "<?xml version=\"1.0\" encoding=\"" + std::string(name) +
		       "\"?>\n<plist version=\"1.0\"><string>" + value + "</string></plist>\n";
	};
	EXPECT_EQ(parse(declared("ISO-8859-1", "caf\xE9 \xA4")), "\"caf\xC3\xA9 \xC2\xA4\"");
	EXPECT_EQ(parse(declared("latin1", "\xFF")), "\"\xC3\xBF\"");
	EXPECT_EQ(parse(declared("windows-1252", "\x80 \xE9")), "\"\xE2\x82\xAC \xC3\xA9\"");
	EXPECT_EQ(parse(declared("macintosh", "\x8E\xDB")), "\"\xC3\xA9\xE2\x82\xAC\"");
	EXPECT_EQ(parse(declared("US-ASCII", "plain")), "\"plain\"");
	EXPECT_EQ(parse(declared("UTF-8", "\xC3\xA9")), "\"\xC3\xA9\"");

	// What the platform refuses or would misread.
	EXPECT_EQ(parse(declared("US-ASCII", "caf\xE9")), "NULL: byte that the declared encoding does not define");
	EXPECT_EQ(parse(declared("windows-1252", "\x81")), "NULL: byte that the declared encoding does not define");
	EXPECT_EQ(parse(declared("EBCDIC-US", "x")), "NULL: encoding that is not read here");
	EXPECT_EQ(parse(declared("ISO-8859-1", "caf\xE9").substr(0, 25)), "NULL: XML declaration cut off");
	EXPECT_EQ(parse(utf16(xml(body), false).substr(2)), "NULL: UTF-16 without a byte-order mark");
	EXPECT_EQ(parse(utf16(xml(body), false) + "x"), "NULL: text cut inside a character");
	EXPECT_EQ(parse("\xFF\xFE" + std::string("\x00\xD8<\x00", 4)), "NULL: text that is not valid UTF-16 or UTF-32");
	EXPECT_EQ(parse("\xFF\xFE"), "NULL: text that is not valid UTF-8");  // a mark alone is no mark
}

TEST(PlatformReading, OldStyleAndStringsFiles)
{
	// The issue's own examples, then every kind of value and syntax.
	EXPECT_EQ(parse("{ key = value; list = (a, b); data = <0fbd77>; }"),
		  "{data=<0fbd77>;key=\"value\";list=(\"a\",\"b\");}");
	EXPECT_EQ(parse("\"key\" = \"value\";"), "{key=\"value\";}");
	EXPECT_EQ(parse("/* a comment */ // another\n"
			"{\n"
			"  \"quoted key\" = 'single \"quoted\"';\n"
			"  esc = \"tab\\there\\nnl \\\"q\\\" \\101\\\\ \\U00e9\\U20AC \\UD834\\UDD1E \\\xC3\xA9\";\n"
			"  unquoted = $path/to:file.name-1_2;\n"
			"  empty = ();\n"
			"  trailing = (x, y,);\n"
			"  nested = { inner = ( { a = b; } ); };\n"
			"  bytes = < 00 ff\tAB >;\n"
			"  shortcut;\n"
			"  dup = 1; dup = 2;\n"
			"}\n"),
		  "{bytes=<00ffab>;dup=\"2\";empty=();esc=\"tab\there\nnl \"q\" A\\ \xC3\xA9\xE2\x82\xAC "
		  "\xF0\x9D\x84\x9E \xC3\xA9\";nested={inner=({a=\"b\";});};quoted key=\"single \"quoted\"\";"
		  "shortcut=\"shortcut\";trailing=(\"x\",\"y\");unquoted=\"$path/to:file.name-1_2\";}");
	// A strings file in UTF-16, as localisations come; comments between.
	EXPECT_EQ(parse(utf16("/* Menu */\n\"Open\" = \"\xC3\x96" "ffnen\";\n// done\n\"Quit\" = \"Beenden\";\n", false)),
		  "{Open=\"\xC3\x96" "ffnen\";Quit=\"Beenden\";}");
	// Roots other than a dictionary, and text with nothing in it.
	EXPECT_EQ(parse("(a, <>)"), "(\"a\",<>)");
	EXPECT_EQ(parse("just-a-string"), "\"just-a-string\"");
	EXPECT_EQ(parse(" \n// nothing\n"), "{}");

	const char *refused[][2] = {
		{"{ a = b }", "missing ';' in a dictionary"},
		{"{ a b; }", "expected '=' or ';' after a key"},
		{"{ a = ; }", "dictionary key without a value"},
		{"{ a = b;", "expected '}' to end a dictionary"},
		{"( a b )", "expected ')' to end an array"},
		{"( a, \"b )", "unterminated quoted string"},
		{"(<a)", "malformed data"},
		{"<0g>", "malformed data"},
		{"<0 0>", "malformed data"},
		{"{ a = b; } junk", "content after the property list"},
		{"\"a\" = \"b\"; #comment", "content after the last entry of a strings file"},
		{"a = \"\\200\";", "octal escape outside ASCII or NUL"},
		{"a = \"\\0\";", "octal escape outside ASCII or NUL"},
		{"a = \"\\UD834x\";", "\\U escape that is half of a surrogate pair"},
		{"a = \"\\UDD1E\";", "\\U escape that is half of a surrogate pair"},
		{"a = \"\\U\";", "\\U escape of NUL"},
		{"\xEF\xBB\xBF\xEF\xBB\xBF" "a = b;", "no property list"},
	};
	for (const auto &[text, why] : refused)
		EXPECT_EQ(parse(text), std::string("NULL: ") + why) << text;
}

TEST(PlatformReading, LenientValues)
{
	EXPECT_EQ(parse(xml("<array><integer>007</integer><integer>0x1F</integer><integer>-0X1f</integer>"
			    "<integer>+ 5</integer><integer>\xC2\xA0\xE3\x80\x80 9</integer><integer>000</integer>"
			    "<integer>0xFFFFFFFFFFFFFFFF</integer><integer>\xC2\x85" "8</integer></array>")),
		  "(i7,i31,i-31,i5,i9,i0,u18446744073709551615,i8)");
	// Stray characters in base64 are skipped; groups may follow padding.
	EXPECT_EQ(parse(xml("<array><data>AA-E*C!/w==</data><data>QQ==QQ==</data><data>!!!!</data>"
			    "<data>QQ= =</data></array>")),
		  "(<000102ff>,<4141>,<>,<41>)");
	// Reals as the platform scans them, and its names for the infinities.
	EXPECT_EQ(parse(xml("<array><real> 2.5e1</real><real>.5</real><real>5.</real><real>+1E+2</real>"
			    "<real>1e999</real><real>-INF</real><real>Infinity</real><real>&#49;.5</real></array>")),
		  "(r25,r0.5,r5,r100,rinf,r-inf,rinf,r1.5)");
	// A key where a value belongs is a string; attributes are ignored;
	// what follows the first element is not read.
	EXPECT_EQ(parse(xml("<array><key>k</key><string id=\"s\">v</string></array>")), "(\"k\",\"v\")");
	EXPECT_EQ(parse(xml("<string>a</string>") + "<array>garbage"), "\"a\"");
}

TEST(PlatformReading, KeyedArchiverReferences)
{
	// A binary UID root, and the XML form of one: a dictionary whose only
	// key is CF$UID with an integer.
	EXPECT_EQ(parse(bplist({std::string("\x80\x07", 2)})), "U7");
	EXPECT_EQ(parse(xml("<dict><key>CF$UID</key><integer>7</integer></dict>")), "U7");
	EXPECT_EQ(parse(bplist({std::string("\x83\x00\x00\x01\x00", 5)})), "U256");
	// Not a reference: another value, or more keys.
	EXPECT_EQ(parse(xml("<dict><key>CF$UID</key><string>7</string></dict>")), "{CF$UID=\"7\";}");
	EXPECT_EQ(parse(xml("<dict><key>CF$UID</key><integer>7</integer><key>x</key><true/></dict>")),
		  "{CF$UID=i7;x=T;}");
	// Written back as the platform writes them, where they read back as
	// references again.
	const std::string archive = xml("<dict>\n\t<key>$top</key>\n\t<dict>\n\t\t<key>root</key>\n\t\t<dict>\n"
					"\t\t\t<key>CF$UID</key>\n\t\t\t<integer>4294967295</integer>\n\t\t</dict>\n"
					"\t</dict>\n</dict>");
	EXPECT_EQ(parse(archive), "{$top={root=U4294967295;};}");
	EXPECT_EQ(rewrite(archive), archive);
	// A binary file's dictionary of that shape is written as the platform
	// writes it, unless no reference could hold its number: the platform
	// would read back another number.
	auto cf_uid_dict = [](const std::string &number) {
		return bplist({b_dict({1}, {2}), b_ascii("CF$UID"), number});
	};
	EXPECT_EQ(rewrite(cf_uid_dict(std::string("\x10\x05", 2))),
		  xml("<dict>\n\t<key>CF$UID</key>\n\t<integer>5</integer>\n</dict>"));
	EXPECT_EQ(parse(cf_uid_dict(std::string("\x13") + be(uint64_t(-1), 8))), "{CF$UID=i-1;}");
	EXPECT_EQ(rewrite(cf_uid_dict(std::string("\x13") + be(uint64_t(-1), 8))), "NULL");
	EXPECT_EQ(rewrite(cf_uid_dict(std::string("\x23") + be(0x3FF0000000000000, 8))), "NULL");  // 1.0
}

TEST(PlatformReading, BinaryOnlyWithATrailerThePlatformTakes)
{
	// The platform takes bytes for the binary form only when the trailer
	// holds together; other bytes go on to the text readers, and are
	// refused only when those refuse them too, with the binary reason.
	const std::string a_b = b_dict({1}, {2});
	auto three_hundred = [](size_t ref_size) {
		std::vector<std::string> objects = {b_refs(0xA0, {1}, ref_size)};
		for (int k = 1; k < 300; k++)
			objects.push_back(b_ascii("s"));
		return bplist(objects, 0, ref_size);
	};
	// One-byte offsets, and the offset table at byte 315.
	const std::string far = bplist({a_b, b_ascii("a"), b_ascii("b"), "\x5F\x11\x01\x28" + std::string(296, 'x')}, 0, 1, 1);
	std::string unused = bplist({a_b, b_ascii("a"), b_ascii("b")});
	unused[unused.size() - 32 + 5] = 1;
	std::string v01 = bplist({a_b, b_ascii("a"), b_ascii("b")});
	v01[7] = '1';
	std::string early = bplist({b_refs(0xA0, {1}), b_ascii("x")});
	early[early.size() - 32 - 1] = 3;  // the string's offset, into the signature
	// Offsets and references of nine bytes, of which the platform reads
	// the last eight.
	auto nine = [](uint64_t v) { return std::string(1, '\0') + be(v, 8); };
	std::string wide = "bplist00\xD1" + nine(1) + nine(2) + b_ascii("a") + b_ascii("b");
	const uint64_t wide_table = wide.size();
	wide += nine(8) + nine(8 + 19) + nine(8 + 21) + std::string(6, '\0') + "\x09\x09" + be(3, 8) + be(0, 8) +
		be(wide_table, 8);
	const std::string strings = "bplist00 = x;\n\"a\" = \"b\";";
	const std::string long_strings = strings + "\n\"long enough\" = \"for a whole trailer and more\";";
	const std::pair<std::string, std::string> cases[] = {
		{bplist({a_b, b_ascii("a"), b_ascii("b")}), "{a=\"b\";}"},
		{v01, "{a=\"b\";}"},
		{wide, "{a=\"b\";}"},
		{bplist({a_b, b_ascii("a"), b_ascii("b")}, 0, 1, 0, std::string(4, '\0')),
		 "NULL: offset table that does not end at the trailer"},
		{three_hundred(1), "NULL: object references too narrow for the number of objects"},
		{three_hundred(2), "(\"s\")"},
		{far, "NULL: offsets too narrow to reach the offset table"},
		{unused, "NULL: malformed trailer"},
		{strings, "{a=\"b\";bplist00=\"x\";}"},
		{long_strings, "{a=\"b\";bplist00=\"x\";long enough=\"for a whole trailer and more\";}"},
		// Taken for the binary form, a file is read as that or not at all.
		{early, "NULL: object offset out of range"},
	};
	for (const auto &[bytes, expected] : cases)
		EXPECT_EQ(parse(bytes), expected) << testing::PrintToString(bytes);
}

TEST(PlatformReading, MarkupWhereThePlatformLooksForIt)
{
	const std::pair<std::string, std::string> cases[] = {
		// Every "<!" in text opens a CDATA section or is an error.
		{xml("<string>x<!-- c -->y</string>"), "NULL: malformed CDATA section"},
		{xml("<dict><key>a<!-- note --></key><string>b</string></dict>"), "NULL: malformed CDATA section"},
		{xml("<string>x<![CDATA[<!-- c -->]]>y</string>"), "\"x<!-- c -->y\""},
		// Between values, the end of a comment is looked for from its
		// second '-', that of a processing instruction from its '?'.
		{xml("<dict><key>a</key><!--><string>x</string><key>b</key><!-- --><string>y</string></dict>"),
		 "{a=\"y\";}"},
		{xml("<array><!---><true/><?><false/></array>"), "(T,F)"},
		// Before the document's element, past "<!--" and "<?".
		{"<!--><plist><string>a</string></plist><!-- --><plist><string>b</string></plist>", "\"b\""},
		{"<?><plist><string>a</string></plist>?><plist><string>b</string></plist>", "\"b\""},
		{"<!DOCTYPE plist [<!--> ] --> ]><plist><string>a</string></plist>", "\"a\""},
	};
	for (const auto &[doc, expected] : cases)
		EXPECT_EQ(parse(doc), expected) << doc;
}

TEST(PlatformReading, DatesAHairBeforeAWholeMinute)
{
	// The platform works each field out in doubles: the second rounds up
	// to 60, and reads back as the next minute.
	const std::pair<double, std::string> cases[] = {
		{-1e-20, "2000-12-31T23:59:60Z"},  {-3.5e-15, "2000-12-31T23:59:60Z"},
		{-3.6e-15, "2000-12-31T23:59:59Z"}, {-5e-324, "2001-01-01T00:00:60Z"},
		{-1e-321, "2001-01-01T00:59:60Z"},  {-1e-310, "2000-12-31T23:59:60Z"},
	};
	for (const auto &[t, date] : cases) {
		Owned d(compat::make_date(t));
		EXPECT_EQ(to_xml(d.cf), xml("<date>" + date + "</date>")) << t;
	}
	EXPECT_EQ(parse(xml("<date>2000-12-31T23:59:60Z</date>")), "d0.000000");
	EXPECT_EQ(rewrite(xml("<date>2001-01-01T00:59:60Z</date>")), xml("<date>2001-01-01T01:00:00Z</date>"));
	EXPECT_EQ(parse(xml("<date>2000-12-31T23:59:61Z</date>")), "NULL: date that is no real day and time");
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
		"\t<key>zero</key>\n\t<real>0.0</real>\n"
		"</dict>");
	EXPECT_EQ(rewrite(doc), doc);
	// Negative zero is written as the platform writes it.
	EXPECT_EQ(rewrite(xml("<real>-0.0</real>")), xml("<real>0.0</real>"));
}

TEST(PropertyListWrite, DatesInWholeSecondsAnyYear)
{
	auto dated = [](double t) {
		Owned d(compat::make_date(t));
		return to_xml(d.cf);
	};
	EXPECT_EQ(dated(-0.5), xml("<date>2000-12-31T23:59:59Z</date>"));
	EXPECT_EQ(dated(59.9), xml("<date>2001-01-01T00:00:59Z</date>"));
	EXPECT_EQ(dated(-31622400.0 * 1001), xml("<date>0997-12-04T00:00:00Z</date>"));  // before the year 1000
	EXPECT_EQ(dated(1e12), xml("<date>33689-09-27T01:46:40Z</date>"));                // after 9999
	EXPECT_EQ(dated(-63113904000.0 - 86400 * 366), xml("<date>0000-01-01T00:00:00Z</date>"));
	EXPECT_EQ(dated(-63113904000.0 - 86400 * 367), xml("<date>-001-12-31T00:00:00Z</date>"));
	EXPECT_EQ(dated(NAN), "NULL");
	EXPECT_EQ(dated(1e17), "NULL");  // no whole seconds this far from 2001
}

TEST(PropertyListWrite, DataInLinesOfTheIndentsWidth)
{
	// 76 columns, a tab counting eight: 57 bytes a line at the top level,
	// 12 base64 characters from eight tabs on, the indent stopping there.
	std::string line;
	for (int k = 0; k < 19; k++)
		line += "eHh4";  // "xxx"
	Owned d(data(std::string(60, 'x')));
	EXPECT_EQ(to_xml(d.cf), xml("<data>\n" + line + "\neHh4\n</data>"));
	std::string deep = "<data>eHh4eHh4eHh4eHh4</data>";
	std::string written = "\t\t\t\t\t\t\t\t\t<data>\n\t\t\t\t\t\t\t\teHh4eHh4eHh4\n\t\t\t\t\t\t\t\teHh4\n"
			      "\t\t\t\t\t\t\t\t\t</data>\n";
	for (int level = 9; level-- > 0;) {
		deep = "<array>" + deep + "</array>";
		written = std::string(size_t(level), '\t') + "<array>\n" + written + std::string(size_t(level), '\t') +
			  "</array>\n";
	}
	EXPECT_EQ(rewrite(xml(deep)), kHead + written + "</plist>\n");
}

TEST(PropertyListWrite, OnlyPropertyListTypes)
{
	Owned url(CFURLCreateWithFileSystemPath(nullptr, CFSTR("/x"), kCFURLPOSIXPathStyle, false));
	auto *array = compat::cf_create<__CFArray>();
	array->values.push_back(CFRetain(url.cf));
	Owned owned(array);
	EXPECT_EQ(to_xml(array), "NULL");
	Owned n(compat::make_signed(1));
	const void *keys[] = {n.cf};
	Owned dict(CFDictionaryCreate(nullptr, keys, keys, 1, &kCFTypeDictionaryKeyCallBacks,
				      &kCFTypeDictionaryValueCallBacks));
	EXPECT_EQ(to_xml(dict.cf), "NULL");  // a key that is not a string
	// A dictionary inside itself is no tree.
	Owned empty(CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
				       &kCFTypeDictionaryValueCallBacks));
	Owned copy(CFDictionaryCreateMutableCopy(nullptr, 0, empty.as<CFDictionaryRef>()));
	auto *self = static_cast<CFMutableDictionaryRef>(const_cast<void *>(copy.cf));
	CFDictionarySetValue(self, CFSTR("self"), self);
	EXPECT_EQ(to_xml(self), "NULL");
	self->entries.pop_back();  // break the cycle, and drop the reference it held
	CFRelease(self);
}

// ===================== memory =====================

TEST(PropertyListMemory, NoAllocationFailureEscapes)
{
	// Each allocation of reading, copying, setting and writing fails in
	// turn: every call then answers NULL, or gives its whole result; none
	// throws, aborts or leaves something out.
	const std::string doc = xml("<dict><key>a</key><array><string>x</string><integer>1</integer>"
				    "<data>AAEC</data><date>2001-01-01T00:00:00Z</date></array>"
				    "<key>b</key><dict><key>c</key><real>1.5</real></dict></dict>");
	const std::string expected =
		xml("<dict>\n\t<key>a</key>\n\t<array>\n\t\t<string>x</string>\n\t\t<integer>1</integer>\n"
		    "\t\t<data>\n\t\tAAEC\n\t\t</data>\n\t\t<date>2001-01-01T00:00:00Z</date>\n\t</array>\n"
		    "\t<key>b</key>\n\t<dict>\n\t\t<key>c</key>\n\t\t<real>1.5</real>\n\t</dict>\n"
		    "\t<key>k</key>\n\t<string>v</string>\n</dict>");
	Owned key(str("k")), value(str("v"));
	bool failed = true;
	long failures = 0;
	for (long successes = 0; failed; successes++) {
		alloc_failure::arm(successes);
		CFDataRef bytes = data(doc);
		CFPropertyListRef plist = nullptr;
		CFMutableDictionaryRef copy = nullptr;
		CFDataRef out = nullptr;
		CFStringRef why = nullptr;
		if (bytes)
			plist = CFPropertyListCreateFromXMLData(nullptr, bytes, kCFPropertyListImmutable, &why);
		if (plist)
			copy = CFDictionaryCreateMutableCopy(nullptr, 0, static_cast<CFDictionaryRef>(plist));
		if (copy) {
			CFDictionarySetValue(copy, key.cf, value.cf);
			out = CFPropertyListCreateXMLData(nullptr, copy);
		}
		failed = alloc_failure::disarm();
		failures += failed;
		if (out)
			EXPECT_EQ(bytes_of(out), expected) << "allocation " << successes << " failed";
		else
			EXPECT_TRUE(failed);
		for (CFTypeRef cf : {CFTypeRef(out), CFTypeRef(copy), CFTypeRef(plist), CFTypeRef(bytes), CFTypeRef(why)}) {
			if (cf)
				CFRelease(cf);
		}
	}
	EXPECT_GT(failures, 20);
}

}  // namespace
