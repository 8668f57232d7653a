// The checks behind cf_plist_guard.h.  The XML check walks the document
// the way a property-list reader does, without building anything: the
// elements and their nesting, the text of each value, the entities.  The
// binary check walks the object graph from the top object.
#include "cf_plist_guard.h"

#include "cf_types.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace compat::plist_guard {
namespace {

bool is_space(char c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool is_digit(char c)
{
	return c >= '0' && c <= '9';
}

std::string_view trim(std::string_view t)
{
	while (!t.empty() && is_space(t.front()))
		t.remove_prefix(1);
	while (!t.empty() && is_space(t.back()))
		t.remove_suffix(1);
	return t;
}

// Decimal, with an optional sign, no leading zeros, in the range from
// -2^63 to 2^64 - 1.
bool is_integer(std::string_view t)
{
	t = trim(t);
	bool negative = false;
	if (!t.empty() && (t[0] == '-' || t[0] == '+')) {
		negative = t[0] == '-';
		t.remove_prefix(1);
	}
	if (t.empty() || t.size() > 20 || (t[0] == '0' && t.size() > 1))
		return false;
	for (char c : t) {
		if (!is_digit(c))
			return false;
	}
	std::string_view limit = negative ? "9223372036854775808" : "18446744073709551615";
	return t.size() < limit.size() || (t.size() == limit.size() && t <= limit);
}

bool equals_nocase(std::string_view a, std::string_view b)
{
	if (a.size() != b.size())
		return false;
	for (size_t i = 0; i < a.size(); i++) {
		if ((a[i] | 0x20) != b[i])
			return false;
	}
	return true;
}

// Decimal with an optional fraction and exponent, or infinity or nan.
bool is_real(std::string_view t)
{
	t = trim(t);
	if (!t.empty() && (t[0] == '-' || t[0] == '+'))
		t.remove_prefix(1);
	if (equals_nocase(t, "inf") || equals_nocase(t, "infinity") || equals_nocase(t, "nan"))
		return true;
	size_t i = 0, digits = 0;
	for (; i < t.size() && is_digit(t[i]); i++)
		digits++;
	if (i < t.size() && t[i] == '.') {
		for (i++; i < t.size() && is_digit(t[i]); i++)
			digits++;
	}
	if (digits == 0)
		return false;
	if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
		i++;
		if (i < t.size() && (t[i] == '-' || t[i] == '+'))
			i++;
		size_t exp_digits = 0;
		for (; i < t.size() && is_digit(t[i]); i++)
			exp_digits++;
		if (exp_digits == 0)
			return false;
	}
	return i == t.size();
}

// YYYY-MM-DDTHH:MM:SSZ, a real day of the Gregorian calendar.
bool is_date(std::string_view t)
{
	static constexpr std::string_view shape = "dddd-dd-ddTdd:dd:ddZ";
	if (t.size() != shape.size())
		return false;
	for (size_t i = 0; i < t.size(); i++) {
		if (shape[i] == 'd' ? !is_digit(t[i]) : t[i] != shape[i])
			return false;
	}
	auto num = [&](size_t at, size_t len) {
		int v = 0;
		for (size_t i = at; i < at + len; i++)
			v = v * 10 + (t[i] - '0');
		return v;
	};
	const int year = num(0, 4), month = num(5, 2), day = num(8, 2);
	static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
	if (year < 1 || month < 1 || month > 12 || day < 1)
		return false;
	const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
	if (day > days[month - 1] + (month == 2 && leap))
		return false;
	return num(11, 2) < 24 && num(14, 2) < 60 && num(17, 2) < 60;
}

// Base64 with whitespace anywhere and padding only at the end.
bool is_base64(std::string_view t)
{
	size_t significant = 0, padding = 0;
	for (char c : t) {
		if (is_space(c))
			continue;
		bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || is_digit(c) || c == '+' || c == '/';
		if (c == '=') {
			padding++;
		} else if (!alphabet || padding > 0) {
			return false;
		}
		significant++;
	}
	return padding <= 2 && significant % 4 == 0;
}

class XmlCheck {
public:
	explicit XmlCheck(std::string_view text) : s(text) {}

	const char *run()
	{
		if (s.find('\0') != std::string_view::npos)
			return "NUL character in the document";
		if (!is_valid_utf8(s))
			return "document is not valid UTF-8";
		if (!prolog())
			return why;
		if (starts("<plist") && s.size() > i + 6 && (is_space(s[i + 6]) || s[i + 6] == '>')) {
			if (!plist_tag() || !misc() || !value(0) || !misc() || !close_tag("plist"))
				return why;
		} else if (!value(0)) {
			return why;
		}
		if (!misc())
			return why;
		return i == s.size() ? nullptr : "content after the property list";
	}

private:
	std::string_view s;
	size_t i = 0;
	const char *why = nullptr;

