// Compressed replies held to the bounds plain ones keep: decoding paced by the consumer however the
// codings stack, compressed bytes counted against the reply bound and decoded ones as traffic, the
// coding decided on whole header bytes however the body is split, and the coding field found under
// an odd spelling of its name.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <limits>

#include "fixtures.h"
#include "platform/net/detail/engine.h"
#include "platform/net/errors.h"
#include "roads.h"

namespace lv {
namespace {

using test::compressed;
using test::kRoads;
using test::requestFor;
using test::writeAll;

// A gzip member around raw deflate data (its CRC-32 and length over `text`); `extra` goes between the
// header and the data (empty stored blocks), `name` into the header's name field.
std::string gzipMember(const std::string& text, const std::string& extra, const std::string& name = "") {
    std::string out = {'\x1f', '\x8b', '\x08', static_cast<char>(name.empty() ? 0 : 0x08), 0, 0, 0, 0, 0, '\x03'};
    if (!name.empty()) out += name + '\0';
    out += extra + compressed(text, -MAX_WBITS);
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size()));
    for (const uLong word : {crc, static_cast<uLong>(text.size())}) {
        for (int i = 0; i < 4; ++i) out += static_cast<char>((word >> (8 * i)) & 0xff);
    }
    return out;
}

// Empty stored deflate blocks: no output, five bytes each.
std::string emptyBlocks(std::size_t count) {
    std::string block("\x00\x00\x00\xff\xff", 5);
    std::string out;
    for (std::size_t i = 0; i < count; ++i) out += block;
    return out;
}

// A reply whose body is chunked: the first `split` bytes one chunk each, then the rest as one.
std::string chunkedReply(const std::string& fields, const std::string& body, std::size_t split) {
    std::string reply = "HTTP/1.1 200 OK\r\n" + fields + "Transfer-Encoding: chunked\r\n\r\n";
    auto chunk = [&](std::string_view piece) {
        char size[32];
        std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
        reply += size + std::string(piece) + "\r\n";
    };
    for (std::size_t i = 0; i < std::min(split, body.size()); ++i) chunk(std::string_view(body).substr(i, 1));
    if (body.size() > split) chunk(std::string_view(body).substr(split));
    return reply + "0\r\n\r\n";
}

std::string sampleText() {
    std::string text;
    for (int i = 0; text.size() < 50000; ++i) text += std::to_string(i * 7919) + ",";
    return text;
}

// A compressed body whose first network pieces are one byte each decodes whole: the coding (a zlib
// wrapper or raw deflate) is decided on the whole header, not on the first piece.
TEST(CompressedReply, ABodySplitAtEveryByteOfItsHeaderDecodes) {
    const std::string text = sampleText();
    const struct {
        const char* name;
        const char* encoding;
        std::string body;
    } cases[] = {
        {"raw deflate", "deflate", compressed(text, -MAX_WBITS)},
        {"zlib deflate", "deflate", compressed(text, MAX_WBITS)},
        {"gzip", "gzip", compressed(text, 16 + MAX_WBITS)},
        {"gzip with a name", "gzip", gzipMember(text, "", "reply.txt")},
        {"gzip under raw deflate", "gzip, deflate", compressed(compressed(text, 16 + MAX_WBITS), -MAX_WBITS)},
    };
    for (const auto& c : cases) {
        test::RawFixture server([&](int fd, const std::string&) {
            writeAll(fd, chunkedReply("Content-Encoding: " + std::string(c.encoding) + "\r\n", c.body, 24));
            ::close(fd);
        });
        for (const auto& [roadName, road] : kRoads) {
            const test::Outcome outcome = road(requestFor(server.url("/split")));
            EXPECT_EQ(outcome.code, 0) << roadName << ", " << c.name;
            EXPECT_TRUE(outcome.body == text) << roadName << ", " << c.name;
        }
    }
}

