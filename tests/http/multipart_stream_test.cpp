// The multipart body stream and its parts: exact bytes and lengths in any buffer size, throttling,
// copies, failing parts, and reading on a thread that the main thread waits for.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <future>

#include "http/multipart_body_stream.h"
#include "http_test_support.h"

namespace lv {
namespace {

Ref<HCMultipartBodyStream> streamOf(std::vector<std::pair<std::string, HCHTTPBodyPart::Body>> parts) {
    auto stream = makeRef<HCMultipartBodyStream>(StringEncoding::UTF8);
    for (auto& [name, body] : parts) {
        auto part = makeRef<HCHTTPBodyPart>();
        HTTPHeaders headers;
        headers.set("Content-Disposition", "form-data; name=\"" + name + "\"");
        part->setHeaders(headers);
        part->setBoundary("B");
        const auto* data = std::get_if<Bytes>(&body);
        part->setBodyContentLength(data ? data->size() : 9);
        part->setBody(std::move(body));
        stream->appendHTTPBodyPart(part);
    }
    return stream;
}

const std::string kD = "\r\nContent-Disposition: form-data; name=";
const std::string kTwoParts = "--B" + kD + "\"a\"\r\n\r\n1" + "\r\n--B" + kD + "\"b\"\r\n\r\n22\r\n--B--\r\n";

TEST(MultipartStream, ProducesTheExactLayoutAndLengthInAnyBufferSize) {
    auto one = streamOf({{"f", test::bytes("x")}});
    one->open();
    EXPECT_EQ(std::pair(one->contentLength(), test::readAll(*one)), std::pair(std::uint64_t{59}, "--B" + kD + "\"f\"\r\n\r\nx\r\n--B--\r\n"));
    for (std::size_t size : {1, 2, 3, 7, 64}) {
        auto two = streamOf({{"a", test::bytes("1")}, {"b", test::bytes("22")}});
        EXPECT_EQ(test::readAll(*two, size), kTwoParts) << size;
        EXPECT_EQ(two->contentLength(), kTwoParts.size());
    }
    test::TempDir dir;
    std::ofstream(dir.file("f.bin"), std::ios::binary) << "file body";
    auto mixed = streamOf({{"f", URL::fileURLWithPath(dir.file("f.bin"))}, {"s", InputStream::withData(test::bytes("streamed!"))}, {"e", Bytes()}});
    const std::string expected = "--B" + kD + "\"f\"\r\n\r\nfile body" + "\r\n--B" + kD + "\"s\"\r\n\r\nstreamed!" + "\r\n--B" + kD + "\"e\"\r\n\r\n\r\n--B--\r\n";
    EXPECT_EQ(test::readAll(*mixed, 5), expected);
    EXPECT_EQ(mixed->contentLength(), expected.size());

    auto empty = streamOf({});
    EXPECT_EQ(std::pair(empty->contentLength(), test::readAll(*empty)), std::pair(std::uint64_t{0}, std::string()));
    auto read = streamOf({{"a", test::bytes("1")}, {"b", test::bytes("22")}});
    test::readAll(*read);
    auto copy = std::dynamic_pointer_cast<HCMultipartBodyStream>(read->copy());
    EXPECT_EQ(test::readAll(*copy), kTwoParts);  // from the first byte again
    copy->close();
    std::uint8_t buffer[16];
    EXPECT_EQ(copy->read(buffer, sizeof buffer), 0);
}

TEST(MultipartStream, PacketSizeStopsNewPartReadsAndDelayPausesAfterEach) {
    const Bytes body(100, 'p');
    auto stream = streamOf({{"a", body}, {"b", body}, {"c", body}});
    stream->setNumberOfBytesInPacket(16);
    stream->open();
    std::vector<std::uint8_t> buffer(4096);
    // One part read fills past the packet size; no second part is started in the same call.
    EXPECT_EQ(stream->read(buffer.data(), buffer.size()), 5 + 44 + 100);
    EXPECT_EQ(std::dynamic_pointer_cast<HCMultipartBodyStream>(stream->copy())->numberOfBytesInPacket(),
              static_cast<std::uint64_t>(INT64_MAX));
    auto slow = streamOf({{"a", body}, {"b", body}});
    slow->setDelay(0.05);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(test::readAll(*slow).size(), (5 + 44 + 100) + (7 + 44 + 100 + 9));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

// Gives ten bytes, then fails.
class FailingStream : public InputStream {
public:
    void open() override { setStatus(StreamStatus::Open); }
    void close() override {}
    bool hasBytesAvailable() const override { return streamStatus() == StreamStatus::Open; }
    long read(std::uint8_t* buffer, std::size_t length) override {
        if (given_ >= 10) {
            fail(Error::make("Test", 42));
            return -1;
        }
        const std::size_t n = std::min(length, 10 - given_);
        std::memset(buffer, 'g', n);
        given_ += n;
        return static_cast<long>(n);
    }

private:
    std::size_t given_ = 0;
};

// The bytes copied before a part failed are returned; then -1 with the error, never a short success.
TEST(MultipartStream, AFailingPartFailsTheStream) {
    auto stream = streamOf({{"a", test::bytes("1")}, {"s", makeRef<FailingStream>()}, {"c", test::bytes("3")}});
    stream->open();
    std::vector<std::uint8_t> buffer(4096);
    EXPECT_GT(stream->read(buffer.data(), buffer.size()), 10);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(stream->read(buffer.data(), buffer.size()), -1);
    EXPECT_EQ(std::pair(stream->streamStatus(), stream->streamError() ? stream->streamError()->code() : 0), std::pair(StreamStatus::Error, std::int64_t{42}));
    EXPECT_FALSE(stream->hasBytesAvailable());
    test::TempDir dir;
    auto missing = streamOf({{"f", URL::fileURLWithPath(dir.file("absent"))}});
    bool failed = false;
    test::readAll(*missing, 4096, &failed);
    EXPECT_EQ(std::pair(failed, missing->streamError() ? missing->streamError()->code() : 0), std::pair(true, std::int64_t{ENOENT}));
}

// The main thread waits, without running its loop, for a thread that reads a body with a file part:
// the part opens and closes its file on the reading thread, so the read completes.
TEST(MultipartStream, ReadsOnAThreadTheMainThreadWaitsFor) {
    test::TempDir dir;
    std::ofstream(dir.file("f.bin"), std::ios::binary) << "file body";
    auto stream = streamOf({{"f", URL::fileURLWithPath(dir.file("f.bin"))}, {"d", test::bytes("data")}});
    auto reading = std::async(std::launch::async, [stream] { return test::readAll(*stream, 3); });
    ASSERT_EQ(reading.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(reading.get().size(), stream->contentLength());
}

}  // namespace
}  // namespace lv
