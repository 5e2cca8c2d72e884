#include "push/tlv_stream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include "platform/base/big_endian.h"
#include "platform/base/format.h"
#include "push/tlv_object.h"
#include "push/tlv_report.h"

namespace lv {

namespace {

constexpr std::int64_t kMaxStreamSize = std::numeric_limits<std::int32_t>::max();

// Payload width of an integer field: 0 for Zero, else 1, 2, 4 or 8.
int integerWidth(std::int64_t v) {
    if (v == 0) return 0;
    if (v >= -128 && v <= 127) return 1;
    if (v >= -32768 && v <= 32767) return 2;
    if (v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max()) return 4;
    return 8;
}

TlvType integerType(int width) {
    switch (width) {
        case 0: return TlvType::Zero;
        case 1: return TlvType::Int1;
        case 2: return TlvType::Int2;
        case 4: return TlvType::Int4;
        default: return TlvType::Int8;
    }
}

}  // namespace

std::string PNTlvStream::description() const {
    const std::optional<Bytes> content = data();
    const std::size_t length = content ? content->size() : 0;
    if (!LV_TLV_CHECK("-[PNTlvStream description]", static_cast<std::size_t>(cursor_) <= length,
                      "_cursor <= originData.length")) {
        return format("%@ ^cursor %@", Value(), Value());
    }
    if (!content) return format("%@ ^cursor %@", Value(), Value());
    const Value before(Bytes(content->begin(), content->begin() + cursor_));
    const Value after(Bytes(content->begin() + cursor_, content->end()));
    return format("%@ ^cursor %@", before, after);
}

Ref<PNTlvOutputStream> PNTlvOutputStream::streamWithCapability(std::int32_t n) {
    const std::int64_t size = std::min<std::int64_t>(std::int64_t{n} + 64, kMaxStreamSize);
    return makeRef<PNTlvOutputStream>(static_cast<std::int32_t>(size));
}

PNTlvOutputStream::PNTlvOutputStream(std::int32_t bufferSize) {
    streamSize_ = bufferSize < 1 ? 1 : bufferSize;
    streamBuffer_ = static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(streamSize_)));
    if (!streamBuffer_) streamSize_ = 0;
    allocated_ = streamSize_;
}

PNTlvOutputStream::PNTlvOutputStream(DefaultBuffer, std::uint8_t* buffer) {
    if (!buffer) buffer = static_cast<std::uint8_t*>(std::malloc(kDefaultCapacity));
    streamBuffer_ = buffer;
    streamSize_ = buffer ? kDefaultCapacity : 0;
    allocated_ = streamSize_;
}

std::uint8_t* PNTlvOutputStream::takeDefaultBuffer() {
    if (allocated_ != kDefaultCapacity) return nullptr;
    allocated_ = 0;
    return std::exchange(streamBuffer_, nullptr);
}

void PNTlvOutputStream::setStreamBuffer(std::uint8_t* buffer) {
    streamBuffer_ = buffer;
    allocated_ = -1;
}

std::size_t PNTlvOutputStream::writtenLength() const {
    if (!streamBuffer_ || cursor_ <= 0) return 0;
    const std::int64_t limit = allocated_ >= 0 ? allocated_ : std::max<std::int32_t>(streamSize_, 0);
    return static_cast<std::size_t>(std::min<std::int64_t>(cursor_, limit));
}

PNTlvOutputStream::~PNTlvOutputStream() {
    std::free(streamBuffer_);
    std::free(spareBuffer_);
}

bool PNTlvOutputStream::preventBufferOverflow(std::int64_t n) {
    static constexpr const char* kMethod = "-[PNTlvOutputStream preventBufferOverflow:]";
    if (!LV_TLV_CHECK(kMethod, streamSize_ != 0, "_streamSize != 0")) return false;
    // Only the raw setters can give a negative capacity or cursor.
    if (!LV_TLV_CHECK(kMethod, streamSize_ > 0, "_streamSize > 0")) return false;
    if (!LV_TLV_CHECK(kMethod, cursor_ >= 0, "_cursor >= 0")) return false;
    if (!LV_TLV_CHECK(kMethod, n >= 0 && cursor_ + n <= kMaxStreamSize, "_cursor + n <= INT32_MAX")) return false;
    std::int64_t capacity = streamSize_;
    while (capacity - cursor_ < n) capacity = std::min(capacity * 2, kMaxStreamSize);
    // The buffer is brought to the capacity whenever it differs: after growth, and after the setters
    // changed the size or handed in a buffer of unknown size.
    if (capacity != allocated_) {
        auto* resized = static_cast<std::uint8_t*>(std::realloc(streamBuffer_, static_cast<std::size_t>(capacity)));
        if (!LV_TLV_CHECK(kMethod, resized != nullptr, "_streamBuffer")) return false;
        streamBuffer_ = resized;
        allocated_ = capacity;
    }
    streamSize_ = static_cast<std::int32_t>(capacity);
    return true;
}

