// Multipart form-data bodies streamed part by part, never assembled in memory. HCHTTPBodyPart emits one
// part: its boundary line, its header block, its body (data, a file or another stream) and, on the last
// part, the closing boundary. HCMultipartBodyStream is the input stream over the parts that a request
// carries as its body stream.
//
// Threads: a stream and its parts are read by one thread at a time (the URL engine reads body streams
// on a worker); every phase change, including opening and closing a part's own stream, runs on the
// reading thread.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "platform/net/request.h"
#include "platform/net/stream.h"
#include "platform/net/url.h"
#include "platform/text/encoding.h"

namespace lv {

class HCHTTPBodyPart : public Object {
public:
    // Data, a file URL, or a stream; nothing gives an empty body.
    using Body = std::variant<std::monostate, Bytes, Ref<URL>, Ref<InputStream>>;

    HCHTTPBodyPart() = default;

    StringEncoding stringEncoding() const { return encoding_; }
    void setStringEncoding(StringEncoding encoding) { encoding_ = encoding; }
    // Header lines in this order.
    const HTTPHeaders& headers() const { return headers_; }
    void setHeaders(HTTPHeaders headers) { headers_ = std::move(headers); }
    // The boundary text, without dashes.
    const std::string& boundary() const { return boundary_; }
    void setBoundary(std::string boundary) { boundary_ = std::move(boundary); }
    const Body& body() const { return body_; }
    void setBody(Body body) { body_ = std::move(body); }
    std::uint64_t bodyContentLength() const { return bodyContentLength_; }
    void setBodyContentLength(std::uint64_t length) { bodyContentLength_ = length; }
    bool hasInitialBoundary() const { return hasInitialBoundary_; }
    void setHasInitialBoundary(bool flag) { hasInitialBoundary_ = flag; }
    bool hasFinalBoundary() const { return hasFinalBoundary_; }
    void setHasFinalBoundary(bool flag) { hasFinalBoundary_ = flag; }

    // The stream over the body, made on first use and kept.
    const Ref<InputStream>& inputStream();
    // "Field: value\r\n" per header, then "\r\n".
    std::string stringForHeaders() const;
    // Boundary line + header block + bodyContentLength + closing boundary (when last), in bytes.
    std::uint64_t contentLength() const;
    // True while the part has more to give (always in the closing phase).
    bool hasBytesAvailable();
    // Fills the buffer from the current phase onwards: the count, or -1 when the body stream failed
    // (its error is the body stream's streamError()).
    long read(std::uint8_t* buffer, std::size_t length);
    // A new part with the same encoding, headers, boundary, body and length; flags cleared, its own
    // input stream (a stream body is shared with this part).
    Ref<HCHTTPBodyPart> copy() const;

    ~HCHTTPBodyPart() override;
    HCHTTPBodyPart(const HCHTTPBodyPart&) = delete;
    HCHTTPBodyPart& operator=(const HCHTTPBodyPart&) = delete;

private:
    enum class Phase { Boundary = 1, Headers = 2, Body = 3, FinalBoundary = 4 };

    Bytes encoded(const std::string& text) const;
    Bytes boundaryLine() const;
    Bytes finalBoundary() const;
    std::size_t readData(const Bytes& data, std::uint8_t* buffer, std::size_t length);
    void transitionToNextPhase();

    StringEncoding encoding_ = StringEncoding::UTF8;
    HTTPHeaders headers_;
    std::string boundary_;
    Body body_;
    std::uint64_t bodyContentLength_ = 0;
    bool hasInitialBoundary_ = false;
    bool hasFinalBoundary_ = false;
    Ref<InputStream> inputStream_;
    Phase phase_ = Phase::Boundary;
    std::uint64_t phaseReadOffset_ = 0;
};

class HCMultipartBodyStream : public InputStream {
public:
    explicit HCMultipartBodyStream(StringEncoding encoding) : encoding_(encoding) {}

    StringEncoding stringEncoding() const { return encoding_; }
    const std::vector<Ref<HCHTTPBodyPart>>& HTTPBodyParts() const { return parts_; }
    void appendHTTPBodyPart(Ref<HCHTTPBodyPart> part) { parts_.push_back(std::move(part)); }
    bool isEmpty() const { return parts_.empty(); }
    // Clears every part's flags, then marks the first as initial and the last as final.
    void setInitialAndFinalBoundaries();
    // Sum of the parts' lengths.
    std::uint64_t contentLength() const;

    // Most bytes one read produces before it stops starting new part reads (no limit by default).
    std::uint64_t numberOfBytesInPacket() const { return packetSize_; }
    void setNumberOfBytesInPacket(std::uint64_t size) { packetSize_ = size; }
    // Seconds the reading thread pauses after each part read.
    double delay() const { return delay_; }
    void setDelay(double seconds) { delay_ = seconds; }

    void open() override;
    void close() override;
    // The bytes of the parts in order; 0 at the end or when closed. When a part's stream fails, the
    // bytes already copied in this call are returned and the stream turns to the error status: the
    // next read returns -1 with streamError() set, so an upload never ends silently truncated.
    long read(std::uint8_t* buffer, std::size_t length) override;
    bool hasBytesAvailable() const override { return streamStatus() == StreamStatus::Open; }
    // An unopened stream over copies of the parts, without throttling.
    Ref<InputStream> copy() const override;

private:
    StringEncoding encoding_;
    std::vector<Ref<HCHTTPBodyPart>> parts_;
    std::size_t nextPart_ = 0;
    Ref<HCHTTPBodyPart> currentPart_;
    std::uint64_t packetSize_ = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    double delay_ = 0;
};

}  // namespace lv