// The coding field is found whatever white space the server put before its colon.
TEST(CompressedReply, AnOddlySpacedCodingFieldIsStillDecoded) {
    const std::string text = sampleText();
    const std::string gz = compressed(text, 16 + MAX_WBITS);
    for (const char* field : {"Content-Encoding : gzip", "Content-Encoding\t: gzip", "content-encoding  :gzip"}) {
        test::RawFixture server([&](int fd, const std::string&) {
            writeAll(fd, "HTTP/1.1 200 OK\r\n" + std::string(field) + "\r\nContent-Type : text/plain\r\nContent-Length: " +
                             std::to_string(gz.size()) + "\r\n\r\n" + gz);
            ::close(fd);
        });
        for (const auto& [roadName, road] : kRoads) {
            const test::Outcome outcome = road(requestFor(server.url("/odd")));
            EXPECT_EQ(outcome.code, 0) << roadName << ", " << field;
            EXPECT_TRUE(outcome.body == text) << roadName << ", " << field;
        }
        const auto r = test::load(requestFor(server.url("/odd")));
        ASSERT_TRUE(r->response);
        EXPECT_EQ(r->response->valueForHTTPHeaderField("Content-Type"), "text/plain") << field;
    }
    // A length field so spelled frames nothing (the body runs to the close), so it is no length either.
    test::RawFixture server([&](int fd, const std::string&) {
        writeAll(fd, "HTTP/1.1 200 OK\r\nContent-Length : 3\r\nConnection: close\r\n\r\nhello");
        ::close(fd);
    });
    const auto r = test::load(requestFor(server.url("/length")));
    ASSERT_TRUE(r->response);
    EXPECT_EQ(r->response->expectedContentLength(), -1);
}

// Compressed bytes count against the reply bound: filler that decodes to next to nothing (empty
// blocks, a long name in the header) ends the load at the bound; an incompressible body at the bound
// still passes, its framing included.
TEST(CompressedReply, CompressedFillerPastTheBoundIsRefused) {
    constexpr std::int64_t kBound = 64 * 1024;
    std::string noise(kBound, '\0');
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 2654435761u) >> 13);
    const struct {
        const char* name;
        std::string body;
        int code;
        std::int64_t bound = kBound;
    } cases[] = {
        {"empty blocks", gzipMember("hello", emptyBlocks(200000)), URLErrorDataLengthExceedsMaximum},
        {"a long name", gzipMember("hello", "", std::string(1024 * 1024, 'n')), URLErrorDataLengthExceedsMaximum},
        {"incompressible, at the bound", compressed(noise, 16 + MAX_WBITS), 0},
        // The largest bound (no limit to its caller) is no smaller on the wire.
        {"incompressible, under the largest bound", compressed(noise, 16 + MAX_WBITS), 0,
         std::numeric_limits<std::int64_t>::max()},
    };
    for (const auto& c : cases) {
        test::RawFixture server([&](int fd, const std::string&) {
            writeAll(fd, "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " + std::to_string(c.body.size()) +
                             "\r\n\r\n" + c.body);
            ::close(fd);
        });
        for (const auto& [roadName, road] : kRoads) {
            auto request = requestFor(server.url("/filler"));
            request.setMaximumResponseBodySize(c.bound);
            const test::Outcome outcome = road(request);
            EXPECT_EQ(outcome.code, c.code) << roadName << ", " << c.name;
            if (c.code == 0) {
                EXPECT_TRUE(outcome.body == noise) << roadName << ", " << c.name;
            }
        }
    }
}

// A gzip header followed by empty stored blocks for ever decodes to nothing: it ends at the reply
// bound, or without one at the idle time-out (decoded bytes are the traffic that counts).
TEST(CompressedReply, AnEndlessStreamOfEmptyBlocksEnds) {
    std::atomic<bool> stop{false};
    test::RawFixture endless([&](int fd, const std::string&) {
        writeAll(fd, "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nConnection: close\r\n\r\n");
        writeAll(fd, gzipMember("", "").substr(0, 10));
        const std::string blocks = emptyBlocks(16 * 1024);
        while (!stop.load() && ::send(fd, blocks.data(), blocks.size(), MSG_NOSIGNAL) > 0) {
        }
        ::close(fd);
    });
    const struct {
        const char* name;
        std::int64_t bound;
        double timeout;
        int code;
    } cases[] = {
        {"bounded", 1024 * 1024, 60, URLErrorDataLengthExceedsMaximum},
        {"unbounded", 0, 1, URLErrorTimedOut},
    };
    for (const auto& c : cases) {
        for (const auto& [roadName, road] : kRoads) {
            auto request = requestFor(endless.url("/endless"));
            request.setMaximumResponseBodySize(c.bound);
            request.setTimeoutInterval(c.timeout);
            const test::Outcome outcome = road(request);
            EXPECT_EQ(outcome.code, c.code) << roadName << ", " << c.name;
            EXPECT_TRUE(outcome.body.empty()) << roadName << ", " << c.name;
        }
    }
    stop = true;
}

