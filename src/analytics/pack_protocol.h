// The Pack binary protocol of the analytics records: big-endian scalars, length-prefixed strings,
// field headers, containers and message headers, over an in-memory transport; skipping of unknown
// fields; and the exceptions the runtime raises (TPKException and its protocol and transport kinds).
// Readers check every count against the bytes that remain before allocating or looping, refuse
// container element types outside the type table and nesting deeper than 64 levels.
// Thread rule: a buffer and its protocol are made for one write or one read on one thread.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/base/big_endian.h"
#include "platform/base/error.h"
#include "platform/base/value.h"

namespace lv {

namespace pack_detail {
using ::lv::loadBig;
using ::lv::storeBig;
}  // namespace pack_detail

// Wire type codes of fields and container elements.
enum class PackType : std::uint8_t {
    Stop = 0, Bool = 2, Byte = 3, Double = 4, I16 = 6, I32 = 8, I64 = 10,
    String = 11, Struct = 12, Map = 13, Set = 14, List = 15,
};
// Whether the code is one of the table's value types (Stop excluded).
bool isPackValueType(std::uint8_t code);

inline constexpr std::string_view kTProtocolException = "TProtocolException";
inline constexpr std::string_view kTTransportException = "TTransportException";
inline constexpr std::string_view kNotEnoughBytesReason = "Not enough bytes remain in buffer";
inline constexpr int kPackMaxDepth = 64;

// The runtime's exceptions. The user info holds the error object under "error" when one is given.
class TPKException : public Exception {
public:
    TPKException(std::string name, std::string reason, Ref<Error> error = nullptr);
    [[noreturn]] static void raise(std::string name, std::string reason = "unknown", Ref<Error> error = nullptr);
    // "name: reason", then "\n  userInfo = <user info>" when there is user info.
    std::string description() const override;
};
class TPKProtocolException : public TPKException {
public:
    explicit TPKProtocolException(std::string reason, Ref<Error> error = nullptr)
        : TPKException(std::string(kTProtocolException), std::move(reason), std::move(error)) {}
    [[noreturn]] static void raise(std::string reason, Ref<Error> error = nullptr);
};
class TPKTransportException : public TPKException {
public:
    explicit TPKTransportException(std::string reason, Ref<Error> error = nullptr)
        : TPKException(std::string(kTTransportException), std::move(reason), std::move(error)) {}
    [[noreturn]] static void raise(std::string reason, Ref<Error> error = nullptr);
};

class TPKBinaryProtocol;

class TPKTransport {
public:
    virtual ~TPKTransport() = default;
    // Reads exactly length bytes into buffer + offset, or raises TTransportException.
    virtual std::int32_t readAll(std::uint8_t* buffer, std::int32_t offset, std::int32_t length) = 0;
    virtual void write(const std::uint8_t* buffer, std::uint32_t offset, std::uint32_t length) = 0;
    virtual void flush() {}
    // Bytes still readable; readers compare counts with it before allocating.
    virtual std::uint64_t bytesRemaining() const = 0;
};

// A growable buffer: written by appending, read from the front. Once 4096 or more bytes have been
// read they are dropped and the read position returns to 0.
class TPKMemoryBuffer final : public TPKTransport {
public:
    TPKMemoryBuffer() = default;
    // Reads from a private copy of the bytes.
    explicit TPKMemoryBuffer(std::span<const std::uint8_t> data) : buffer_(data.begin(), data.end()), end_(data.size()) {}

