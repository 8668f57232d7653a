// The text of XML and old-style property lists, from the file's encoding to
// UTF-8.  The platform looks for a byte-order mark first (UTF-32, UTF-8,
// UTF-16), then for an XML declaration that names an encoding, and takes
// UTF-8 otherwise.
#include "cf_plist.h"

#include <cstring>

namespace compat {

void append_utf8(std::string &out, uint32_t cp)
{
	if (cp < 0x80) {
		out += char(cp);
	} else if (cp < 0x800) {
		out += char(0xC0 | (cp >> 6));
		out += char(0x80 | (cp & 0x3F));
	} else if (cp < 0x10000) {
		out += char(0xE0 | (cp >> 12));
		out += char(0x80 | ((cp >> 6) & 0x3F));
		out += char(0x80 | (cp & 0x3F));
	} else {
		out += char(0xF0 | (cp >> 18));
		out += char(0x80 | ((cp >> 12) & 0x3F));
		out += char(0x80 | ((cp >> 6) & 0x3F));
		out += char(0x80 | (cp & 0x3F));
	}
}

namespace {

uint32_t unit_at(std::string_view b, size_t at, size_t size, bool big)
{
	uint32_t v = 0;
	for (size_t k = 0; k < size; k++) {
		const auto byte = static_cast<unsigned char>(b[at + (big ? k : size - 1 - k)]);
		v = (v << 8) | byte;
	}
	return v;
}

// UTF-16 or UTF-32 in the byte order given.  Lone surrogates and a
// trailing part of a unit are refused: the platform would drop what
// follows them.
bool from_unicode(std::string_view b, size_t unit, bool big, std::string &out, const char *&why)
{
	if (b.size() % unit != 0) {
		why = "text cut inside a character";
		return false;
	}
	out.reserve(b.size() / unit * 3 / 2 + 16);
	for (size_t at = 0; at < b.size(); at += unit) {
		uint32_t cp = unit_at(b, at, unit, big);
		if (unit == 2 && cp >= 0xD800 && cp <= 0xDBFF && at + 2 < b.size()) {
			uint32_t low = unit_at(b, at + 2, 2, big);
			if (low >= 0xDC00 && low <= 0xDFFF) {
				cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
				at += 2;
			}
		}
		if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
			why = "text that is not valid UTF-16 or UTF-32";
			return false;
		}
		append_utf8(out, cp);
	}
	return true;
}

// The upper halves of the one-byte encodings other than ISO Latin 1; 0
// where the encoding has no character.
const uint16_t kMacRoman[128] = {
	0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1,
	0x00E0, 0x00E2, 0x00E4, 0x00E3, 0x00E5, 0x00E7, 0x00E9, 0x00E8,
	0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3,
	0x00F2, 0x00F4, 0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC,
	0x2020, 0x00B0, 0x00A2, 0x00A3, 0x00A7, 0x2022, 0x00B6, 0x00DF,
	0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8,
	0x221E, 0x00B1, 0x2264, 0x2265, 0x00A5, 0x00B5, 0x2202, 0x2211,
	0x220F, 0x03C0, 0x222B, 0x00AA, 0x00BA, 0x03A9, 0x00E6, 0x00F8,
	0x00BF, 0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB,
	0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5, 0x0152, 0x0153,
	0x2013, 0x2014, 0x201C, 0x201D, 0x2018, 0x2019, 0x00F7, 0x25CA,
	0x00FF, 0x0178, 0x2044, 0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02,
	0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1,
	0x00CB, 0x00C8, 0x00CD, 0x00CE, 0x00CF, 0x00CC, 0x00D3, 0x00D4,
	0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9, 0x0131, 0x02C6, 0x02DC,
	0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7,
};
const uint16_t kWindows1252[32] = {
	0x20AC, 0x0000, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
	0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x0000, 0x017D, 0x0000,
	0x0000, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
	0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x0000, 0x017E, 0x0178,
};

enum class Charset { Utf8, Ascii, Latin1, Windows1252, MacRoman };

// One-byte text to UTF-8; a byte the encoding does not define is refused.
bool from_one_byte(std::string_view b, Charset charset, std::string &out, const char *&why)
{
	out.reserve(b.size() + b.size() / 8);
	for (unsigned char c : b) {
		uint32_t cp = c;
		if (c >= 0x80) {
			if (charset == Charset::Ascii)
				cp = 0;
			else if (charset == Charset::MacRoman)
				cp = kMacRoman[c - 0x80];
			else if (charset == Charset::Windows1252 && c < 0xA0)
				cp = kWindows1252[c - 0x80];
			if (cp == 0) {
				why = "byte that the declared encoding does not define";
				return false;
			}
		}
		append_utf8(out, cp);
	}
	return true;
}

bool same_nocase(std::string_view a, const char *b)
{
	if (a.size() != strlen(b))
		return false;
	for (size_t k = 0; k < a.size(); k++) {
		char c = a[k];
		if (c >= 'A' && c <= 'Z')
			c = char(c - 'A' + 'a');
		if (c != b[k])
			return false;
	}
	return true;
}

// The IANA names (and common aliases) of the encodings read here.
bool charset_named(std::string_view name, Charset &charset)
{
	static const struct {
		const char *name;
		Charset charset;
	} names[] = {
		{"utf-8", Charset::Utf8},
		{"us-ascii", Charset::Ascii},           {"ascii", Charset::Ascii},
		{"ansi_x3.4-1968", Charset::Ascii},     {"iso646-us", Charset::Ascii},
		{"iso-8859-1", Charset::Latin1},        {"iso_8859-1", Charset::Latin1},
		{"iso_8859-1:1987", Charset::Latin1},   {"iso-ir-100", Charset::Latin1},
		{"latin1", Charset::Latin1},            {"l1", Charset::Latin1},
		{"cp819", Charset::Latin1},             {"ibm819", Charset::Latin1},
		{"windows-1252", Charset::Windows1252}, {"cp1252", Charset::Windows1252},
		{"macintosh", Charset::MacRoman},       {"mac", Charset::MacRoman},
		{"x-mac-roman", Charset::MacRoman},     {"csmacintosh", Charset::MacRoman},
	};
	for (const auto &n : names) {
		if (same_nocase(name, n.name)) {
			charset = n.charset;
			return true;
		}
	}
	return false;
}

// The encoding an XML declaration at the start of the bytes names, found
// as the platform finds it: the first "encoding=" before any '?' or '>',
// then a quoted name.  False with why set when the declaration is cut off.
bool declared_charset(std::string_view b, Charset &charset, const char *&why)
{
	charset = Charset::Utf8;
	if (b.substr(0, 5) != "<?xml")
		return true;
	size_t at = 5;
	for (;; at++) {
		if (at + 9 >= b.size()) {
			why = "XML declaration cut off";
			return false;
		}
		if (b[at] == '?' || b[at] == '>')
			return true;
		if (b.substr(at, 9) == "encoding=")
			break;
	}
	at += 9;
	const char quote = b[at];
	if (quote != '"' && quote != '\'')
		return true;
	const size_t end = b.find(quote, at + 1);
	if (end == std::string_view::npos)
		return true;
	if (!charset_named(b.substr(at + 1, end - at - 1), charset)) {
		why = "encoding that is not read here";
		return false;
	}
	return true;
}

}  // namespace

