// The CoreFoundation subset of the platform layer, on its own; its
// property lists are tested in cf_plist_test.cpp.
#include <CoreFoundation/CoreFoundation.h>

#include "cf_helpers.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

using namespace cftest;

// ===================== objects and strings =====================

TEST(CFObjects, DistinctTypeIdsAndRetainCounts)
{
	std::vector<CFTypeID> ids = {compat::kCFStringTypeID,     compat::kCFNumberTypeID,
				     compat::kCFBooleanTypeID,    compat::kCFDateTypeID,
				     compat::kCFDataTypeID,       compat::kCFArrayTypeID,
				     CFDictionaryGetTypeID(),     CFURLGetTypeID(),
				     compat::kCFKeyedArchiverUIDTypeID};
	std::sort(ids.begin(), ids.end());
	EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end());

	Owned s(str("x")), n(compat::make_signed(5)), d(compat::make_date(1.5)), b(data("ab")), u(compat::make_uid(7));
	EXPECT_EQ(CFGetTypeID(s.cf), compat::kCFStringTypeID);
	EXPECT_EQ(CFGetTypeID(n.cf), compat::kCFNumberTypeID);
	EXPECT_EQ(CFGetTypeID(d.cf), compat::kCFDateTypeID);
	EXPECT_EQ(CFGetTypeID(b.cf), compat::kCFDataTypeID);
	EXPECT_EQ(CFGetTypeID(u.cf), 41u);  // the target's number for a keyed archiver's UID
	EXPECT_EQ(CFGetTypeID(compat::boolean(true)), compat::kCFBooleanTypeID);

	EXPECT_EQ(CFGetRetainCount(s.cf), 1);
	CFRetain(s.cf);
	EXPECT_EQ(CFGetRetainCount(s.cf), 2);
	CFRelease(s.cf);
	EXPECT_EQ(CFGetRetainCount(s.cf), 1);

	// Dictionaries made with the CF callbacks hold their values.
	const void *keys[] = {s.cf};
	const void *values[] = {n.cf};
	Owned dict(CFDictionaryCreate(nullptr, keys, values, 1, &kCFTypeDictionaryKeyCallBacks,
				      &kCFTypeDictionaryValueCallBacks));
	EXPECT_EQ(CFGetRetainCount(s.cf), 2);
	EXPECT_EQ(CFGetRetainCount(n.cf), 2);
	CFRelease(dict.cf);
	dict.cf = nullptr;
	EXPECT_EQ(CFGetRetainCount(s.cf), 1);
	EXPECT_EQ(CFGetRetainCount(n.cf), 1);
}

TEST(CFString, Utf8IsCheckedStrictly)
{
	Owned ok(str("h\xC3\xA9llo \xF0\x9D\x84\x9E"));
	ASSERT_NE(ok.cf, nullptr);
	EXPECT_EQ(text(ok.as<CFStringRef>()), "h\xC3\xA9llo \xF0\x9D\x84\x9E");

	for (const char *bad : {"\xFF", "a\x80", "\xC0\x80", "\xC3", "\xE2\x82", "\xED\xA0\x80", "\xF4\x90\x80\x80",
				"\xF8\x88\x80\x80\x80", "\xE0\x80\xAF"})
		EXPECT_EQ(str(bad), nullptr) << testing::PrintToString(bad);
	EXPECT_EQ(CFStringCreateWithCString(nullptr, "\xC3\xA9", kCFStringEncodingASCII), nullptr);
	EXPECT_EQ(CFStringCreateWithCString(nullptr, "a", 0x0201), nullptr);
	Owned empty(str(""));
	EXPECT_EQ(text(empty.as<CFStringRef>()), "");
	EXPECT_EQ(CFSTR("same"), CFSTR("same"));
}

