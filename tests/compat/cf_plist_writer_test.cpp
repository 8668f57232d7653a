// Our XML writer against libplist's, which writes the platform's form for
// the values it can carry.  Built where libplist is (it is not, for one,
// in the PowerPC cross build).
#include <CoreFoundation/CoreFoundation.h>

#include "cf_helpers.h"
#include "cf_plist.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace cftest;

std::string to_xml(CFPropertyListRef plist)
{
	Owned out(CFPropertyListCreateXMLData(nullptr, plist));
	return out.cf ? bytes_of(out.as<CFDataRef>()) : "NULL";
}

// Random property lists written by our writer and by libplist, whose XML
// writer is the platform's for the values it can carry (no dates outside
// the years 1000 to 9999, no carriage returns, data at most eight levels
// down, no integers above the signed range, which its interface cannot
// make), with keys inserted in sorted order since libplist keeps the order
// it is given.
class RandomTree {
public:
	explicit RandomTree(unsigned seed) : rng(seed) {}

	// A tree of ours and the same tree in libplist.
	CFTypeRef make(size_t depth, plist_t &node)
	{
		const unsigned kind = pick(depth < 6 ? 8 : 6);
		switch (kind) {
		case 0: {
			std::string s = random_text();
			node = plist_new_string(s.c_str());
			return compat::make_string(s);
		}
		case 1: {
			const int64_t v = int64_t(rng()) >> pick(64);
			node = plist_new_uint(uint64_t(v));  // 8 bytes: signed
			return compat::make_signed(v);
		}
		case 2: {
			double v = random_real();
			node = plist_new_real(v);
			return compat::make_float(v);
		}
		case 3: {
			const bool v = pick(2);
			node = plist_new_bool(v);
			return compat::boolean(v);
		}
		case 4: {
			// Whole seconds from 1000 to 9999, through libplist's
			// 32-bit seconds as an offset from a day that fits.
			const int32_t sec = int32_t(rng() % 2000000000) - 1000000000;
			node = plist_new_date(sec, 0);
			return compat::make_date(double(sec));
		}
		case 5: {
			std::string bytes(pick(200), '\0');
			for (char &c : bytes)
				c = char(rng());
			node = plist_new_data(bytes.data(), bytes.size());
			return compat::make_data(bytes);
		}
		case 6: {
			auto *array = compat::cf_create<__CFArray>();
			node = plist_new_array();
			for (unsigned n = pick(5); n-- > 0;) {
				plist_t child;
				array->values.push_back(make(depth + 1, child));
				plist_array_append_item(node, child);
			}
			return array;
		}
		default: {
			std::vector<std::string> keys;
			for (unsigned n = pick(5); n-- > 0;)
				keys.push_back(random_text());
			std::sort(keys.begin(), keys.end(), compat::utf16_less);
			keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
			__CFDictionary *dict = compat::new_dictionary(false);
			node = plist_new_dict();
			for (const std::string &key : keys) {
				plist_t child;
				compat::dictionary_adopt(dict, compat::make_string(key), make(depth + 1, child));
				plist_dict_set_item(node, key.c_str(), child);
			}
			return dict;
		}
		}
	}

private:
	std::mt19937_64 rng;

	unsigned pick(unsigned n) { return unsigned(rng() % n); }

	std::string random_text()
	{
		static const char *pieces[] = {"a", "Z", "0", " ", "<", ">", "&", "\"", "'", "]]>", "\t", "\n",
					       "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xEF\xBF\xBD", "key"};
		std::string s;
		for (unsigned n = pick(8); n-- > 0;)
			s += pieces[pick(std::size(pieces))];
		return s;
	}

	double random_real()
	{
		switch (pick(6)) {
		case 0: return 0.0;
		case 1: return double(int64_t(rng() % 2000001) - 1000000);
		case 2: return std::ldexp(double(rng() >> 11), int(pick(200)) - 150);
		case 3: return -std::ldexp(double(rng() >> 11), int(pick(60)) - 80);
		case 4: return pick(2) ? INFINITY : -INFINITY;
		default: return double(rng() % 1000) / 8;
		}
	}
};

TEST(PlatformWriting, ByteIdenticalToTheReferenceWriterOverRandomTrees)
{
	for (unsigned seed = 1; seed <= 300; seed++) {
		RandomTree tree(seed);
		plist_t node = nullptr;
		Owned ours(tree.make(0, node));
		char *theirs = nullptr;
		uint32_t len = 0;
		plist_to_xml(node, &theirs, &len);
		ASSERT_NE(theirs, nullptr);
		EXPECT_EQ(to_xml(ours.cf), std::string(theirs, len)) << "seed " << seed;
		plist_to_xml_free(theirs);
		plist_free(node);
	}
}

}  // namespace
