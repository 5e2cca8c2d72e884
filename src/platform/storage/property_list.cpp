#include "platform/storage/property_list.h"

#include "platform/base/format.h"
#include "platform/base/log.h"
#include "platform/storage/detail/plist_codec.h"
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
    Value value = detail::readPlist(data, {}, format, &failure);
    if (value.isNil()) {
        log("Property list could not be read (%lu bytes): %@", static_cast<unsigned long>(data.size()), failure);
        setError(error, plistError(kPropertyListReadCorruptError, failure));
    }
    return value;
}

std::optional<Bytes> PropertyListSerialization::dataWithPropertyList(const Value& plist,
                                                                     PropertyListFormat plistFormat, unsigned,
                                                                     Ref<Error>* error) {
    std::string failure;
    bool invalid = true;
    auto bytes = detail::writePlist(plist, plistFormat, {}, &failure, &invalid);
    if (!bytes) {
        setError(error, invalid ? plistError(kPropertyListWriteInvalidError,
                                             format("Property list invalid for format: %u (%@)",
                                                    static_cast<unsigned>(plistFormat), failure))
                                : plistError(kPropertyListWriteStreamError, failure));
    }
    return bytes;
}

bool PropertyListSerialization::propertyListIsValidForFormat(const Value& plist, PropertyListFormat format) {
    if (format != PropertyListFormat::XML && format != PropertyListFormat::Binary) return false;
    return detail::plistIsValid(plist, format, {}, nullptr);
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
