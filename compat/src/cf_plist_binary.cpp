// The binary form ("bplist00", or "bplist01" as the platform also takes),
// read as the platform reads it: each object of the file becomes one CF
// object, shared wherever the file refers to it again, so memory follows
// the size of the file.  The XML form has no
// sharing, though: the tree as it would be written is bounded in size and
// depth, and an object may not contain itself.
#include "cf_plist.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace compat {
namespace {

uint64_t read_be(const uint8_t *p, size_t n)
{
	uint64_t v = 0;
	for (size_t k = 0; k < n; k++)
		v = (v << 8) | p[k];
	return v;
}

class BinaryReader {
public:
	explicit BinaryReader(std::string_view bytes)
		: b(reinterpret_cast<const uint8_t *>(bytes.data())), n(bytes.size())
	{
	}

	// False, with nothing read, when the platform would not take the
	// bytes for the binary form at all.
	bool is_binary(const char *&reason)
	{
		const bool binary = trailer();
		reason = why;
		return binary;
	}

	CFTypeRef run(const char *&reason)
	{
		Owned root(object(top, 0));
		for (const Built &built : objects) {
			if (built.object)
				CFRelease(built.object);
		}
		reason = why;
		return root.release();
	}

private:
	const uint8_t *b;
	const size_t n;
	const char *why = nullptr;
	size_t offset_size = 0, ref_size = 0;
	uint64_t count = 0, top = 0, table = 0, max_values = 0;

	// What is known of each object of the file once it is made.
	struct Built {
		CFTypeRef object = nullptr;  // one reference, held until the end
		uint64_t values = 0;         // values in its tree as written out
		uint32_t height = 0;         // container levels in that tree
		bool open = false;           // being made: met again, it is inside itself
	};
	std::vector<Built> objects;

	CFTypeRef fail(const char *reason)
	{
		if (why == nullptr)
			why = reason;
		return nullptr;
	}

	// The signature and the trailer, checked as the platform checks them
	// before it takes bytes for the binary form: the offset table ends
	// where the trailer begins, object references can tell every object
	// apart, offsets can reach the offset table, and every offset points
	// before it.
	bool trailer()
	{
		if (n < 8 + 1 + 32 || (memcmp(b, "bplist00", 8) != 0 && memcmp(b, "bplist01", 8) != 0))
			return failed("not a binary property list");
		const uint8_t *t = b + n - 32;
		offset_size = t[6];
		ref_size = t[7];
		count = read_be(t + 8, 8);
		top = read_be(t + 16, 8);
		table = read_be(t + 24, 8);
		if (t[0] | t[1] | t[2] | t[3] | t[4] | t[5])
			return failed("malformed trailer");
		if (offset_size < 1 || ref_size < 1 || count < 1 || top >= count || table < 9 || table >= n - 32)
			return failed("malformed trailer");
		if (count > (n - 32 - table) / offset_size || table + count * offset_size != n - 32)
			return failed("offset table that does not end at the trailer");
		if (ref_size < 8 && count >> (8 * ref_size) != 0)
			return failed("object references too narrow for the number of objects");
		if (offset_size < 8 && table >> (8 * offset_size) != 0)
			return failed("offsets too narrow to reach the offset table");
		for (uint64_t k = 0; k < count; k++) {
			if (offset_of(k) >= table)
				return failed("object offset out of range");
		}
		if (offset_of(top) < 8)
			return failed("object offset out of range");
		max_values = std::max(kMaxExpandedValues, count);
		objects.resize(count);
		return true;
	}

	bool failed(const char *reason)
	{
		fail(reason);
		return false;
	}

	uint64_t offset_of(uint64_t k) const { return read_be(b + table + k * offset_size, offset_size); }

	// The length that follows a marker whose low nibble is 0xF: an
	// integer object of 1, 2, 4 or 8 bytes.
	bool length(uint64_t &at, uint64_t &len) const
	{
		if (at >= table)
			return false;
		const uint8_t marker = b[at++];
		if ((marker & 0xF0) != 0x10 || (marker & 0x0F) > 3)
			return false;
		const size_t size = size_t(1) << (marker & 0x0F);
		if (size > table - at)
			return false;
		len = read_be(b + at, size);
		at += size;
		return true;
	}

