// The XML form, read as the platform's reader reads it: one pass over the
// text, no document tree.  Where that reader takes a file differently from
// what its text says (a date it would move to another day, base64 it would
// cut short, a CF$UID it would truncate, a '>' inside an attribute value),
// the file is refused instead.
//
// The reader is made of parts, each built on the one before: the markup
// around values (white space, comments, processing instructions, the
// document type, tags); the character data of elements (entities,
// character references, CDATA sections); plain functions for the texts of
// data, real and date elements, then the values of all elements that hold
// text; and last the document and its containers.
#include "cf_plist.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace compat {
namespace {

bool is_space(char c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool is_digit(char c)
{
	return c >= '0' && c <= '9';
}

int digit_value(char c, bool hex)
{
	return hex ? hex_value(c) : is_digit(c) ? c - '0' : -1;
}

// The element names of the form.
enum class Tag { Plist, Array, Dict, Key, String, Data, Date, Real, Integer, True, False, Unknown };

Tag tag_named(std::string_view name)
{
	static const struct {
		const char *name;
		Tag tag;
	} tags[] = {
		{"plist", Tag::Plist}, {"array", Tag::Array}, {"dict", Tag::Dict},       {"key", Tag::Key},
		{"string", Tag::String}, {"data", Tag::Data}, {"date", Tag::Date},       {"real", Tag::Real},
		{"integer", Tag::Integer}, {"true", Tag::True}, {"false", Tag::False},
	};
	for (const auto &t : tags) {
		if (name == t.name)
			return t.tag;
	}
	return Tag::Unknown;
}

// The markup around values: white space, comments, processing
// instructions, the document type, and tags.
class XmlMarkup : protected TextReader {
public:
	explicit XmlMarkup(std::string_view text) : TextReader(text) {}

protected:
	bool failed(const char *reason)
	{
		fail(reason);
		return false;
	}
	void spaces()
	{
		while (i < s.size() && is_space(s[i]))
			i++;
	}
	// Past the first t that begins at least from characters on.
	bool skip_past(std::string_view t, size_t from, const char *reason)
	{
		size_t at = s.find(t, i + from);
		if (at == std::string_view::npos)
			return failed(reason);
		i = at + t.size();
		return true;
	}

	// Where the platform looks for the end of a comment or a processing
	// instruction: before the document's element and in a document type,
	// after "<!--" and "<?"; between values, from the second '-' and from
	// the '?'.  So "<!-->" closes nothing, and between values "<!--->" and
	// "<?>" close themselves.
	struct Skips {
		size_t comment, instruction;
	};
	static constexpr Skips kInProlog{4, 2}, kInContent{3, 1};

	// A comment or a processing instruction, skipped.
	enum class Markup { None, Skipped, Error };
	Markup comment_or_instruction(Skips skips)
	{
		bool ok;
		if (starts("<!--"))
			ok = skip_past("-->", skips.comment, "unterminated comment");
		else if (starts("<?"))
			ok = skip_past("?>", skips.instruction, "unterminated processing instruction");
		else
			return Markup::None;
		return ok ? Markup::Skipped : Markup::Error;
	}

	// Comments, processing instructions and document types before the
	// first element; true at that element's '<'.
	bool prolog()
	{
		for (;;) {
			spaces();
			if (i + 1 >= s.size())
				return failed("no XML content");
			if (s[i] != '<')
				return failed("text where an element belongs");
			const Markup markup = comment_or_instruction(kInProlog);
			if (markup == Markup::Error)
				return false;
			if (markup == Markup::Skipped)
				continue;
			if (!starts("<!"))
				return true;
			i += 2;
			if (!doctype())
				return false;
		}
	}

	// After "<!": a document type, its internal declarations skipped.
	bool doctype()
	{
		if (!starts("DOCTYPE"))
			return failed("malformed document type");
		i += 7;
		while (i < s.size() && s[i] != '[' && s[i] != '>')
			i++;
		if (i == s.size())
			return failed("unterminated document type");
		if (s[i++] == '>')
			return true;
		return internal_subset();
	}

	// After '[': the internal declarations, up to "]>".
	bool internal_subset()
	{
		for (;;) {
			spaces();
			if (i >= s.size())
				return failed("unterminated document type");
			if (s[i] == ']') {
				i++;
				spaces();
				if (i < s.size() && s[i] == '>') {
					i++;
					return true;
				}
				return failed("malformed document type");
			}
			const Markup markup = comment_or_instruction(kInProlog);
			if (markup == Markup::Error)
				return false;
			if (markup == Markup::Skipped)
				continue;
			if (s[i] != '%' && !starts("<!"))
				return failed("malformed document type");
			// A parameter entity reference or a declaration.
			if (!skip_past(s[i] == '%' ? ";" : ">", 0, "unterminated document type"))
				return false;
		}
	}

	// What comes next inside a container.
	enum class Next { StartTag, CloseTag, Error };

	// Past white space, comments and processing instructions to the next
	// tag inside a container.
	Next next_tag()
	{
		for (;;) {
			spaces();
			if (i >= s.size())
				return fail("unterminated element"), Next::Error;
			if (s[i] != '<')
				return fail("text where an element belongs"), Next::Error;
			if (starts("</"))
				return Next::CloseTag;
			const Markup markup = comment_or_instruction(kInContent);
			if (markup == Markup::Error)
				return Next::Error;
			if (markup == Markup::Skipped)
				continue;
			if (starts("<!"))
				return fail("malformed comment"), Next::Error;
			return Next::StartTag;
		}
	}

	// A start tag: the element's name, and whether the tag ends in "/>".
	struct StartTag {
		std::string_view name;
		Tag tag;
		bool empty;
	};

	// After '<': the tag up to its '>', attributes ignored, as the
	// platform ignores them.
	bool start_tag(StartTag &t)
	{
		const size_t begin = i;
		size_t name_end = std::string_view::npos;
		char quote = 0;
		for (; i < s.size() && s[i] != '>'; i++) {
			if (is_space(s[i]) && name_end == std::string_view::npos)
				name_end = i;
			if (name_end != std::string_view::npos && (s[i] == '"' || s[i] == '\''))
				quote = quote == 0 ? s[i] : quote == s[i] ? 0 : quote;
		}
		if (i >= s.size())
			return failed("unterminated tag");
		// The platform ends the tag at the first '>', even one quoted
		// in an attribute value, and would read the rest as content.
		if (quote != 0)
			return failed("'>' inside an attribute value");
		t.empty = s[i - 1] == '/';
		if (name_end == std::string_view::npos)
			name_end = t.empty ? i - 1 : i;
		i++;
		t.name = s.substr(begin, name_end - begin);
		if (t.name.empty())
			return failed("malformed tag");
		t.tag = tag_named(t.name);
		return true;
	}

	// "</name>", white space allowed before the '>'.
	bool close_tag(std::string_view name)
	{
		if (!starts("</") || s.substr(i + 2, name.size()) != name)
			return failed("mismatched closing tag");
		i += 2 + name.size();
		spaces();
		if (i >= s.size() || s[i] != '>')
			return failed("mismatched closing tag");
		i++;
		return true;
	}
};

// The character data of an element, decoded.
class XmlCharacterData : protected XmlMarkup {
public:
	using XmlMarkup::XmlMarkup;

protected:
	std::string text_buf;  // the text of one element, when entities or CDATA need a copy

	// The character data of a string or key up to its closing tag: text,
	// the five entities, character references and CDATA sections.  Line
	// breaks are kept as they are.  t points into the document when it
	// can, else into text_buf.
	bool text(std::string_view &t)
	{
		const size_t at = s.find_first_of("<&", i);
		if (at != std::string_view::npos && s[at] == '<' && s.substr(at, 2) != "<!") {
			t = s.substr(i, at - i);
			i = at;
			return true;
		}
		if (!decoded_text())
			return false;
		t = text_buf;
		return true;
	}

	// Text with entities or CDATA sections, decoded into text_buf.
	bool decoded_text()
	{
		text_buf.clear();
		for (;;) {
			const size_t at = s.find_first_of("<&", i);
			if (at == std::string_view::npos)
				return failed("unterminated text");
			text_buf.append(s.data() + i, at - i);
			i = at;
			if (s[i] == '&') {
				if (!entity())
					return false;
			} else if (starts("<!")) {
				if (!cdata_section())
					return false;
			} else {
				return true;
			}
		}
	}

	// At "<!": a CDATA section, its text kept as it is.  Any other "<!", a
	// comment too, is an error there, as the platform takes every "<!" in
	// text for the start of a CDATA section.
	bool cdata_section()
	{
		if (!starts("<![CDATA["))
			return failed("malformed CDATA section");
		i += 9;
		const size_t end = s.find("]]>", i);
		if (end == std::string_view::npos)
			return failed("unterminated CDATA section");
		text_buf.append(s.data() + i, end - i);
		i = end + 3;
		return true;
	}

	// At '&': one of the five entities or a character reference.
	bool entity()
	{
		static const struct {
			const char *name;
			char c;
		} entities[] = {{"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&apos;", '\''}, {"&quot;", '"'}};
		for (const auto &e : entities) {
			if (starts(e.name)) {
				text_buf += e.c;
				i += strlen(e.name);
				return true;
			}
		}
		if (!starts("&#"))
			return failed("unknown entity");
		i += 2;
		return character_reference();
	}

	// After "&#": at most eight digits, decimal or hexadecimal after 'x',
	// to a character other than NUL (which our strings cannot hold) or a
	// surrogate (which the platform refuses).
	bool character_reference()
	{
		const bool hex = i < s.size() && s[i] == 'x';
		i += hex;
		uint32_t cp = 0;
		size_t digits = 0;
		for (; i < s.size() && s[i] != ';'; i++, digits++) {
			const int d = digit_value(s[i], hex);
			if (d < 0 || digits == 8)
				return failed("malformed character reference");
			cp = cp * (hex ? 16 : 10) + uint32_t(d);
		}
		if (i == s.size())
			return failed("malformed character reference");
		i++;
		if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
			return failed("character reference out of range");
		append_utf8(text_buf, cp);
		return true;
	}
};

// The value of a base64 character, or -1.
int base64_value(unsigned char c)
{
	if (c >= 'A' && c <= 'Z')
		return c - 'A';
	if (c >= 'a' && c <= 'z')
		return c - 'a' + 26;
	if (is_digit(char(c)))
		return c - '0' + 52;
	return c == '+' ? 62 : c == '/' ? 63 : -1;
}

// The bytes of a whole group of four base64 characters, less one for each
// '=' it ends with.
void append_group(std::string &bytes, uint32_t acc, unsigned padding)
{
	acc <<= 6 * padding;
	bytes += char(acc >> 16);
	if (padding < 2)
		bytes += char(acc >> 8);
	if (padding < 1)
		bytes += char(acc);
}

// Characters outside the alphabet are skipped, as the platform skips them;
// what it would decode into other bytes than the text says is refused: a
// group cut short at the end, '=' anywhere but at the end of a group, and
// anything but white space or '=' after a group's first '='.  Null, or why
// the text is refused.
const char *decode_base64(std::string_view text, std::string &bytes)
{
	uint32_t acc = 0;
	unsigned in_group = 0, padding = 0;
	for (const char ch : text) {
		const auto c = static_cast<unsigned char>(ch);
		if (c >= 0x80)
			return "data element with a character outside ASCII";
		if (c == '=') {
			if (in_group < 2)
				return "malformed base64";
			padding++;
		} else if (base64_value(c) >= 0) {
			if (padding > 0)
				return "malformed base64";
			acc = acc << 6 | uint32_t(base64_value(c));
		} else if (padding > 0 && !(c == ' ' || (c >= '\t' && c <= '\r'))) {
			return "malformed base64";
		} else {
			continue;
		}
		if (++in_group == 4) {
			append_group(bytes, acc, padding);
			acc = 0;
			in_group = padding = 0;
		}
	}
	return in_group != 0 ? "malformed base64" : nullptr;
}

bool special_real(std::string_view t, double &value)
{
	static const struct {
		const char *name;
		double value;
	} names[] = {
		{"nan", NAN},       {"+infinity", INFINITY}, {"-infinity", -INFINITY}, {"infinity", INFINITY},
		{"-inf", -INFINITY}, {"inf", INFINITY},       {"+inf", INFINITY},
	};
	for (const auto &n : names) {
		if (t.size() == strlen(n.name) && strncasecmp(t.data(), n.name, t.size()) == 0) {
			value = n.value;
			return true;
		}
	}
	return false;
}

// Nan or infinity in any case, or what strtod reads of the characters of a
// decimal number (digits, signs, point and exponent), all of them; white
// space only before it.
bool real_from_text(std::string_view t, double &value)
{
	if (special_real(t, value))
		return true;
	while (!t.empty() && (t[0] == ' ' || (t[0] >= '\t' && t[0] <= '\r')))
		t.remove_prefix(1);
	const std::string number(t);
	char *end = nullptr;
	if (number.empty() || number.find_first_not_of("0123456789+-.eE") != std::string::npos)
		return false;
	value = strtod(number.c_str(), &end);
	return end == number.c_str() + number.size();
}

// A date's fields as its text gives them.
struct DateTime {
	int64_t year;
	int month, day, hour, minute, second;
};

bool is_leap(int64_t y)
{
	return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int64_t days_from_civil(int64_t y, unsigned m, unsigned d)
{
	y -= m <= 2;
	const int64_t era = (y >= 0 ? y : y - 399) / 400;
	const auto yoe = unsigned(y - era * 400);
	const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
	const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
	return era * 146097 + int64_t(doe) - 719468;
}

// A real day and time of the Gregorian calendar (the platform would carry
// 31 April over into May).  A second of 60 is the next minute's first, as
// the platform reads it: its writer writes one for a time a hair before a
// whole minute.
bool is_real_day_and_time(const DateTime &t)
{
	static const int month_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
	return t.month >= 1 && t.month <= 12 && t.day >= 1 &&
	       t.day <= month_days[t.month - 1] + (t.month == 2 && is_leap(t.year)) && t.hour <= 23 &&
	       t.minute <= 59 && t.second <= 60;
}

// Seconds from the origin of CF's dates.
int64_t seconds_since_2001(const DateTime &t)
{
	return days_from_civil(t.year, unsigned(t.month), unsigned(t.day)) * 86400 + t.hour * 3600 + t.minute * 60 +
	       t.second - kSecondsFrom1970To2001;
}

// The values of the elements that hold text or nothing: strings and
// keys, data, dates, reals, integers and booleans.
class XmlScalars : protected XmlCharacterData {
public:
	using XmlCharacterData::XmlCharacterData;

protected:
	// The value of an element that holds text or nothing.
	CFTypeRef scalar(const StartTag &t)
	{
		switch (t.tag) {
		case Tag::Key:
		case Tag::String:
			return t.empty ? made(make_string(std::string())) : string(t.name);
		case Tag::Data:
			return t.empty ? fail("empty data element") : data();
		case Tag::Date:
			return t.empty ? fail("empty date element") : date();
		case Tag::Real:
			return t.empty ? fail("empty real element") : real();
		case Tag::Integer:
			return t.empty ? fail("empty integer element") : integer();
		case Tag::True:
		case Tag::False:
			if (!t.empty && !close_tag(t.name))
				return nullptr;
			return boolean(t.tag == Tag::True);
		default:
			return fail("unknown element");
		}
	}

	// The text of a string or key up to its closing tag.
	CFTypeRef string(std::string_view name)
	{
		std::string_view t;
		if (!text(t) || !close_tag(name))
			return nullptr;
		return made(make_string(t));
	}

	// Base64 up to the closing tag.
	CFTypeRef data()
	{
		const size_t end = s.find('<', i);
		if (end == std::string_view::npos)
			return fail("unterminated data element");
		std::string bytes;
		bytes.reserve((end - i) / 4 * 3);
		if (const char *reason = decode_base64(s.substr(i, end - i), bytes))
			return fail(reason);
		i = end;
		if (!close_tag("data"))
			return nullptr;
		return made(make_data(std::move(bytes)));
	}

	// A real day and time, written [-]Y...-MM-DDTHH:MM:SSZ.
	CFTypeRef date()
	{
		DateTime t;
		if (!date_fields(t))
			return nullptr;
		if (!is_real_day_and_time(t))
			return fail("date that is no real day and time");
		const int64_t seconds = seconds_since_2001(t);
		if (std::fabs(double(seconds)) >= kMaxDateSeconds)
			return fail("date out of range");
		if (!close_tag("date"))
			return nullptr;
		return made(make_date(double(seconds)));
	}

	// [-]Y...-MM-DDTHH:MM:SSZ: any number of year digits, then two for
	// each other field.
	bool date_fields(DateTime &t)
	{
		const bool negative = i < s.size() && s[i] == '-';
		i += negative;
		int64_t year = 0;
		size_t digits = 0;
		for (; i < s.size() && is_digit(s[i]); i++, digits++) {
			if (digits == 10)
				return failed("date out of range");
			year = year * 10 + (s[i] - '0');
		}
		t.year = negative ? -year : year;
		if (!(digits > 0 && i < s.size() && s[i++] == '-') || !two_digits_then('-', t.month) ||
		    !two_digits_then('T', t.day) || !two_digits_then(':', t.hour) || !two_digits_then(':', t.minute) ||
		    !two_digits_then('Z', t.second))
			return failed("malformed date");
		return true;
	}

	bool two_digits_then(char next, int &value)
	{
		const bool ok = i + 2 < s.size() && is_digit(s[i]) && is_digit(s[i + 1]) && s[i + 2] == next;
		if (ok)
			value = (s[i] - '0') * 10 + (s[i + 1] - '0');
		i += 3;
		return ok;
	}

	// Text as in a string, then a number as real_from_text reads it.
	CFTypeRef real()
	{
		std::string_view t;
		if (!text(t) || !close_tag("real"))
			return nullptr;
		double value;
		if (!real_from_text(t, value))
			return fail("malformed real");
		return made(make_float(value));
	}

	// Decimal, or hexadecimal after 0x, with a sign and leading zeros
	// allowed, and nothing between the last digit and the closing tag.
	CFTypeRef integer()
	{
		const bool negative = integer_sign();
		const bool hex = hex_prefix();
		uint64_t value = 0;
		if (!integer_digits(hex, negative, value) || !close_tag("integer"))
			return nullptr;
		return made(negative ? make_signed(int64_t(0 - value)) : make_unsigned(value));
	}

	// A sign, white space allowed before and after it; true for '-'.
	bool integer_sign()
	{
		skip_leading_space();
		if (i >= s.size() || (s[i] != '-' && s[i] != '+'))
			return false;
		const bool negative = s[i] == '-';
		i++;
		skip_leading_space();
		return negative;
	}

	// The white space an integer may start with, as the platform sees it:
	// controls, space, and the Unicode spaces it knows.
	size_t leading_space(size_t at) const
	{
		const auto c = static_cast<unsigned char>(s[at]);
		if (c < 0x21 || c == 0x7F)
			return 1;
		if (c == 0xC2 && at + 1 < s.size() && static_cast<unsigned char>(s[at + 1]) <= 0xA0)
			return 2;  // U+0080 to U+00A0
		if (at + 2 < s.size()) {
			const std::string_view three = s.substr(at, 3);
			if (three == "\u3000" || three == "\u202F" || three == "\u205F" ||
			    (three.substr(0, 2) == "\xE2\x80" && static_cast<unsigned char>(three[2]) <= 0x8B))
				return 3;  // U+3000, U+202F, U+205F, U+2000 to U+200B
		}
		return 0;
	}

	void skip_leading_space()
	{
		while (i < s.size()) {
			size_t n = leading_space(i);
			if (n == 0)
				return;
			i += n;
		}
	}

	bool hex_prefix()
	{
		if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
			i += 2;
			return true;
		}
		return false;
	}

	// At least one digit, up to the closing tag, in range for the sign.
	bool integer_digits(bool hex, bool negative, uint64_t &value)
	{
		size_t digits = 0;
		for (; i < s.size() && s[i] != '<'; i++, digits++) {
			const int d = digit_value(s[i], hex);
			if (d < 0)
				return failed("malformed integer");
			const uint64_t base = hex ? 16 : 10;
			if (value > (UINT64_MAX - uint64_t(d)) / base)
				return failed("integer out of range");
			value = value * base + uint64_t(d);
			if (negative && value > uint64_t(INT64_MAX) + 1)
				return failed("integer out of range");
		}
		if (digits == 0)
			return failed("malformed integer");
		return true;
	}
};

// The document: its first element, and the containers, whose values are
// elements in turn.
class XmlReader : XmlScalars {
public:
	using XmlScalars::XmlScalars;

	CFTypeRef run(const char *&reason)
	{
		Owned root(document());
		reason = why;
		// Whatever follows the first element, the platform ignores.
		return root.release();
	}

private:
	size_t plist_depth = 0;  // plist elements inside plist elements

	// What content() found.
	enum class Got { Value, End, Error };

	// Comments, processing instructions and document types before the
	// first element, then that element.
	CFTypeRef document()
	{
		if (!prolog())
			return nullptr;
		i++;
		return element(0, nullptr);
	}

	// The next value inside a container, past white space, comments and
	// processing instructions; End at a closing tag.
	Got content(size_t depth, CFTypeRef &out, bool *is_key)
	{
		const Next next = next_tag();
		if (next != Next::StartTag)
			return next == Next::CloseTag ? Got::End : Got::Error;
		i++;
		out = element(depth, is_key);
		return out ? Got::Value : Got::Error;
	}

	// After '<': the element, its start tag first.
	CFTypeRef element(size_t depth, bool *is_key)
	{
		StartTag t;
		if (!start_tag(t))
			return nullptr;
		if (is_key)
			*is_key = t.tag == Tag::Key;
		switch (t.tag) {
		case Tag::Plist:
			if (t.empty)
				return fail("empty plist element");
			return plist(depth);
		case Tag::Array:
		case Tag::Dict:
			if (depth + 1 > kMaxDepth)
				return fail("containers nested too deeply");
			if (t.tag == Tag::Array)
				return array_body(depth + 1, t.empty);
			return t.empty ? made(new_dictionary(false)) : dict_body(depth + 1);
		case Tag::Unknown:
			return fail("unknown element");
		default:
			return scalar(t);
		}
	}

	// The one value of a plist element.
	CFTypeRef plist(size_t depth)
	{
		if (++plist_depth > kMaxDepth)
			return fail("plist elements nested too deeply");
		CFTypeRef value = nullptr;
		Got got = content(depth, value, nullptr);
		if (got == Got::End)
			return fail("empty plist element");
		if (got == Got::Error)
			return nullptr;
		Owned owned(value);
		CFTypeRef extra = nullptr;
		got = content(depth, extra, nullptr);
		if (got == Got::Value) {
			CFRelease(extra);
			return fail("more than one value in the plist element");
		}
		if (got == Got::Error || !close_tag("plist"))
			return nullptr;
		plist_depth--;
		return owned.release();
	}

	CFTypeRef array_body(size_t depth, bool empty)
	{
		auto *array = static_cast<__CFArray *>(const_cast<void *>(made(cf_create<__CFArray>())));
		Owned owned(array);
		if (empty)
			return owned.release();
		for (;;) {
			CFTypeRef value = nullptr;
			Got got = content(depth, value, nullptr);
			if (got == Got::Error)
				return nullptr;
			if (got == Got::End)
				break;
			Owned item(value);
			array->values.push_back(value);
			item.release();
		}
		if (!close_tag("array"))
			return nullptr;
		return owned.release();
	}

	// Keys and values; the last of equal keys wins.
	CFTypeRef dict_body(size_t depth)
	{
		__CFDictionary *dict = new_dictionary(false);
		Owned owned(made(dict));
		for (;;) {
			const Got got = dict_entry(dict, depth);
			if (got == Got::Error)
				return nullptr;
			if (got == Got::End)
				break;
		}
		if (!close_tag("dict"))
			return nullptr;
		if (is_archiver_reference(dict))
			return uid(as_number(dict->entries[0].second, "CFPropertyListCreateFromXMLData"));
		return owned.release();
	}

	// A key and its value, set in dict; End at the closing tag.
	Got dict_entry(__CFDictionary *dict, size_t depth)
	{
		CFTypeRef key = nullptr;
		bool is_key = false;
		Got got = content(depth, key, &is_key);
		if (got != Got::Value)
			return got;
		Owned owned_key(key);
		if (!is_key)
			return fail("dictionary value without a key"), Got::Error;
		CFTypeRef value = nullptr;
		got = content(depth, value, nullptr);
		if (got == Got::End)
			return fail("dictionary key without a value"), Got::Error;
		if (got == Got::Error)
			return Got::Error;
		if (!dictionary_adopt(dict, owned_key.release(), value))
			throw std::bad_alloc();
		return Got::Value;
	}

	// A dictionary whose only key is CF$UID, with a number, is a keyed
	// archiver's reference.
	static bool is_archiver_reference(const __CFDictionary *dict)
	{
		return dict->entries.size() == 1 &&
		       as_string(dict->entries[0].first, "CFPropertyListCreateFromXMLData")->utf8 == "CF$UID" &&
		       cf_object(dict->entries[0].second)->type_id == kCFNumberTypeID;
	}

	CFTypeRef uid(const __CFNumber *n)
	{
		// The platform keeps only the low 32 bits of the number.
		if (n->kind != __CFNumber::Kind::Signed || n->i < 0 || n->i > int64_t(UINT32_MAX))
			return fail("CF$UID that is not an integer from 0 to 4294967295");
		return made(make_uid(uint32_t(n->i)));
	}
};

}  // namespace

CFTypeRef read_xml(std::string_view utf8, const char *&why)
{
	return XmlReader(utf8).run(why);
}

}  // namespace compat
