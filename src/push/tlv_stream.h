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

    // Plain accessors without checks. A writer owns the buffer it holds: it reallocates it to the
    // capacity at the next write and frees it when destroyed, so a buffer handed to a writer must come
    // from malloc (or be null), and the caller takes over the buffer it replaces. A reader borrows its
    // buffer (see PNTlvInputStream::dataHolders). Reads and writes stay inside the buffer whatever the
    // cursor; a size larger than the buffer handed in is the caller's error.
    std::uint8_t* streamBuffer() const { return streamBuffer_; }
    virtual void setStreamBuffer(std::uint8_t* buffer) { streamBuffer_ = buffer; }
    std::int32_t streamSize() const { return streamSize_; }
    void setStreamSize(std::int32_t size) { streamSize_ = size; }
    std::int32_t cursor() const { return cursor_; }
    void setCursor(std::int32_t cursor) { cursor_ = cursor; }

protected:
    std::uint8_t* streamBuffer_ = nullptr;
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

    // The bytes written so far (up to the cursor, never past the buffer).
    std::optional<Bytes> data() const override {
        const auto bytes = written();
        return Bytes(bytes.begin(), bytes.end());
    }
    std::span<const std::uint8_t> written() const { return {streamBuffer_, writtenLength()}; }

    // The writer takes over the buffer (see PNTlvStream); its size is taken to be streamSize() until
    // the next write reallocates it.
    void setStreamBuffer(std::uint8_t* buffer) override;

    // Makes room for n more bytes, doubling the capacity, and brings the buffer to the capacity. False
    // (after a report) when the capacity is 0 or negative, the cursor negative, the content would pass
    // the signed 32-bit limit, or the buffer cannot be resized.
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
    struct DefaultBuffer {};
    // A writer of the default capacity over `buffer` (that many bytes from malloc, taken over), or over
    // a fresh buffer when it is null.
    PNTlvOutputStream(DefaultBuffer, std::uint8_t* buffer);
    // Hands back the buffer while it is still the default capacity (this writer then holds none).
    std::uint8_t* takeDefaultBuffer();
    // Reserves a head plus `payload` bytes and writes the head; false writes nothing.
    bool beginField(const char* method, int tag, TlvType type, std::int64_t payload);
    void put(std::uint64_t v, int width);
    bool checkPresent(const char* method, const Value& value, bool required);
    std::size_t writtenLength() const;

    // Bytes this writer allocated at streamBuffer_; -1 for a buffer handed in by setStreamBuffer.
    std::int64_t allocated_ = -1;
    // A default-sized buffer kept for the writers of nested records (see writeObject).
    std::uint8_t* spareBuffer_ = nullptr;
};

}  // namespace lv
