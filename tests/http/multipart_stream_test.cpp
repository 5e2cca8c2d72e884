// The multipart body stream and its parts: exact bytes, lengths, small buffers, throttling, failing
// parts and reading on a thread the main thread waits for.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <thread>

#include "http/multipart_body_stream.h"
#include "http_test_support.h"

namespace lv {
namespace {

Ref<HCHTTPBodyPart> part(std::string name, HCHTTPBodyPart::Body body, std::uint64_t length) {
    auto p = makeRef<HCHTTPBodyPart>();
    HTTPHeaders headers;
    headers.set("Content-Disposition", "form-data; name=\"" + name + "\"");
    p->setHeaders(headers);
    p->setBoundary("B");
    p->setBody(std::move(body));
    p->setBodyContentLength(length);
    return p;
}

Ref<HCHTTPBodyPart> dataPart(std::string name, std::string_view data) {
    return part(std::move(name), test::bytes(data), data.size());
}

Ref<HCMultipartBodyStream> streamOf(std::vector<Ref<HCHTTPBodyPart>> parts) {
    auto stream = makeRef<HCMultipartBodyStream>(StringEncoding::UTF8);
    for (auto& p : parts) stream->appendHTTPBodyPart(p);
    return stream;
}

constexpr const char* kOnePart = "--B\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\nx\r\n--B--\r\n";
constexpr const char* kTwoParts =
    "--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1"
    "\r\n--B\r\nContent-Disposition: form-data; name=\"b\"\r\n\r\n22\r\n--B--\r\n";

TEST(MultipartStream, ProducesTheExactLayoutAndLength) {
    auto one = streamOf({dataPart("f", "x")});
    one->open();
    EXPECT_EQ(one->contentLength(), std::strlen(kOnePart));
    EXPECT_EQ(test::readAll(*one), kOnePart);

    auto two = streamOf({dataPart("a", "1"), dataPart("b", "22")});
    two->open();
    EXPECT_EQ(two->contentLength(), std::strlen(kTwoParts));
    EXPECT_EQ(test::readAll(*two), kTwoParts);
    EXPECT_TRUE(two->HTTPBodyParts()[0]->hasInitialBoundary());
    EXPECT_FALSE(two->HTTPBodyParts()[0]->hasFinalBoundary());
    EXPECT_TRUE(two->HTTPBodyParts()[1]->hasFinalBoundary());
}

TEST(MultipartStream, AnyBufferSizeGivesTheSameBytes) {
    for (std::size_t size : {1, 2, 3, 5, 7, 16, 64}) {
        auto stream = streamOf({dataPart("a", "1"), dataPart("b", "22")});
        EXPECT_EQ(test::readAll(*stream, size), kTwoParts) << size;
    }
}

TEST(MultipartStream, FileAndStreamBodies) {
    test::TempDir dir;
    std::ofstream(dir.file("f.bin"), std::ios::binary) << "file body";
    auto stream = streamOf({part("f", URL::fileURLWithPath(dir.file("f.bin")), 9),
                            part("s", InputStream::withData(test::bytes("streamed")), 8), part("e", {}, 0)});
    const std::string expected =
        "--B\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\nfile body"
        "\r\n--B\r\nContent-Disposition: form-data; name=\"s\"\r\n\r\nstreamed"
        "\r\n--B\r\nContent-Disposition: form-data; name=\"e\"\r\n\r\n\r\n--B--\r\n";
    EXPECT_EQ(test::readAll(*stream, 5), expected);
    EXPECT_EQ(stream->contentLength(), expected.size());
}

TEST(MultipartStream, EmptyClosedAndCopiedStreams) {
    auto empty = streamOf({});
    EXPECT_TRUE(empty->isEmpty());
    EXPECT_EQ(empty->contentLength(), 0u);
    EXPECT_EQ(test::readAll(*empty), "");

    auto closed = streamOf({dataPart("f", "x")});
    closed->open();
    closed->close();
    std::uint8_t buffer[16];
    EXPECT_EQ(closed->read(buffer, sizeof buffer), 0);

    auto source = streamOf({dataPart("a", "1"), dataPart("b", "22")});
    source->setNumberOfBytesInPacket(1);
    EXPECT_EQ(test::readAll(*source).size(), std::strlen(kTwoParts));
    auto copy = std::dynamic_pointer_cast<HCMultipartBodyStream>(source->copy());
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->streamStatus(), StreamStatus::NotOpen);
    EXPECT_EQ(copy->numberOfBytesInPacket(), static_cast<std::uint64_t>(INT64_MAX));
    EXPECT_EQ(test::readAll(*copy), kTwoParts);
}

TEST(MultipartStream, PacketSizeStopsNewPartReadsAndDelayPausesAfterEach) {
    const std::string body(100, 'p');
    auto stream = streamOf({dataPart("a", body), dataPart("b", body), dataPart("c", body)});
    stream->setNumberOfBytesInPacket(16);
    stream->open();
    std::vector<std::uint8_t> buffer(4096);
    // One part read fills past the packet size; no second part is started in the same call.
    const long first = stream->read(buffer.data(), buffer.size());
    EXPECT_EQ(static_cast<std::uint64_t>(first), stream->HTTPBodyParts()[0]->contentLength());

    auto slow = streamOf({dataPart("a", body), dataPart("b", body)});
    slow->setDelay(0.05);
    const auto start = std::chrono::steady_clock::now();
    const std::size_t produced = test::readAll(*slow).size();
    EXPECT_EQ(produced, slow->contentLength());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

// Gives its bytes, then fails.
class FailingStream : public InputStream {
public:
    explicit FailingStream(std::size_t good) : good_(good) {}
    void open() override { setStatus(StreamStatus::Open); }
    void close() override {}
    bool hasBytesAvailable() const override { return streamStatus() == StreamStatus::Open; }
    long read(std::uint8_t* buffer, std::size_t length) override {
        if (given_ < good_) {
            const std::size_t n = std::min(length, good_ - given_);
            std::memset(buffer, 'g', n);
            given_ += n;
            return static_cast<long>(n);
        }
        fail(Error::make("Test", 42));
        return -1;
    }

private:
    std::size_t good_;
    std::size_t given_ = 0;
};

TEST(MultipartStream, AFailingPartFailsTheStreamOnTheNextRead) {
    auto stream = streamOf({dataPart("a", "1"), part("s", makeRef<FailingStream>(10), 100), dataPart("c", "3")});
    stream->open();
    std::vector<std::uint8_t> buffer(4096);
    const long first = stream->read(buffer.data(), buffer.size());
    EXPECT_GT(first, 10);  // the first part and the good bytes of the second
    EXPECT_EQ(stream->read(buffer.data(), buffer.size()), -1);
    EXPECT_EQ(stream->streamStatus(), StreamStatus::Error);
    ASSERT_TRUE(stream->streamError());
    EXPECT_EQ(stream->streamError()->code(), 42);
    EXPECT_FALSE(stream->hasBytesAvailable());
    EXPECT_EQ(stream->read(buffer.data(), buffer.size()), -1);

    // A failure on the very first read is reported at once, never as an empty body.
    test::TempDir dir;
    auto missing = streamOf({part("f", URL::fileURLWithPath(dir.file("absent")), 5)});
    bool failed = false;
    const std::string got = test::readAll(*missing, 4096, &failed);
    EXPECT_TRUE(failed);
    EXPECT_LT(got.size(), missing->contentLength());
    EXPECT_EQ(missing->streamError()->code(), ENOENT);
}

// The main thread waits (without running its loop) for a thread that reads a body with a file part:
// the part opens and closes its file on the reading thread, so the read completes.
TEST(MultipartStream, ReadsOnAThreadTheMainThreadWaitsFor) {
    test::TempDir dir;
    std::ofstream(dir.file("f.bin"), std::ios::binary) << "file body";
    auto stream = streamOf({part("f", URL::fileURLWithPath(dir.file("f.bin")), 9), dataPart("d", "data")});
    auto reading = std::async(std::launch::async, [stream] { return test::readAll(*stream, 3); });
    ASSERT_EQ(reading.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(reading.get().size(), stream->contentLength());
}

TEST(MultipartStream, PartCopyStartsAnewWithoutFlags) {
    auto original = dataPart("a", "1");
    original->setHasInitialBoundary(true);
    original->setHasFinalBoundary(true);
    auto copy = original->copy();
    EXPECT_FALSE(copy->hasInitialBoundary());
    EXPECT_FALSE(copy->hasFinalBoundary());
    EXPECT_EQ(copy->headers(), original->headers());
    EXPECT_EQ(copy->bodyContentLength(), 1u);
    EXPECT_NE(copy->inputStream(), original->inputStream());
    EXPECT_EQ(copy->stringForHeaders(), "Content-Disposition: form-data; name=\"a\"\r\n\r\n");
}

}  // namespace
}  // namespace lv
