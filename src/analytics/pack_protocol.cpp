#include "analytics/pack_protocol.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "analytics/detail/pack_reader.h"
#include "platform/base/format.h"

namespace lv {

namespace {

Dictionary errorUserInfo(const Ref<Error>& error) {
    Dictionary info;
    if (error) info.set("error", Value(error));
    return info;
}

void requireElementType(std::uint8_t type) {
    if (!isPackValueType(type)) pack_detail::raiseElementType(type);
}

}  // namespace

namespace pack_detail {

void raiseShort() { TPKTransportException::raise(std::string(kNotEnoughBytesReason)); }

void raiseElementType(std::uint8_t type) {
    TPKProtocolException::raise(format("Invalid container element type %d", type));
}

void raiseContainerSize(std::int32_t count) {
    TPKProtocolException::raise(format("Container size %d is larger than the bytes that remain", count));
}

void raiseDepth() { TPKProtocolException::raise(format("Nesting deeper than %d levels", kPackMaxDepth)); }

}  // namespace pack_detail

bool isPackValueType(std::uint8_t code) {
    switch (code) {
        case 2: case 3: case 4: case 6: case 8: case 10: case 11: case 12: case 13: case 14: case 15: return true;
        default: return false;
    }
}

TPKException::TPKException(std::string name, std::string reason, Ref<Error> error)
    : Exception(std::move(name), std::move(reason), errorUserInfo(error)) {}

void TPKException::raise(std::string name, std::string reason, Ref<Error> error) {
    throw TPKException(std::move(name), std::move(reason), std::move(error));
}

std::string TPKException::description() const {
    std::string text = name() + ": " + reason();
    if (!userInfo().empty()) text += "\n  userInfo = " + Value(userInfo()).description();
    return text;
}

void TPKProtocolException::raise(std::string reason, Ref<Error> error) {
    throw TPKProtocolException(std::move(reason), std::move(error));
}

void TPKTransportException::raise(std::string reason, Ref<Error> error) {
    throw TPKTransportException(std::move(reason), std::move(error));
}

void TPKMemoryBuffer::raiseShort() { pack_detail::raiseShort(); }

void TPKMemoryBuffer::dropConsumed() {
    start_ += static_cast<std::size_t>(offset_);
    offset_ = 0;
    if (!borrowed_ && start_ * 2 >= end_) {
        buffer_.resize(end_);
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        end_ -= start_;
        start_ = 0;
    }
}

void TPKMemoryBuffer::grow(std::uint32_t length) {
    if (borrowed_) {
        buffer_.assign(borrowed_ + start_, borrowed_ + end_);
        borrowed_ = nullptr;
        end_ -= start_;
        start_ = 0;
        if (length <= buffer_.size() - end_) return;
    }
    buffer_.resize(std::max({buffer_.size() * 2, end_ + length, std::size_t{256}}));
}

Bytes TPKMemoryBuffer::takeBuffer() {
    Bytes out;
    if (!borrowed_ && start_ == 0) {
        buffer_.resize(end_);
        out = std::move(buffer_);
    } else {
        out = getBuffer();
    }
    buffer_.clear();
    borrowed_ = nullptr;
    end_ = 0;
    start_ = 0;
    offset_ = 0;
    return out;
}


// Reading.

void TPKBinaryProtocol::readFromTransport(std::uint8_t* into, std::int32_t length) {
    if (memory_) {
        memory_->readAll(into, 0, length);
    } else {
        transport_.readAll(into, 0, length);
    }
}

void TPKBinaryProtocol::requireBytes(std::int32_t length) {
    const std::uint64_t remaining = memory_ ? memory_->bytesRemaining() : transport_.bytesRemaining();
    if (length < 0 || static_cast<std::uint64_t>(length) > remaining) pack_detail::raiseShort();
}

void TPKBinaryProtocol::requireElements(std::int32_t count, std::uint64_t minimumElementSize) {
    if (count > 0 && static_cast<std::uint64_t>(count) * minimumElementSize > transport_.bytesRemaining()) {
        pack_detail::raiseContainerSize(count);
    }
}

void TPKBinaryProtocol::enter() {
    if (++depth_ > kPackMaxDepth) pack_detail::raiseDepth();
}

double TPKBinaryProtocol::readDouble() { return std::bit_cast<double>(readI64()); }

std::string TPKBinaryProtocol::readStringBody(std::int32_t length) {
    requireBytes(length);  // before allocating: a reply cannot make us reserve more than it holds
    std::string text(static_cast<std::size_t>(length), '\0');
    if (length > 0) readExactly(reinterpret_cast<std::uint8_t*>(text.data()), length);
    return text;
}

// The count of a counted string when a memory buffer holds all of it; -1 otherwise.
std::int32_t TPKBinaryProtocol::bufferedTextCount() const {
    if (!memory_ || memory_->bytesRemaining() < 4) return -1;
    const std::uint8_t* at = memory_->readCursor();
    const auto count = static_cast<std::int32_t>((std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) |
                                                 (std::uint32_t{at[2]} << 8) | std::uint32_t{at[3]});
    if (count < 0 || static_cast<std::uint64_t>(count) > memory_->bytesRemaining() - 4) return -1;
    return count;
}

bool TPKBinaryProtocol::readBufferedText(std::optional<std::string>& text) {
    const std::int32_t count = bufferedTextCount();
    if (count < 0) return false;
    if (!text) text.emplace();
    text->assign(reinterpret_cast<const char*>(memory_->readCursor() + 4), static_cast<std::size_t>(count));
    memory_->advance(4 + static_cast<std::uint64_t>(count));
    if (!isWellFormedUtf8(*text)) text.reset();
    return true;
}

bool TPKBinaryProtocol::readTextInto(std::string& text) {
    if (const std::int32_t count = bufferedTextCount(); count >= 0) {
        // Count and bytes both there: copied straight from the buffer.
        text.assign(reinterpret_cast<const char*>(memory_->readCursor() + 4), static_cast<std::size_t>(count));
        memory_->advance(4 + static_cast<std::uint64_t>(count));
        return isWellFormedUtf8(text);
    }
    const std::int32_t length = readI32();
    requireBytes(length);  // before allocating: a reply cannot make us reserve more than it holds
    text.resize(static_cast<std::size_t>(length));
    if (length > 0) readExactly(reinterpret_cast<std::uint8_t*>(text.data()), length);
    return isWellFormedUtf8(text);
}

std::optional<std::string> TPKBinaryProtocol::readString() {
    std::optional<std::string> text(std::in_place);
    if (!readTextInto(*text)) return std::nullopt;
    return text;
}

Bytes TPKBinaryProtocol::readBinary() {
    std::int32_t length = readI32();
    requireBytes(length);
    Bytes data(static_cast<std::size_t>(length));
    if (length > 0) readExactly(data.data(), length);
    return data;
}

void TPKBinaryProtocol::readMapBegin(std::uint8_t* keyType, std::uint8_t* valueType, std::int32_t* size) {
    std::uint8_t k = readByte();
    std::uint8_t v = readByte();
    std::int32_t n = readI32();
    requireElementType(k);
    requireElementType(v);
    requireElements(n, pack_detail::minimumEncodedSize(k) + pack_detail::minimumEncodedSize(v));
    enter();
    if (keyType) *keyType = k;
    if (valueType) *valueType = v;
    if (size) *size = n;
}

void TPKBinaryProtocol::readSetBegin(std::uint8_t* elementType, std::int32_t* size) {
    readListBegin(elementType, size);
}

void TPKBinaryProtocol::readListBegin(std::uint8_t* elementType, std::int32_t* size) {
    std::uint8_t e = readByte();
    std::int32_t n = readI32();
    requireElementType(e);
    requireElements(n, pack_detail::minimumEncodedSize(e));
    enter();
    if (elementType) *elementType = e;
    if (size) *size = n;
}

void TPKBinaryProtocol::readMessageBegin(std::string* name, std::uint8_t* type, std::int32_t* sequenceID) {
    std::int32_t v = readI32();
    std::string n;
    std::uint8_t t = 0;
    if (v < 0) {
        if ((static_cast<std::uint32_t>(v) & 0xFFFF0000u) != 0x80010000u) {
            TPKProtocolException::raise("Bad version in readMessageBegin");
        }
        t = static_cast<std::uint8_t>(v & 0xFF);
        n = readString().value_or(std::string());
    } else {
        if (strictRead_) TPKProtocolException::raise("Missing version in readMessageBegin, old client?");
        if (messageSizeLimit_ > 0 && v > messageSizeLimit_) {
            TPKProtocolException::raise(
                format("Message too big.  Size limit is: %d Message size is: %d", messageSizeLimit_, v));
        }
        n = readStringBody(v);
        t = readByte();
    }
    std::int32_t seq = readI32();
    if (name) *name = std::move(n);
    if (type) *type = t;
    if (sequenceID) *sequenceID = seq;
}

// Writing.

void TPKBinaryProtocol::writeDouble(double value) { writeI64(std::bit_cast<std::int64_t>(value)); }

void TPKBinaryProtocol::writeText(std::string_view text) {
    if (text.size() > static_cast<std::size_t>(INT32_MAX)) TPKProtocolException::raise("String too long to write");
    if (memory_) {
        // The count and the bytes go into the buffer's room together.
        std::uint8_t* at = memory_->writeRoom(4 + text.size());
        pack_detail::storeBig<4>(at, text.size());
        if (!text.empty()) std::memcpy(at + 4, text.data(), text.size());
        memory_->wrote(4 + text.size());
        return;
    }
    writeI32(static_cast<std::int32_t>(text.size()));
    writeBytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

void TPKBinaryProtocol::writeTextField(std::int16_t fieldID, std::string_view text) {
    if (!memory_ || text.size() > static_cast<std::size_t>(INT32_MAX)) {
        writeFieldBegin({}, static_cast<std::uint8_t>(PackType::String), fieldID);
        return writeText(text);
    }
    std::uint8_t* at = memory_->writeRoom(7 + text.size());
    at[0] = static_cast<std::uint8_t>(PackType::String);
    pack_detail::storeBig<2>(at + 1, static_cast<std::uint16_t>(fieldID));
    pack_detail::storeBig<4>(at + 3, text.size());
    if (!text.empty()) std::memcpy(at + 7, text.data(), text.size());
    memory_->wrote(7 + text.size());
}

void TPKBinaryProtocol::writeBinary(const std::optional<Bytes>& value) {
    if (!value) return writeI32(0);
    if (value->size() > static_cast<std::size_t>(INT32_MAX)) TPKProtocolException::raise("Data too long to write");
    writeI32(static_cast<std::int32_t>(value->size()));
    writeBytes(value->data(), value->size());
}

void TPKBinaryProtocol::writeMapBegin(std::uint8_t keyType, std::uint8_t valueType, std::int32_t size) {
    std::uint8_t* at = room(6);
    at[0] = keyType;
    at[1] = valueType;
    pack_detail::storeBig<4>(at + 2, static_cast<std::uint32_t>(size));
    wrote(at, 6);
}

void TPKBinaryProtocol::writeSetBegin(std::uint8_t elementType, std::int32_t size) {
    writeListBegin(elementType, size);
}

void TPKBinaryProtocol::writeListBegin(std::uint8_t elementType, std::int32_t size) {
    std::uint8_t* at = room(5);
    at[0] = elementType;
    pack_detail::storeBig<4>(at + 1, static_cast<std::uint32_t>(size));
    wrote(at, 5);
}

void TPKBinaryProtocol::writeMessageBegin(std::string_view name, std::uint8_t type, std::int32_t sequenceID) {
    if (strictWrite_) {
        writeI32(static_cast<std::int32_t>(0x80010000u | type));
        writeText(name);
    } else {
        writeText(name);
        writeByte(type);
    }
    writeI32(sequenceID);
}

TPKBinaryProtocolFactory& TPKBinaryProtocolFactory::sharedFactory() {
    static auto& factory = *new TPKBinaryProtocolFactory;
    return factory;
}

void TPKProtocolUtil::skipType(std::uint8_t type, TPKProtocol& protocol) {
    switch (static_cast<PackType>(type)) {
        case PackType::Bool: protocol.readBool(); break;
        case PackType::Byte: protocol.readByte(); break;
        case PackType::Double: protocol.readDouble(); break;
        case PackType::I16: protocol.readI16(); break;
        case PackType::I32: protocol.readI32(); break;
        case PackType::I64: protocol.readI64(); break;
        case PackType::String: protocol.readBinary(); break;  // the bytes need not be UTF-8
        case PackType::Struct: {
            protocol.readStructBegin();
            for (;;) {
                std::uint8_t fieldType = 0;
                protocol.readFieldBegin(&fieldType, nullptr);
                if (fieldType == static_cast<std::uint8_t>(PackType::Stop)) break;
                skipType(fieldType, protocol);
                protocol.readFieldEnd();
            }
            protocol.readStructEnd();
            break;
        }
        case PackType::Map: {
            std::uint8_t keyType = 0, valueType = 0;
            std::int32_t size = 0;
            protocol.readMapBegin(&keyType, &valueType, &size);
            for (std::int32_t i = 0; i < size; ++i) {
                skipType(keyType, protocol);
                skipType(valueType, protocol);
            }
            protocol.readMapEnd();
            break;
        }
        case PackType::Set:
        case PackType::List: {
            std::uint8_t elementType = 0;
            std::int32_t size = 0;
            if (type == static_cast<std::uint8_t>(PackType::Set)) {
                protocol.readSetBegin(&elementType, &size);
            } else {
                protocol.readListBegin(&elementType, &size);
            }
            for (std::int32_t i = 0; i < size; ++i) skipType(elementType, protocol);
            if (type == static_cast<std::uint8_t>(PackType::Set)) {
                protocol.readSetEnd();
            } else {
                protocol.readListEnd();
            }
            break;
        }
        default: break;  // outside the table: nothing is consumed
    }
}

}  // namespace lv
