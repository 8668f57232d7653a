// Dictionaries, immutable and mutable.  The entries live in a hash map
// whose hashing and key comparison go through the key callbacks.
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
	  entries(0, compat::KeyHash{&key_callbacks}, compat::KeyEqual{&key_callbacks})
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

namespace {

// Stores key and value, retaining them, and releases a replaced pair.
void put(__CFDictionary *dict, const void *key, const void *value)
{
	const auto &kc = dict->key_callbacks;
	const auto &vc = dict->value_callbacks;
	const void *new_value = vc.retain ? vc.retain(nullptr, value) : value;
	auto found = dict->entries.find(key);
	if (found != dict->entries.end()) {
		// The map keeps the key it has; only the value changes.
		const void *old_value = found->second;
		found->second = new_value;
		if (vc.release)
			vc.release(nullptr, old_value);
		return;
	}
	const void *new_key = kc.retain ? kc.retain(nullptr, key) : key;
	dict->entries.emplace(new_key, new_value);
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
	dict->entries.reserve(from->entries.size());
	for (const auto &[key, value] : from->entries)
		put(dict, key, value);
	return dict;
}

CFIndex CFDictionaryGetCount(CFDictionaryRef theDict)
{
	return CFIndex(compat::as_dictionary(theDict, "CFDictionaryGetCount")->entries.size());
}

Boolean CFDictionaryContainsKey(CFDictionaryRef theDict, const void *key)
{
	return compat::as_dictionary(theDict, "CFDictionaryContainsKey")->entries.count(key) != 0;
}

const void *CFDictionaryGetValue(CFDictionaryRef theDict, const void *key)
{
	const auto &entries = compat::as_dictionary(theDict, "CFDictionaryGetValue")->entries;
	auto found = entries.find(key);
	return found == entries.end() ? nullptr : found->second;
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
	if (dict->capacity > 0 && size_t(dict->capacity) <= dict->entries.size() && !dict->entries.count(key))
		compat::misuse("CFDictionarySetValue", "a dictionary that is full");
	put(dict, key, value);
}

void CFDictionaryRemoveValue(CFMutableDictionaryRef theDict, const void *key)
{
	__CFDictionary *dict = mutable_dictionary(theDict, "CFDictionaryRemoveValue");
	auto found = dict->entries.find(key);
	if (found == dict->entries.end())
		return;
	const void *old_key = found->first, *old_value = found->second;
	dict->entries.erase(found);
	if (dict->key_callbacks.release)
		dict->key_callbacks.release(nullptr, old_key);
	if (dict->value_callbacks.release)
		dict->value_callbacks.release(nullptr, old_value);
}

}  // extern "C"

