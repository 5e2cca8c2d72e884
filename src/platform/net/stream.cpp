// Memory and file streams.
#include "platform/net/stream.h"

#include <cerrno>
#include <cstring>

namespace lv {

namespace {

Ref<Error> posixError(int code, const std::string& path) {
    Dictionary info;
    info.set(std::string(kFilePathErrorKey), Value(path));
    info.set(std::string(kLocalizedDescriptionKey), Value(std::string(std::strerror(code))));
    return Error::make(std::string(kPOSIXErrorDomain), code, std::move(info));
}

bool readable(StreamStatus s) { return s == StreamStatus::Open || s == StreamStatus::Reading; }

}  // namespace

Value Stream::propertyForKey(std::string_view) const { return Value(); }

void Stream::fail(Ref<Error> error) {
    error_ = std::move(error);
    status_ = StreamStatus::Error;
}

Ref<InputStream> InputStream::withData(Bytes data) { return makeRef<MemoryInputStream>(std::move(data)); }
Ref<InputStream> InputStream::withFileAtPath(std::string path) { return makeRef<FileInputStream>(std::move(path)); }

void MemoryInputStream::open() {
    if (streamStatus() == StreamStatus::NotOpen) setStatus(data_.empty() ? StreamStatus::AtEnd : StreamStatus::Open);
}

void MemoryInputStream::close() { setStatus(StreamStatus::Closed); }

long MemoryInputStream::read(std::uint8_t* buffer, std::size_t length) {
    if (!readable(streamStatus())) return streamStatus() == StreamStatus::Error ? -1 : 0;
    const std::size_t n = std::min(length, data_.size() - offset_);
    std::memcpy(buffer, data_.data() + offset_, n);
    offset_ += n;
    if (offset_ == data_.size()) setStatus(StreamStatus::AtEnd);
    return static_cast<long>(n);
}

bool MemoryInputStream::hasBytesAvailable() const { return readable(streamStatus()) && offset_ < data_.size(); }

FileInputStream::~FileInputStream() {
    if (file_) std::fclose(file_);
}

void FileInputStream::open() {
    if (streamStatus() != StreamStatus::NotOpen) return;
    file_ = std::fopen(path_.c_str(), "rb");
    if (!file_) {
        fail(posixError(errno, path_));
        return;
    }
    setStatus(StreamStatus::Open);
}

void FileInputStream::close() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    if (streamStatus() != StreamStatus::Error) setStatus(StreamStatus::Closed);
}

long FileInputStream::read(std::uint8_t* buffer, std::size_t length) {
    if (!readable(streamStatus())) return streamStatus() == StreamStatus::Error ? -1 : 0;
    const std::size_t n = std::fread(buffer, 1, length, file_);
    if (n == 0 && std::ferror(file_)) {
        fail(posixError(errno ? errno : EIO, path_));
        return -1;
    }
    offset_ += n;
    if (n == 0) setStatus(StreamStatus::AtEnd);
    return static_cast<long>(n);
}

bool FileInputStream::hasBytesAvailable() const { return readable(streamStatus()); }

Value FileInputStream::propertyForKey(std::string_view key) const {
    if (key == kStreamFileCurrentOffsetKey) return Value(offset_);
    return Value();
}

Ref<OutputStream> OutputStream::toMemory() { return makeRef<MemoryOutputStream>(); }
Ref<OutputStream> OutputStream::toFileAtPath(std::string path, bool append) {
    return makeRef<FileOutputStream>(std::move(path), append);
}

void MemoryOutputStream::open() {
    if (streamStatus() == StreamStatus::NotOpen) setStatus(StreamStatus::Open);
}

void MemoryOutputStream::close() { setStatus(StreamStatus::Closed); }

long MemoryOutputStream::write(const std::uint8_t* buffer, std::size_t length) {
    if (streamStatus() != StreamStatus::Open) return -1;
    Bytes& data = data_.mutableBytes();
    data.insert(data.end(), buffer, buffer + length);
    return static_cast<long>(length);
}

Value MemoryOutputStream::propertyForKey(std::string_view key) const {
    if (key == kStreamDataWrittenToMemoryStreamKey) return data_;
    return Value();
}

FileOutputStream::~FileOutputStream() {
    if (file_) std::fclose(file_);
}

void FileOutputStream::open() {
    if (streamStatus() != StreamStatus::NotOpen) return;
    file_ = std::fopen(path_.c_str(), append_ ? "ab" : "wb");
    if (!file_) {
        fail(posixError(errno, path_));
        return;
    }
    offset_ = static_cast<std::uint64_t>(std::ftell(file_));
    setStatus(StreamStatus::Open);
}

void FileOutputStream::close() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    if (streamStatus() != StreamStatus::Error) setStatus(StreamStatus::Closed);
}

long FileOutputStream::write(const std::uint8_t* buffer, std::size_t length) {
    if (streamStatus() != StreamStatus::Open) return -1;
    const std::size_t n = std::fwrite(buffer, 1, length, file_);
    if (n < length && std::ferror(file_)) {
        fail(posixError(errno ? errno : EIO, path_));
        return -1;
    }
    // A buffered write fails only when flushed (a full device): report it, never drop it.
    if (std::fflush(file_) != 0) {
        fail(posixError(errno ? errno : EIO, path_));
        return -1;
    }
    offset_ += n;
    return static_cast<long>(n);
}

Value FileOutputStream::propertyForKey(std::string_view key) const {
    if (key == kStreamFileCurrentOffsetKey) return Value(offset_);
    return Value();
}

}  // namespace lv
