// The platform's XML form, byte for byte: tab indentation, dictionary keys
// sorted by UTF-16 code units at every level, base64 in lines of at most
// 76 columns (a tab counting eight, at most eight tabs), dates in whole
// seconds with years of at least four digits, reals with 17 significant
// digits.  One difference: a carriage return in text is written as
// "&#13;", which every XML reader keeps; written raw, the platform's reader
// keeps it but other readers turn it into a line feed.
//
// The output is measured first and then written into a buffer of that
// size, so that a large property list is never copied while it grows.
#include "cf_plist.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace compat {
namespace {

// Where the writer's bytes go: counted, or appended.
struct Measure {
	static constexpr bool kOrdered = false;  // the size does not depend on the order of keys
	uint64_t size = 0;
	void put(const char *, size_t len) { size += len; }
};
struct Append {
	static constexpr bool kOrdered = true;
	std::string &out;
	void put(const char *p, size_t len) { out.append(p, len); }
};

// Year, month and day of the proleptic Gregorian calendar for a count of
// days from 1970-01-01.
void civil_from_days(int64_t z, int64_t &y, unsigned &m, unsigned &d)
{
	z += 719468;
	const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
	const auto doe = unsigned(z - era * 146097);
	const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
	const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
	const unsigned mp = (5 * doy + 2) / 153;
	d = doy - (153 * mp + 2) / 5 + 1;
	m = mp < 10 ? mp + 3 : mp - 9;
	y = int64_t(yoe) + era * 400 + (m <= 2);
}

template <class Sink> class Writer {
public:
	explicit Writer(Sink &to) : sink(to) {}

	bool write(CFTypeRef root, const char *&reason)
	{
		put("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
		    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
		    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
		    "<plist version=\"1.0\">\n");
		if (!value(root, 0)) {
			reason = why;
			return false;
		}
		put("</plist>\n");
		return true;
	}

private:
	Sink &sink;
	const char *why = nullptr;

	bool fail(const char *reason)
	{
		why = reason;
		return false;
	}
	void put(std::string_view t) { sink.put(t.data(), t.size()); }
	void indent(size_t n)
	{
		static const std::string tabs(kMaxDepth + 1, '\t');
		sink.put(tabs.data(), n);
	}

	// The text with <, > and & as entities, and carriage returns as
	// character references.
	void escaped(std::string_view t)
	{
		size_t from = 0;
		for (size_t k = 0; k < t.size(); k++) {
			const char *entity = t[k] == '<'    ? "&lt;"
					     : t[k] == '>'  ? "&gt;"
					     : t[k] == '&'  ? "&amp;"
					     : t[k] == '\r' ? "&#13;"
							    : nullptr;
			if (entity == nullptr)
				continue;
			sink.put(t.data() + from, k - from);
			put(entity);
			from = k + 1;
		}
		sink.put(t.data() + from, t.size() - from);
	}

	[[gnu::format(printf, 2, 3)]] void formatted(const char *format, ...)
	{
		char buf[64];
		va_list args;
		va_start(args, format);
		const int len = vsnprintf(buf, sizeof buf, format, args);
		va_end(args);
		sink.put(buf, size_t(len));
	}

	bool value(CFTypeRef cf, size_t depth)
	{
		indent(depth);
		switch (cf_object(cf)->type_id) {
		case kCFStringTypeID:
			put("<string>");
			escaped(as_string(cf, "CFPropertyListCreateXMLData")->utf8);
			put("</string>\n");
			return true;
		case kCFBooleanTypeID:
			put(static_cast<const __CFBoolean *>(cf)->value ? "<true/>\n" : "<false/>\n");
			return true;
		case kCFNumberTypeID:
			number(as_number(cf, "CFPropertyListCreateXMLData"));
			return true;
		case kCFDateTypeID:
			return date(as_date(cf, "CFPropertyListCreateXMLData")->time);
		case kCFDataTypeID:
			data(as_data(cf, "CFPropertyListCreateXMLData")->bytes, depth);
			return true;
		case kCFKeyedArchiverUIDTypeID:
			put("<dict>\n");
			indent(depth + 1);
			put("<key>CF$UID</key>\n");
			indent(depth + 1);
			formatted("<integer>%" PRIu32 "</integer>\n", static_cast<const __CFKeyedArchiverUID *>(cf)->value);
			indent(depth);
			put("</dict>\n");
			return true;
		case kCFArrayTypeID:
		case kCFDictionaryTypeID:
			// A container inside itself ends here too.
			if (depth >= kMaxDepth)
				return fail("containers nested too deeply");
			if (cf_object(cf)->type_id == kCFArrayTypeID)
				return array(as_array(cf, "CFPropertyListCreateXMLData")->values, depth);
			return dictionary(as_dictionary(cf, "CFPropertyListCreateXMLData"), depth);
		default:
			return fail("object that is no property-list type");
		}
	}

	void number(const __CFNumber *n)
	{
		switch (n->kind) {
		case __CFNumber::Kind::Signed:
			formatted("<integer>%" PRId64 "</integer>\n", n->i);
			return;
		case __CFNumber::Kind::Unsigned:
			formatted("<integer>%" PRIu64 "</integer>\n", n->u);
			return;
		case __CFNumber::Kind::Float:
			if (std::isnan(n->d))
				put("<real>nan</real>\n");
			else if (std::isinf(n->d))
				put(n->d > 0 ? "<real>+infinity</real>\n" : "<real>-infinity</real>\n");
			else if (n->d == 0)
				put("<real>0.0</real>\n");  // -0.0 as well
			else
				formatted("<real>%.17g</real>\n", n->d);
			return;
		}
	}

	// The second the time falls in, each field worked out in doubles as
	// the platform works it out: a time a hair before a whole minute,
	// where t - floor(t / 60) * 60 rounds to 60, is written with a second
	// of 60 (-1e-20 as 2000-12-31T23:59:60Z).
	bool date(double t)
	{
		if (!(std::fabs(t) < kMaxDateSeconds))
			return fail("date out of range");
		auto modulo = [](double d, double m) {
			const double r = d - std::floor(d / m) * m;
			return r < 0 ? r + m : r;
		};
		int64_t year;
		unsigned month, day;
		civil_from_days(int64_t(std::floor(t / 86400)) + kSecondsFrom1970To2001 / 86400, year, month, day);
		formatted("<date>%04" PRId64 "-%02u-%02uT%02u:%02u:%02uZ</date>\n", year, month, day,
			  unsigned(modulo(std::floor(t / 3600), 24)), unsigned(modulo(std::floor(t / 60), 60)),
			  unsigned(modulo(t, 60)));
		return true;
	}

	void data(const std::string &bytes, size_t depth)
	{
		static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
		put("<data>\n");
		const size_t tabs = std::min<size_t>(depth, 8);
		const size_t line_bytes = (76 - 8 * tabs) / 4 * 3;
		const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
		for (size_t at = 0; at < bytes.size(); at += line_bytes) {
			const size_t end = std::min(bytes.size(), at + line_bytes);
			char line[80];
			size_t len = 0;
			for (size_t k = at; k < end; k += 3) {
				const uint32_t group = uint32_t(p[k]) << 16 | (k + 1 < end ? uint32_t(p[k + 1]) << 8 : 0) |
						       (k + 2 < end ? p[k + 2] : 0);
				line[len++] = alphabet[group >> 18];
				line[len++] = alphabet[(group >> 12) & 0x3F];
				line[len++] = k + 1 < end ? alphabet[(group >> 6) & 0x3F] : '=';
				line[len++] = k + 2 < end ? alphabet[group & 0x3F] : '=';
			}
			line[len++] = '\n';
			indent(tabs);
			sink.put(line, len);
		}
		indent(depth);
		put("</data>\n");
	}

	bool array(const std::vector<const void *> &values, size_t depth)
	{
		if (values.empty()) {
			put("<array/>\n");
			return true;
		}
		put("<array>\n");
		for (const void *v : values) {
			if (!value(v, depth + 1))
				return false;
		}
		indent(depth);
		put("</array>\n");
		return true;
	}

	// A dictionary whose only key is CF$UID with a number reads back as a
	// keyed archiver's reference; one whose number no reference can hold
	// the platform would truncate on reading.
	static bool misread_as_reference(const __CFDictionary *dict)
	{
		if (dict->entries.size() != 1 || static_cast<const __CFString *>(dict->entries[0].first)->utf8 != "CF$UID" ||
		    cf_object(dict->entries[0].second)->type_id != kCFNumberTypeID)
			return false;
		const auto *n = static_cast<const __CFNumber *>(dict->entries[0].second);
		return n->kind != __CFNumber::Kind::Signed || n->i < 0 || n->i > int64_t(UINT32_MAX);
	}

	bool dictionary(const __CFDictionary *dict, size_t depth)
	{
		if (dict->entries.empty()) {
			put("<dict/>\n");
			return true;
		}
		for (const auto &entry : dict->entries) {
			if (cf_object(entry.first)->type_id != kCFStringTypeID)
				return fail("dictionary key that is not a string");
		}
		if (misread_as_reference(dict))
			return fail("dictionary that would read back as a mangled CF$UID");
		std::vector<__CFDictionary::Entry> sorted;
		const std::vector<__CFDictionary::Entry> *entries = &dict->entries;
		if constexpr (Sink::kOrdered) {
			auto key_less = [](const __CFDictionary::Entry &a, const __CFDictionary::Entry &b) {
				return utf16_less(static_cast<const __CFString *>(a.first)->utf8,
						  static_cast<const __CFString *>(b.first)->utf8);
			};
			if (!std::is_sorted(entries->begin(), entries->end(), key_less)) {
				sorted = *entries;
				std::sort(sorted.begin(), sorted.end(), key_less);
				entries = &sorted;
			}
		}
		put("<dict>\n");
		for (const auto &[key, v] : *entries) {
			indent(depth + 1);
			put("<key>");
			escaped(static_cast<const __CFString *>(key)->utf8);
			put("</key>\n");
			if (!value(v, depth + 1))
				return false;
		}
		indent(depth);
		put("</dict>\n");
		return true;
	}
};

}  // namespace

bool write_xml(CFTypeRef plist, std::string &out, const char *&why)
{
	Measure measure;
	if (!Writer<Measure>(measure).write(plist, why))
		return false;
	if (measure.size > out.max_size()) {
		why = "property list too large";
		return false;
	}
	out.clear();
	out.reserve(size_t(measure.size));
	Append append{out};
	return Writer<Append>(append).write(plist, why);
}

}  // namespace compat
