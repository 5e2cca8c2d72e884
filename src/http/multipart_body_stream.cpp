// Multipart body parts and the body stream over them.
#include "http/multipart_body_stream.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/base/error.h"

namespace lv {

namespace {

constexpr std::string_view kCRLF = "\r\n";

bool isFinished(StreamStatus status) { return static_cast<int>(status) >= static_cast<int>(StreamStatus::AtEnd); }

}  // namespace

HCHTTPBodyPart::~HCHTTPBodyPart() {
    if (inputStream_) inputStream_->close();
}

const Ref<InputStream>& HCHTTPBodyPart::inputStream() {
    if (!inputStream_) {
        if (const auto* data = std::get_if<Bytes>(&body_)) {
            inputStream_ = InputStream::withData(*data);
        } else if (const auto* url = std::get_if<Ref<URL>>(&body_); url && *url) {
            inputStream_ = InputStream::withFileAtPath((*url)->path());
        } else if (const auto* stream = std::get_if<Ref<InputStream>>(&body_); stream && *stream) {
            inputStream_ = *stream;
        } else {
            inputStream_ = InputStream::withData({});
        }
    }
    return inputStream_;
}

Bytes HCHTTPBodyPart::encoded(const std::string& text) const { return text::encode(text, encoding_).value_or(Bytes()); }

Bytes HCHTTPBodyPart::boundaryLine() const {
    const std::string line = hasInitialBoundary_ ? "--" + boundary_ + std::string(kCRLF)
                                                 : std::string(kCRLF) + "--" + boundary_ + std::string(kCRLF);
    return encoded(line);
}

Bytes HCHTTPBodyPart::finalBoundary() const {
    if (!hasFinalBoundary_) return {};
    return encoded(std::string(kCRLF) + "--" + boundary_ + "--" + std::string(kCRLF));
}

std::string HCHTTPBodyPart::stringForHeaders() const {
    std::string block;
    for (const auto& [field, value] : headers_.fields()) block += field + ": " + value + std::string(kCRLF);
    return block + std::string(kCRLF);
}

std::uint64_t HCHTTPBodyPart::contentLength() const {
    return boundaryLine().size() + encoded(stringForHeaders()).size() + bodyContentLength_ + finalBoundary().size();
}

bool HCHTTPBodyPart::hasBytesAvailable() {
    if (phase_ == Phase::FinalBoundary) return true;
    return !isFinished(inputStream()->streamStatus());
}

std::size_t HCHTTPBodyPart::readData(const Bytes& data, std::uint8_t* buffer, std::size_t length) {
    const std::size_t offset = static_cast<std::size_t>(std::min<std::uint64_t>(phaseReadOffset_, data.size()));
    const std::size_t n = std::min(data.size() - offset, length);
    if (n > 0) std::memcpy(buffer, data.data() + offset, n);
    phaseReadOffset_ += n;
    if (phaseReadOffset_ >= data.size()) transitionToNextPhase();
    return n;
}

// Runs on the reading thread: the part's stream needs no run loop, and a hop to another thread could
// deadlock a reader that the other thread waits for.
void HCHTTPBodyPart::transitionToNextPhase() {
    switch (phase_) {
        case Phase::Boundary: phase_ = Phase::Headers; break;
        case Phase::Headers:
            inputStream()->open();
            phase_ = Phase::Body;
            break;
        case Phase::Body:
            inputStream()->close();
            phase_ = Phase::FinalBoundary;
            break;
        case Phase::FinalBoundary: phase_ = Phase::Boundary; break;
    }
    phaseReadOffset_ = 0;
}

long HCHTTPBodyPart::read(std::uint8_t* buffer, std::size_t length) {
    std::size_t total = 0;
    if (phase_ == Phase::Boundary) total += readData(boundaryLine(), buffer + total, length - total);
    if (phase_ == Phase::Headers) total += readData(encoded(stringForHeaders()), buffer + total, length - total);
    if (phase_ == Phase::Body) {
        const auto& stream = inputStream();
        bool ended = false;
        if (length > total) {
            const long n = stream->read(buffer + total, length - total);
            if (n < 0) return -1;
            // A stream answers 0 only at its end, whatever status it reports.
            ended = n == 0;
            total += static_cast<std::size_t>(n);
        }
        if (ended || isFinished(stream->streamStatus())) transitionToNextPhase();
    }
    if (phase_ == Phase::FinalBoundary) total += readData(finalBoundary(), buffer + total, length - total);
    return static_cast<long>(total);
}

Ref<HCHTTPBodyPart> HCHTTPBodyPart::copy() const {
    auto part = makeRef<HCHTTPBodyPart>();
    part->encoding_ = encoding_;
    part->headers_ = headers_;
    part->bodyContentLength_ = bodyContentLength_;
    part->body_ = body_;
    part->boundary_ = boundary_;
    return part;
}

void HCMultipartBodyStream::setInitialAndFinalBoundaries() {
    if (parts_.empty()) return;
    for (const auto& part : parts_) {
        part->setHasInitialBoundary(false);
        part->setHasFinalBoundary(false);
    }
    parts_.front()->setHasInitialBoundary(true);
    parts_.back()->setHasFinalBoundary(true);
}

std::uint64_t HCMultipartBodyStream::contentLength() const {
    std::uint64_t length = 0;
    for (const auto& part : parts_) length += part->contentLength();
    return length;
}

void HCMultipartBodyStream::open() {
    if (streamStatus() == StreamStatus::Open) return;
    setStatus(StreamStatus::Open);
    setInitialAndFinalBoundaries();
    nextPart_ = 0;
    currentPart_ = nullptr;
}

void HCMultipartBodyStream::close() {
    if (streamStatus() != StreamStatus::Error) setStatus(StreamStatus::Closed);
}

long HCMultipartBodyStream::read(std::uint8_t* buffer, std::size_t length) {
    if (streamStatus() == StreamStatus::Error) return -1;
    if (streamStatus() != StreamStatus::Open) return 0;
    const std::uint64_t limit = std::min<std::uint64_t>(length, packetSize_);
    std::size_t total = 0;
    while (total < limit) {
        if (!currentPart_ || !currentPart_->hasBytesAvailable()) {
            if (nextPart_ >= parts_.size()) break;
            currentPart_ = parts_[nextPart_++];
            continue;
        }
        const long n = currentPart_->read(buffer + total, length - total);
        if (n < 0) {
            Ref<Error> error = currentPart_->inputStream()->streamError();
            if (!error) error = Error::make(std::string(kPOSIXErrorDomain), EIO);
            fail(std::move(error));
            return total > 0 ? static_cast<long>(total) : -1;
        }
        total += static_cast<std::size_t>(n);
        if (delay_ > 0) std::this_thread::sleep_for(std::chrono::duration<double>(delay_));
    }
    return static_cast<long>(total);
}

Ref<InputStream> HCMultipartBodyStream::copy() const {
    auto stream = makeRef<HCMultipartBodyStream>(encoding_);
    for (const auto& part : parts_) stream->appendHTTPBodyPart(part->copy());
    stream->setInitialAndFinalBoundaries();
    return stream;
}

}  // namespace lv
