// Byte streams: input streams (memory, file, and subclasses of the caller's own) that give a request
// body, and output streams to memory or a file. A stream is used by one thread at a time; the URL
// engine reads a body stream on a worker thread, never on its own thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/base/error.h"
#include "platform/base/value.h"

namespace lv {

// The platform's stream status values.
enum class StreamStatus : int {
    NotOpen = 0,
    Opening = 1,
    Open = 2,
    Reading = 3,
    Writing = 4,
    AtEnd = 5,
    Closed = 6,
    Error = 7,
};

// Property keys.
inline constexpr std::string_view kStreamDataWrittenToMemoryStreamKey = "NSStreamDataWrittenToMemoryStreamKey";
inline constexpr std::string_view kStreamFileCurrentOffsetKey = "NSStreamFileCurrentOffsetKey";

class Stream : public Object {
public:
    virtual void open() = 0;
    virtual void close() = 0;
    StreamStatus streamStatus() const { return status_; }
    const Ref<Error>& streamError() const { return error_; }
    virtual Value propertyForKey(std::string_view key) const;

protected:
    // Subclasses report through these.
    void setStatus(StreamStatus status) { status_ = status; }
    void fail(Ref<Error> error);

private:
    StreamStatus status_ = StreamStatus::NotOpen;
    Ref<Error> error_;
};

class InputStream : public Stream {
public:
    // Up to length bytes into buffer: the count read, 0 at the end, -1 on error (streamError set).
    virtual long read(std::uint8_t* buffer, std::size_t length) = 0;
    virtual bool hasBytesAvailable() const = 0;
    // A fresh stream over the same bytes, positioned at the start, or nothing when it cannot be made
    // (a redirect or an authentication retry then needs a new body stream from elsewhere).
    virtual Ref<InputStream> copy() const { return nullptr; }

    static Ref<InputStream> withData(Bytes data);
    static Ref<InputStream> withFileAtPath(std::string path);
};

class MemoryInputStream : public InputStream {
public:
    explicit MemoryInputStream(Bytes data) : data_(std::move(data)) {}
    void open() override;
    void close() override;
    long read(std::uint8_t* buffer, std::size_t length) override;
    bool hasBytesAvailable() const override;
    Ref<InputStream> copy() const override { return makeRef<MemoryInputStream>(data_); }

private:
    Bytes data_;
    std::size_t offset_ = 0;
};

class FileInputStream : public InputStream {
public:
    explicit FileInputStream(std::string path) : path_(std::move(path)) {}
    ~FileInputStream() override;
    void open() override;
    void close() override;
    long read(std::uint8_t* buffer, std::size_t length) override;
    bool hasBytesAvailable() const override;
    Ref<InputStream> copy() const override { return makeRef<FileInputStream>(path_); }
    Value propertyForKey(std::string_view key) const override;

private:
    std::string path_;
    std::FILE* file_ = nullptr;
    std::uint64_t offset_ = 0;
};

class OutputStream : public Stream {
public:
    // Writes up to length bytes: the count written, -1 on error (streamError set), 0 when full.
    virtual long write(const std::uint8_t* buffer, std::size_t length) = 0;
    virtual bool hasSpaceAvailable() const = 0;

    static Ref<OutputStream> toMemory();
    static Ref<OutputStream> toFileAtPath(std::string path, bool append);
};

class MemoryOutputStream : public OutputStream {
public:
    void open() override;
    void close() override;
    long write(const std::uint8_t* buffer, std::size_t length) override;
    bool hasSpaceAvailable() const override { return streamStatus() == StreamStatus::Open; }
    // The bytes written so far (kStreamDataWrittenToMemoryStreamKey).
    const Bytes& contents() const { return data_.bytes(); }
    // The property shares these bytes without copying them; a later write copies them first.
    Value propertyForKey(std::string_view key) const override;

private:
    Value data_{Bytes{}};
};

class FileOutputStream : public OutputStream {
public:
    FileOutputStream(std::string path, bool append) : path_(std::move(path)), append_(append) {}
    ~FileOutputStream() override;
    void open() override;
    void close() override;
    long write(const std::uint8_t* buffer, std::size_t length) override;
    bool hasSpaceAvailable() const override { return streamStatus() == StreamStatus::Open; }
    // The file offset (kStreamFileCurrentOffsetKey).
    Value propertyForKey(std::string_view key) const override;

private:
    std::string path_;
    bool append_;
    std::FILE* file_ = nullptr;
    std::uint64_t offset_ = 0;
};

}  // namespace lv
