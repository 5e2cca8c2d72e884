// The Tlv reader. Lookup is strict: a field is found only when the very next head carries the asked
// tag; otherwise nothing is consumed and the field reads as nil. Every read stops at the end of the
// input: a field that runs past it, a negative length, or a nil list element or map key sets a sticky
// failure, after which every read answers nil and the record's decode gives nil.
//
// Threads: a reader is used by one thread for one decode. It borrows the input bytes, which must
// outlive it: a reader made by streamWithData keeps its byte string alive itself (dataHolders).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/base/value.h"
#include "push/tlv_object.h"
#include "push/tlv_stream.h"

namespace lv {

class PNTlvInputStream : public PNTlvStream {
public:
    // A reader without input (every field absent).
    PNTlvInputStream() = default;
    explicit PNTlvInputStream(std::span<const std::uint8_t> input);
    // A reader over a byte string's own bytes that holds the byte string (dataHolders) for its life;
    // nullptr when the value is not a byte string (nil included).
    static Ref<PNTlvInputStream> streamWithData(const Value& data);

    // A copy of the whole input, whatever the cursor.
    std::optional<Bytes> data() const override;

    int headType() const { return headType_; }
    void setHeadType(int type) { headType_ = type; }
    int headTag() const { return headTag_; }
    // The byte string whose bytes the reader reads, held so that streamBuffer() stays valid. A plain
    // accessor: replacing it does not move streamBuffer(), and the replaced byte string stays alive
    // beside the reader while streamBuffer() points into it.
    const Value& dataHolders() const { return dataHolders_; }
    void setDataHolders(Value data);
    // True once the decode has been aborted; failureReason() says why.
    bool failed() const { return failed_; }
    const std::string& failureReason() const { return failureReason_; }

    // Decodes the head at the cursor into headType/headTag; readHead then moves past it. False at the
    // end of the input (and for a long head cut off after its first byte, which also fails the decode).
    bool peakHead();
    bool readHead();

    // Raw big-endian reads at the cursor, no head; 0 when the input ends first.
    std::int8_t readInt1();
    std::int16_t readInt2();
    std::int32_t readInt4();
    std::int64_t readInt8();
    float readFloat();
    double readDouble();
    // A head and an integer payload (counts and lengths); a head of another tag is reported and read.
    std::int64_t readInt(int tag);
    float readFloat(int tag);
    double readDouble(int tag);
    // The next length bytes; nil (and a failed decode) when fewer remain.
    std::optional<Bytes> readBytes(std::uint32_t length);
    std::optional<Bytes> readDataWithSize(std::int32_t size);
    // Moves the cursor forward by n, at most to the end.
    void skip(std::uint32_t n);

    // Field reads: nil when the field is absent (reported when required is set) or unreadable.
    // Numbers keep the wire's kind (Zero gives the 8-bit 0).
    Value readNumber(int tag, bool required);
    // Text that is not valid UTF-8 gives "".
    Value readString(int tag, bool required);
    Value readData(int tag, bool required);
    // A new record of the class (in the value's object slot); unread fields are skipped to its end.
    Value readObject(int tag, bool required, const ClassInfo* cls);
    Value readArray(int tag, bool required, const TlvDescription& element);
    // A TlvMap (in the value's object slot).
    Value readDictionary(int tag, bool required, const PNTlvPair& pair);
    // Dispatch on the description: list pair, map pair, number, string, record, data; else "0".
    Value readAnything(int tag, bool required, const TlvDescription& description);

private:
    bool lookup(const char* method, int tag, bool required);
    bool decodeHead(bool consume, bool mustExist);
    bool need(std::int64_t n);
    void fail(const char* reason);
    std::uint64_t readRaw(int width);
    bool readElementHead(const char* method);
    // Bytes between the cursor and the end; none without a buffer or before a negative cursor (both
    // only reachable through the raw setters).
    std::int64_t remaining() const {
        return cursor_ < 0 || !streamBuffer_ ? 0 : std::int64_t{streamSize_} - cursor_;
    }
    const std::uint8_t* at() const { return streamBuffer_ + cursor_; }

    Value dataHolders_;
    Value readBytesHolder_;  // a replaced dataHolders_ whose bytes streamBuffer_ still reads
    int headType_ = 14;
    int headTag_ = 0;
    int headLength_ = 0;  // of the last head decoded
    bool failed_ = false;
    std::string failureReason_;
};

}  // namespace lv
