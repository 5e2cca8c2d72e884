#include "mapping/helpers.h"

#include <algorithm>

#include "mapping/model.h"
#include "platform/base/format.h"

namespace lv {

Exception currentException() {
    try {
        throw;
    } catch (const Exception& e) {
        return e;
    } catch (const std::exception& e) {
        return Exception(std::string(kGenericException), e.what());
    } catch (...) {
        return Exception(std::string(kGenericException), "unknown exception");
    }
}

Ref<Error> jm_modelErrorWithException(const Exception& exception) {
    Dictionary info;
    info.set(std::string(kLocalizedDescriptionKey), Value(exception.description()));
    info.set(std::string(kLocalizedFailureReasonErrorKey), Value(exception.reason()));
    info.set(std::string(JMModelThrownExceptionErrorKey), Value(makeRef<JMException>(exception)));
    return Error::make(std::string(JMModelErrorDomain), JMModelErrorExceptionThrown, std::move(info));
}

Value jm_valueForJSONKeyPath(const Dictionary& dictionary, const std::string& keyPath, bool* success,
                             Ref<Error>* error) {
    // Walk the components without copying the containers: `current` points into the receiver.
    const Value* current = nullptr;
    const Dictionary* currentDictionary = &dictionary;
    std::size_t start = 0;
    while (true) {
        if (current) {
            if (current->isNil() || current->isNull()) break;  // missing or explicit null: success
            if (!current->isDictionary()) {
                if (error) {
                    Dictionary info;
                    info.set(std::string(kLocalizedDescriptionKey), Value("Invalid JSON dictionary"));
                    info.set(std::string(kLocalizedFailureReasonErrorKey),
                             Value(format("JSON key path %1$@ could not resolved because an incompatible JSON "
                                          "dictionary was supplied: \"%2$@\"",
                                          keyPath, Value(dictionary))));
                    *error = Error::make(std::string(JMJSONAdapterErrorDomain), JMJSONAdapterErrorInvalidJSONDictionary,
                                         std::move(info));
                }
                if (success) *success = false;
                return Value();
            }
            currentDictionary = &current->dictionary();
        }
        std::size_t dot = keyPath.find('.', start);
        std::string_view component = std::string_view(keyPath).substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        current = &currentDictionary->get(component);
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (success) *success = true;
    return *current;
}

Value jm_firstObject(const Array& array) {
    return array.empty() ? Value() : array.front();
}

Array jm_arrayByRemovingObject(const Array& array, const Value& object) {
    Array out;
    out.reserve(array.size());
    for (const Value& v : array) {
        if (!v.isEqual(object)) out.push_back(v);
    }
    return out;
}

Array jm_arrayByRemovingFirstObject(const Array& array) {
    if (array.empty()) return array;
    return Array(array.begin() + 1, array.end());
}

Array jm_arrayByRemovingLastObject(const Array& array) {
    if (array.empty()) return array;
    return Array(array.begin(), array.end() - 1);
}

Dictionary jm_dictionaryByAddingEntriesFromDictionary(const Dictionary& dictionary, const Dictionary& other) {
    Dictionary out = dictionary;
    for (const auto& [key, value] : other) out.set(key, value);
    return out;
}

Dictionary jm_dictionaryByRemovingValuesForKeys(const Dictionary& dictionary, const std::vector<std::string>& keys) {
    Dictionary out = dictionary;
    for (const std::string& key : keys) out.remove(key);
    return out;
}

Dictionary jm_dictionaryByRemovingEntriesWithKeys(const Dictionary& dictionary, const std::set<std::string>& keys) {
    return jm_dictionaryByRemovingValuesForKeys(dictionary, std::vector<std::string>(keys.begin(), keys.end()));
}

Dictionary jm_identityPropertyMapWithModel(const ClassInfo* modelClass) {
    Dictionary out;
    for (const std::string& key : JMModel::propertyKeys(modelClass)) out.set(key, Value(key));
    return out;
}

}  // namespace lv
