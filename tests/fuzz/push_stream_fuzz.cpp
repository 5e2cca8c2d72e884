// The push socket's reassembly of a byte stream into reads that end at a terminator: the stream
// arrives in pieces of any size, through the pre-buffer or straight into the read; each read must end
// exactly at the first terminator of the stream, never before it and never past it.
//
// Input: byte 0 picks the road and the terminator length (1-4), byte 1 the maximum length (0: none),
// then the terminator, then pieces as (size byte, bytes).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "push/async_packets.h"

namespace {

// The end of the first terminator in the stream, or SIZE_MAX.
std::size_t firstTerminatorEnd(const lv::Bytes& stream, const lv::Bytes& term) {
    const auto at = std::search(stream.begin(), stream.end(), term.begin(), term.end());
    return at == stream.end() ? SIZE_MAX : static_cast<std::size_t>(at - stream.begin()) + term.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const bool throughPreBuffer = data[0] & 0x80;
    const std::size_t termLength = 1 + (data[0] & 0x03);
    const std::uint64_t maxLength = data[1];
    if (size < 2 + termLength) return 0;
    const lv::Bytes term(data + 2, data + 2 + termLength);
    std::size_t pos = 2 + termLength;

    lv::PNAsyncReadPacket packet(nullptr, 0, maxLength, -1, 0, term, 0);
    lv::Bytes stream;  // every byte handed to the read so far, in order
    while (pos < size) {
        const std::size_t wanted = data[pos++];
        const std::size_t pieceLength = std::min<std::size_t>(wanted, size - pos);
        const lv::Bytes piece(data + pos, data + pos + pieceLength);
        pos += pieceLength;
        const std::uint64_t before = packet.bytesDone;
        lv::Bytes seen = stream;
        seen.insert(seen.end(), piece.begin(), piece.end());
        const std::size_t end = firstTerminatorEnd(seen, term);
        if (throughPreBuffer) {
            bool found = false;
            const std::uint64_t taken = packet.readLengthForTermWithPreBuffer(piece, &found);
            if (taken > piece.size()) std::abort();
            std::uint64_t usable = piece.size();
            if (maxLength > 0) usable = std::min<std::uint64_t>(usable, maxLength - before);
            if (found != (end <= before + usable)) std::abort();
            if (found && before + taken != end) std::abort();
            packet.ensureCapacityForAdditionalDataOfLength(taken);
            if (taken > 0) std::memcpy(packet.writePointer(), piece.data(), taken);
            packet.bytesDone += taken;
            stream.insert(stream.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(taken));
            if (found) break;
        } else {
            packet.ensureCapacityForAdditionalDataOfLength(piece.size());
            if (!piece.empty()) std::memcpy(packet.writePointer(), piece.data(), piece.size());
            const std::int64_t after = packet.searchForTermAfterPreBuffering(piece.size());
            const std::uint64_t total = before + piece.size();
            if ((after >= 0) != (end <= total)) std::abort();
            if (after >= 0 && total - static_cast<std::uint64_t>(after) != end) std::abort();
            packet.bytesDone = total;
            stream = std::move(seen);
            if (after >= 0) break;
        }
        // A read with a maximum ends there (the socket reports it); the bytes so far are the stream's.
        if (!std::equal(stream.begin(), stream.end(), packet.buffer->begin())) std::abort();
        if (maxLength > 0 && packet.bytesDone >= maxLength) break;
    }
    return 0;
}
