#include "push/tlv_object.h"

#include <limits>

#include "platform/base/format.h"
#include "platform/base/log.h"
#include "platform/runtime/runtime.h"
#include "push/tlv_input_stream.h"
#include "push/tlv_report.h"
#include "push/tlv_stream.h"

namespace lv {

namespace {

// The description nesting level of this thread.
thread_local int descriptionLevel = 0;

struct LevelScope {
    LevelScope() { ++descriptionLevel; }
    ~LevelScope() { --descriptionLevel; }
    LevelScope(const LevelScope&) = delete;
    LevelScope& operator=(const LevelScope&) = delete;
};

bool isNumericEncoding(std::string_view encoding) {
    static constexpr std::string_view kCodes[] = {"i", "I", "l", "L", "q", "Q", "s", "S", "B", "f", "d", "c", "C"};
    for (std::string_view code : kCodes) {
        if (encoding == code) return true;
    }
    return false;
}

const ClassInfo* registerTlvClasses() {
    ClassDef<TlvMap>("TlvMap").superclassNamed(classNamed("Dictionary")).factory().registerClass();
    ClassDef<PNTlvPair>("PNTlvPair").factory().registerClass();
    return ClassDef<PNTlvObject>("PNTlvObject").factory().registerClass();
}

}  // namespace

const ClassInfo* PNTlvObject::runtimeClass() {
    static const ClassInfo* cls = registerTlvClasses();
    return cls;
}

std::string TlvDescription::className() const {
    if (pair) return "PNTlvPair";
    if (cls) return cls->name();
    return "(null)";
}

Ref<PNTlvPair> PNTlvPair::pairWithValue(TlvDescription value, TlvDescription key) {
    auto pair = makeRef<PNTlvPair>();
    pair->value_ = std::move(value);
    pair->key_ = std::move(key);
    return pair;
}

std::string PNTlvPair::description() const { return format("<%@, %@>", key_.className(), value_.className()); }

TlvMap::TlvMap() { PNTlvObject::runtimeClass(); }

Value TlvMap::get(const Value& key) const {
    const auto found = index_.find(key);
    return found == index_.end() ? Value() : entries_[found->second].second;
}

void TlvMap::set(const Value& key, const Value& value) {
    const auto found = index_.find(key);
    if (found == index_.end()) {
        if (value.isNil()) return;
        index_.emplace(key, entries_.size());
        entries_.emplace_back(key, value);
        return;
    }
    if (!value.isNil()) {
        entries_[found->second].second = value;
        return;
    }
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(found->second));
    index_.clear();
    for (std::size_t i = 0; i < entries_.size(); ++i) index_.emplace(entries_[i].first, i);
}

void TlvMap::reserve(std::size_t n) {
    entries_.reserve(n);
    index_.reserve(n);
}

std::string TlvMap::description() const {
    std::string out = "{\n";
    for (const auto& [key, value] : entries_) out += format("    %@ = %@;\n", key, value);
    return out + "}";
}

PNTlvObject::PNTlvObject() { runtimeClass(); }

Bytes PNTlvObject::toData() const {
    PNTlvOutputStream writer;
    pack(writer);
    const auto bytes = writer.written();
    return Bytes(bytes.begin(), bytes.end());
}

bool PNTlvObject::decodeFromData(std::span<const std::uint8_t> data) {
    PNTlvInputStream reader(data);
    unpack(reader);
    if (!reader.failed()) return true;
    log("%@", reader.failureReason());
    return false;
}

const ClassInfo* PNTlvObject::tlvClass() const { return classOf(*this); }

void PNTlvObject::pack(PNTlvOutputStream&) const {
    tlvAssertionReport("-[PNTlvObject __pack:]", __LINE__, "__objc_no");
}

void PNTlvObject::unpack(PNTlvInputStream&) { tlvAssertionReport("-[PNTlvObject __unpack:]", __LINE__, "__objc_no"); }

std::vector<std::pair<std::string, std::string>> PNTlvObject::tlvPropertiesWithEncodedTypes(const ClassInfo* cls) {
    std::vector<std::pair<std::string, std::string>> properties;
    if (!cls) return properties;
    for (const PropertyInfo& property : cls->ownProperties()) {
        const std::string& attributes = property.attributes;
        if (attributes.find(",R,") != std::string::npos) continue;
        const std::size_t comma = attributes.find(',');
        const std::string first = attributes.substr(0, comma);
        properties.emplace_back(property.name, first.empty() ? std::string() : first.substr(1));
    }
    return properties;
}

std::string PNTlvObject::description() const {
    const ClassInfo* cls = tlvClass();
    std::string out = "\r" + std::string(4 * static_cast<std::size_t>(descriptionLevel), ' ') + "{\r";
    {
        LevelScope scope;
        const std::string indent(4 * static_cast<std::size_t>(descriptionLevel), ' ');
        for (const auto& [name, encoding] : tlvPropertiesWithEncodedTypes(cls)) {
            out += indent;
            const PropertyInfo* property = cls->findProperty(name);
            const bool readable = property && property->get;
            if (readable && isNumericEncoding(encoding)) {
                out += format("%@: %@\r", name, property->get(*this).stringValue());
            } else if (readable && !encoding.empty() && encoding[0] == '@') {
                out += format("%@: %@\r", name, property->get(*this));
            } else {
                out += format("%@: ???\r", name);
            }
        }
    }
    return out + std::string(4 * static_cast<std::size_t>(descriptionLevel), ' ') + "}\r";
}

void PNTlvObject::encodeWithCoder(Coder& coder) const { coder.encodeObject(Value(toData()), "data"); }

bool PNTlvObject::initWithCoder(Coder& coder) {
    const Value data = coder.decodeObject("data");
    if (!data.isData()) return true;
    return decodeFromData(data.bytes());
}

std::optional<std::string> PNTlvEnumHelper::etos(std::int64_t) const { return std::nullopt; }

std::int64_t PNTlvEnumHelper::stoe(std::string_view) const { return std::numeric_limits<std::int64_t>::min(); }

std::optional<std::string> PNTlvEnumHelper::eto_s(std::int64_t value) const {
    const std::optional<std::string> full = etos(value);
    if (!full || full->empty()) return std::nullopt;
    const std::string name = helperName();
    if (name.size() < 5) return std::nullopt;
    const std::size_t prefix = name.size() - 5;
    if (full->size() < prefix) return std::nullopt;
    return full->substr(prefix);
}

std::int64_t PNTlvEnumHelper::_stoe(std::string_view shortName) const {
    const std::string name = helperName();
    const std::string enumeration = name.size() >= 6 ? name.substr(0, name.size() - 6) : std::string();
    return stoe(format("%@_%@", enumeration, shortName));
}

}  // namespace lv