// Stands in for a consumer that reads only when the test says: records what the engine handed over
// and the most that waited unread at once.
struct LaggingConsumer : net_detail::TransferListener {
    std::shared_ptr<net_detail::TransferFlow> flow = std::make_shared<net_detail::TransferFlow>();
    std::atomic<std::int64_t> delivered{0};
    std::atomic<std::int64_t> mostWaiting{0};
    std::atomic<bool> allZero{true};
    std::atomic<bool> done{false};
    std::atomic<int> code{0};
    void transferReceivedResponse(int, HTTPHeaders) override {}
    void transferReceivedData(Bytes chunk) override {
        delivered += static_cast<std::int64_t>(chunk.size());
        mostWaiting = std::max(mostWaiting.load(), flow->undelivered.load());
        if (std::any_of(chunk.begin(), chunk.end(), [](std::uint8_t b) { return b != 0; })) allZero = false;
    }
    void transferSentBodyData(std::int64_t, std::int64_t, std::int64_t) override {}
    void transferNeedsTrustDecision(Ref<Trust>) override {}
    void transferCompleted(int errorCode, Ref<Error>, std::string) override {
        code = errorCode;
        done = true;
    }
};

// Stacked codings amplify a millionfold: one small network read must still not decode past what the
// consumer has room for. The engine stops decoding when the consumer's queue is full and goes on
// from where it stopped; the reply arrives whole on both roads and within a bound.
TEST(CompressedReply, StackedCodingsArePacedByTheConsumer) {
    constexpr std::size_t kSize = 32 * 1024 * 1024;
    const std::string body = compressed(compressed(std::string(kSize, '\0'), 16 + MAX_WBITS, 9), 16 + MAX_WBITS, 9);
    ASSERT_LT(body.size(), 4096u);
    test::RawFixture server([&](int fd, const std::string&) {
        writeAll(fd, "HTTP/1.1 200 OK\r\nContent-Encoding: gzip, gzip\r\nContent-Length: " + std::to_string(body.size()) +
                         "\r\n\r\n" + body);
        ::close(fd);
    });
    auto consumer = std::make_shared<LaggingConsumer>();
    net_detail::TransferSpec spec;
    spec.url = server.url("/stacked");
    auto& engine = net_detail::Engine::shared();
    engine.add(spec, consumer, consumer->flow);
    std::int64_t consumed = 0;
    while (!consumer->done.load()) {
        // Reads only once the engine stopped for want of room, then everything at once.
        ASSERT_TRUE(runMainUntil([&] {
            return consumer->done.load() || (consumer->flow->paused.load() && consumer->delivered.load() > consumed);
        }, 60));
        const std::int64_t arrived = consumer->delivered.load();
        consumer->flow->undelivered -= arrived - consumed;
        consumed = arrived;
        engine.wakeup();
    }
    EXPECT_EQ(consumer->code.load(), 0);
    EXPECT_EQ(consumer->delivered.load(), static_cast<std::int64_t>(kSize));
    EXPECT_TRUE(consumer->allZero.load());
    EXPECT_LE(consumer->mostWaiting.load(), net_detail::Engine::kPauseAbove + 64 * 1024);
    // Both roads, within and past a bound.
    for (const auto& [roadName, road] : kRoads) {
        for (const std::int64_t bound : {static_cast<std::int64_t>(kSize), std::int64_t{1024 * 1024}}) {
            auto request = requestFor(server.url("/stacked"));
            request.setMaximumResponseBodySize(bound);
            const test::Outcome outcome = road(request);
            const bool whole = bound == static_cast<std::int64_t>(kSize);
            EXPECT_EQ(outcome.code, whole ? 0 : URLErrorDataLengthExceedsMaximum) << roadName << ", " << bound;
            if (whole) {
                EXPECT_EQ(outcome.body.size(), kSize) << roadName;
            }
            EXPECT_LE(static_cast<std::int64_t>(outcome.body.size()), bound) << roadName;
        }
    }
}

}  // namespace
}  // namespace lv