bool decode_text(std::string_view b, std::string &storage, std::string_view &utf8, const char *&why)
{
	auto starts = [&](std::string_view mark) { return b.size() > mark.size() && b.substr(0, mark.size()) == mark; };
	using namespace std::literals;
	bool converted = true;
	bool ok = true;
	if (starts("\x00\x00\xFE\xFF"sv) || starts("\xFF\xFE\x00\x00"sv)) {
		ok = from_unicode(b.substr(4), 4, b[0] == 0, storage, why);
	} else if (starts("\xEF\xBB\xBF"sv)) {
		utf8 = b.substr(3);
		converted = false;
	} else if (starts("\xFF\xFE"sv) || starts("\xFE\xFF"sv)) {
		ok = from_unicode(b.substr(2), 2, b[0] == '\xFE', storage, why);
	} else if (b.size() > 2 && (b[0] == 0 || b[1] == 0)) {
		// The platform would take this for UTF-16 and drop its first
		// character.
		why = "UTF-16 without a byte-order mark";
		return false;
	} else {
		Charset charset;
		if (!declared_charset(b, charset, why))
			return false;
		if (charset == Charset::Utf8) {
			utf8 = b;
			converted = false;
		} else {
			ok = from_one_byte(b, charset, storage, why);
		}
	}
	if (!ok)
		return false;
	if (converted)
		utf8 = storage;
	if (!is_valid_utf8(utf8)) {
		why = "text that is not valid UTF-8";
		return false;
	}
	if (utf8.find('\0') != std::string_view::npos) {
		why = "NUL character in the text";
		return false;
	}
	return true;
}

}  // namespace compat