	bool fail(const char *reason)
	{
		if (why == nullptr)
			why = reason;
		return false;
	}
	bool starts(std::string_view t) const { return s.substr(i, t.size()) == t; }
	bool skip_past(std::string_view t)
	{
		size_t at = s.find(t, i);
		if (at == std::string_view::npos)
			return false;
		i = at + t.size();
		return true;
	}
	void spaces()
	{
		while (i < s.size() && is_space(s[i]))
			i++;
	}

	// Whitespace, comments and processing instructions.
	bool misc()
	{
		for (;;) {
			spaces();
			if (starts("<!--")) {
				i += 4;
				if (!skip_past("-->"))
					return fail("unterminated comment");
			} else if (starts("<?")) {
				i += 2;
				if (!skip_past("?>"))
					return fail("unterminated processing instruction");
			} else {
				return true;
			}
		}
	}

	bool prolog()
	{
		for (;;) {
			if (!misc())
				return false;
			if (!starts("<!DOCTYPE"))
				return true;
			size_t end = s.find('>', i);
			if (end == std::string_view::npos)
				return fail("unterminated document type");
			if (s.substr(i, end - i).find('[') != std::string_view::npos)
				return fail("document type with declarations of its own");
			i = end + 1;
		}
	}

	bool plist_tag()
	{
		size_t end = s.find('>', i);
		if (end == std::string_view::npos)
			return fail("unterminated plist tag");
		std::string_view attributes = s.substr(i + 6, end - i - 6);
		if (!attributes.empty() && attributes.back() == '/')
			return fail("empty plist element");
		size_t quotes = 0;
		for (char c : attributes) {
			if (c == '<')
				return fail("malformed plist tag");
			quotes += c == '"';
		}
		if (quotes % 2 != 0)
			return fail("malformed plist tag");
		i = end + 1;
		return true;
	}

	// "<name>" or "<name/>", blanks allowed before the end, no attributes.
	bool open_tag(std::string_view &name, bool &empty)
	{
		if (!starts("<"))
			return fail("text where an element belongs");
		size_t begin = ++i;
		while (i < s.size() && ((s[i] >= 'a' && s[i] <= 'z') || (s[i] >= 'A' && s[i] <= 'Z')))
			i++;
		name = s.substr(begin, i - begin);
		spaces();
		empty = starts("/>");
		if (empty || starts(">")) {
			i += empty ? 2 : 1;
			return true;
		}
		return fail("malformed tag");
	}

	bool close_tag(std::string_view name)
	{
		if (!starts("</") || s.substr(i + 2, name.size()) != name)
			return fail("mismatched closing tag");
		i += 2 + name.size();
		spaces();
		if (!starts(">"))
			return fail("mismatched closing tag");
		i++;
		return true;
	}

	bool value(size_t depth)
	{
		std::string_view name;
		bool empty;
		if (!open_tag(name, empty))
			return false;
		if (name == "dict" || name == "array") {
			if (depth + 1 > kMaxDepth)
				return fail("containers nested too deeply");
			return empty || (name == "dict" ? dict_body(depth + 1) : array_body(depth + 1));
		}
		if (name == "string")
			return empty || text("string");
		if (name == "true" || name == "false")
			return empty || close_tag(name);
		if (name == "data")
			return empty || scalar(name, is_base64);
		if (name == "integer" && !empty)
			return scalar(name, is_integer);
		if (name == "real" && !empty)
			return scalar(name, is_real);
		if (name == "date" && !empty)
			return scalar(name, is_date);
		return fail(name == "key" ? "key outside a dictionary" : "unknown or empty element");
	}

	bool dict_body(size_t depth)
	{
		for (;;) {
			if (!misc())
				return false;
			if (starts("</"))
				return close_tag("dict");
			std::string_view name;
			bool empty;
			if (!open_tag(name, empty))
				return false;
			if (name != "key")
				return fail("dictionary value without a key");
			if ((!empty && !text("key")) || !misc())
				return false;
			if (starts("</"))
				return fail("dictionary key without a value");
			if (!value(depth))
				return false;
		}
	}

	bool array_body(size_t depth)
	{
		for (;;) {
			if (!misc())
				return false;
			if (starts("</"))
				return close_tag("array");
			if (!value(depth))
				return false;
		}
	}

