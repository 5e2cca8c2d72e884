#include "platform/data/detail/store.h"
#include "platform/data/errors.h"
#include "platform/runtime/value_transformer.h"
#include "platform/storage/keyed_archive.h"

namespace lv::data_detail {

std::optional<Bytes> encodeTransformable(const AttributeDescription& attribute, const Value& value, Ref<Error>* error) {
    auto invalid = [&](std::string message) -> std::optional<Bytes> {
        setError(error, Error::make(std::string(kCocoaErrorDomain), kManagedObjectValidationError,
                                    Dictionary{{std::string(kLocalizedDescriptionKey), Value(std::move(message))},
                                               {"NSValidationErrorKey", Value(attribute.name())},
                                               {"NSValidationErrorValue", value}}));
        return std::nullopt;
    };
    if (!attribute.valueTransformerName().empty()) {
        auto transformer = ValueTransformer::valueTransformerForName(attribute.valueTransformerName());
        if (!transformer) return invalid("no value transformer named " + attribute.valueTransformerName());
        Value data = transformer->transformedValue(value);
        if (!data.isData()) return invalid("the value transformer " + attribute.valueTransformerName() + " did not give data");
        return data.bytes();
    }
    Ref<Error> archiveError;
    auto data = KeyedArchiver::archivedDataWithRootObject(value, false, &archiveError);
    if (!data) return invalid("the value of " + attribute.name() + " cannot be archived");
    return data;
}

Value decodeTransformable(const AttributeDescription& attribute, const Bytes& data) {
    if (!attribute.valueTransformerName().empty()) {
        auto transformer = ValueTransformer::valueTransformerForName(attribute.valueTransformerName());
        return transformer ? transformer->reverseTransformedValue(Value(data)) : Value();
    }
    return KeyedUnarchiver::unarchivedObject(data, nullptr);
}

}  // namespace lv::data_detail
