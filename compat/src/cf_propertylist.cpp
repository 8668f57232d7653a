// Property lists: read with libplist from the XML or the binary form into
// CF objects, written in the XML form by libplist.
//
// Reading: the bytes pass the checks of cf_plist_guard.h first, then
// libplist parses them and its tree becomes CF objects.
//
// Writing: libplist 2.2 keeps dictionary keys in the order they were
// inserted, takes dates as 32-bit seconds, and pays a walk of a hash chain
// for every key inserted through its API.  So the CF objects are laid out
// as a binary property list in memory, dictionary keys sorted, which
// libplist reads back in one pass and writes as XML.
#include "cf_propertylist.h"

#include "cf_plist_guard.h"
#include "cf_types.h"

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace compat {
namespace {

struct PlistFree {
	void operator()(void *node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

struct CFReleaser {
	void operator()(const void *cf) const { CFRelease(cf); }
};
using CFPtr = std::unique_ptr<const void, CFReleaser>;

uint64_t read_be(const uint8_t *p, size_t n)
{
	uint64_t v = 0;
	for (size_t k = 0; k < n; k++)
		v = (v << 8) | p[k];
	return v;
}

// --- reading ---

// libplist 2.2 keeps integers as 64 bits plus a width: 8 bytes for a
// signed value, 16 for an unsigned one above the signed range.  Its node
// comparison compares the width as well; a new node is 8 bytes wide.
bool is_wide_unsigned(plist_t node, uint64_t v)
{
	PlistPtr narrow(plist_new_uint(v));
	return !plist_compare_node_value(node, narrow.get());
}

// The exact time of a date node: libplist's accessor gives 32-bit
// seconds, its binary writer the whole 64-bit float.
bool date_value(plist_t node, double &time)
{
	char *bin = nullptr;
	uint32_t len = 0;
	plist_to_bin(node, &bin, &len);
	std::unique_ptr<char, decltype(&plist_to_bin_free)> owned(bin, &plist_to_bin_free);
	const auto *b = reinterpret_cast<const uint8_t *>(bin);
	if (bin == nullptr || len < 8 + 9 + 32 || b[8] != 0x33)
		return false;
	uint64_t bits = read_be(b + 9, 8);
	memcpy(&time, &bits, sizeof time);
	return true;
}

// libplist's XML reader keeps the last of equal keys in a dictionary; its
// binary reader keeps them all, so the converter must look them up.
struct Reading {
	bool keys_may_repeat;
	std::string why;
};

CFTypeRef from_node(plist_t node, size_t depth, Reading &r);

CFTypeRef array_from_node(plist_t node, size_t depth, Reading &r)
{
	auto *array = cf_create<__CFArray>();
	if (array == nullptr)
		return nullptr;
	CFPtr owned(array);
	array->callbacks = kCFTypeArrayCallBacks;
	array->values.reserve(plist_array_get_size(node));
	plist_array_iter iter = nullptr;
	plist_array_new_iter(node, &iter);
	std::unique_ptr<void, decltype(&free)> owned_iter(iter, &free);
	for (;;) {
		plist_t item = nullptr;
		plist_array_next_item(node, iter, &item);
		if (item == nullptr)
			break;
		CFTypeRef value = from_node(item, depth + 1, r);
		if (value == nullptr)
			return nullptr;
		array->values.push_back(value);
	}
	return owned.release();
}

CFTypeRef dictionary_from_node(plist_t node, size_t depth, Reading &r)
{
	auto *dict = cf_create<__CFDictionary>(&kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks,
					       false, 0);
	if (dict == nullptr)
		return nullptr;
	CFPtr owned(dict);
	dict->entries.reserve(plist_dict_get_size(node));
	plist_dict_iter iter = nullptr;
	plist_dict_new_iter(node, &iter);
	std::unique_ptr<void, decltype(&free)> owned_iter(iter, &free);
	for (;;) {
		char *raw_key = nullptr;
		plist_t item = nullptr;
		plist_dict_next_item(node, iter, &raw_key, &item);
		if (raw_key == nullptr)
			break;
		std::unique_ptr<char, decltype(&free)> key_text(raw_key, &free);
		if (!is_valid_utf8(raw_key)) {
			r.why = "dictionary key that is not valid UTF-8";
			return nullptr;
		}
		CFPtr key(make_string(raw_key));
		if (!key)
			return nullptr;
		CFTypeRef value = from_node(item, depth + 1, r);
		if (value == nullptr)
			return nullptr;
		size_t at = r.keys_may_repeat ? dict->find(key.get()) : __CFDictionary::npos;
		if (at == __CFDictionary::npos) {
			dict->append(key.release(), value);
		} else {
			CFRelease(dict->entries[at].second);
			dict->entries[at].second = value;
		}
	}
	return owned.release();
}

CFTypeRef uid_from_node(plist_t node)
{
	// A keyed archiver's reference, as the XML form writes it.
	uint64_t v = 0;
	plist_get_uid_val(node, &v);
	CFPtr number(make_unsigned(v));
	if (!number)
		return nullptr;
	const void *key = CFSTR("CF$UID");
	const void *value = number.get();
	return CFDictionaryCreate(nullptr, &key, &value, 1, &kCFTypeDictionaryKeyCallBacks,
				  &kCFTypeDictionaryValueCallBacks);
}

CFTypeRef from_node(plist_t node, size_t depth, Reading &r)
{
	if (depth > plist_guard::kMaxDepth) {
		r.why = "containers nested too deeply";
		return nullptr;
	}
	switch (plist_get_node_type(node)) {
	case PLIST_BOOLEAN: {
		uint8_t v = 0;
		plist_get_bool_val(node, &v);
		return v ? kCFBooleanTrue : kCFBooleanFalse;
	}
	case PLIST_UINT: {
		uint64_t v = 0;
		plist_get_uint_val(node, &v);
		if (v > uint64_t(std::numeric_limits<int64_t>::max()) && is_wide_unsigned(node, v))
			return make_unsigned(v);
		return make_signed(int64_t(v));
	}
	case PLIST_REAL: {
		double v = 0;
		plist_get_real_val(node, &v);
		return make_float(v);
	}
	case PLIST_STRING: {
		uint64_t len = 0;
		const char *p = plist_get_string_ptr(node, &len);
		std::string_view text(p ? p : "", p ? size_t(len) : 0);
		if (!is_valid_utf8(text) || text.find('\0') != std::string_view::npos) {
			r.why = "string that is not valid UTF-8";
			return nullptr;
		}
		return make_string(std::string(text));
	}
	case PLIST_DATE: {
		double time = 0;
		if (!date_value(node, time)) {
			r.why = "unreadable date";
			return nullptr;
		}
		return CFDateCreate(nullptr, time);
	}
	case PLIST_DATA: {
		uint64_t len = 0;
		const char *p = plist_get_data_ptr(node, &len);
		return make_data(p ? std::string(p, size_t(len)) : std::string());
	}
	case PLIST_ARRAY:
		return array_from_node(node, depth, r);
	case PLIST_DICT:
		return dictionary_from_node(node, depth, r);
	case PLIST_UID:
		return uid_from_node(node);
	default:
		r.why = "value of an unknown type";
		return nullptr;
	}
}

// --- writing ---

// Days from 1970-01-01 to the given day of the Gregorian calendar.
constexpr int64_t days_from_civil(int64_t y, unsigned m, unsigned d)
{
	y -= m <= 2;
	const int64_t era = (y >= 0 ? y : y - 399) / 400;
	const unsigned yoe = unsigned(y - era * 400);
	const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
	const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
	return era * 146097 + int64_t(doe) - 719468;
}

// The XML form writes four-digit years.
constexpr double kFirstDate = double(days_from_civil(1000, 1, 1)) * 86400 - 978307200.0;
constexpr double kEndDate = double(days_from_civil(10000, 1, 1)) * 86400 - 978307200.0;

class BinaryWriter {
public:
	// The binary form of root, or false with why set.
	bool write(CFTypeRef root, std::string &out, std::string &why)
	{
		uint64_t objects = 0;
		if (!count(root, 0, objects, why))
			return false;
		ref_size = objects <= 0xFF ? 1 : objects <= 0xFFFF ? 2 : objects <= 0xFFFFFFFF ? 4 : 8;
		buf.assign("bplist00");
		uint64_t top = 0;
		if (!object(root, top, why))
			return false;
		const uint64_t table = buf.size();
		const size_t offset_size = table <= 0xFF ? 1 : table <= 0xFFFF ? 2 : table <= 0xFFFFFFFF ? 4 : 8;
		for (uint64_t offset : offsets)
			put_be(offset, offset_size);
		buf.append(6, '\0');
		buf += char(offset_size);
		buf += char(ref_size);
		put_be(offsets.size(), 8);
		put_be(top, 8);
		put_be(table, 8);
		// What libplist can take, and write back as XML, through its
		// 32-bit lengths.
		if (buf.size() > std::numeric_limits<uint32_t>::max() ||
		    xml_estimate > std::numeric_limits<uint32_t>::max()) {
			why = "property list too large";
			return false;
		}
		out = std::move(buf);
		return true;
	}

private:
	std::string buf;
	std::vector<uint64_t> offsets;
	size_t ref_size = 1;
	uint64_t xml_estimate = 0;  // an upper bound of the XML size

	void put_be(uint64_t v, size_t n)
	{
		for (size_t k = n; k-- > 0;)
			buf += char((v >> (8 * k)) & 0xFF);
	}

	// A marker with its length, the length in an integer object when it
	// does not fit the marker's low nibble.
	void put_marker(uint8_t kind, uint64_t len)
	{
		if (len < 15) {
			buf += char(kind | len);
			return;
		}
		buf += char(kind | 0x0F);
		size_t size = len <= 0xFF ? 1 : len <= 0xFFFF ? 2 : len <= 0xFFFFFFFF ? 4 : 8;
		buf += char(0x10 | (size == 1 ? 0 : size == 2 ? 1 : size == 4 ? 2 : 3));
		put_be(len, size);
	}

	// Counts the objects: every value, and every dictionary key.
	bool count(CFTypeRef cf, size_t depth, uint64_t &objects, std::string &why)
	{
		if (depth > plist_guard::kMaxDepth) {
			why = "containers nested too deeply";
			return false;
		}
		objects++;
		const CFTypeID type = cf_object(cf)->type_id;
		if (type == kCFArrayTypeID) {
			for (const void *v : as_array(cf, "CFPropertyListCreateXMLData")->values) {
				if (!count(v, depth + 1, objects, why))
					return false;
			}
		} else if (type == kCFDictionaryTypeID) {
			for (const auto &[key, value] : as_dictionary(cf, "CFPropertyListCreateXMLData")->entries) {
				objects++;
				if (!count(value, depth + 1, objects, why))
					return false;
			}
		}
		return true;
	}

	uint64_t begin_object(size_t content_bytes)
	{
		offsets.push_back(buf.size());
		// Indentation, tags, and entities of up to five bytes a byte.
		xml_estimate += plist_guard::kMaxDepth + 32 + 5 * uint64_t(content_bytes);
		return offsets.size() - 1;
	}

	void put_string(std::string_view utf8)
	{
		bool ascii = true;
		for (unsigned char c : utf8)
			ascii = ascii && c < 0x80;
		if (ascii) {
			put_marker(0x50, utf8.size());
			buf += utf8;
			return;
		}
		std::vector<uint16_t> units;
		units.reserve(utf8.size());
		const auto *s = reinterpret_cast<const unsigned char *>(utf8.data());
		for (size_t i = 0; i < utf8.size();) {
			uint32_t cp;
			unsigned char c = s[i];
			if (c < 0x80) {
				cp = c;
				i += 1;
			} else if (c < 0xE0) {
				cp = (c & 0x1F) << 6 | (s[i + 1] & 0x3F);
				i += 2;
			} else if (c < 0xF0) {
				cp = (c & 0x0F) << 12 | (s[i + 1] & 0x3F) << 6 | (s[i + 2] & 0x3F);
				i += 3;
			} else {
				cp = (c & 0x07) << 18 | (s[i + 1] & 0x3F) << 12 | (s[i + 2] & 0x3F) << 6 |
				     (s[i + 3] & 0x3F);
				i += 4;
			}
			if (cp >= 0x10000) {
				cp -= 0x10000;
				units.push_back(uint16_t(0xD800 | (cp >> 10)));
				units.push_back(uint16_t(0xDC00 | (cp & 0x3FF)));
			} else {
				units.push_back(uint16_t(cp));
			}
		}
		put_marker(0x60, units.size());
		for (uint16_t u : units)
			put_be(u, 2);
	}

	void put_double(uint8_t marker, double v)
	{
		uint64_t bits;
		memcpy(&bits, &v, sizeof bits);
		buf += char(marker);
		put_be(bits, 8);
	}

	void put_refs(const std::vector<uint64_t> &refs)
	{
		for (uint64_t r : refs)
			put_be(r, ref_size);
	}

	// Writes cf after its children; index receives its object number.
	bool object(CFTypeRef cf, uint64_t &index, std::string &why)
	{
		switch (cf_object(cf)->type_id) {
		case kCFStringTypeID: {
			const std::string &text = as_string(cf, "CFPropertyListCreateXMLData")->utf8;
			index = begin_object(text.size());
			put_string(text);
			return true;
		}
		case kCFBooleanTypeID:
			index = begin_object(0);
			buf += char(static_cast<const __CFBoolean *>(cf)->value ? 0x09 : 0x08);
			return true;
		case kCFNumberTypeID: {
			const __CFNumber *n = as_number(cf, "CFPropertyListCreateXMLData");
			index = begin_object(32);
			if (n->kind == __CFNumber::Kind::Float) {
				put_double(0x23, n->d);
			} else if (n->kind == __CFNumber::Kind::Signed) {
				buf += char(0x13);
				put_be(uint64_t(n->i), 8);
			} else {
				buf += char(0x14);
				put_be(0, 8);
				put_be(n->u, 8);
			}
			return true;
		}
		case kCFDateTypeID: {
			// The XML form has whole seconds; the earlier second is the
			// one the time falls in.
			double t = std::floor(as_date(cf, "CFPropertyListCreateXMLData")->time);
			if (!(t >= kFirstDate && t < kEndDate)) {
				why = "date outside the years 1000 to 9999";
				return false;
			}
			index = begin_object(32);
			put_double(0x33, t);
			return true;
		}
		case kCFDataTypeID: {
			const std::string &bytes = as_data(cf, "CFPropertyListCreateXMLData")->bytes;
			index = begin_object(bytes.size() * 2);
			put_marker(0x40, bytes.size());
			buf += bytes;
			return true;
		}
		case kCFArrayTypeID: {
			const auto &values = as_array(cf, "CFPropertyListCreateXMLData")->values;
			std::vector<uint64_t> refs(values.size());
			for (size_t k = 0; k < values.size(); k++) {
				if (!object(values[k], refs[k], why))
					return false;
			}
			index = begin_object(0);
			put_marker(0xA0, refs.size());
			put_refs(refs);
			return true;
		}
		case kCFDictionaryTypeID:
			return dictionary(as_dictionary(cf, "CFPropertyListCreateXMLData"), index, why);
		default:
			why = "object that is no property-list type";
			return false;
		}
	}

	bool dictionary(const __CFDictionary *dict, uint64_t &index, std::string &why)
	{
		std::vector<std::pair<const __CFString *, const void *>> entries;
		entries.reserve(dict->entries.size());
		for (const auto &[key, value] : dict->entries) {
			if (cf_object(key)->type_id != kCFStringTypeID) {
				why = "dictionary key that is not a string";
				return false;
			}
			entries.emplace_back(static_cast<const __CFString *>(key), value);
		}
		// Dictionaries read from files written this way are in order.
		auto less = [](const auto &a, const auto &b) { return utf16_less(a.first->utf8, b.first->utf8); };
		if (!std::is_sorted(entries.begin(), entries.end(), less))
			std::sort(entries.begin(), entries.end(), less);
		std::vector<uint64_t> refs(entries.size() * 2);
		for (size_t k = 0; k < entries.size(); k++) {
			refs[k] = begin_object(entries[k].first->utf8.size());
			put_string(entries[k].first->utf8);
			if (!object(entries[k].second, refs[entries.size() + k], why))
				return false;
		}
		index = begin_object(0);
		put_marker(0xD0, entries.size());
		put_refs(refs);
		return true;
	}
};

}  // namespace

CFPropertyListRef parse_property_list(std::string_view bytes, std::string &why)
{
	if (bytes.size() > std::numeric_limits<uint32_t>::max()) {
		why = "property list too large";
		return nullptr;
	}
	const bool binary = plist_guard::is_binary(bytes);
	if (!binary && bytes.substr(0, 3) == "\xEF\xBB\xBF")
		bytes.remove_prefix(3);  // a byte-order mark, which libplist does not take
	if (const char *refused = binary ? plist_guard::check_binary(bytes) : plist_guard::check_xml(bytes)) {
		why = refused;
		return nullptr;
	}
	// XML readers see every line break as a line feed, and only a
	// character reference as a carriage return; libplist keeps them raw.
	std::string normalized;
	if (!binary && bytes.find('\r') != std::string_view::npos) {
		normalized.reserve(bytes.size());
		for (size_t k = 0; k < bytes.size(); k++) {
			if (bytes[k] != '\r')
				normalized += bytes[k];
			else if (k + 1 == bytes.size() || bytes[k + 1] != '\n')
				normalized += '\n';
		}
		bytes = normalized;
	}
	plist_t raw = nullptr;
	if (binary)
		plist_from_bin(bytes.data(), uint32_t(bytes.size()), &raw);
	else
		plist_from_xml(bytes.data(), uint32_t(bytes.size()), &raw);
	PlistPtr root(raw);
	if (!root) {
		why = "malformed property list";
		return nullptr;
	}
	Reading r{binary, {}};
	CFTypeRef result = from_node(root.get(), 0, r);
	why = result ? std::string() : r.why.empty() ? "out of memory" : r.why;
	return result;
}

}  // namespace compat

extern "C" {

CFPropertyListRef CFPropertyListCreateFromXMLData(CFAllocatorRef, CFDataRef xmlData, CFOptionFlags mutabilityOption,
						  CFStringRef *errorString)
{
	const std::string &bytes = compat::as_data(xmlData, "CFPropertyListCreateFromXMLData")->bytes;
	std::string why;
	CFPropertyListRef result = nullptr;
	if (mutabilityOption != kCFPropertyListImmutable)
		why = "only immutable property lists are supported";
	else
		result = compat::parse_property_list(bytes, why);
	if (errorString)
		*errorString = result ? nullptr : compat::make_string(why);
	return result;
}

CFDataRef CFPropertyListCreateXMLData(CFAllocatorRef, CFPropertyListRef propertyList)
{
	if (propertyList == nullptr)
		return nullptr;
	std::string bin, why;
	if (!compat::BinaryWriter().write(propertyList, bin, why))
		return nullptr;
	plist_t raw = nullptr;
	plist_from_bin(bin.data(), uint32_t(bin.size()), &raw);
	compat::PlistPtr root(raw);
	if (!root)
		return nullptr;
	bin = std::string();  // no longer needed: free it before the XML grows
	char *xml = nullptr;
	uint32_t len = 0;
	plist_to_xml(root.get(), &xml, &len);
	std::unique_ptr<char, decltype(&plist_to_xml_free)> owned(xml, &plist_to_xml_free);
	if (xml == nullptr)
		return nullptr;
	// A carriage return in text would reach other XML readers as a line
	// feed; as a character reference it stays what it is.  libplist
	// itself ends its lines with line feeds only.
	std::string out(xml, len);
	if (out.find('\r') != std::string::npos) {
		std::string escaped;
		escaped.reserve(out.size() + 64);
		for (char c : out) {
			if (c == '\r')
				escaped += "&#13;";
			else
				escaped += c;
		}
		out = std::move(escaped);
	}
	return compat::make_data(std::move(out));
}

}  // extern "C"