	// Character data of a string or key: text, entities, comments and
	// CDATA sections, up to the closing tag.
	bool text(std::string_view name)
	{
		for (;;) {
			size_t at = s.find_first_of("<&", i);
			if (at == std::string_view::npos)
				return fail("unterminated text");
			i = at;
			if (s[i] == '&') {
				if (!entity())
					return false;
			} else if (starts("<!--")) {
				i += 4;
				if (!skip_past("-->"))
					return fail("unterminated comment");
			} else if (starts("<![CDATA[")) {
				i += 9;
				if (!skip_past("]]>"))
					return fail("unterminated CDATA section");
			} else {
				return close_tag(name);
			}
		}
	}

	// The five predefined entities and character references to
	// characters other than NUL.
	bool entity()
	{
		size_t end = s.find(';', i);
		if (end == std::string_view::npos || end - i > 12)
			return fail("malformed entity");
		std::string_view e = s.substr(i + 1, end - i - 1);
		i = end + 1;
		if (e == "lt" || e == "gt" || e == "amp" || e == "quot" || e == "apos")
			return true;
		if (e.size() < 2 || e[0] != '#')
			return fail("unknown entity");
		const bool hex = e[1] == 'x';
		std::string_view digits = e.substr(hex ? 2 : 1);
		if (digits.empty())
			return fail("malformed character reference");
		uint32_t cp = 0;
		for (char c : digits) {
			int d = is_digit(c) ? c - '0'
				: hex && (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10
										   : -1;
			if (d < 0)
				return fail("malformed character reference");
			cp = cp * (hex ? 16 : 10) + uint32_t(d);
			if (cp > 0x10FFFF)
				return fail("character reference out of range");
		}
		if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF))
			return fail("character reference out of range");
		return true;
	}

	// The plain text of an integer, real, date or data element.
	bool scalar(std::string_view name, bool (*valid)(std::string_view))
	{
		size_t end = s.find('<', i);
		if (end == std::string_view::npos)
			return fail("unterminated element");
		std::string_view t = s.substr(i, end - i);
		i = end;
		if (!valid(t))
			return fail("malformed value");
		return close_tag(name);
	}
};

// --- binary form ---

uint64_t read_be(const uint8_t *p, size_t n)
{
	uint64_t v = 0;
	for (size_t k = 0; k < n; k++)
		v = (v << 8) | p[k];
	return v;
}

class BinaryCheck {
public:
	explicit BinaryCheck(std::string_view bytes)
		: b(reinterpret_cast<const uint8_t *>(bytes.data())), n(bytes.size())
	{
	}

	const char *run()
	{
		if (n < 8 + 32)
			return "truncated binary property list";
		const uint8_t *trailer = b + n - 32;
		offset_size = trailer[6];
		ref_size = trailer[7];
		count = read_be(trailer + 8, 8);
		const uint64_t top = read_be(trailer + 16, 8);
		table = read_be(trailer + 24, 8);
		if (offset_size < 1 || offset_size > 8 || ref_size < 1 || ref_size > 8)
			return "malformed trailer";
		if (count == 0 || top >= count || table < 8 || table > n - 32 ||
		    count > (n - 32 - table) / offset_size)
			return "malformed trailer";
		offsets.resize(count);
		for (uint64_t k = 0; k < count; k++) {
			offsets[k] = read_be(b + table + k * offset_size, offset_size);
			if (offsets[k] < 8 || offsets[k] >= table)
				return "object offset out of range";
		}
		return walk(top);
	}

private:
	const uint8_t *b;
	const size_t n;
	size_t offset_size = 0, ref_size = 0;
	uint64_t count = 0, table = 0;
	std::vector<uint64_t> offsets;

	struct Object {
		uint8_t kind = 0;          // high nibble of the marker
		uint64_t refs_at = 0;      // containers: where the references start
		uint64_t children = 0;     // containers: how many references
	};

	// Reads the length that follows a marker whose low nibble is 0xF.
	bool length(uint64_t &at, uint64_t &len) const
	{
		if (at >= table)
			return false;
		uint8_t marker = b[at++];
		if ((marker & 0xF0) != 0x10 || (marker & 0x0F) > 3)
			return false;
		size_t size = size_t(1) << (marker & 0x0F);
		if (size > table - at)
			return false;
		len = read_be(b + at, size);
		at += size;
		return true;
	}

