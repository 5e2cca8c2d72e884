// A writer of the Pack binary form into one buffer of a size counted beforehand: the bytes the binary
// protocol writes, and the same "too long" exceptions, as plain stores at a cursor with no virtual
// call and no transport. packBytes uses it; each record's writeMemoryFields drives it.
// Thread rule: made for one write on one thread.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "analytics/pack_protocol.h"

namespace lv {

// Where the next byte goes. Passed and returned by value, so that it stays in a register: a store
// through a byte pointer may alias any object in memory, a cursor kept in the writer would be
// reloaded after every store.
struct PackCursor {
    std::uint8_t* at;
};

// The writes store without checks, into a buffer of the size the record counts to: the count
// (`packedSize`) and the write walk the same fields of the same record, with the same tests for
// whether each holds a value, on one thread (a record is not changed while it is written), so every
// write has its room and the cursor ends at the buffer's end. `take` checks that it did.
class PackMemoryWriter {
public:
    // Room for size bytes, taken at once.
    explicit PackMemoryWriter(std::size_t size) : bytes_(size) {}

    PackCursor start() { return {bytes_.data()}; }
    // The bytes, once the cursor has reached the end. A write past the end would be a fault in the
    // count or the write: it stops the program rather than go on over damaged memory.
    Bytes take(PackCursor c) {
        if (c.at != bytes_.data() + bytes_.size()) [[unlikely]] {
            if (c.at > bytes_.data() + bytes_.size()) std::abort();
            bytes_.resize(static_cast<std::size_t>(c.at - bytes_.data()));
        }
        return std::move(bytes_);
    }

    // One byte-swapped store of the value's low N bytes; returns the next position.
    template <int N>
    [[gnu::always_inline]] static std::uint8_t* store(std::uint8_t* at, std::uint64_t value) {
        pack_detail::storeBig<N>(at, value);
        return at + N;
    }
    // A field's header: its type and id.
    [[gnu::always_inline]] static std::uint8_t* header(std::uint8_t* at, PackType type, std::int16_t id) {
        at[0] = static_cast<std::uint8_t>(type);
        return store<2>(at + 1, static_cast<std::uint16_t>(id));
    }
    // Counted text (4 + size bytes), refused as the protocol refuses it.
    [[gnu::always_inline]] static std::uint8_t* text(std::uint8_t* at, std::string_view text) {
        if (text.size() > static_cast<std::size_t>(INT32_MAX)) raiseTooLong();
        return counted(at, text.data(), text.size());
    }
    // Counted data (4 + size bytes), refused as the protocol refuses it.
    [[gnu::always_inline]] static std::uint8_t* data(std::uint8_t* at, const std::uint8_t* data, std::size_t size) {
        if (size > static_cast<std::size_t>(INT32_MAX)) raiseDataTooLong();
        return counted(at, data, size);
    }

private:
    [[gnu::always_inline]] static std::uint8_t* counted(std::uint8_t* at, const void* data, std::size_t size) {
        at = store<4>(at, size);
        if (size > 0) std::memcpy(at, data, size);
        return at + size;
    }
    [[noreturn, gnu::noinline, gnu::cold]] static void raiseTooLong() {
        TPKProtocolException::raise("String too long to write");
    }
    [[noreturn, gnu::noinline, gnu::cold]] static void raiseDataTooLong() {
        TPKProtocolException::raise("Data too long to write");
    }

    Bytes bytes_;
};

}  // namespace lv
