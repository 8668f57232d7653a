// Dictionaries, immutable and mutable.  Keys hash and compare through the
// key callbacks.
#include "cf_types.h"

#include <functional>

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

namespace compat {

size_t KeyHash::operator()(const void *key) const
{
	return cb->hash ? size_t(cb->hash(key)) : std::hash<const void *>{}(key);
}

bool KeyEqual::operator()(const void *a, const void *b) const
{
	return a == b || (cb->equal && cb->equal(a, b));
}

}  // namespace compat

__CFDictionary::__CFDictionary(const CFDictionaryKeyCallBacks *keys, const CFDictionaryValueCallBacks *values,
			       bool mut, CFIndex cap)
	: CFObject(compat::kCFDictionaryTypeID),
	  key_callbacks(keys ? *keys : CFDictionaryKeyCallBacks{}),
	  value_callbacks(values ? *values : CFDictionaryValueCallBacks{}),
	  is_mutable(mut),
	  capacity(cap),
	  index(0, compat::KeyHash{&key_callbacks}, compat::KeyEqual{&key_callbacks})
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

size_t __CFDictionary::find(const void *key) const
{
	std::lock_guard<std::mutex> guard(lookup_lock);
	if (indexed) {
		auto found = index.find(key);
		return found == index.end() ? npos : found->second;
	}
	const compat::KeyEqual same{&key_callbacks};
	size_t position = npos;
	for (size_t k = 0; k < entries.size(); k++) {
		if (same(entries[k].first, key)) {
			position = k;
			break;
		}
	}
	scanned += position == npos ? entries.size() : position + 1;
	if (scanned > 4 * entries.size() + 16) {
		index.reserve(entries.size());
		for (size_t k = 0; k < entries.size(); k++)
			index.emplace(entries[k].first, k);
		indexed = true;
	}
	return position;
}

void __CFDictionary::append(const void *key, const void *value)
{
	std::lock_guard<std::mutex> guard(lookup_lock);
	entries.emplace_back(key, value);
	if (indexed)
		index.emplace(key, entries.size() - 1);
}

void __CFDictionary::erase(size_t position)
{
	std::lock_guard<std::mutex> guard(lookup_lock);
	entries.erase(entries.begin() + ptrdiff_t(position));
	// Positions after it moved; the index is rebuilt when it pays again.
	index.clear();
	indexed = false;
	scanned = 0;
}

namespace {

// Stores key and value, retaining them, and releases a replaced value.
void put(__CFDictionary *dict, const void *key, const void *value)
{
	const auto &kc = dict->key_callbacks;
	const auto &vc = dict->value_callbacks;
	const void *new_value = vc.retain ? vc.retain(nullptr, value) : value;
	size_t at = dict->find(key);
	if (at != __CFDictionary::npos) {
		// The dictionary keeps the key it has; only the value changes.
		const void *old_value = dict->entries[at].second;
		dict->entries[at].second = new_value;
		if (vc.release)
			vc.release(nullptr, old_value);
		return;
	}
	dict->append(kc.retain ? kc.retain(nullptr, key) : key, new_value);
}

__CFDictionary *new_dictionary(const CFDictionaryKeyCallBacks *keys, const CFDictionaryValueCallBacks *values,
			       bool is_mutable, CFIndex capacity)
{
	if (capacity < 0)
		return nullptr;
	return compat::cf_create<__CFDictionary>(keys, values, is_mutable, capacity);
}

__CFDictionary *mutable_dictionary(CFMutableDictionaryRef theDict, const char *caller)
{
	__CFDictionary *dict = compat::as_dictionary(theDict, caller);
	if (!dict->is_mutable)
		compat::misuse(caller, "an immutable dictionary");
	return dict;
}

}  // namespace

extern "C" {

const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {0, retain_object, release_object, nullptr,
								equal_objects, hash_object};
const CFDictionaryKeyCallBacks kCFCopyStringDictionaryKeyCallBacks = {0, retain_object, release_object, nullptr,
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
	__CFDictionary *dict = new_dictionary(keyCallBacks, valueCallBacks, false, 0);
	if (dict == nullptr)
		return nullptr;
	dict->entries.reserve(size_t(numValues));
	for (CFIndex i = 0; i < numValues; i++)
		put(dict, keys[i], values[i]);
	return dict;
}

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex capacity,
						 const CFDictionaryKeyCallBacks *keyCallBacks,
						 const CFDictionaryValueCallBacks *valueCallBacks)
{
	return new_dictionary(keyCallBacks, valueCallBacks, true, capacity);
}

CFMutableDictionaryRef CFDictionaryCreateMutableCopy(CFAllocatorRef, CFIndex capacity, CFDictionaryRef theDict)
{
	const __CFDictionary *from = compat::as_dictionary(theDict, "CFDictionaryCreateMutableCopy");
	if (capacity > 0 && size_t(capacity) < from->entries.size())
		return nullptr;
	__CFDictionary *dict = new_dictionary(&from->key_callbacks, &from->value_callbacks, true, capacity);
	if (dict == nullptr)
		return nullptr;
	// The keys are distinct already: no lookups.
	dict->entries.reserve(from->entries.size());
	for (const auto &[key, value] : from->entries) {
		const void *k = dict->key_callbacks.retain ? dict->key_callbacks.retain(nullptr, key) : key;
		const void *v = dict->value_callbacks.retain ? dict->value_callbacks.retain(nullptr, value) : value;
		dict->entries.emplace_back(k, v);
	}
	return dict;
}

CFIndex CFDictionaryGetCount(CFDictionaryRef theDict)
{
	return CFIndex(compat::as_dictionary(theDict, "CFDictionaryGetCount")->entries.size());
}

Boolean CFDictionaryContainsKey(CFDictionaryRef theDict, const void *key)
{
	return compat::as_dictionary(theDict, "CFDictionaryContainsKey")->find(key) != __CFDictionary::npos;
}

const void *CFDictionaryGetValue(CFDictionaryRef theDict, const void *key)
{
	const __CFDictionary *dict = compat::as_dictionary(theDict, "CFDictionaryGetValue");
	size_t at = dict->find(key);
	return at == __CFDictionary::npos ? nullptr : dict->entries[at].second;
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void **keys, const void **values)
{
	size_t i = 0;
	for (const auto &[key, value] : compat::as_dictionary(theDict, "CFDictionaryGetKeysAndValues")->entries) {
		if (keys)
			keys[i] = key;
		if (values)
			values[i] = value;
		i++;
	}
}

void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void *key, const void *value)
{
	__CFDictionary *dict = mutable_dictionary(theDict, "CFDictionarySetValue");
	if (dict->capacity > 0 && size_t(dict->capacity) <= dict->entries.size() &&
	    dict->find(key) == __CFDictionary::npos)
		compat::misuse("CFDictionarySetValue", "a dictionary that is full");
	put(dict, key, value);
}

void CFDictionaryRemoveValue(CFMutableDictionaryRef theDict, const void *key)
{
	__CFDictionary *dict = mutable_dictionary(theDict, "CFDictionaryRemoveValue");
	size_t at = dict->find(key);
	if (at == __CFDictionary::npos)
		return;
	const auto [old_key, old_value] = dict->entries[at];
	dict->erase(at);
	if (dict->key_callbacks.release)
		dict->key_callbacks.release(nullptr, old_key);
	if (dict->value_callbacks.release)
		dict->value_callbacks.release(nullptr, old_value);
}

}  // extern "C"

