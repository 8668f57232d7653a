// Dictionaries, immutable and mutable.  Keys hash and compare through the
// key callbacks.
#include "cf_types.h"

#include <algorithm>
#include <functional>
#include <new>

namespace {

const void *retain_object(CFAllocatorRef, const void *value)
{
	return CFRetain(value);
}

void release_object(CFAllocatorRef, const void *value)
{
	CFRelease(value);
}

Boolean equal_objects(const void *a, const void *b)
{
	return compat::equal(a, b);
}

CFHashCode hash_object(const void *value)
{
	return compat::hash(value);
}

}  // namespace

__CFDictionary::__CFDictionary(const CFDictionaryKeyCallBacks *keys, const CFDictionaryValueCallBacks *values,
			       bool mut, CFIndex cap)
	: CFObject(compat::kCFDictionaryTypeID),
	  key_callbacks(keys ? *keys : CFDictionaryKeyCallBacks{}),
	  value_callbacks(values ? *values : CFDictionaryValueCallBacks{}),
	  is_mutable(mut),
	  capacity(cap)
{
}

__CFDictionary::~__CFDictionary()
{
	for (const auto &[key, value] : entries) {
		if (key_callbacks.release)
			key_callbacks.release(nullptr, key);
		if (value_callbacks.release)
			value_callbacks.release(nullptr, value);
	}
}

size_t __CFDictionary::hash_of(const void *key) const
{
	uint64_t h = key_callbacks.hash ? uint64_t(key_callbacks.hash(key)) : uint64_t(uintptr_t(key));
	// Spread the bits: pointers and small numbers differ only in a few.
	h ^= h >> 31;
	h *= 0x9E3779B97F4A7C15u;
	return size_t(h ^ (h >> 29));
}

bool __CFDictionary::same(const void *a, const void *b) const
{
	return a == b || (key_callbacks.equal && key_callbacks.equal(a, b));
}

size_t __CFDictionary::find(const void *key) const
{
	if (slots.empty()) {
		for (size_t k = 0; k < entries.size(); k++) {
			if (same(entries[k].first, key))
				return k;
		}
		return npos;
	}
	const size_t mask = slots.size() - 1;
	for (size_t at = hash_of(key) & mask;; at = (at + 1) & mask) {
		if (slots[at] == 0)
			return npos;
		if (same(entries[slots[at] - 1].first, key))
			return slots[at] - 1;
	}
}

void __CFDictionary::index_to(std::vector<uint32_t> &table, size_t position) const
{
	const size_t mask = table.size() - 1;
	size_t at = hash_of(entries[position].first) & mask;
	while (table[at] != 0)
		at = (at + 1) & mask;
	table[at] = uint32_t(position + 1);
}

void __CFDictionary::reserve(size_t n)
{
	if (n >= UINT32_MAX)
		throw std::bad_alloc();
	if (n > entries.capacity())
		entries.reserve(n);  // on failure, nothing changed
	if (n <= kScanLimit)
		return;
	// At most half the slots in use keeps the probes short.
	size_t wanted = 16;
	while (wanted < 2 * n)
		wanted *= 2;
	if (wanted <= slots.size())
		return;
	std::vector<uint32_t> table(wanted, 0);
	for (size_t k = 0; k < entries.size(); k++)
		index_to(table, k);
	slots.swap(table);
}

void __CFDictionary::append(const void *key, const void *value)
{
	const size_t n = entries.size() + 1;
	if (n > entries.capacity() || (n > kScanLimit && 2 * n > slots.size()))
		reserve(std::max(n, 2 * entries.size()));
	entries.emplace_back(key, value);
	if (!slots.empty())
		index_to(slots, entries.size() - 1);
}

namespace compat {

bool dictionary_adopt(__CFDictionary *dict, const void *key, const void *value) noexcept
{
	const size_t at = dict->find(key);
	if (at != __CFDictionary::npos) {
		// The dictionary keeps the key it has; only the value changes.
		CFRelease(dict->entries[at].second);
		dict->entries[at].second = value;
		CFRelease(key);
		return true;
	}
	try {
		dict->append(key, value);
		return true;
	} catch (const std::bad_alloc &) {
		CFRelease(key);
		CFRelease(value);
		return false;
	}
}

__CFDictionary *new_dictionary(bool is_mutable) noexcept
{
	return cf_create<__CFDictionary>(&kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks, is_mutable,
					 0);
}

}  // namespace compat

