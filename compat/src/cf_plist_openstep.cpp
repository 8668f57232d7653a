// The old-style (OpenStep) form and strings files, read as the platform
// reads them when the text is no XML property list:
//
//	{ key = value; list = (a, "b c", <0fbd77>); nested = { k = v; }; }
//	"key" = "value";   /* a strings file: a dictionary without braces */
//
// Values are strings, arrays, dictionaries and data only.  Where the
// platform would stop early and keep what it read so far, or turn an
// escape into another character than it says, the text is refused.
#include "cf_plist.h"

namespace compat {
namespace {

bool is_unquoted(char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
	       c == '/' || c == ':' || c == '.' || c == '-';
}

class OpenStepReader : TextReader {
public:
	explicit OpenStepReader(std::string_view text) : TextReader(text) {}

	CFTypeRef run(const char *&reason)
	{
		Owned root(top());
		reason = why;
		return root.release();
	}

private:
	// What object() found: a value, no value here (not an error), or an
	// error.
	enum class Got { Value, None, Error };

	Got failed(const char *reason)
	{
		fail(reason);
		return Got::Error;
	}
	bool line_break() const { return s[i] == '\n' || s[i] == '\r' || starts("\u2028") || starts("\u2029"); }

	// White space and comments; false at the end of the text.
	bool skip()
	{
		while (i < s.size()) {
			if ((s[i] >= '\t' && s[i] <= '\r') || s[i] == ' ') {
				i++;
			} else if (starts("\u2028") || starts("\u2029")) {
				i += 3;
			} else if (starts("//")) {
				while (i < s.size() && !line_break())
					i++;
			} else if (starts("/*")) {
				size_t end = s.find("*/", i + 2);
				i = end == std::string_view::npos ? s.size() : end + 2;
			} else {
				return true;
			}
		}
		return false;
	}

	// Empty text is an empty dictionary; a string followed by more is the
	// start of a strings file.
	CFTypeRef top()
	{
		if (!skip())
			return made(new_dictionary(false));
		CFTypeRef first = nullptr;
		if (object(0, first) != Got::Value)
			return fail(why ? why : "no property list");
		Owned owned(first);
		if (!skip())
			return owned.release();
		if (cf_object(first)->type_id != kCFStringTypeID)
			return fail("content after the property list");
		owned.reset();
		i = 0;
		Owned strings(dict_content(0));
		if (!strings)
			return nullptr;
		if (skip())
			return fail("content after the last entry of a strings file");
		return strings.release();
	}

	Got object(size_t depth, CFTypeRef &out)
	{
		if (!skip())
			return Got::None;
		const char c = s[i];
		if (c == '{' || c == '(') {
			if (depth + 1 > kMaxDepth)
				return failed("containers nested too deeply");
			i++;
			out = c == '{' ? dict(depth + 1) : array(depth + 1);
		} else if (c == '<') {
			i++;
			out = data();
		} else if (c == '"' || c == '\'' || is_unquoted(c)) {
			out = string();
		} else {
			return Got::None;
		}
		return out ? Got::Value : Got::Error;
	}

	CFTypeRef string()
	{
		const char c = s[i];
		if (c == '"' || c == '\'') {
			i++;
			return quoted(c);
		}
		const size_t begin = i;
		while (i < s.size() && is_unquoted(s[i]))
			i++;
		return made(make_string(s.substr(begin, i - begin)));
	}

	CFTypeRef quoted(char quote)
	{
		std::string text;
		for (;;) {
			size_t end = s.find_first_of(quote == '"' ? "\"\\" : "'\\", i);
			if (end == std::string_view::npos)
				return fail("unterminated quoted string");
			text.append(s.data() + i, end - i);
			i = end + 1;
			if (s[end] == quote)
				break;
			if (!escape(text))
				return nullptr;
		}
		return made(make_string(std::move(text)));
	}

	// After a backslash.
	bool escape(std::string &text)
	{
		if (i >= s.size())
			return fail("unterminated quoted string"), false;
		const char c = s[i++];
		switch (c) {
		case 'a': text += '\a'; return true;
		case 'b': text += '\b'; return true;
		case 'f': text += '\f'; return true;
		case 'n': text += '\n'; return true;
		case 'r': text += '\r'; return true;
		case 't': text += '\t'; return true;
		case 'v': text += '\v'; return true;
		case 'U': return unicode_escape(text);
		default: break;
		}
		if (c >= '0' && c <= '7') {
			// Up to three octal digits: a byte of the NeXTSTEP
			// encoding, which is ASCII below 0x80.
			unsigned value = unsigned(c - '0');
			for (int k = 0; k < 2 && i < s.size() && s[i] >= '0' && s[i] <= '7'; k++)
				value = value * 8 + unsigned(s[i++] - '0');
			value &= 0xFF;
			if (value == 0 || value >= 0x80)
				return fail("octal escape outside ASCII or NUL"), false;
			text += char(value);
			return true;
		}
		// Anything else stands for itself, a whole character.
		size_t len = 1;
		while (i - 1 + len < s.size() && (static_cast<unsigned char>(s[i - 1 + len]) & 0xC0) == 0x80)
			len++;
		text.append(s.data() + i - 1, len);
		i += len - 1;
		return true;
	}