	// Decodes and checks the object k; false when it is malformed.
	bool object(uint64_t k, Object &o) const
	{
		uint64_t at = offsets[k];
		const uint8_t marker = b[at++];
		o.kind = marker >> 4;
		uint64_t info = marker & 0x0F;
		auto fits = [&](uint64_t size) { return size <= table - at; };
		switch (o.kind) {
		case 0x0:
			return marker == 0x08 || marker == 0x09;
		case 0x1:
			if (info > 4 || !fits(uint64_t(1) << info))
				return false;
			// 16 bytes carry an unsigned value above the signed range.
			return info < 4 || read_be(b + at, 8) == 0;
		case 0x2:
			return (info == 2 || info == 3) && fits(uint64_t(1) << info);
		case 0x3:
			return info == 3 && fits(8);
		case 0x8:
			return info < 8 && fits(info + 1);
		default:
			break;
		}
		if (info == 0x0F && !length(at, info))
			return false;
		switch (o.kind) {
		case 0x4:
			return fits(info);
		case 0x5:
			if (!fits(info))
				return false;
			for (uint64_t c = 0; c < info; c++) {
				if (b[at + c] == 0 || b[at + c] >= 0x80)
					return false;
			}
			return true;
		case 0x6:
			return info <= (table - at) / 2 && utf16_ok(at, info);
		case 0xA:
		case 0xD: {
			const uint64_t refs = o.kind == 0xD ? 2 : 1;
			if (info > (table - at) / ref_size / refs)
				return false;
			o.refs_at = at;
			o.children = info * refs;
			return true;
		}
		default:
			return false;  // sets, fills, nulls and unknown markers
		}
	}

	bool utf16_ok(uint64_t at, uint64_t units) const
	{
		for (uint64_t c = 0; c < units; c++) {
			uint16_t u = uint16_t(read_be(b + at + 2 * c, 2));
			if (u == 0 || (u >= 0xDC00 && u <= 0xDFFF))
				return false;
			if (u >= 0xD800 && u <= 0xDBFF) {
				if (++c == units)
					return false;
				uint16_t low = uint16_t(read_be(b + at + 2 * c, 2));
				if (low < 0xDC00 || low > 0xDFFF)
					return false;
			}
		}
		return true;
	}

	// Depth-first from the top object, without recursion: every reference
	// in range, no object inside itself, dictionary keys strings, and the
	// expanded tree within its bounds of depth and size.
	const char *walk(uint64_t top)
	{
		enum : uint8_t { Unseen, Open, Done };
		std::vector<uint8_t> state(count, Unseen);
		std::vector<uint64_t> size(count, 0);    // values in the expanded subtree
		std::vector<uint32_t> height(count, 0);  // container levels in it
		const uint64_t max_values = std::max(kMaxExpandedValues, count);

		struct Frame {
			uint64_t k;
			Object o;
			uint64_t next = 0;  // next reference to visit
			uint64_t values = 1;
			uint32_t levels = 0;
		};
		std::vector<Frame> stack;
		auto enter = [&](uint64_t k) -> const char * {
			Frame f{k, {}};
			if (!object(k, f.o))
				return "malformed object";
			state[k] = Open;
			if (f.o.kind != 0xA && f.o.kind != 0xD) {
				state[k] = Done;
				size[k] = 1;
				return nullptr;
			}
			if (stack.size() + 1 > kMaxDepth)
				return "containers nested too deeply";
			stack.push_back(f);
			return nullptr;
		};
		if (const char *err = enter(top))
			return err;
		while (!stack.empty()) {
			Frame &f = stack.back();
			if (f.next == f.o.children) {
				size[f.k] = f.values;
				height[f.k] = f.levels + 1;
				state[f.k] = Done;
				stack.pop_back();
				if (!stack.empty()) {
					Frame &parent = stack.back();
					parent.values += size[f.k];
					parent.levels = std::max(parent.levels, height[f.k]);
					if (parent.values > max_values)
						return "too many shared objects";
				}
				continue;
			}
			const uint64_t ref = read_be(b + f.o.refs_at + f.next * ref_size, ref_size);
			const bool is_key = f.o.kind == 0xD && f.next < f.o.children / 2;
			f.next++;
			if (ref >= count)
				return "object reference out of range";
			if (is_key) {
				uint8_t marker = b[offsets[ref]];
				if ((marker >> 4) != 0x5 && (marker >> 4) != 0x6)
					return "dictionary key that is not a string";
			}
			if (state[ref] == Open)
				return "object inside itself";
			if (state[ref] == Done) {
				f.values += size[ref];
				f.levels = std::max(f.levels, height[ref]);
				if (f.values > max_values)
					return "too many shared objects";
				if (stack.size() + height[ref] > kMaxDepth)
					return "containers nested too deeply";
				continue;
			}
			uint64_t pushed = stack.size();
			if (const char *err = enter(ref))
				return err;
			if (stack.size() == pushed) {  // a scalar, done at once
				Frame &same = stack.back();
				same.values += 1;
				if (same.values > max_values)
					return "too many shared objects";
			}
		}
		return nullptr;
	}
};

}  // namespace

const char *check_xml(std::string_view bytes)
{
	return XmlCheck(bytes).run();
}

const char *check_binary(std::string_view bytes)
{
	return BinaryCheck(bytes).run();
}

}  // namespace compat::plist_guard