TEST(CFString, LengthInUtf16UnitsAndBytesInAnEncoding)
{
	// "aé€𝄞": one, two, three and four bytes in UTF-8; the last is a
	// surrogate pair in UTF-16.
	Owned s(str("a\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E")), ascii(str("plain <&>")), empty(str(""));
	EXPECT_EQ(CFStringGetLength(s.as<CFStringRef>()), 5);
	EXPECT_EQ(CFStringGetLength(ascii.as<CFStringRef>()), 9);
	EXPECT_EQ(CFStringGetLength(empty.as<CFStringRef>()), 0);
	auto bytes = [](CFTypeRef string, CFStringEncoding encoding, UInt8 loss) {
		Owned d(CFStringCreateExternalRepresentation(nullptr, static_cast<CFStringRef>(string), encoding, loss));
		return d.cf ? bytes_of(d.as<CFDataRef>()) : "<null>";
	};
	EXPECT_EQ(bytes(s.cf, kCFStringEncodingUTF8, 0), "a\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E");
	EXPECT_EQ(bytes(empty.cf, kCFStringEncodingUTF8, 0), "");
	EXPECT_EQ(bytes(s.cf, kCFStringEncodingASCII, '?'), "a???");
	EXPECT_EQ(bytes(s.cf, kCFStringEncodingASCII, 0), "<null>");
	EXPECT_EQ(bytes(ascii.cf, kCFStringEncodingASCII, 0), "plain <&>");
	EXPECT_EQ(bytes(ascii.cf, 0x0201, 0), "<null>");  // UTF-16: not offered
	EXPECT_EQ(CFGetTypeID(s.cf), CFStringGetTypeID());
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
	Owned dict(CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
				      &kCFTypeDictionaryValueCallBacks));
	Owned copy(CFDictionaryCreateMutableCopy(nullptr, 0, dict.as<CFDictionaryRef>()));
	auto d = static_cast<CFMutableDictionaryRef>(const_cast<void *>(copy.cf));
	auto value_of = [&](const char *key) {
		Owned k(str(key));
		size_t at = d->find(k.cf);
		return at == __CFDictionary::npos ? std::string("<none>") : text(static_cast<CFStringRef>(d->entries[at].second));
	};
	// Enough keys that lookups go through the index as well as the scan.
	for (int i = 0; i < 300; i++) {
		Owned k(str(("key" + std::to_string(i)).c_str())), v(str(std::to_string(i).c_str()));
		CFDictionarySetValue(d, k.cf, v.cf);
	}
	for (int round = 0; round < 2; round++) {
		for (int i = 0; i < 300; i++)
			ASSERT_EQ(value_of(("key" + std::to_string(i)).c_str()), std::to_string(i));
		EXPECT_EQ(value_of("key300"), "<none>");
		Owned again(str("key8")), v(str("eight"));
		CFDictionarySetValue(d, again.cf, v.cf);
		EXPECT_EQ(value_of("key8"), "eight");
		Owned eight(str("8"));
		CFDictionarySetValue(d, again.cf, eight.cf);
	}
	EXPECT_EQ(CFDictionaryGetCount(d), 300);
}

TEST(CFContainers, WalkedThroughTheirAccessors)
{
	// Each type by its own identifier, and the containers' contents.
	Owned n(compat::make_signed(5)), d(compat::make_date(0)), b(data("ab")), s(str("x"));
	EXPECT_EQ(CFGetTypeID(n.cf), CFNumberGetTypeID());
	EXPECT_EQ(CFGetTypeID(d.cf), CFDateGetTypeID());
	EXPECT_EQ(CFGetTypeID(b.cf), CFDataGetTypeID());
	EXPECT_EQ(CFGetTypeID(compat::boolean(false)), CFBooleanGetTypeID());

	auto *array = compat::cf_create<__CFArray>();
	for (CFTypeRef v : {n.cf, s.cf, n.cf})
		array->values.push_back(CFRetain(v));
	Owned a(array);
	EXPECT_EQ(CFGetTypeID(a.cf), CFArrayGetTypeID());
	EXPECT_EQ(CFArrayGetCount(a.as<CFArrayRef>()), 3);
	EXPECT_EQ(CFArrayGetValueAtIndex(a.as<CFArrayRef>(), 1), s.cf);
	EXPECT_EQ(CFArrayGetValueAtIndex(a.as<CFArrayRef>(), 2), n.cf);
	EXPECT_DEATH(CFArrayGetValueAtIndex(a.as<CFArrayRef>(), 3), "CFArrayGetValueAtIndex");
	EXPECT_DEATH(CFArrayGetValueAtIndex(a.as<CFArrayRef>(), -1), "CFArrayGetValueAtIndex");

	const void *keys[] = {CFSTR("k1"), CFSTR("k2"), CFSTR("k3")};
	const void *values[] = {n.cf, a.cf, s.cf};
	Owned dict(CFDictionaryCreate(nullptr, keys, values, 3, &kCFTypeDictionaryKeyCallBacks,
				      &kCFTypeDictionaryValueCallBacks));
	const void *got_keys[3] = {}, *got_values[3] = {};
	CFDictionaryGetKeysAndValues(dict.as<CFDictionaryRef>(), got_keys, got_values);
	std::vector<std::string> pairs;
	for (int i = 0; i < 3; i++)
		pairs.push_back(show(got_keys[i]) + "=" + show(got_values[i]));
	std::sort(pairs.begin(), pairs.end());
	EXPECT_EQ(pairs, (std::vector<std::string>{"\"k1\"=i5", "\"k2\"=(i5,\"x\",i5)", "\"k3\"=\"x\""}));
	const void *only_values[3] = {};
	CFDictionaryGetKeysAndValues(dict.as<CFDictionaryRef>(), nullptr, only_values);
	EXPECT_EQ(std::vector<const void *>(only_values, only_values + 3),
		  std::vector<const void *>(got_values, got_values + 3));
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
	EXPECT_EQ(c->entries[c->find(CFSTR("n"))].second, inner.cf);  // the same object, not a copy
	EXPECT_EQ(CFGetRetainCount(inner.cf), 3);
	Owned a(str("a")), b(str("b")), v(str("new"));
	CFDictionarySetValue(c, a.cf, v.cf);
	CFDictionarySetValue(c, b.cf, v.cf);
	EXPECT_EQ(show(o), R"({a="1";n={};})");
	EXPECT_EQ(show(c), R"({a="new";b="new";n={};})");
}

}  // namespace