    // Inline: the protocol's fixed-size reads become plain loads.
    std::int32_t readAll(std::uint8_t* buffer, std::int32_t offset, std::int32_t length) override {
        // A negative length widened and compared unsigned never fits.
        if (static_cast<std::uint64_t>(static_cast<std::int64_t>(length)) > bytesRemaining()) raiseShort();
        if (length > 0) std::memcpy(buffer + offset, readCursor(), static_cast<std::size_t>(length));
        offset_ += static_cast<std::uint64_t>(length);
        if (offset_ >= 4096) dropConsumed();
        return length;
    }
    void write(const std::uint8_t* buffer, std::uint32_t offset, std::uint32_t length) override {
        if (length == 0) return;
        if (borrowed_ || length > buffer_.size() - end_) grow(length);
        std::memcpy(buffer_.data() + end_, buffer + offset, length);
        end_ += length;
    }
    std::uint64_t bytesRemaining() const override { return end_ - start_ - offset_; }
    // Every byte held, including those read since the last drop.
    Bytes getBuffer() const {
        return Bytes(held() + start_, held() + end_);
    }
    // The same, leaving the buffer empty (for a buffer that was only written).
    Bytes takeBuffer();
    std::uint64_t readPosition() const { return offset_; }

private:
    friend class TPKBinaryProtocol;
    friend struct PackBinaryAccess;
    struct Borrow {};
    // Reads the caller's bytes in place; they must outlive the reading. Writing first copies them.
    TPKMemoryBuffer(std::span<const std::uint8_t> data, Borrow) : borrowed_(data.data()), end_(data.size()) {}
    const std::uint8_t* held() const { return borrowed_ ? borrowed_ : buffer_.data(); }
    // The next unread byte, and consuming n bytes already checked against bytesRemaining().
    const std::uint8_t* readCursor() const { return held() + start_ + offset_; }
    void advance(std::uint64_t n) {
        offset_ += n;
        if (offset_ >= 4096) dropConsumed();
    }
    // Room for length more bytes past end_ (grown when needed); the writer stores them, then calls
    // wrote(length).
    std::uint8_t* writeRoom(std::size_t length) {
        if (borrowed_ || length > buffer_.size() - end_) grow(static_cast<std::uint32_t>(length));
        return buffer_.data() + end_;
    }
    void wrote(std::size_t length) { end_ += length; }
    // Storage for capacity bytes in all, taken at once before a write whose size is known.
    void reserveStorage(std::size_t capacity) {
        if (!borrowed_ && capacity > buffer_.size()) buffer_.resize(capacity);
    }
    [[noreturn]] static void raiseShort();
    void dropConsumed();
    // Makes room for length more bytes past end_, at least doubling the storage (owning borrowed bytes first).
    void grow(std::uint32_t length);
    // Dropped bytes are counted in start_ and released once they are half the storage, so reading
    // stays linear while memory still shrinks as reading goes on. Bytes held end at end_; the
    // storage past it is room for writing.
    Bytes buffer_;
    const std::uint8_t* borrowed_ = nullptr;  // the bytes read in place of buffer_, when set
    std::size_t end_ = 0;
    std::size_t start_ = 0;
    std::uint64_t offset_ = 0;
};

// The protocol operations the records drive. Names passed to the begin operations are not written.
class TPKProtocol {
public:
    virtual ~TPKProtocol() = default;
    virtual TPKTransport& transport() = 0;

    virtual void readMessageBegin(std::string* name, std::uint8_t* type, std::int32_t* sequenceID) = 0;
    virtual void readMessageEnd() = 0;
    virtual void readStructBegin() = 0;
    virtual void readStructEnd() = 0;
    // The field id is read only when the type is not Stop (then it stays 0).
    virtual void readFieldBegin(std::uint8_t* type, std::int16_t* fieldID) = 0;
    virtual void readFieldEnd() = 0;
    // Nothing when the bytes are not valid UTF-8.
    virtual std::optional<std::string> readString() = 0;
    virtual bool readBool() = 0;
    virtual std::uint8_t readByte() = 0;
    virtual std::int16_t readI16() = 0;
    virtual std::int32_t readI32() = 0;
    virtual std::int64_t readI64() = 0;
    virtual double readDouble() = 0;
    virtual Bytes readBinary() = 0;
    virtual void readMapBegin(std::uint8_t* keyType, std::uint8_t* valueType, std::int32_t* size) = 0;
    virtual void readMapEnd() = 0;
    virtual void readSetBegin(std::uint8_t* elementType, std::int32_t* size) = 0;
    virtual void readSetEnd() = 0;
    virtual void readListBegin(std::uint8_t* elementType, std::int32_t* size) = 0;
    virtual void readListEnd() = 0;

    virtual void writeMessageBegin(std::string_view name, std::uint8_t type, std::int32_t sequenceID) = 0;
    virtual void writeMessageEnd() = 0;
    virtual void writeStructBegin(std::string_view name) = 0;
    virtual void writeStructEnd() = 0;
    virtual void writeFieldBegin(std::string_view name, std::uint8_t type, std::int16_t fieldID) = 0;
    virtual void writeI32(std::int32_t value) = 0;
    virtual void writeI64(std::int64_t value) = 0;
    virtual void writeI16(std::int16_t value) = 0;
    virtual void writeByte(std::uint8_t value) = 0;
    // Nothing writes the count 0; otherwise every byte with its count (NUL included).
    virtual void writeString(const std::optional<std::string>& value) = 0;
    virtual void writeDouble(double value) = 0;
    virtual void writeBool(bool value) = 0;
    virtual void writeBinary(const std::optional<Bytes>& value) = 0;
    virtual void writeFieldStop() = 0;
    virtual void writeFieldEnd() = 0;
    virtual void writeMapBegin(std::uint8_t keyType, std::uint8_t valueType, std::int32_t size) = 0;
    virtual void writeMapEnd() = 0;
    virtual void writeSetBegin(std::uint8_t elementType, std::int32_t size) = 0;
    virtual void writeSetEnd() = 0;
    virtual void writeListBegin(std::uint8_t elementType, std::int32_t size) = 0;
    virtual void writeListEnd() = 0;
};

class TPKBinaryProtocol final : public TPKProtocol {
public:
    // Strict write, lax read: the form the analytics client uses.
    explicit TPKBinaryProtocol(TPKTransport& transport) : TPKBinaryProtocol(transport, false, true) {}
    TPKBinaryProtocol(TPKTransport& transport, bool strictRead, bool strictWrite)
        : transport_(transport),
          memory_(dynamic_cast<TPKMemoryBuffer*>(&transport)),
          strictRead_(strictRead),
          strictWrite_(strictWrite) {}