void PNTlvOutputStream::put(std::uint64_t v, int width) {
    storeBig(streamBuffer_ + cursor_, v, static_cast<unsigned>(width));
    cursor_ += width;
}

bool PNTlvOutputStream::beginField(const char* method, int tag, TlvType type, std::int64_t payload) {
    if (!LV_TLV_CHECK(method, tag >= 0 && tag <= 255, "tag >= 0 && tag <= 255")) return false;
    const int headLength = tag < 15 ? 1 : 2;
    if (!preventBufferOverflow(headLength + payload)) return false;
    const auto code = static_cast<std::uint8_t>(type);
    if (tag < 15) {
        streamBuffer_[cursor_++] = static_cast<std::uint8_t>(tag << 4 | code);
    } else {
        streamBuffer_[cursor_++] = static_cast<std::uint8_t>(0xF0 | code);
        streamBuffer_[cursor_++] = static_cast<std::uint8_t>(tag);
    }
    return true;
}

void PNTlvOutputStream::writeTag(int tag, int type) {
    beginField("-[PNTlvOutputStream writeTag:type:]", tag, static_cast<TlvType>(type & 15), 0);
}

void PNTlvOutputStream::writeInt1(std::int8_t v) {
    if (preventBufferOverflow(1)) put(static_cast<std::uint8_t>(v), 1);
}
void PNTlvOutputStream::writeInt2(std::int16_t v) {
    if (preventBufferOverflow(2)) put(static_cast<std::uint16_t>(v), 2);
}
void PNTlvOutputStream::writeInt4(std::int32_t v) {
    if (preventBufferOverflow(4)) put(static_cast<std::uint32_t>(v), 4);
}
void PNTlvOutputStream::writeInt8(std::int64_t v) {
    if (preventBufferOverflow(8)) put(static_cast<std::uint64_t>(v), 8);
}

void PNTlvOutputStream::writeBytes(const std::uint8_t* bytes, std::int32_t size) {
    if (size <= 0 || !preventBufferOverflow(size)) return;
    std::memcpy(streamBuffer_ + cursor_, bytes, static_cast<std::size_t>(size));
    cursor_ += size;
}

void PNTlvOutputStream::fillWithZero(std::uint32_t n) {
    if (n == 0 || !preventBufferOverflow(n)) return;
    std::memset(streamBuffer_ + cursor_, 0, n);
    cursor_ += static_cast<std::int32_t>(n);
}

void PNTlvOutputStream::writeInt(std::int64_t value, int tag) {
    const int width = integerWidth(value);
    if (beginField("-[PNTlvOutputStream writeInt:tag:]", tag, integerType(width), width)) {
        put(static_cast<std::uint64_t>(value), width);
    }
}

void PNTlvOutputStream::writeFloat(float value, int tag) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    if (beginField("-[PNTlvOutputStream writeFloat:tag:]", tag, TlvType::Float, 4)) put(bits, 4);
}

void PNTlvOutputStream::writeDouble(double value, int tag) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    if (beginField("-[PNTlvOutputStream writeDouble:tag:]", tag, TlvType::Double, 8)) put(bits, 8);
}

bool PNTlvOutputStream::checkPresent(const char* method, const Value& value, bool required) {
    if (!value.isNil()) return true;
    if (required) tlvAssertionReport(method, __LINE__, "required == __objc_no");
    return false;
}

void PNTlvOutputStream::writeNumber(const Value& number, int tag, bool required) {
    static constexpr const char* kMethod = "-[PNTlvOutputStream writeNumber:tag:required:]";
    if (!checkPresent(kMethod, number, required)) return;
    const Number* n = number.number();
    if (!LV_TLV_CHECK(kMethod, n != nullptr, "[number isKindOfClass:[NSNumber class]]")) return;
    switch (n->kind()) {
        case NumberKind::Double: writeDouble(n->doubleValue(), tag); break;
        case NumberKind::Float: writeFloat(n->floatValue(), tag); break;
        default: writeInt(n->longLongValue(), tag); break;
    }
}

void PNTlvOutputStream::writeString(const Value& string, int tag, bool required) {
    static constexpr const char* kMethod = "-[PNTlvOutputStream writeString:tag:required:]";
    if (!checkPresent(kMethod, string, required)) return;
    if (!LV_TLV_CHECK(kMethod, string.isString(), "[string isKindOfClass:[NSString class]]")) return;
    const std::string& text = string.string();
    const std::int64_t n = static_cast<std::int64_t>(text.size());
    const bool shortForm = n <= 255;
    if (!beginField(kMethod, tag, shortForm ? TlvType::String1 : TlvType::String4, (shortForm ? 1 : 4) + n)) return;
    put(static_cast<std::uint64_t>(n), shortForm ? 1 : 4);
    std::memcpy(streamBuffer_ + cursor_, text.data(), text.size());
    cursor_ += static_cast<std::int32_t>(n);
}

