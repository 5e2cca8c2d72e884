// The analytics readers on arbitrary bytes: whatever reads must write, read and write again to the
// same bytes; the string decoders must round-trip what they accept, and every encoder what it is given.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "analytics/envelope_record.h"
#include "analytics/log_records.h"
#include "analytics/string_encoding.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
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
    decoders(data);
    return 0;
}
