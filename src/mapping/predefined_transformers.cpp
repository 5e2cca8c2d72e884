// The predefined transformers: URL, boolean, array mapping, class validation and value mapping.
#include "mapping/value_transformer.h"
#include "mapping/detail/class_name.h"
#include "platform/base/format.h"
#include "platform/runtime/runtime.h"

namespace lv {

namespace {

using mapping_detail::classNameValue;

Value fail(bool* success, Ref<Error>* error, std::string description, std::string reason, const Value& input,
           Ref<Error> underlying = nullptr) {
    if (success) *success = false;
    if (error) *error = jm_transformerError(std::move(description), std::move(reason), input, std::move(underlying));
    return Value();
}

// The URL class and its constructor from text, when the URL layer has registered them.
Value urlWithString(const std::string& text) {
    const ClassInfo* urlClass = classNamed("URL");
    if (!urlClass) return Value();
    if (const auto* make = urlClass->findClassHook<Value(const std::string&)>("URLWithString:")) return (*make)(text);
    if (const auto* make = urlClass->findClassHook<Ref<Object>(const std::string&)>("URLWithString:")) {
        return Value((*make)(text));
    }
    return Value();
}

bool isURL(const Value& value) {
    return value.isObject() && isKindOf(*value.object(), "URL");
}

// Applies the element transformer to every element of an array, one direction.
Value mapArray(const Ref<ValueTransformer>& transformer, bool reverse, const Value& value, bool* success,
               Ref<Error>* error) {
    if (value.isNil()) return Value();
    if (!value.isArray()) {
        return fail(success, error, "Could not transform non-array type", format("Expected an NSArray, got: %@.", value),
                    value);
    }
    const auto* handling = dynamic_cast<const JMTransformerErrorHandling*>(transformer.get());
    // Forward: the error-handling form whenever the transformer has the interface; reverse: only when
    // it has the reverse form.
    const bool withErrors = handling && (!reverse || handling->respondsToReverseTransformedValue());
    const Array& input = value.array();
    Array out;
    out.reserve(input.size());
    for (std::size_t index = 0; index < input.size(); ++index) {
        const Value& element = input[index];
        if (element.isNull()) {
            out.push_back(Value::null());
            continue;
        }
        Value result;
        if (withErrors) {
            bool elementSuccess = true;
            Ref<Error> elementError;
            result = reverse ? handling->reverseTransformedValue(element, &elementSuccess, &elementError)
                             : handling->transformedValue(element, &elementSuccess, &elementError);
            if (!elementSuccess) {
                return fail(success, error, "Could not transform array",
                            format("Could not transform value at index %d", static_cast<int>(index)), value,
                            std::move(elementError));
            }
        } else {
            result = reverse ? transformer->reverseTransformedValue(element) : transformer->transformedValue(element);
        }
        if (!result.isNil()) out.push_back(std::move(result));
    }
    return Value(std::move(out));
}

}  // namespace

Ref<Error> jm_transformerError(std::string description, std::string reason, const Value& input, Ref<Error> underlying) {
    Dictionary info;
    info.set(std::string(kLocalizedDescriptionKey), Value(std::move(description)));
    info.set(std::string(kLocalizedFailureReasonErrorKey), Value(std::move(reason)));
    info.set(std::string(JMTransformerErrorHandlingInputValueErrorKey), input);
    if (underlying) info.set(std::string(kUnderlyingErrorKey), Value(underlying));
    return Error::make(std::string(JMTransformerErrorHandlingErrorDomain), JMTransformerErrorHandlingErrorInvalidInput,
                       std::move(info));
}

Ref<JMReversibleValueTransformer> jm_URLValueTransformer() {
    return JMValueTransformer::transformerUsingForwardBlock(
        [](const Value& value, bool* success, Ref<Error>* error) -> Value {
            if (value.isNil()) return Value();
            if (!value.isString()) {
                return fail(success, error, "Could not convert string to URL",
                            format("Expected an NSString, got: %@.", value), value);
            }
            Value url = urlWithString(value.string());
            if (url.isNil()) {
                return fail(success, error, "Could not convert string to URL",
                            format("Input URL string %@ was malformed", value), value);
            }
            return url;
        },
        [](const Value& value, bool* success, Ref<Error>* error) -> Value {
            if (value.isNil()) return Value();
            if (!isURL(value)) {
                return fail(success, error, "Could not convert URL to string",
                            format("Expected an NSURL, got: %@.", value), value);
            }
            return valueForKey(*value.object(), "absoluteString");
        });
}

Ref<JMReversibleValueTransformer> jm_booleanValueTransformer() {
    return JMValueTransformer::transformerUsingReversibleBlock(
        [](const Value& value, bool* success, Ref<Error>* error) -> Value {
            if (value.isNil()) return Value();
            if (!value.isNumeric()) {
                return fail(success, error, "Could not convert number to boolean-backed number or vice-versa",
                            format("Expected an NSNumber, got: %@.", value), value);
            }
            return Value(value.boolValue());
        });
}

Ref<JMValueTransformer> jm_arrayMappingTransformerWithTransformer(Ref<ValueTransformer> transformer) {
    JMTransformerBlock forward = [transformer](const Value& value, bool* success, Ref<Error>* error) {
        return mapArray(transformer, false, value, success, error);
    };
    if (!transformer->allowsReverseTransformation()) {
        return JMValueTransformer::transformerUsingForwardBlock(std::move(forward));
    }
    JMTransformerBlock reverse = [transformer](const Value& value, bool* success, Ref<Error>* error) {
        return mapArray(transformer, true, value, success, error);
    };
    return JMValueTransformer::transformerUsingForwardBlock(std::move(forward), std::move(reverse));
}

Ref<JMValueTransformer> jm_validatingTransformerForClass(const ClassInfo* cls) {
    return JMValueTransformer::transformerUsingForwardBlock(
        [cls](const Value& value, bool* success, Ref<Error>* error) -> Value {
            if (value.isNil()) return value;
            const ClassInfo* valueClass = classOfValue(value);
            if (valueClass && valueClass->isSubclassOf(cls)) return value;
            return fail(success, error, "Value did not match expected type",
                        format("Expected %1$@ to be of class %2$@ but got %3$@", value, cls ? cls->name() : std::string(),
                               classNameValue(value)),
                        value);
        });
}

Ref<JMReversibleValueTransformer> jm_valueMappingTransformerWithDictionary(JMValueMap map, Value defaultValue,
                                                                          Value reverseDefaultValue) {
    auto shared = std::make_shared<const JMValueMap>(std::move(map));
    return JMValueTransformer::transformerUsingForwardBlock(
        [shared, defaultValue](const Value& value, bool*, Ref<Error>*) {
            const Value key = value.isNil() ? Value::null() : value;
            for (const auto& [k, v] : *shared) {
                if (k.isEqual(key)) return v;
            }
            return defaultValue;
        },
        [shared, reverseDefaultValue](const Value& value, bool*, Ref<Error>*) {
            if (value.isNil()) return reverseDefaultValue;
            for (const auto& [k, v] : *shared) {
                if (value.isEqual(v)) return k;
            }
            return reverseDefaultValue;
        });
}

Ref<JMReversibleValueTransformer> jm_valueMappingTransformerWithDictionary(const Dictionary& map, Value defaultValue,
                                                                          Value reverseDefaultValue) {
    JMValueMap pairs;
    pairs.reserve(map.size());
    for (const auto& [key, value] : map) pairs.emplace_back(Value(key), value);
    return jm_valueMappingTransformerWithDictionary(std::move(pairs), std::move(defaultValue),
                                                    std::move(reverseDefaultValue));
}

}  // namespace lv