	// Object k, made once; depth is the number of containers around the
	// place where it is met.
	CFTypeRef object(uint64_t k, size_t depth)
	{
		Built &built = objects[k];
		if (built.open)
			return fail("object inside itself");
		if (built.object) {
			if (depth + built.height > kMaxDepth)
				return fail("containers nested too deeply");
			return CFRetain(built.object);
		}
		uint64_t at = offset_of(k);
		// The platform would read such an object out of the signature.
		if (at < 8)
			return fail("object offset out of range");
		const uint8_t marker = b[at++];
		uint64_t info = marker & 0x0F;
		auto fits = [&](uint64_t size) { return size <= table - at; };
		CFTypeRef made_object = nullptr;
		switch (marker >> 4) {
		case 0x0:
			if (marker != 0x08 && marker != 0x09)
				return fail("object of no property-list type");
			made_object = boolean(marker == 0x09);
			break;
		case 0x1:
			if (info > 4 || !fits(uint64_t(1) << info))
				return fail("malformed integer");
			made_object = integer(at, size_t(1) << info);
			break;
		case 0x2:
			if ((info != 2 && info != 3) || !fits(uint64_t(1) << info))
				return fail("malformed real");
			made_object = made(make_float(info == 2 ? float_at(at) : double_at(at)));
			break;
		case 0x3:
			if (marker != 0x33 || !fits(8))
				return fail("malformed date");
			made_object = date(double_at(at));
			break;
		case 0x8:
			if (!fits(info + 1))
				return fail("malformed UID");
			made_object = uid(at, size_t(info) + 1);
			break;
		case 0x4:
		case 0x5:
		case 0x6:
		case 0xA:
		case 0xD:
			if (info == 0x0F && !length(at, info))
				return fail("malformed length");
			made_object = sized(marker >> 4, at, info, k, depth);
			break;
		default:
			return fail("object of no property-list type");  // sets, nulls, fills
		}
		if (made_object == nullptr)
			return nullptr;
		Built &done = objects[k];
		done.object = made_object;
		if (done.values == 0)
			done.values = 1;
		return CFRetain(made_object);
	}

	double double_at(uint64_t at) const
	{
		const uint64_t bits = read_be(b + at, 8);
		double v;
		memcpy(&v, &bits, sizeof v);
		return v;
	}

	double float_at(uint64_t at) const
	{
		const auto bits = uint32_t(read_be(b + at, 4));
		float v;
		memcpy(&v, &bits, sizeof v);
		return v;
	}

	// 1, 2 and 4 bytes hold unsigned values, 8 a signed one; 16 bytes an
	// unsigned value above the signed range, whose first 8 bytes must be
	// zero, since the platform reads only the last 8.
	CFTypeRef integer(uint64_t at, size_t size)
	{
		if (size == 16) {
			if (read_be(b + at, 8) != 0)
				return fail("integer out of range");
			return made(make_unsigned(read_be(b + at + 8, 8)));
		}
		const uint64_t v = read_be(b + at, size);
		return made(size == 8 ? make_signed(int64_t(v)) : make_unsigned(v));
	}

	CFTypeRef date(double t)
	{
		if (!(std::abs(t) < kMaxDateSeconds))
			return fail("date out of range");
		return made(make_date(t));
	}

	// The platform takes the last 8 bytes and refuses values above 32
	// bits.
	CFTypeRef uid(uint64_t at, size_t size)
	{
		for (size_t k = 0; k + 4 < size; k++) {
			if (b[at + k] != 0)
				return fail("UID out of range");
		}
		return made(make_uid(uint32_t(read_be(b + at + (size > 4 ? size - 4 : 0), std::min<size_t>(size, 4)))));
	}

	CFTypeRef sized(unsigned kind, uint64_t at, uint64_t len, uint64_t k, size_t depth)
	{
		switch (kind) {
		case 0x4:
			if (len > table - at)
				return fail("malformed data");
			return made(make_data(std::string(reinterpret_cast<const char *>(b + at), size_t(len))));
		case 0x5:
			return ascii(at, len);
		case 0x6:
			return utf16(at, len);
		default:
			return container(kind, at, len, k, depth);
		}
	}

