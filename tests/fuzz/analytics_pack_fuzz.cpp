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
#include "../analytics/pack_cases.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

using lv::test::StreamTransport;  // not a memory buffer: the protocol's general road

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
    StreamTransport stream(lv::Bytes(data.begin(), data.end()));
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
    StreamTransport written;
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
