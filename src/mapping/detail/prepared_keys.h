// Property keys prepared for setting many models of one class: what JMModel::initWithDictionary finds
// for every entry (whether the key has a validation hook, which declared property key-value access
// writes) found once, for the adapter, which maps thousands of models of the same class.
#pragma once

#include <string>

#include "mapping/model.h"

namespace lv::mapping_detail {

struct PreparedKey {
    const std::string* key;        // outlives the prepared key
    const PropertyInfo* property;  // what setValueForKey writes for the key; nullptr: set by key
    bool validates;                // initWithDictionary runs the key's validation
};

// The key prepared for instances whose class is cls itself (their dynamic type is cls's C++ type).
PreparedKey prepareKey(const ClassInfo* cls, const std::string& key);
// Whether JMModel::validate has anything to run for models of the class.
bool hasValidatedKeys(const ClassInfo* cls);
// Validates and sets one value (null sets nil) as initWithDictionary does for one entry: false, with
// the error filled, when the validation refuses it or setting raises (logged).
bool assignPreparedValue(JMModel& model, const PreparedKey& prepared, const Value& value, Ref<Error>* error);

}  // namespace lv::mapping_detail