	// \U and up to four hex digits: a UTF-16 unit.  A surrogate pair is
	// two escapes in a row.
	bool unicode_escape(std::string &text)
	{
		uint32_t unit = hex_unit();
		if (unit >= 0xD800 && unit <= 0xDBFF && starts("\\U")) {
			i += 2;
			const uint32_t low = hex_unit();
			if (low < 0xDC00 || low > 0xDFFF)
				return fail("\\U escape that is half of a surrogate pair"), false;
			unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
		}
		if (unit == 0)
			return fail("\\U escape of NUL"), false;
		if (unit >= 0xD800 && unit <= 0xDFFF)
			return fail("\\U escape that is half of a surrogate pair"), false;
		append_utf8(text, unit);
		return true;
	}

	uint32_t hex_unit()
	{
		uint32_t unit = 0;
		for (int k = 0; k < 4 && i < s.size() && hex_value(s[i]) >= 0; k++)
			unit = unit * 16 + uint32_t(hex_value(s[i++]));
		return unit;
	}

	CFTypeRef array(size_t depth)
	{
		auto *array = static_cast<__CFArray *>(const_cast<void *>(made(cf_create<__CFArray>())));
		Owned owned(array);
		for (;;) {
			CFTypeRef value = nullptr;
			const Got got = object(depth, value);
			if (got == Got::Error)
				return nullptr;
			if (got == Got::None)
				break;
			Owned item(value);
			array->values.push_back(value);
			item.release();
			if (!skip())
				return fail("unterminated array");
			if (s[i] != ',')
				break;
			i++;
		}
		if (!skip() || s[i] != ')')
			return fail("expected ')' to end an array");
		i++;
		return owned.release();
	}

	CFTypeRef dict(size_t depth)
	{
		Owned owned(dict_content(depth));
		if (!owned)
			return nullptr;
		if (!skip() || s[i] != '}')
			return fail("expected '}' to end a dictionary");
		i++;
		return owned.release();
	}

	// Entries "key = value;" or "key;" (the key is its own value), the
	// last of equal keys winning.
	CFTypeRef dict_content(size_t depth)
	{
		__CFDictionary *dict = new_dictionary(false);
		Owned owned(made(dict));
		for (;;) {
			if (!skip() || !(s[i] == '"' || s[i] == '\'' || is_unquoted(s[i])))
				break;
			Owned key(string());
			if (!key)
				return nullptr;
			if (!skip())
				return fail("missing ';' in a dictionary");
			CFTypeRef value = nullptr;
			if (s[i] == ';') {
				value = CFRetain(key.get());
			} else if (s[i] == '=') {
				i++;
				const Got got = object(depth, value);
				if (got == Got::None)
					return fail("dictionary key without a value");
				if (got == Got::Error)
					return nullptr;
			} else {
				return fail("expected '=' or ';' after a key");
			}
			if (!dictionary_adopt(dict, key.release(), value))
				throw std::bad_alloc();
			if (!skip() || s[i] != ';')
				return fail("missing ';' in a dictionary");
			i++;
		}
		return owned.release();
	}

	// Pairs of hex digits, white space between pairs, up to '>'.
	CFTypeRef data()
	{
		std::string bytes;
		for (;;) {
			while (i < s.size() && (s[i] == ' ' || s[i] == '\n' || s[i] == '\t' || s[i] == '\r'))
				i++;
			if (starts("\u2028") || starts("\u2029")) {
				i += 3;
				continue;
			}
			if (i >= s.size())
				return fail("unterminated data");
			if (s[i] == '>')
				break;
			const int high = hex_value(s[i]);
			const int low = i + 1 < s.size() ? hex_value(s[i + 1]) : -1;
			if (high < 0 || low < 0)
				return fail("malformed data");
			bytes += char(high << 4 | low);
			i += 2;
		}
		i++;
		return made(make_data(std::move(bytes)));
	}
};

}  // namespace

CFTypeRef read_openstep(std::string_view utf8, const char *&why)
{
	return OpenStepReader(utf8).run(why);
}

}  // namespace compat
