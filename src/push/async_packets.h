// The queued requests of PNAsyncSocket: a read packet (with the length rules that size each read and
// find a terminator across the packet's tail and the pre-buffer), a write packet, the TLS marker, and
// the pool that lends exact-length reads their buffers. Packets belong to the socket queue of their
// socket; the pool takes on the socket queue and gets buffers back on any thread, under its lock.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "platform/base/value.h"

namespace lv {

// The TLS marker: one packet carrying the settings, queued on both the read and the write queue.
struct PNAsyncSpecialPacket {
    Dictionary tlsSettings;
};

// A growable byte buffer shared between the caller and a read packet that writes into it in place.
using SocketBuffer = std::shared_ptr<Bytes>;

// Keeps the storage of the last buffer an exact-length read handed out, once its last holder has let
// it go, so that the next read of about the same length writes into pages that are already mapped
// instead of faulting in (and the kernel clearing) a fresh allocation of that size on every read. At
// most one buffer waits here; it goes when the pool does (the socket drops its pool when it closes).
class PNReadBufferPool : public std::enable_shared_from_this<PNReadBufferPool> {
public:
    // An empty buffer with room for `length` bytes. Its storage comes back here when the last copy of
    // the pointer goes, whichever thread drops it; a holder sees an ordinary buffer.
    SocketBuffer take(std::uint64_t length) {
        std::unique_ptr<Bytes> storage;
        {
            const std::lock_guard lock(mutex_);
            // A spare far larger than asked would stay with whoever keeps the data: used only within 2x.
            if (spare_ && spare_->capacity() >= length && spare_->capacity() / 2 <= length) storage = std::move(spare_);
        }
        if (!storage) {
            // Reserved, not sized: the reads grow it as bytes arrive. A length too large to reserve
            // up front grows the same way from nothing (this runs on the socket queue, where an
            // exception would end the process).
            storage = std::make_unique<Bytes>();
            try {
                storage->reserve(length);
            } catch (const std::exception&) {
            }
        }
        return SocketBuffer(storage.release(), [pool = weak_from_this()](Bytes* bytes) {
            if (const auto owner = pool.lock()) {
                owner->giveBack(bytes);
            } else {
                delete bytes;
            }
        });
    }

private:
    void giveBack(Bytes* bytes) {
        std::unique_ptr<Bytes> returned(bytes);
        returned->clear();
        {
            const std::lock_guard lock(mutex_);
            std::swap(spare_, returned);  // the newest stays; an older spare is freed outside the lock
        }
    }

    std::mutex mutex_;
    std::unique_ptr<Bytes> spare_;
};

class PNAsyncReadPacket {
public:
    // With a caller buffer the bytes go to it at the offset. Without one the packet owns its buffer:
    // an exact-length read gets it from the socket's pool when it starts (`buffer` is null until
    // then), any other read starts with an empty one that grows as bytes arrive.
    PNAsyncReadPacket(SocketBuffer callerBuffer, std::uint64_t offset, std::uint64_t maximum, double seconds,
                      std::uint64_t exactLength, std::optional<Bytes> terminator, std::int64_t requestTag)
        : maxLength(maximum), timeout(seconds), readLength(exactLength), term(std::move(terminator)), tag(requestTag) {
        if (callerBuffer) {
            buffer = std::move(callerBuffer);
            startOffset = offset;
            originalBufferLength = buffer->size();
        } else {
            if (exactLength == 0) buffer = std::make_shared<Bytes>();
            bufferOwner = true;
        }
    }

    std::uint8_t* writePointer() { return buffer->data() + startOffset + bytesDone; }
    std::uint64_t roomLeft() const { return buffer->size() - (startOffset + bytesDone); }

    void ensureCapacityForAdditionalDataOfLength(std::uint64_t length) {
        const std::uint64_t room = roomLeft();
        if (length > room) buffer->resize(buffer->size() + (length - room));
    }

    std::uint64_t readLengthForNonTermWithHint(std::uint64_t hint) const {
        if (readLength > 0) return std::min(hint, readLength - bytesDone);
        if (maxLength > 0) return std::min(hint, maxLength - bytesDone);
        return hint;
    }

