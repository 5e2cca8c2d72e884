// The reply body decoder paced by its consumer: however the body is split and whenever the consumer
// says it is full, the decoded bytes and the outcome are those of one uninterrupted decoding. The
// body is the input itself, or the input compressed in the chosen layers (so that whole streams are
// paced too).
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/net/detail/content_decoder.h"
#include "platform/net/fixtures.h"

namespace {

using lv::net_detail::ContentDecoder;

struct Outcome {
    std::string out;
    ContentDecoder::Result result = ContentDecoder::Result::Ok;
    bool complete = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    static const char* const kEncodings[] = {"gzip", "deflate", "gzip, gzip", "gzip, deflate", "deflate, gzip"};
    const std::uint8_t mode = data[0];
    std::uint32_t schedule = data[1] | 1u;
    const char* encoding = kEncodings[mode % 5];
    std::string body(reinterpret_cast<const char*>(data + 2), size - 2);
    if (mode & 0x80) {
        // The layers as a server applies them, first to last; deflate with or without its wrapper.
        const std::string codings(encoding);
        for (std::size_t at = 0; at < codings.size();) {
            const auto comma = codings.find(',', at);
            const std::string coding = codings.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
            body = lv::test::compressed(body, coding == "gzip" ? 16 + MAX_WBITS : (mode & 0x40) ? -MAX_WBITS : MAX_WBITS);
            at = comma == std::string::npos ? codings.size() : comma + 2;
        }
    }
    bool unknown = false;
    auto whole = ContentDecoder::forEncoding(encoding, unknown);
    auto paced = ContentDecoder::forEncoding(encoding, unknown);
    if (!whole || !paced) std::abort();

    Outcome reference;
    reference.result = whole->feed(body.data(), body.size(), [&](const char* p, std::size_t n) {
        reference.out.append(p, n);
        return ContentDecoder::Room::More;
    });
    reference.complete = whole->complete();
    if (reference.result == ContentDecoder::Result::Full) std::abort();

    // Pieces of 1 to 64 bytes; the consumer is full after every few pieces it takes.
    Outcome split;
    auto next = [&] {
        schedule = schedule * 1103515245u + 12345u;
        return schedule >> 16;
    };
    const ContentDecoder::Sink sink = [&](const char* p, std::size_t n) {
        split.out.append(p, n);
        return next() % 3 == 0 ? ContentDecoder::Room::Full : ContentDecoder::Room::More;
    };
    for (std::size_t at = 0; at < body.size() && split.result != ContentDecoder::Result::Malformed;) {
        const std::size_t piece = std::min<std::size_t>(1 + next() % 64, body.size() - at);
        split.result = paced->feed(body.data() + at, piece, sink);
        at += piece;
        while (split.result == ContentDecoder::Result::Full) split.result = paced->resume(sink);
        if (paced->waiting()) std::abort();
    }
    split.complete = paced->complete();

    if ((reference.result == ContentDecoder::Result::Malformed) != (split.result == ContentDecoder::Result::Malformed)) {
        std::abort();
    }
    if (reference.result == ContentDecoder::Result::Ok && (split.out != reference.out || split.complete != reference.complete)) {
        std::abort();
    }
    // A damaged body: what came before the damage is the same, however far each decoding got.
    const std::size_t common = std::min(split.out.size(), reference.out.size());
    if (split.out.compare(0, common, reference.out, 0, common) != 0) std::abort();
    if ((mode & 0x80) && (reference.result != ContentDecoder::Result::Ok || !reference.complete ||
                          reference.out != std::string(reinterpret_cast<const char*>(data + 2), size - 2))) {
        std::abort();
    }
    return 0;
}