	// ASCII, without NUL, which the platform's strings could hold but ours
	// cannot.
	CFTypeRef ascii(uint64_t at, uint64_t len)
	{
		if (len > table - at)
			return fail("malformed string");
		for (uint64_t c = 0; c < len; c++) {
			if (b[at + c] == 0 || b[at + c] >= 0x80)
				return fail("string that is not ASCII");
		}
		return made(make_string(std::string_view(reinterpret_cast<const char *>(b + at), size_t(len))));
	}

	// UTF-16, big-endian; a lone surrogate could not be written as XML.
	CFTypeRef utf16(uint64_t at, uint64_t units)
	{
		if (units > (table - at) / 2)
			return fail("malformed string");
		std::string text;
		text.reserve(size_t(units) + units / 2);
		for (uint64_t c = 0; c < units; c++) {
			uint32_t cp = uint32_t(read_be(b + at + 2 * c, 2));
			if (cp >= 0xD800 && cp <= 0xDBFF && c + 1 < units) {
				const auto low = uint32_t(read_be(b + at + 2 * (c + 1), 2));
				if (low >= 0xDC00 && low <= 0xDFFF) {
					cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
					c++;
				}
			}
			if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF))
				return fail("string that is not valid UTF-16");
			append_utf8(text, cp);
		}
		return made(make_string(std::move(text)));
	}

	// An array (0xA) or a dictionary (0xD): references to other objects,
	// a dictionary's keys first.  Keys may be any value but a container.
	CFTypeRef container(unsigned kind, uint64_t at, uint64_t len, uint64_t k, size_t depth)
	{
		const uint64_t refs = kind == 0xD ? 2 : 1;
		if (len > (table - at) / ref_size / refs)
			return fail("malformed container");
		if (depth + 1 > kMaxDepth)
			return fail("containers nested too deeply");
		objects[k].open = true;
		uint64_t values = 1;
		uint32_t height = 0;
		Owned result;
		auto child = [&](uint64_t slot, bool is_key) -> CFTypeRef {
			const uint64_t ref = read_be(b + at + slot * ref_size, ref_size);
			if (ref >= count)
				return fail("object reference out of range");
			Owned value(object(ref, depth + 1));
			if (!value)
				return nullptr;
			const CFTypeID type = cf_object(value.get())->type_id;
			if (is_key && (type == kCFArrayTypeID || type == kCFDictionaryTypeID))
				return fail("dictionary key that is a container");
			values += objects[ref].values;
			height = std::max(height, objects[ref].height);
			if (values > max_values)
				return fail("too many shared objects");
			return value.release();
		};
		if (kind == 0xA) {
			auto *array = static_cast<__CFArray *>(const_cast<void *>(made(cf_create<__CFArray>())));
			result.reset(array);
			array->values.reserve(size_t(len));
			for (uint64_t c = 0; c < len; c++) {
				CFTypeRef value = child(c, false);
				if (value == nullptr)
					return nullptr;
				array->values.push_back(value);  // reserved: cannot throw
			}
		} else {
			__CFDictionary *dict = new_dictionary(false);
			result.reset(made(dict));
			dict->reserve(size_t(len));
			for (uint64_t c = 0; c < len; c++) {
				Owned key(child(c, true));
				if (!key)
					return nullptr;
				CFTypeRef value = child(len + c, false);
				if (value == nullptr)
					return nullptr;
				if (!dictionary_adopt(dict, key.release(), value))
					throw std::bad_alloc();
			}
		}
		objects[k].open = false;
		objects[k].values = values;
		objects[k].height = height + 1;
		return result.release();
	}
};

}  // namespace

CFTypeRef read_binary(std::string_view bytes, bool &is_binary, const char *&why)
{
	BinaryReader reader(bytes);
	is_binary = reader.is_binary(why);
	return is_binary ? reader.run(why) : nullptr;
}

}  // namespace compat
