// Keyed archiving of the response serializers: the property names as keys, the acceptable status
// codes as an index set and the acceptable content types as a set.
#include <array>
#include <climits>

#include "http/response_serialization.h"
#include "platform/runtime/runtime.h"
#include "platform/storage/index_set.h"

namespace lv {

namespace {

// More codes than any status-code set needs: an archive asking for more is refused.
constexpr std::uint64_t kMaxArchivedStatusCodes = 1 << 16;

Value archivedStatusCodes(const std::optional<HCStatusCodeSet>& codes) {
    if (!codes) return Value();
    std::vector<std::uint64_t> indexes;
    indexes.reserve(codes->size());
    for (int code : *codes) {
        if (code >= 0) indexes.push_back(static_cast<std::uint64_t>(code));
    }
    return Value(IndexSet::withIndexes(std::move(indexes)));
}

bool statusCodesFrom(const Value& value, std::optional<HCStatusCodeSet>& codes) {
    codes.reset();
    if (value.isNil()) return true;
    const auto set = value.objectAs<IndexSet>();
    if (!set || set->count() > kMaxArchivedStatusCodes) return false;
    HCStatusCodeSet out;
    for (const auto& [location, length] : set->ranges()) {
        if (location + length - 1 > static_cast<std::uint64_t>(INT_MAX)) return false;
        for (std::uint64_t code = location; code < location + length; ++code) out.insert(static_cast<int>(code));
    }
    codes = std::move(out);
    return true;
}

Value archivedContentTypes(const std::optional<std::set<std::string>>& types) {
    if (!types) return Value();
    Array members;
    members.reserve(types->size());
    for (const auto& type : *types) members.push_back(Value(type));
    return Value(ArchivedSet::make(std::move(members)));
}

bool contentTypesFrom(const Value& value, std::optional<std::set<std::string>>& types) {
    types.reset();
    if (value.isNil()) return true;
    if (!value.isArray()) return false;
    std::set<std::string> out;
    for (const Value& member : value.array()) {
        if (!member.isString()) return false;
        out.insert(member.string());
    }
    types = std::move(out);
    return true;
}

}  // namespace

// ---- HTTP (base) ----

const ClassInfo* HCHTTPResponseSerializer::runtimeClass() {
    static const ClassInfo* cls = [] {
        const ClassInfo* base =
            ClassDef<HCHTTPResponseSerializer>("HCHTTPResponseSerializer").factory().registerClass();
        ClassDef<HCJSONResponseSerializer>("HCJSONResponseSerializer").superclassNamed(base).factory().registerClass();
        ClassDef<HCXMLParserResponseSerializer>("HCXMLParserResponseSerializer")
            .superclassNamed(base)
            .factory()
            .registerClass();
        ClassDef<HCPropertyListResponseSerializer>("HCPropertyListResponseSerializer")
            .superclassNamed(base)
            .factory()
            .registerClass();
        ClassDef<HCCompoundResponseSerializer>("HCCompoundResponseSerializer")
            .superclassNamed(base)
            .factory()
            .registerClass();
        return base;
    }();
    return cls;
}

void HCHTTPResponseSerializer::encodeWithCoder(Coder& coder) const {
    coder.encodeObject(archivedStatusCodes(acceptableStatusCodes()), "acceptableStatusCodes");
    coder.encodeObject(archivedContentTypes(acceptableContentTypes()), "acceptableContentTypes");
}

bool HCHTTPResponseSerializer::initWithCoder(Coder& coder) {
    std::optional<HCStatusCodeSet> codes;
    std::optional<std::set<std::string>> types;
    if (!statusCodesFrom(coder.decodeObjectOfClass(IndexSet::runtimeClass(), "acceptableStatusCodes"), codes) ||
        !contentTypesFrom(coder.decodeObjectOfClass(classNamed("Array"), "acceptableContentTypes"), types)) {
        return false;
    }
    setAcceptableStatusCodes(std::move(codes));
    setAcceptableContentTypes(std::move(types));
    return true;
}

// ---- JSON ----

const ClassInfo* HCJSONResponseSerializer::runtimeClass() {
    HCHTTPResponseSerializer::runtimeClass();
    return classOf<HCJSONResponseSerializer>();
}

void HCJSONResponseSerializer::encodeWithCoder(Coder& coder) const {
    HCHTTPResponseSerializer::encodeWithCoder(coder);
    coder.encodeObject(Value(static_cast<std::uint64_t>(readingOptions())), "readingOptions");
    coder.encodeObject(Value(removesKeysWithNullValues()), "removesKeysWithNullValues");
}

bool HCJSONResponseSerializer::initWithCoder(Coder& coder) {
    if (!HCHTTPResponseSerializer::initWithCoder(coder)) return false;
    const Value options = coder.decodeObjectOfClass(classNamed("Number"), "readingOptions");
    const Value removes = coder.decodeObjectOfClass(classNamed("Number"), "removesKeysWithNullValues");
    setReadingOptions(static_cast<JSONReadingOptions>(options.unsignedLongLongValue()));
    setRemovesKeysWithNullValues(removes.boolValue());
    return true;
}

// ---- XML parser ----

const ClassInfo* HCXMLParserResponseSerializer::runtimeClass() {
    HCHTTPResponseSerializer::runtimeClass();
    return classOf<HCXMLParserResponseSerializer>();
}

// ---- Property list ----

const ClassInfo* HCPropertyListResponseSerializer::runtimeClass() {
    HCHTTPResponseSerializer::runtimeClass();
    return classOf<HCPropertyListResponseSerializer>();
}

void HCPropertyListResponseSerializer::encodeWithCoder(Coder& coder) const {
    HCHTTPResponseSerializer::encodeWithCoder(coder);
    coder.encodeObject(Value(static_cast<std::uint64_t>(format())), "format");
    coder.encodeObject(Value(static_cast<std::uint64_t>(readOptions())), "readOptions");
}

bool HCPropertyListResponseSerializer::initWithCoder(Coder& coder) {
    if (!HCHTTPResponseSerializer::initWithCoder(coder)) return false;
    const Value format = coder.decodeObjectOfClass(classNamed("Number"), "format");
    const Value options = coder.decodeObjectOfClass(classNamed("Number"), "readOptions");
    setFormat(static_cast<PropertyListFormat>(format.unsignedLongLongValue()));
    setReadOptions(static_cast<PropertyListReadOptions>(options.unsignedLongLongValue()));
    return true;
}

// ---- Compound ----

const ClassInfo* HCCompoundResponseSerializer::runtimeClass() {
    HCHTTPResponseSerializer::runtimeClass();
    return classOf<HCCompoundResponseSerializer>();
}

void HCCompoundResponseSerializer::encodeWithCoder(Coder& coder) const {
    HCHTTPResponseSerializer::encodeWithCoder(coder);
    Array members;
    for (const auto& member : responseSerializers()) {
        auto object = std::dynamic_pointer_cast<Object>(member);
        if (!object) {
            // Like any class the archiver cannot write.
            Exception::raise(std::string(kInvalidArgumentException),
                             "-[HCCompoundResponseSerializer encodeWithCoder:]: a member that cannot be archived");
        }
        members.push_back(Value(std::move(object)));
    }
    coder.encodeObject(Value(std::move(members)), "responseSerializers");
}

bool HCCompoundResponseSerializer::initWithCoder(Coder& coder) {
    if (!HCHTTPResponseSerializer::initWithCoder(coder)) return false;
    const Value members = coder.decodeObjectOfClasses(
        std::array<const ClassInfo*, 2>{classNamed("Array"), HCHTTPResponseSerializer::runtimeClass()},
        "responseSerializers");
    Serializers serializers;
    if (members.isArray()) {
        for (const Value& member : members.array()) {
            auto serializer = member.isObject() ? std::dynamic_pointer_cast<HCURLResponseSerialization>(member.object())
                                                : nullptr;
            if (!serializer) return false;
            serializers.push_back(std::move(serializer));
        }
    } else if (!members.isNil()) {
        return false;
    }
    setResponseSerializers(std::move(serializers));
    return true;
}

}  // namespace lv
