#include "platform/storage/property_list.h"

#include "platform/base/format.h"
#include "platform/base/log.h"
#include "platform/storage/detail/plist_bridge.h"
#include "platform/storage/file_manager.h"

namespace lv {

namespace {

Ref<Error> plistError(std::int64_t code, std::string debugDescription) {
    return Error::make(std::string(kCocoaErrorDomain), code,
                       {{std::string(kDebugDescriptionErrorKey), Value(std::move(debugDescription))}});
}

}  // namespace

Value PropertyListSerialization::propertyListWithData(std::span<const std::uint8_t> data, PropertyListReadOptions,
                                                      PropertyListFormat* format, Ref<Error>* error) {
    std::string failure;
    detail::PlistPtr root = detail::parsePlist(data, format, &failure);
    Value value;
    if (root) value = detail::valueFromPlist(root.get(), &failure);
    if (value.isNil()) {
        if (failure.empty()) failure = "Damaged property list";
        log("Property list could not be read (%lu bytes): %@", static_cast<unsigned long>(data.size()), failure);
        setError(error, plistError(kPropertyListReadCorruptError, failure));
    }
    return value;
}

std::optional<Bytes> PropertyListSerialization::dataWithPropertyList(const Value& plist,
                                                                     PropertyListFormat plistFormat, unsigned,
                                                                     Ref<Error>* error) {
    std::string failure;
    detail::PlistPtr root = detail::plistFromValue(plist, &failure);
    if (!root) {
        setError(error, plistError(kPropertyListWriteInvalidError,
                                   format("Property list invalid for format: %u (%@)", static_cast<unsigned>(plistFormat),
                                          failure)));
        return std::nullopt;
    }
    auto bytes = detail::serializePlist(root.get(), plistFormat, &failure);
    if (!bytes) setError(error, plistError(kPropertyListWriteStreamError, failure));
    return bytes;
}

bool PropertyListSerialization::propertyListIsValidForFormat(const Value& plist, PropertyListFormat format) {
    if (format != PropertyListFormat::XML && format != PropertyListFormat::Binary) return false;
    return static_cast<bool>(detail::plistFromValue(plist, nullptr));
}

Value propertyListWithContentsOfFile(std::string_view path) {
    auto bytes = dataWithContentsOfFile(path, nullptr);
    if (!bytes) return {};
    return PropertyListSerialization::propertyListWithData(*bytes, kPropertyListImmutable, nullptr, nullptr);
}

Value dictionaryWithContentsOfFile(std::string_view path) {
    Value value = propertyListWithContentsOfFile(path);
    return value.isDictionary() ? value : Value();
}

Value arrayWithContentsOfFile(std::string_view path) {
    Value value = propertyListWithContentsOfFile(path);
    return value.isArray() ? value : Value();
}

bool writePropertyListToFile(const Value& plist, std::string_view path, bool atomically) {
    if (!plist.isDictionary() && !plist.isArray()) return false;
    auto bytes = PropertyListSerialization::dataWithPropertyList(plist, PropertyListFormat::XML, 0, nullptr);
    return bytes && writeToFile(*bytes, path, atomically);
}

}  // namespace lv