    TPKTransport& transport() override { return transport_; }
    std::int32_t messageSizeLimit() const { return messageSizeLimit_; }
    void setMessageSizeLimit(std::int32_t limit) { messageSizeLimit_ = limit; }

    void readMessageBegin(std::string* name, std::uint8_t* type, std::int32_t* sequenceID) override;
    void readMessageEnd() override {}
    void readStructBegin() override { enter(); }
    void readStructEnd() override { leave(); }
    void readFieldBegin(std::uint8_t* type, std::int16_t* fieldID) override {
        std::uint8_t t = 0;
        std::int16_t id = 0;
        if (memory_ && memory_->bytesRemaining() >= 3) {
            // The whole header is there: one bounds check.
            const std::uint8_t* at = memory_->readCursor();
            t = at[0];
            if (t != static_cast<std::uint8_t>(PackType::Stop)) id = static_cast<std::int16_t>((at[1] << 8) | at[2]);
            memory_->advance(t != static_cast<std::uint8_t>(PackType::Stop) ? 3 : 1);
        } else {
            t = readByte();
            if (t != static_cast<std::uint8_t>(PackType::Stop)) id = readI16();
        }
        if (type) *type = t;
        if (fieldID) *fieldID = id;
    }
    void readFieldEnd() override {}
    std::optional<std::string> readString() override;
    bool readBool() override { return readByte() == 1; }
    // The fixed-size reads and writes are inline, so the records' codecs reach them without calls.
    std::uint8_t readByte() override { return static_cast<std::uint8_t>(readBig<1>()); }
    std::int16_t readI16() override { return static_cast<std::int16_t>(readBig<2>()); }
    std::int32_t readI32() override { return static_cast<std::int32_t>(readBig<4>()); }
    std::int64_t readI64() override { return static_cast<std::int64_t>(readBig<8>()); }
    double readDouble() override;
    Bytes readBinary() override;
    void readMapBegin(std::uint8_t* keyType, std::uint8_t* valueType, std::int32_t* size) override;
    void readMapEnd() override { leave(); }
    void readSetBegin(std::uint8_t* elementType, std::int32_t* size) override;
    void readSetEnd() override { leave(); }
    void readListBegin(std::uint8_t* elementType, std::int32_t* size) override;
    void readListEnd() override { leave(); }