void PNTlvOutputStream::writeData(const Value& data, int tag, bool required) {
    static constexpr const char* kMethod = "-[PNTlvOutputStream writeData:tag:required:]";
    if (!checkPresent(kMethod, data, required)) return;
    if (!LV_TLV_CHECK(kMethod, data.isData(), "[data isKindOfClass:[NSData class]]")) return;
    const Bytes& bytes = data.bytes();
    const std::int64_t n = static_cast<std::int64_t>(bytes.size());
    const int width = integerWidth(n);
    // The element-type head 00, the count as an integer field with tag 0, the bytes.
    if (!beginField(kMethod, tag, TlvType::ByteList, 1 + 1 + width + n)) return;
    streamBuffer_[cursor_++] = 0x00;
    streamBuffer_[cursor_++] = static_cast<std::uint8_t>(integerType(width));
    put(static_cast<std::uint64_t>(n), width);
    if (n > 0) std::memcpy(streamBuffer_ + cursor_, bytes.data(), bytes.size());
    cursor_ += static_cast<std::int32_t>(n);
}

void PNTlvOutputStream::writeObject(const Value& object, int tag, bool required) {
    static constexpr const char* kMethod = "-[PNTlvOutputStream writeObject:tag:required:]";
    if (!checkPresent(kMethod, object, required)) return;
    const auto* record = objectCast<PNTlvObject>(object.object().get());
    if (!LV_TLV_CHECK(kMethod, record != nullptr, "[object isKindOfClass:[PNTlvObject class]]")) return;
    // A fresh writer of the default size; the records of a list take turns with one buffer.
    PNTlvOutputStream nested(DefaultBuffer{}, std::exchange(spareBuffer_, nullptr));
    record->pack(nested);
    const std::int32_t n = nested.cursor_;
    if (beginField(kMethod, tag, TlvType::StructBegin, std::int64_t{n} + 1)) {
        if (n > 0) std::memcpy(streamBuffer_ + cursor_, nested.streamBuffer_, static_cast<std::size_t>(n));
        cursor_ += n;
        streamBuffer_[cursor_++] = static_cast<std::uint8_t>(TlvType::StructEnd);
    }
    spareBuffer_ = nested.takeDefaultBuffer();
}

void PNTlvOutputStream::writeArray(const Value& array, int tag, bool required) {
    static constexpr const char* kMethod = "-[PNTlvOutputStream writeArray:tag:required:]";
    if (!checkPresent(kMethod, array, required)) return;
    if (!LV_TLV_CHECK(kMethod, array.isArray(), "[array isKindOfClass:[NSArray class]]")) return;
    const Array& elements = array.array();
    if (!beginField(kMethod, tag, TlvType::List, 0)) return;
    writeInt(static_cast<std::int64_t>(elements.size()), 0);
    for (const Value& element : elements) writeAnything(element, 0, true);
}

void PNTlvOutputStream::writeDictionary(const Value& dictionary, int tag, bool required) {
    static constexpr const char* kMethod = "-[PNTlvOutputStream writeDictionary:tag:required:]";
    if (!checkPresent(kMethod, dictionary, required)) return;
    const auto* map = dictionary.isObject() ? objectCast<TlvMap>(dictionary.object().get()) : nullptr;
    if (!LV_TLV_CHECK(kMethod, map || dictionary.isDictionary(), "[dictionary isKindOfClass:[NSDictionary class]]")) {
        return;
    }
    if (!beginField(kMethod, tag, TlvType::Map, 0)) return;
    if (map) {
        writeInt(static_cast<std::int64_t>(map->size()), 0);
        for (const auto& [key, value] : map->entries()) {
            writeAnything(key, 0, true);
            writeAnything(value, 1, true);
        }
        return;
    }
    const Dictionary& entries = dictionary.dictionary();
    writeInt(static_cast<std::int64_t>(entries.size()), 0);
    for (const auto& [key, value] : entries) {
        writeAnything(Value(key), 0, true);
        writeAnything(value, 1, true);
    }
}

void PNTlvOutputStream::writeAnything(const Value& value, int tag, bool required) {
    if (value.isDictionary() || (value.isObject() && objectCast<TlvMap>(value.object().get()))) {
        writeDictionary(value, tag, required);
    } else if (value.isArray()) {
        writeArray(value, tag, required);
    } else if (value.isNumber()) {
        writeNumber(value, tag, required);
    } else if (value.isObject() && objectCast<PNTlvObject>(value.object().get())) {
        writeObject(value, tag, required);
    } else if (value.isString()) {
        writeString(value, tag, required);
    } else if (value.isData()) {
        writeData(value, tag, required);
    } else {
        tlvAssertionReport("-[PNTlvOutputStream writeAnything:tag:required:]", __LINE__, "0");
    }
}

}  // namespace lv
