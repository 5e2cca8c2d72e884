// The Tlv tagged encoding's stream base and writer. A field is a head (tag and type code; one byte for
// tags 0-14, 0xF0|type then the tag for 15-255) and the payload its type code fixes; integers take the
// smallest width that holds them, 0 is a bare Zero head; strings are String1/String4 by UTF-8 byte
// count; records nest between StructBegin and 0x0B.
//
// Threads: a stream is used by one thread at a time; it has no lock and is never shared.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/base/object.h"
#include "platform/base/value.h"

namespace lv {

// Type codes of a head's low four bits (14 and 15 are unused).
enum class TlvType : std::uint8_t {
    Int1 = 0,
    Int2 = 1,
    Int4 = 2,
    Int8 = 3,
    Float = 4,
    Double = 5,
    String1 = 6,
    String4 = 7,
    Map = 8,
    List = 9,
    StructBegin = 10,
    StructEnd = 11,
    Zero = 12,
    ByteList = 13,
};

// What the writer and the reader share: a capacity (writer) or input size (reader) and a cursor.
class PNTlvStream : public Object {
public:
    // The stream's content: nil for the base, the bytes written for a writer, the whole input for a
    // reader.
    virtual std::optional<Bytes> data() const { return std::nullopt; }
    // "<bytes before the cursor> ^cursor <bytes from the cursor>", after checking that the cursor lies
    // within data().
    std::string description() const override;

    std::int32_t streamSize() const { return streamSize_; }
    std::int32_t cursor() const { return cursor_; }

protected:
    std::int32_t streamSize_ = 0;
    std::int32_t cursor_ = 0;
};

class PNTlvOutputStream : public PNTlvStream {
public:
    static constexpr std::int32_t kDefaultCapacity = 4096;

    static Ref<PNTlvOutputStream> stream() { return makeRef<PNTlvOutputStream>(); }
    // Capacity n + 64.
    static Ref<PNTlvOutputStream> streamWithCapability(std::int32_t n);
    PNTlvOutputStream() : PNTlvOutputStream(kDefaultCapacity) {}
    // Capacity max(size, 1).
    explicit PNTlvOutputStream(std::int32_t bufferSize);
    ~PNTlvOutputStream() override;
    PNTlvOutputStream(const PNTlvOutputStream&) = delete;
    PNTlvOutputStream& operator=(const PNTlvOutputStream&) = delete;

    // The bytes written so far.
    std::optional<Bytes> data() const override { return Bytes(buffer_, buffer_ + cursor_); }
    std::span<const std::uint8_t> written() const { return {buffer_, static_cast<std::size_t>(cursor_)}; }

    // Makes room for n more bytes, doubling the capacity. False (after a report) when the capacity is
    // 0, when the content would pass the signed 32-bit limit, or when the buffer cannot grow.
    bool preventBufferOverflow(std::int64_t n);

    // A head. Tags outside 0-255 are reported and write nothing.
    void writeTag(int tag, int type);
    // Raw big-endian values and bytes, no head.
    void writeInt1(std::int8_t v);
    void writeInt2(std::int16_t v);
    void writeInt4(std::int32_t v);
    void writeInt8(std::int64_t v);
    void writeBytes(const std::uint8_t* bytes, std::int32_t size);
    void fillWithZero(std::uint32_t n);

    // Integer field by the smallest-width rule (0 is a Zero head).
    void writeInt(std::int64_t value, int tag);
    void writeFloat(float value, int tag);
    void writeDouble(double value, int tag);

    // Object writers. A nil value writes nothing (reported when required is set); a value of another
    // class is reported and writes nothing. The required flag never changes the bytes.
    void writeNumber(const Value& number, int tag, bool required);
    void writeString(const Value& string, int tag, bool required);
    void writeData(const Value& data, int tag, bool required);
    // A record (a PNTlvObject in the value's object slot), packed through a fresh writer.
    void writeObject(const Value& object, int tag, bool required);
    void writeArray(const Value& array, int tag, bool required);
    // A Dictionary value (text keys) or a TlvMap object (keys of any kind).
    void writeDictionary(const Value& dictionary, int tag, bool required);
    // Dispatch: dictionary or TlvMap, array, number, record, string, data; anything else reports "0".
    void writeAnything(const Value& value, int tag, bool required);

private:
    // Reserves a head plus `payload` bytes and writes the head; false writes nothing.
    bool beginField(const char* method, int tag, TlvType type, std::int64_t payload);
    void put(std::uint64_t v, int width);
    bool checkPresent(const char* method, const Value& value, bool required);

    std::uint8_t* buffer_ = nullptr;
};

}  // namespace lv
