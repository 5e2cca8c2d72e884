// The analytics readers on arbitrary bytes: whatever reads must write, read and write again to the
// same bytes; the readers from memory (unpackBytes, a memory buffer's protocol) must leave what the
// general road over another transport leaves (error, record, bytes unread), and packBytes must give
// the bytes the protocol writes there; the string decoders must round-trip what they accept, and every
// encoder what it is given.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "analytics/envelope_record.h"
#include "analytics/log_records.h"
#include "analytics/string_encoding.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

// A transport that is not a memory buffer: the protocol's general road.
class Stream final : public lv::TPKTransport {
public:
    explicit Stream(std::span<const std::uint8_t> data) : bytes_(data.begin(), data.end()) {}
    std::int32_t readAll(std::uint8_t* buffer, std::int32_t offset, std::int32_t length) override {
        if (length < 0 || static_cast<std::uint64_t>(length) > bytesRemaining()) {
            lv::TPKTransportException::raise(std::string(lv::kNotEnoughBytesReason));
        }
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(read_), length, buffer + offset);
        read_ += static_cast<std::size_t>(length);
        return length;
    }
    void write(const std::uint8_t* buffer, std::uint32_t offset, std::uint32_t length) override {
        bytes_.insert(bytes_.end(), buffer + offset, buffer + offset + length);
    }
    std::uint64_t bytesRemaining() const override { return bytes_.size() - read_; }
    const lv::Bytes& bytes() const { return bytes_; }

private:
    lv::Bytes bytes_;
    std::size_t read_ = 0;
};

// Equal records, or (for a record holding a NaN, not equal to itself) equal bytes.
template <class R>
bool same(const R& a, const R& b) {
    if constexpr (requires { a == b; }) {
        if (a == b) return true;
    }
    return lv::packBytes(a) == lv::packBytes(b);
}

template <class R>
void sameAsGeneralRoad(std::span<const std::uint8_t> data) {
    R general, buffered, unpacked;
    std::string generalError, bufferedError, unpackedError;
    Stream stream(data);
    lv::TPKBinaryProtocol streamed(stream);
    try {
        general.read(streamed);
    } catch (const lv::TPKException& e) {
        generalError = e.description();
    }
    lv::TPKMemoryBuffer memory(data);
    lv::TPKBinaryProtocol inMemory(memory);
    try {
        buffered.read(inMemory);
    } catch (const lv::TPKException& e) {
        bufferedError = e.description();
    }
    try {
        unpacked = lv::unpackBytes<R>(data);
    } catch (const lv::TPKException& e) {
        unpackedError = e.description();
    }
    require(bufferedError == generalError && unpackedError == generalError);
    require(same(buffered, general) && memory.bytesRemaining() == stream.bytesRemaining());
    if (generalError.empty()) require(same(unpacked, general));
    Stream written({});
    lv::TPKBinaryProtocol writing(written);
    general.write(writing);
    require(lv::packBytes(general) == written.bytes());
}

template <class R>
void roundTrip(std::span<const std::uint8_t> data) {
    R record;
    try {
        record = lv::unpackBytes<R>(data);
    } catch (const lv::TPKException&) {
        return;
    }
    const lv::Bytes once = lv::packBytes(record);
    const R again = lv::unpackBytes<R>(once);
    // Compared as bytes: a NaN double is not equal to itself, and text that was not UTF-8 reads as
    // set-to-nothing, which is not written.
    require(lv::packBytes(again) == once);
}

void decoders(std::span<const std::uint8_t> data) {
    const lv::TLYStringEncoding encodings[] = {
        lv::TLYStringEncoding::binaryStringEncoding(),          lv::TLYStringEncoding::hexStringEncoding(),
        lv::TLYStringEncoding::rfc4648Base32StringEncoding(),   lv::TLYStringEncoding::rfc4648Base32HexStringEncoding(),
        lv::TLYStringEncoding::crockfordBase32StringEncoding(), lv::TLYStringEncoding::rfc4648Base64StringEncoding(),
        lv::TLYStringEncoding::rfc4648Base64WebsafeStringEncoding(),
    };
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    for (const auto& encoding : encodings) {
        if (auto decoded = encoding.decode(text)) require(encoding.decode(encoding.encode(*decoded)) == decoded);
        require(encoding.decode(encoding.encode(data)) == lv::Bytes(data.begin(), data.end()));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::span<const std::uint8_t> data(bytes, size);
    roundTrip<lv::TPKResponse>(data);
    roundTrip<lv::TPKImprint>(data);
    roundTrip<lv::TPKIdTracking>(data);
    roundTrip<lv::TLYEnvelope>(data);
    roundTrip<lv::TPKUALogEntry>(data);
    sameAsGeneralRoad<lv::TPKResponse>(data);
    sameAsGeneralRoad<lv::TPKIdTracking>(data);
    sameAsGeneralRoad<lv::TLYEnvelope>(data);
    sameAsGeneralRoad<lv::TPKUALogEntry>(data);
    decoders(data);
    return 0;
}