    // Secure reads: an exact read takes at most what it lacks, straight into the packet; others take
    // the default (capped at the maximum), through the pre-buffer when the packet has less room.
    std::uint64_t optimalReadLengthWithDefault(std::uint64_t fallback, bool* shouldPreBuffer) const {
        if (readLength > 0) {
            *shouldPreBuffer = false;
            return std::min(fallback, readLength - bytesDone);
        }
        std::uint64_t result = fallback;
        if (maxLength > 0) result = std::min(result, maxLength - bytesDone);
        *shouldPreBuffer = roomLeft() < result;
        return result;
    }

    std::uint64_t readLengthForTermWithHint(std::uint64_t hint, bool* shouldPreBuffer) const {
        std::uint64_t result = hint;
        if (maxLength > 0) result = std::min(result, maxLength - bytesDone);
        *shouldPreBuffer = roomLeft() < result;
        return result;
    }

    // How many leading bytes of the pre-buffer belong to this read: up to and including the
    // terminator when it is found (possibly begun in the packet's last bytes), else all of them.
    std::uint64_t readLengthForTermWithPreBuffer(const Bytes& preBuffer, bool* found) const {
        *found = false;
        const std::uint64_t termLength = term->size();
        const std::uint64_t preLength = preBuffer.size();
        if (bytesDone + preLength < termLength) return preLength;
        std::uint64_t usable = preLength;
        if (maxLength > 0) usable = std::min(usable, maxLength - bytesDone);
        const std::uint64_t tail = std::min<std::uint64_t>(bytesDone, termLength - 1);
        const std::uint8_t* tailStart = buffer->data() + startOffset + bytesDone - tail;
        auto at = [&](std::uint64_t i) { return i < tail ? tailStart[i] : preBuffer[i - tail]; };
        if (tail + usable < termLength) return preLength;
        const std::uint64_t positions = tail + usable - termLength + 1;
        for (std::uint64_t i = 0; i < positions; ++i) {
            std::uint64_t j = 0;
            while (j < termLength && at(i + j) == (*term)[j]) ++j;
            if (j == termLength) {
                *found = true;
                return i + termLength - tail;
            }
        }
        return preLength;
    }

    // After length bytes were read straight into the packet: the bytes that follow the first
    // terminator (0 when it ends the data), or -1 when there is none.
    std::int64_t searchForTermAfterPreBuffering(std::uint64_t length) const {
        const std::uint64_t termLength = term->size();
        const std::uint64_t total = bytesDone + length;
        if (total < termLength) return -1;
        const std::uint8_t* data = buffer->data() + startOffset;
        const std::uint64_t first = bytesDone + 1 > termLength ? bytesDone + 1 - termLength : 0;
        for (std::uint64_t i = first; i + termLength <= total; ++i) {
            if (std::equal(term->begin(), term->end(), data + i)) {
                return static_cast<std::int64_t>(total - (i + termLength));
            }
        }
        return -1;
    }

    SocketBuffer buffer;
    std::uint64_t startOffset = 0;
    std::uint64_t bytesDone = 0;
    std::uint64_t maxLength = 0;
    double timeout = -1;
    std::uint64_t readLength = 0;
    std::optional<Bytes> term;
    bool bufferOwner = false;
    std::uint64_t originalBufferLength = 0;
    std::int64_t tag = 0;
    std::shared_ptr<const PNAsyncSpecialPacket> special;  // set on the TLS marker only

    static std::shared_ptr<PNAsyncReadPacket> marker(std::shared_ptr<const PNAsyncSpecialPacket> packet) {
        auto read = std::make_shared<PNAsyncReadPacket>(nullptr, 0, 0, -1, 0, std::nullopt, 0);
        read->special = std::move(packet);
        return read;
    }
};

class PNAsyncWritePacket {
public:
    PNAsyncWritePacket(std::shared_ptr<const Bytes> bytes, double seconds, std::int64_t requestTag)
        : buffer(std::move(bytes)), tag(requestTag), timeout(seconds) {}

    std::shared_ptr<const Bytes> buffer;  // the caller's bytes, not copied
    std::uint64_t bytesDone = 0;
    std::int64_t tag = 0;
    double timeout = -1;
    std::shared_ptr<const PNAsyncSpecialPacket> special;  // set on the TLS marker only

    static std::shared_ptr<PNAsyncWritePacket> marker(std::shared_ptr<const PNAsyncSpecialPacket> packet) {
        auto write = std::make_shared<PNAsyncWritePacket>(nullptr, -1, 0);
        write->special = std::move(packet);
        return write;
    }
};

}  // namespace lv