    void writeMessageBegin(std::string_view name, std::uint8_t type, std::int32_t sequenceID) override;
    void writeMessageEnd() override {}
    void writeStructBegin(std::string_view) override {}
    void writeStructEnd() override {}
    void writeFieldBegin(std::string_view, std::uint8_t type, std::int16_t fieldID) override {
        std::uint8_t* at = room(3);
        at[0] = type;
        pack_detail::storeBig<2>(at + 1, static_cast<std::uint16_t>(fieldID));
        wrote(at, 3);
    }
    void writeI32(std::int32_t value) override { writeBig<4>(static_cast<std::uint32_t>(value)); }
    void writeI64(std::int64_t value) override { writeBig<8>(static_cast<std::uint64_t>(value)); }
    void writeI16(std::int16_t value) override { writeBig<2>(static_cast<std::uint16_t>(value)); }
    void writeByte(std::uint8_t value) override { writeBig<1>(value); }
    void writeString(const std::optional<std::string>& value) override {
        if (!value) return writeI32(0);
        writeText(*value);
    }
    void writeDouble(double value) override;
    void writeBool(bool value) override { writeByte(value ? 1 : 0); }
    void writeBinary(const std::optional<Bytes>& value) override;
    void writeFieldStop() override { writeByte(0); }
    void writeFieldEnd() override {}
    void writeMapBegin(std::uint8_t keyType, std::uint8_t valueType, std::int32_t size) override;
    void writeMapEnd() override {}
    void writeSetBegin(std::uint8_t elementType, std::int32_t size) override;
    void writeSetEnd() override {}
    void writeListBegin(std::uint8_t elementType, std::int32_t size) override;
    void writeListEnd() override {}

private:
    friend struct PackBinaryAccess;
    // The count, then the bytes.
    void writeText(std::string_view text);
    // Replaces text with a counted string read; false when the bytes are not UTF-8.
    bool readTextInto(std::string& text);
    // When a memory buffer holds the whole counted string: reads it into text (nothing when the bytes
    // are not UTF-8) and returns true. Otherwise reads and changes nothing.
    bool readBufferedText(std::optional<std::string>& text);
    std::int32_t bufferedTextCount() const;
    void readExactly(std::uint8_t* into, std::int32_t length) {
        if (memory_ && length > 0 && static_cast<std::uint64_t>(length) <= memory_->bytesRemaining()) {
            std::memcpy(into, memory_->readCursor(), static_cast<std::size_t>(length));
            memory_->advance(static_cast<std::uint64_t>(length));
        } else {
            readFromTransport(into, length);
        }
    }
    // A fixed-size big-endian value: loaded in place when the memory buffer holds it.
    template <int N>
    std::uint64_t readBig() {
        if (memory_ && memory_->bytesRemaining() >= N) {
            const std::uint64_t v = pack_detail::loadBig<N>(memory_->readCursor());
            memory_->advance(N);
            return v;
        }
        std::uint8_t b[N];
        readFromTransport(b, N);
        return pack_detail::loadBig<N>(b);
    }
    // Short reads, lengths of 0 or less, and other transports.
    void readFromTransport(std::uint8_t* into, std::int32_t length);
    // Fixed-size writes store straight into the memory buffer's room: no copy through a temporary.
    // For another transport the bytes are gathered in scratch_ and written with one call.
    std::uint8_t* room(std::size_t length) { return memory_ ? memory_->writeRoom(length) : scratch_; }
    void wrote(const std::uint8_t* at, std::size_t length) {
        if (memory_) {
            memory_->wrote(length);
        } else {
            transport_.write(at, 0, static_cast<std::uint32_t>(length));
        }
    }
    template <int N>
    void writeBig(std::uint64_t value) {
        std::uint8_t* at = room(N);
        pack_detail::storeBig<N>(at, value);
        wrote(at, N);
    }
    // A field's header and its fixed-size value (N bytes, big-endian) with one room check.
    template <int N>
    void writeBigField(PackType type, std::int16_t fieldID, std::uint64_t value) {
        std::uint8_t* at = room(3 + N);
        at[0] = static_cast<std::uint8_t>(type);
        pack_detail::storeBig<2>(at + 1, static_cast<std::uint16_t>(fieldID));
        pack_detail::storeBig<N>(at + 3, value);
        wrote(at, 3 + N);
    }
    // A text field's header, count and bytes.
    void writeTextField(std::int16_t fieldID, std::string_view text);
    void writeBytes(const std::uint8_t* bytes, std::size_t length) {
        if (memory_) {
            memory_->write(bytes, 0, static_cast<std::uint32_t>(length));
        } else {
            transport_.write(bytes, 0, static_cast<std::uint32_t>(length));
        }
    }
    // A count of n bytes must not exceed what remains (a negative one never fits).
    void requireBytes(std::int32_t length);
    void requireElements(std::int32_t count, std::uint64_t minimumElementSize);
    std::string readStringBody(std::int32_t length);
    void enter();
    void leave() { if (depth_ > 0) --depth_; }

    TPKTransport& transport_;
    TPKMemoryBuffer* memory_;  // the same transport when it is a memory buffer: direct calls
    bool strictRead_;
    bool strictWrite_;
    std::int32_t messageSizeLimit_ = 0;
    int depth_ = 0;
    std::uint8_t scratch_[16];  // a fixed-size value on its way to a transport other than memory
};

class TPKBinaryProtocolFactory {
public:
    static TPKBinaryProtocolFactory& sharedFactory();
    std::unique_ptr<TPKBinaryProtocol> newProtocolOnTransport(TPKTransport& transport) const {
        return std::make_unique<TPKBinaryProtocol>(transport);
    }
};

class TPKProtocolUtil {
public:
    // Consumes one value of the type as the type table says (nothing for codes outside it).
    static void skipType(std::uint8_t type, TPKProtocol& protocol);
};

}  // namespace lv
