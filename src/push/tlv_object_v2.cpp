#include "push/tlv_object_v2.h"

#include <map>
#include <memory>
#include <mutex>

#include "platform/base/format.h"
#include "push/tlv_input_stream.h"
#include "push/tlv_report.h"
#include "push/tlv_stream.h"

namespace lv {

namespace {

constexpr std::string_view kFieldPrefix = "tlvv2_p_";
constexpr std::string_view kElementMarker = "__b0x9i_";

std::vector<std::string_view> splitAtUnderscores(std::string_view text) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find('_', start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

bool isIntegerCode(char c) {
    switch (c) {
        case 'B':
        case 'C':
        case 'I':
        case 'L':
        case 'S':
        case 'c':
        case 'i':
        case 'l':
        case 'q':
        case 's': return true;
        default: return false;
    }
}

// Falls back on the accessors of the property whose getter is named `name`.
void useProperty(const ClassInfo* cls, PNTlvPropertyInfo& info, const std::string& name) {
    for (const ClassInfo* c = cls; c; c = c->superclass()) {
        for (const PropertyInfo& property : c->ownProperties()) {
            if (property.getterName != name) continue;
            if (!info.getter && property.get) {
                info.propertyGetter = property.get;
                info.getter = &info.propertyGetter;
            }
            if (!info.setter && property.set && !property.readOnly) {
                info.propertySetter = property.set;
                info.setter = &info.propertySetter;
            }
            return;
        }
    }
}

// An int tag for the writer and reader; tags beyond int are out of range for both.
int tagArgument(std::int64_t tag) { return tag < 0 || tag > 0xFFFF ? -1 : static_cast<int>(tag); }

std::unique_ptr<TlvFieldTable> buildFieldTable(const ClassInfo* cls) {
    static constexpr const char* kMethod = "+[PNTlvObjectV2 tlvPropsDescription]";
    std::map<std::int64_t, Ref<PNTlvPropertyInfo>> byTag;
    for (const auto& [declaration, encoding] : PNTlvObject::tlvPropertiesWithEncodedTypes(cls)) {
        if (!declaration.starts_with(kFieldPrefix)) continue;
        auto info = PNTlvPropertyInfo::propertyInfo();
        info->setType(encoding);
        std::string_view rest = declaration;
        if (const std::size_t marker = rest.find(kElementMarker); marker != std::string_view::npos) {
            info->setExt(PNTlvPair::pairFromExtStr(rest.substr(marker + kElementMarker.size())));
            rest = rest.substr(0, marker);
        }
        const std::vector<std::string_view> parts = splitAtUnderscores(rest);
        if (!LV_TLV_CHECK(kMethod, parts.size() >= 5, "[strs count] >= 5")) continue;
        info->setTag(readLongLong(parts[2]));
        info->setFlag(parts[3] == "r");
        std::string name = "tlv_" + std::string(parts[4]);
        for (std::size_t i = 5; i < parts.size(); ++i) name += "_" + std::string(parts[i]);
        info->getter = cls->findInstanceHook<TlvGetterSignature>(name);
        info->setter = cls->findInstanceHook<TlvSetterSignature>("setT" + name.substr(1) + ":");
        if (!info->getter || !info->setter) useProperty(cls, *info, name);
        if (encoding.size() > 3 && encoding[0] == '@' && encoding[1] == '"') {
            info->declaredClass = classNamed(std::string_view(encoding).substr(2, encoding.size() - 3));
        }
        info->readDescription = info->ext().isNil() ? TlvDescription(info->declaredClass) : info->ext();
        info->setName(std::move(name));
        byTag[info->tag()] = info;
    }
    auto table = std::make_unique<TlvFieldTable>();
    for (auto& entry : byTag) table->fields.push_back(std::move(entry.second));
    return table;
}

}  // namespace

const Value& tlvEmptyText() {
    static const Value& text = *new Value("");
    return text;
}

const Value& tlvEmptyList() {
    static const Value& list = *new Value{Array{}};
    return list;
}

std::string tlvFieldNameOf(std::string_view declaration) {
    if (const std::size_t marker = declaration.find(kElementMarker); marker != std::string_view::npos) {
        declaration = declaration.substr(0, marker);
    }
    const std::vector<std::string_view> parts = splitAtUnderscores(declaration);
    if (parts.size() < 5) return {};
    std::string name(parts[4]);
    for (std::size_t i = 5; i < parts.size(); ++i) name += "_" + std::string(parts[i]);
    return name;
}

TlvDescription PNTlvPair::analyzeExtStr(std::string_view text) {
    static constexpr const char* kMethod = "+[PNTlvPair(V2) analyzeExtStr:]";
    if (text.empty()) {
        tlvAssertionReport(kMethod, __LINE__, "0");
        return {};
    }
    switch (text[0]) {
        case 'M': {
            const bool digits =
                text.size() >= 3 && text[1] >= '0' && text[1] <= '9' && text[2] >= '0' && text[2] <= '9';
            const std::size_t keyLength = digits ? static_cast<std::size_t>((text[1] - '0') * 10 + (text[2] - '0')) : 0;
            if (!digits || 3 + keyLength > text.size()) {
                tlvAssertionReport(kMethod, __LINE__, "0");
                return {};
            }
            TlvDescription key = analyzeExtStr(text.substr(3, keyLength));
            return pairWithValue(analyzeExtStr(text.substr(3 + keyLength)), std::move(key));
        }
        case 'O': return classNamed(text.substr(1));
        case 'V': return pairWithValue(analyzeExtStr(text.substr(1)), {});
        default: tlvAssertionReport(kMethod, __LINE__, "0"); return {};
    }
}

TlvDescription PNTlvPair::pairFromExtStr(std::string_view text) {
    static constexpr const char* kMethod = "+[PNTlvPair(V2) pairFromExtStr:]";
    LV_TLV_CHECK(kMethod, text.size() < 128, "[str length] < 128");
    TlvDescription parsed = analyzeExtStr(text);
    LV_TLV_CHECK(kMethod, parsed.pair != nullptr, "[pair isKindOfClass:[PNTlvPair class]]");
    return parsed;
}

int PNTlvPropertyInfo::compareWithTag(const PNTlvPropertyInfo& other) const {
    return tag_ < other.tag_ ? -1 : tag_ > other.tag_ ? 1 : 0;
}

std::string PNTlvPropertyInfo::description() const {
    const Value ext = ext_.pair ? Value(ext_.pair) : ext_.cls ? Value(ext_.cls->name()) : Value();
    return format(
        "{\n    tag      : %d\n    required : %d\n    name     : %@\n    type     : %@\n    ext      : %@\n}\n",
        static_cast<int>(tag_), flag_ ? 1 : 0, name_, type_, ext);
}

const PNTlvPropertyInfo* TlvFieldTable::find(std::int64_t tag) const {
    for (const auto& field : fields) {
        if (field->tag() == tag) return field.get();
    }
    return nullptr;
}

PNTlvObjectV2::PNTlvObjectV2() { runtimeClass(); }

const ClassInfo* PNTlvObjectV2::runtimeClass() {
    static const ClassInfo* cls = [] {
        PNTlvObject::runtimeClass();
        return ClassDef<PNTlvObjectV2>("PNTlvObjectV2").superclass<PNTlvObject>().factory().registerClass();
    }();
    return cls;
}

const TlvFieldTable& PNTlvObjectV2::tlvPropsDescription(const ClassInfo* cls) {
    static std::mutex mutex;
    static auto* tables = new std::map<const ClassInfo*, std::unique_ptr<TlvFieldTable>>();  // never destroyed
    std::lock_guard lock(mutex);
    auto& table = (*tables)[cls];
    if (!table) table = buildFieldTable(cls);
    return *table;
}

Ref<PNTlvObject> PNTlvObjectV2::tlvRefObject(const ClassInfo* cls) {
    static std::mutex mutex;
    static auto* instances = new std::map<const ClassInfo*, Ref<PNTlvObject>>();  // never destroyed
    std::lock_guard lock(mutex);
    auto& instance = (*instances)[cls];
    if (!instance && cls) instance = objectCast<PNTlvObject>(cls->create());
    return instance;
}

void PNTlvObjectV2::pack(PNTlvOutputStream& writer) const {
    static constexpr const char* kMethod = "-[PNTlvObjectV2 __pack:]";
    for (const Ref<PNTlvPropertyInfo>& field : tlvFields().fields) {
        const std::string& type = field->type();
        const char code = type.empty() ? '\0' : type[0];
        const bool known = isIntegerCode(code) || code == 'd' || code == 'f' || code == '@';
        if (!LV_TLV_CHECK(kMethod, known && field->getter, "0")) continue;
        const Value value = (*field->getter)(*this);
        const int tag = tagArgument(field->tag());
        if (isIntegerCode(code)) {
            writer.writeInt(value.longLongValue(), tag);
        } else if (code == 'd') {
            writer.writeDouble(value.doubleValue(), tag);
        } else if (code == 'f') {
            writer.writeFloat(static_cast<float>(value.doubleValue()), tag);
        } else if (field->flag() || !value.isNil()) {
            writer.writeAnything(value, tag, field->flag());
        }
    }
}

void PNTlvObjectV2::unpack(PNTlvInputStream& reader) {
    static constexpr const char* kMethod = "-[PNTlvObjectV2 __unpack:]";
    for (const Ref<PNTlvPropertyInfo>& field : tlvFields().fields) {
        const std::string& type = field->type();
        const char code = type.empty() ? '\0' : type[0];
        const bool numeric = isIntegerCode(code) || code == 'd' || code == 'f';
        if (!LV_TLV_CHECK(kMethod, (numeric || code == '@') && field->setter, "0")) continue;
        const int tag = tagArgument(field->tag());
        if (numeric) {
            const Value number = reader.readNumber(tag, field->flag());
            if (!number.isNil()) (*field->setter)(*this, number);
            continue;
        }
        const Value value = reader.readAnything(tag, field->flag(), field->readDescription);
        if (value.isNil()) continue;
        const auto* record = value.isObject() ? objectCast<PNTlvObject>(value.object().get()) : nullptr;
        const ClassInfo* valueClass = record ? record->tlvClass() : classOfValue(value);
        const bool fits = field->declaredClass && valueClass && valueClass->isSubclassOf(field->declaredClass);
        if (!LV_TLV_CHECK(kMethod, fits, "[[value class] isSubclassOfClass:cls]")) continue;
        (*field->setter)(*this, value);
    }
}

}  // namespace lv
