// Collection helpers of the mapping layer: the dotted JSON key-path lookup the adapter reads every
// mapped property with, copy-and-change helpers for arrays and dictionaries, and the identity key map.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "mapping/errors.h"
#include "platform/base/value.h"

namespace lv {

class ClassInfo;

// The value at a dotted key path ("user.name") in a JSON dictionary. A missing key anywhere on the
// path gives nil, a null on the path gives null, and both count as success; a component that has to
// be looked up in something other than a dictionary fails: nil, *success = false and (when error is
// given) "JMJSONAdapterErrorDomain" code 3. The path is split at every "." ("" is one empty key).
// Success is stored through a non-null success pointer; the error slot is only written on failure.
// Never raises.
Value jm_valueForJSONKeyPath(const Dictionary& dictionary, const std::string& keyPath, bool* success,
                             Ref<Error>* error);

// The first element, nil for an empty array.
Value jm_firstObject(const Array& array);
// A copy without every element equal to object.
Array jm_arrayByRemovingObject(const Array& array, const Value& object);
// A copy without the first / the last element (the array itself when empty).
Array jm_arrayByRemovingFirstObject(const Array& array);
Array jm_arrayByRemovingLastObject(const Array& array);

// A copy with the other dictionary's entries added (they replace entries of equal keys).
Dictionary jm_dictionaryByAddingEntriesFromDictionary(const Dictionary& dictionary, const Dictionary& other);
// A copy without the entries of the given keys (absent keys are ignored).
Dictionary jm_dictionaryByRemovingValuesForKeys(const Dictionary& dictionary, const std::vector<std::string>& keys);
// The older form taking a set of keys.
Dictionary jm_dictionaryByRemovingEntriesWithKeys(const Dictionary& dictionary, const std::set<std::string>& keys);

// A key-path map of a model class in which every property key maps to itself.
Dictionary jm_identityPropertyMapWithModel(const ClassInfo* modelClass);

}  // namespace lv
