#include "push/tlv_input_stream.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "platform/base/big_endian.h"
#include "platform/runtime/runtime.h"
#include "push/tlv_report.h"

namespace lv {

namespace {

constexpr const char* kEndsInsideField = "Tlv data ends inside a field";
constexpr const char* kNegativeLength = "Tlv data carries a negative length";
constexpr const char* kNilElement = "Tlv list element is nil";
constexpr const char* kNilKey = "Tlv map key is nil";

struct ReadableClasses {
    const ClassInfo* number = classNamed("Number");
    const ClassInfo* string = classNamed("String");
    const ClassInfo* data = classNamed("Data");
    const ClassInfo* record = PNTlvObject::runtimeClass();
};

const ReadableClasses& readableClasses() {
    static const auto& classes = *new ReadableClasses;
    return classes;
}

}  // namespace

PNTlvInputStream::PNTlvInputStream(std::span<const std::uint8_t> input) {
    // The reader never writes through the buffer; the base holds writers' buffers too.
    streamBuffer_ = const_cast<std::uint8_t*>(input.data());
    if (input.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        fail(kEndsInsideField);
        return;
    }
    streamSize_ = static_cast<std::int32_t>(input.size());
}

Ref<PNTlvInputStream> PNTlvInputStream::streamWithData(const Value& data) {
    if (!data.isData()) return nullptr;
    auto reader = makeRef<PNTlvInputStream>(std::span<const std::uint8_t>(data.bytes()));
    reader->dataHolders_ = data;  // shares the bytes: their address stays as it is
    return reader;
}

void PNTlvInputStream::setDataHolders(Value data) {
    const auto holds = [this](const Value& holder) {
        if (!holder.isData() || !streamBuffer_) return false;
        const Bytes& bytes = holder.bytes();
        const auto at = reinterpret_cast<std::uintptr_t>(streamBuffer_);
        const auto first = reinterpret_cast<std::uintptr_t>(bytes.data());
        return at >= first && at < first + bytes.size();
    };
    if (holds(dataHolders_)) {
        readBytesHolder_ = std::move(dataHolders_);
    } else if (!holds(readBytesHolder_)) {
        readBytesHolder_ = Value();
    }
    dataHolders_ = std::move(data);
}

std::optional<Bytes> PNTlvInputStream::data() const {
    if (!streamBuffer_ || streamSize_ <= 0) return Bytes();
    return Bytes(streamBuffer_, streamBuffer_ + streamSize_);
}

void PNTlvInputStream::fail(const char* reason) {
    if (failed_) return;
    failed_ = true;
    failureReason_ = reason;
}

bool PNTlvInputStream::need(std::int64_t n) {
    if (failed_) return false;
    if (n < 0 || n > remaining()) {
        fail(kEndsInsideField);
        return false;
    }
    return true;
}

bool PNTlvInputStream::decodeHead(bool consume, bool mustExist) {
    headLength_ = 0;
    if (failed_) return false;
    if (remaining() < 1) {
        if (mustExist) fail(kEndsInsideField);
        return false;
    }
    const std::uint8_t b = at()[0];
    int tag = b >> 4;
    int length = 1;
    if (tag == 15) {
        if (remaining() < 2) {
            fail(kEndsInsideField);
            return false;
        }
        tag = at()[1];
        length = 2;
    }
    headType_ = b & 15;
    headTag_ = tag;
    headLength_ = length;
    if (consume) cursor_ += length;
    return true;
}

bool PNTlvInputStream::peakHead() { return decodeHead(false, false); }
bool PNTlvInputStream::readHead() { return decodeHead(true, false); }

std::uint64_t PNTlvInputStream::readRaw(int width) {
    if (!need(width)) return 0;
    const std::uint64_t v = loadBig(streamBuffer_ + cursor_, static_cast<unsigned>(width));
    cursor_ += width;
    return v;
}

std::int8_t PNTlvInputStream::readInt1() { return static_cast<std::int8_t>(readRaw(1)); }
std::int16_t PNTlvInputStream::readInt2() { return static_cast<std::int16_t>(readRaw(2)); }
std::int32_t PNTlvInputStream::readInt4() { return static_cast<std::int32_t>(readRaw(4)); }
std::int64_t PNTlvInputStream::readInt8() { return static_cast<std::int64_t>(readRaw(8)); }

float PNTlvInputStream::readFloat() {
    const auto bits = static_cast<std::uint32_t>(readRaw(4));
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

double PNTlvInputStream::readDouble() {
    const std::uint64_t bits = readRaw(8);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

std::int64_t PNTlvInputStream::readInt(int tag) {
    static constexpr const char* kMethod = "-[PNTlvInputStream readInt:]";
    if (!decodeHead(true, true)) return 0;
    LV_TLV_CHECK(kMethod, headTag_ == tag, "_headTag == tag");
    switch (static_cast<TlvType>(headType_)) {
        case TlvType::Int1: return readInt1();
        case TlvType::Int2: return readInt2();
        case TlvType::Int4: return readInt4();
        case TlvType::Int8: return readInt8();
        case TlvType::Zero: return 0;
        default: tlvAssertionReport(kMethod, __LINE__, "0"); return 0;
    }
}

float PNTlvInputStream::readFloat(int tag) {
    static constexpr const char* kMethod = "-[PNTlvInputStream readFloat:]";
    if (!decodeHead(true, true)) return 0;
    LV_TLV_CHECK(kMethod, headTag_ == tag, "_headTag == tag");
    LV_TLV_CHECK(kMethod, headType_ == static_cast<int>(TlvType::Float), "_headType == (4)");
    return readFloat();
}

double PNTlvInputStream::readDouble(int tag) {
    static constexpr const char* kMethod = "-[PNTlvInputStream readDouble:]";
    if (!decodeHead(true, true)) return 0;
    LV_TLV_CHECK(kMethod, headTag_ == tag, "_headTag == tag");
    LV_TLV_CHECK(kMethod, headType_ == static_cast<int>(TlvType::Double), "_headType == (5)");
    return readDouble();
}

std::optional<Bytes> PNTlvInputStream::readBytes(std::uint32_t length) {
    if (failed_) return std::nullopt;
    if (!LV_TLV_CHECK("-[PNTlvInputStream readBytes:]", std::int64_t{length} <= remaining(),
                      "_cursor + length <= _streamSize")) {
        fail(kEndsInsideField);
        return std::nullopt;
    }
    Bytes bytes = length > 0 ? Bytes(at(), at() + length) : Bytes();
    cursor_ += static_cast<std::int32_t>(length);
    return bytes;
}

std::optional<Bytes> PNTlvInputStream::readDataWithSize(std::int32_t size) {
    if (size < 0) {
        fail(kNegativeLength);
        return std::nullopt;
    }
    return readBytes(static_cast<std::uint32_t>(size));
}

void PNTlvInputStream::skip(std::uint32_t n) {
    cursor_ = static_cast<std::int32_t>(std::min<std::int64_t>(std::int64_t{cursor_} + n, streamSize_));
}

bool PNTlvInputStream::lookup(const char* method, int tag, bool required) {
    if (failed_) return false;
    if (decodeHead(false, false) && headTag_ == tag) {
        cursor_ += headLength_;
        return true;
    }
    if (required && !failed_) tlvAssertionReport(method, __LINE__, "required == __objc_no");
    return false;
}

Value PNTlvInputStream::readNumber(int tag, bool required) {
    static constexpr const char* kMethod = "-[PNTlvInputStream readNumber:required:]";
    if (!lookup(kMethod, tag, required)) return Value();
    Value result;
    switch (static_cast<TlvType>(headType_)) {
        case TlvType::Int1: result = Value(readInt1()); break;
        case TlvType::Int2: result = Value(readInt2()); break;
        case TlvType::Int4: result = Value(readInt4()); break;
        case TlvType::Int8: result = Value(readInt8()); break;
        case TlvType::Float: result = Value(readFloat()); break;
        case TlvType::Double: result = Value(readDouble()); break;
        case TlvType::Zero: result = Value(std::int8_t{0}); break;
        default: tlvAssertionReport(kMethod, __LINE__, "0"); return Value();
    }
    return failed_ ? Value() : result;
}

Value PNTlvInputStream::readString(int tag, bool required) {
    static constexpr const char* kMethod = "-[PNTlvInputStream readString:required:]";
    if (!lookup(kMethod, tag, required)) return Value();
    std::uint64_t length;
    if (headType_ == static_cast<int>(TlvType::String1)) {
        length = readRaw(1);
    } else if (headType_ == static_cast<int>(TlvType::String4)) {
        length = readRaw(4);
    } else {
        tlvAssertionReport(kMethod, __LINE__, "0");
        return Value();
    }
    if (!need(static_cast<std::int64_t>(length))) return Value();
    const std::string_view text =
        length > 0 ? std::string_view(reinterpret_cast<const char*>(at()), length) : std::string_view();
    cursor_ += static_cast<std::int32_t>(length);
    return isWellFormedUtf8(text) ? Value(text) : Value("");
}

bool PNTlvInputStream::readElementHead(const char* method) {
    if (!decodeHead(true, true)) return false;
    LV_TLV_CHECK(method, headType_ == 0 && headTag_ == 0, "_headType == (0) && _headTag == 0");
    return true;
}

Value PNTlvInputStream::readData(int tag, bool required) {
    static constexpr const char* kMethod = "-[PNTlvInputStream readData:required:]";
    if (!lookup(kMethod, tag, required)) return Value();
    LV_TLV_CHECK(kMethod, headType_ == static_cast<int>(TlvType::ByteList), "_headType == (13)");
    if (!readElementHead(kMethod)) return Value();
    const auto n = static_cast<std::int32_t>(readInt(0));
    if (failed_) return Value();
    std::optional<Bytes> bytes = readDataWithSize(n);
    return bytes ? Value(std::move(*bytes)) : Value();
}

Value PNTlvInputStream::readObject(int tag, bool required, const ClassInfo* cls) {
    static constexpr const char* kMethod = "-[PNTlvInputStream readObject:required:description:]";
    if (!lookup(kMethod, tag, required)) return Value();
    LV_TLV_CHECK(kMethod, headType_ == static_cast<int>(TlvType::StructBegin), "_headType == (10)");
    Ref<PNTlvObject> record = cls ? objectCast<PNTlvObject>(cls->create()) : nullptr;
    if (decodeHead(false, false) && headTag_ == 0 && headType_ == static_cast<int>(TlvType::StructEnd)) {
        decodeHead(true, false);
        return record ? Value(record) : Value();
    }
    if (LV_TLV_CHECK(kMethod, record != nullptr, "[obj respondsToSelector:@selector(__unpack:)]")) {
        record->unpack(*this);
    }
    // Pass over what the record left unread, nested records whole, up to its StructEnd.
    const auto advance = [this](std::int64_t n) {
        if (need(n)) cursor_ += static_cast<std::int32_t>(n);
    };
    std::int64_t depth = 1;
    while (depth >= 1 && decodeHead(true, true)) {
        switch (static_cast<TlvType>(headType_)) {
            case TlvType::Int1: advance(1); break;
            case TlvType::Int2: advance(2); break;
            case TlvType::Int4:
            case TlvType::Float: advance(4); break;
            case TlvType::Int8:
            case TlvType::Double: advance(8); break;
            case TlvType::String1: advance(static_cast<std::int64_t>(readRaw(1))); break;
            case TlvType::String4: advance(static_cast<std::int64_t>(readRaw(4))); break;
            case TlvType::Map:
            case TlvType::List: readInt(0); break;
            case TlvType::StructBegin: ++depth; break;
            case TlvType::StructEnd: --depth; break;
            case TlvType::Zero: break;
            case TlvType::ByteList: {
                if (!readElementHead(kMethod)) break;
                const auto n = static_cast<std::int32_t>(readInt(0));
                if (n < 0) fail(kNegativeLength);
                advance(n);
                break;
            }
            default: tlvAssertionReport(kMethod, __LINE__, "0"); break;
        }
    }
    if (failed_) return Value();
    LV_TLV_CHECK(kMethod, headType_ == static_cast<int>(TlvType::StructEnd), "_headType == (11)");
    return record ? Value(record) : Value();
}

Value PNTlvInputStream::readArray(int tag, bool required, const TlvDescription& element) {
    static constexpr const char* kMethod = "-[PNTlvInputStream readArray:required:description:]";
    if (!lookup(kMethod, tag, required)) return Value();
    LV_TLV_CHECK(kMethod, headType_ == static_cast<int>(TlvType::List), "_headType == (9)");
    const auto count = static_cast<std::int32_t>(readInt(0));
    if (failed_) return Value();
    Array elements;
    // Every element takes at least one byte, so the bytes left bound what is worth reserving.
    if (count > 0) elements.reserve(static_cast<std::size_t>(std::min<std::int64_t>(count, remaining())));
    for (std::int32_t i = 0; i < count; ++i) {
        Value item = readAnything(0, true, element);
        if (item.isNil()) {
            fail(kNilElement);
            return Value();
        }
        elements.push_back(std::move(item));
    }
    return Value(std::move(elements));
}

Value PNTlvInputStream::readDictionary(int tag, bool required, const PNTlvPair& pair) {
    static constexpr const char* kMethod = "-[PNTlvInputStream readDictionary:required:description:]";
    if (!lookup(kMethod, tag, required)) return Value();
    LV_TLV_CHECK(kMethod, headType_ == static_cast<int>(TlvType::Map), "_headType == (8)");
    const auto count = static_cast<std::int32_t>(readInt(0));
    if (failed_) return Value();
    auto map = makeRef<TlvMap>();
    if (count > 0) map->reserve(static_cast<std::size_t>(std::min<std::int64_t>(count, remaining() / 2)));
    for (std::int32_t i = 0; i < count; ++i) {
        Value key = readAnything(0, true, pair.key());
        if (key.isNil()) {
            fail(kNilKey);
            return Value();
        }
        map->set(key, readAnything(1, true, pair.value()));
        if (failed_) return Value();
    }
    return Value(map);
}

Value PNTlvInputStream::readAnything(int tag, bool required, const TlvDescription& description) {
    if (description.pair) {
        if (description.pair->key().isNil()) return readArray(tag, required, description.pair->value());
        return readDictionary(tag, required, *description.pair);
    }
    const ReadableClasses& classes = readableClasses();
    if (const ClassInfo* cls = description.cls) {
        if (cls->isSubclassOf(classes.number)) return readNumber(tag, required);
        if (cls->isSubclassOf(classes.string)) return readString(tag, required);
        if (cls->isSubclassOf(classes.record)) return readObject(tag, required, cls);
        if (cls->isSubclassOf(classes.data)) return readData(tag, required);
    }
    tlvAssertionReport("-[PNTlvInputStream readAnything:required:description:]", __LINE__, "0");
    return Value();
}

}  // namespace lv