namespace {

// Stores key and value, retaining them, and releases a replaced value.
// Throws std::bad_alloc and leaves the dictionary as it was.
void put(__CFDictionary *dict, const void *key, const void *value)
{
	const auto &kc = dict->key_callbacks;
	const auto &vc = dict->value_callbacks;
	const size_t at = dict->find(key);
	const void *new_value = vc.retain ? vc.retain(nullptr, value) : value;
	if (at != __CFDictionary::npos) {
		const void *old_value = dict->entries[at].second;
		dict->entries[at].second = new_value;
		if (vc.release)
			vc.release(nullptr, old_value);
		return;
	}
	const void *new_key = kc.retain ? kc.retain(nullptr, key) : key;
	try {
		dict->append(new_key, new_value);
	} catch (const std::bad_alloc &) {
		if (kc.release)
			kc.release(nullptr, new_key);
		if (vc.release)
			vc.release(nullptr, new_value);
		throw;
	}
}

}  // namespace

extern "C" {

const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {0, retain_object, release_object, nullptr,
								equal_objects, hash_object};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {0, retain_object, release_object, nullptr,
								    equal_objects};

CFTypeID CFDictionaryGetTypeID(void)
{
	return compat::kCFDictionaryTypeID;
}

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef, const void **keys, const void **values, CFIndex numValues,
				   const CFDictionaryKeyCallBacks *keyCallBacks,
				   const CFDictionaryValueCallBacks *valueCallBacks)
{
	if (numValues < 0 || (numValues > 0 && (keys == nullptr || values == nullptr)))
		return nullptr;
	auto *dict = compat::cf_create<__CFDictionary>(keyCallBacks, valueCallBacks, false, 0);
	if (dict == nullptr)
		return nullptr;
	try {
		dict->reserve(size_t(numValues));
		for (CFIndex i = 0; i < numValues; i++)
			put(dict, keys[i], values[i]);
	} catch (const std::bad_alloc &) {
		CFRelease(dict);
		return nullptr;
	}
	return dict;
}

CFMutableDictionaryRef CFDictionaryCreateMutableCopy(CFAllocatorRef, CFIndex capacity, CFDictionaryRef theDict)
{
	const __CFDictionary *from = compat::as_dictionary(theDict, "CFDictionaryCreateMutableCopy");
	if (capacity < 0 || (capacity > 0 && size_t(capacity) < from->entries.size()))
		return nullptr;
	auto *dict = compat::cf_create<__CFDictionary>(&from->key_callbacks, &from->value_callbacks, true, capacity);
	if (dict == nullptr)
		return nullptr;
	try {
		// Room for the key a caller is about to set, so that setting
		// it cannot run out of memory.
		dict->reserve(from->entries.size() + 1);
	} catch (const std::bad_alloc &) {
		CFRelease(dict);
		return nullptr;
	}
	// The keys are distinct already: no lookups, and no allocation.
	const auto &kc = dict->key_callbacks;
	const auto &vc = dict->value_callbacks;
	for (const auto &[key, value] : from->entries)
		dict->append(kc.retain ? kc.retain(nullptr, key) : key, vc.retain ? vc.retain(nullptr, value) : value);
	return dict;
}

CFIndex CFDictionaryGetCount(CFDictionaryRef theDict)
{
	return CFIndex(compat::as_dictionary(theDict, "CFDictionaryGetCount")->entries.size());
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void **keys, const void **values)
{
	const auto &entries = compat::as_dictionary(theDict, "CFDictionaryGetKeysAndValues")->entries;
	for (size_t i = 0; i < entries.size(); i++) {
		if (keys)
			keys[i] = entries[i].first;
		if (values)
			values[i] = entries[i].second;
	}
}

void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void *key, const void *value)
{
	__CFDictionary *dict = compat::as_dictionary(theDict, "CFDictionarySetValue");
	if (!dict->is_mutable)
		compat::misuse("CFDictionarySetValue", "an immutable dictionary");
	if (dict->capacity > 0 && size_t(dict->capacity) <= dict->entries.size() &&
	    dict->find(key) == __CFDictionary::npos)
		compat::misuse("CFDictionarySetValue", "a dictionary that is full");
	try {
		put(dict, key, value);
	} catch (const std::bad_alloc &) {
		// The dictionary stays as it was; see CFDictionary.h.
	}
}

}  // extern "C"
