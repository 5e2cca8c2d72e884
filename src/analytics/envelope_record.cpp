#include "analytics/envelope_record.h"

#include "platform/base/format.h"
#include "platform/runtime/runtime.h"

namespace lv {

LV_PACK_TABLE(TLYEnvelope,
    packField<&TLYEnvelope::version_>(1, "version"),
    packField<&TLYEnvelope::address_>(2, "address"),
    packField<&TLYEnvelope::signature_>(3, "signature"),
    packField<&TLYEnvelope::serial_num_>(4, "serial_num"),
    packField<&TLYEnvelope::ts_secs_>(5, "ts_secs"),
    packField<&TLYEnvelope::length_>(6, "length"),
    packField<&TLYEnvelope::entity_>(7, "entity"),
    packField<&TLYEnvelope::guid_>(8, "guid"),
    packField<&TLYEnvelope::checksum_>(9, "checksum"),
    packField<&TLYEnvelope::codex_>(10, "codex"))

namespace {

void encodeText(Coder& coder, const PackText& text, std::string_view key) {
    coder.encodeObject(text ? Value(*text) : Value(), key);
}

// Text shown between double quotes; nothing prints as "(null)".
std::string quoted(const Value& value) { return "\"" + (value ? value.description() : "(null)") + "\""; }
Value textValue(const PackText& text) { return text ? Value(*text) : Value(); }

}  // namespace

TLYEnvelope::TLYEnvelope() { runtimeClass(); }

TLYEnvelope::TLYEnvelope(PackText version, PackText address, PackText signature, std::int32_t serial_num,
                         std::int32_t ts_secs, std::int32_t length, std::optional<Bytes> entity, PackText guid,
                         PackText checksum, std::int32_t codex)
    : TLYEnvelope() {
    setVersion(std::move(version));
    setAddress(std::move(address));
    setSignature(std::move(signature));
    setSerial_num(serial_num);
    setTs_secs(ts_secs);
    setLength(length);
    setEntity(std::move(entity));
    setGuid(std::move(guid));
    setChecksum(std::move(checksum));
    setCodex(codex);
}

TLYEnvelope::TLYEnvelope(const TLYEnvelope& other) : Object(), Coding(), PackStruct<TLYEnvelope>() { *this = other; }

TLYEnvelope& TLYEnvelope::operator=(const TLYEnvelope& other) {
    version_ = other.version_;
    address_ = other.address_;
    signature_ = other.signature_;
    serial_num_ = other.serial_num_;
    ts_secs_ = other.ts_secs_;
    length_ = other.length_;
    entity_ = other.entity_;
    guid_ = other.guid_;
    checksum_ = other.checksum_;
    codex_ = other.codex_;
    return *this;
}

const ClassInfo* TLYEnvelope::runtimeClass() {
    static const ClassInfo* cls = ClassDef<TLYEnvelope>("TLYEnvelope").factory().registerClass();
    return cls;
}

void TLYEnvelope::validate() const {
    for (const auto& field : fieldTable()) {
        if (field.id == 10) continue;  // codex is optional
        if (!field.isSet(*this)) TPKProtocolException::raise(format("Required field '%s' is not set.", field.name));
    }
}

void TLYEnvelope::encodeWithCoder(Coder& coder) const {
    if (versionIsSet()) encodeText(coder, version(), "version");
    if (addressIsSet()) encodeText(coder, address(), "address");
    if (signatureIsSet()) encodeText(coder, signature(), "signature");
    if (serial_numIsSet()) coder.encodeInt32(serial_num(), "serial_num");
    if (ts_secsIsSet()) coder.encodeInt32(ts_secs(), "ts_secs");
    if (lengthIsSet()) coder.encodeInt32(length(), "length");
    if (entityIsSet()) coder.encodeObject(entity() ? Value(*entity()) : Value(), "entity");
    if (guidIsSet()) encodeText(coder, guid(), "guid");
    if (checksumIsSet()) encodeText(coder, checksum(), "checksum");
    if (codexIsSet()) coder.encodeInt32(codex(), "codex");
}

bool TLYEnvelope::initWithCoder(Coder& coder) {
    auto text = [&](std::string_view key, auto setter) {
        if (!coder.containsValueForKey(key)) return;
        Value v = coder.decodeObject(key);
        (this->*setter)(v.isString() ? PackText(v.string()) : PackText());
    };
    auto number = [&](std::string_view key, auto setter) {
        if (coder.containsValueForKey(key)) (this->*setter)(coder.decodeInt32(key));
    };
    text("version", &TLYEnvelope::setVersion);
    text("address", &TLYEnvelope::setAddress);
    text("signature", &TLYEnvelope::setSignature);
    number("serial_num", &TLYEnvelope::setSerial_num);
    number("ts_secs", &TLYEnvelope::setTs_secs);
    number("length", &TLYEnvelope::setLength);
    if (coder.containsValueForKey("entity")) {
        Value v = coder.decodeObject("entity");
        setEntity(v.isData() ? std::optional<Bytes>(v.bytes()) : std::nullopt);
    }
    text("guid", &TLYEnvelope::setGuid);
    text("checksum", &TLYEnvelope::setChecksum);
    number("codex", &TLYEnvelope::setCodex);
    return true;
}

std::string TLYEnvelope::description() const {
    return format("TLYEnvelope(version:%s,address:%s,signature:%s,serial_num:%i,ts_secs:%i,length:%i,entity:%s,"
                  "guid:%s,checksum:%s,codex:%i)",
                  quoted(textValue(version())), quoted(textValue(address())), quoted(textValue(signature())),
                  serial_num(), ts_secs(), length(), quoted(entity() ? Value(*entity()) : Value()),
                  quoted(textValue(guid())), quoted(textValue(checksum())), codex());
}

bool TLYEnvelope::isEqual(const Object& other) const {
    const auto* envelope = dynamic_cast<const TLYEnvelope*>(&other);
    return envelope && version_ == envelope->version_ && address_ == envelope->address_ &&
           signature_ == envelope->signature_ && serial_num_ == envelope->serial_num_ &&
           ts_secs_ == envelope->ts_secs_ && length_ == envelope->length_ && entity_ == envelope->entity_ &&
           guid_ == envelope->guid_ && checksum_ == envelope->checksum_ && codex_ == envelope->codex_;
}

std::size_t TLYEnvelope::hash() const { return std::hash<std::string>()(version().value_or("")); }

}  // namespace lv
