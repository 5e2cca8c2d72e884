// The push frame: a 10-byte header (50 0A, a random 0-4 as u32 little-endian, the frame length as u32
// big-endian), a 7-byte body header (four zero bytes, 01, the command AND 0x7F, the result code) and
// one Tlv record. PNTlv builds request frames and strips reply frames.
//
// Threads: callable from any thread; the random source is guarded by a lock.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "platform/base/value.h"

namespace lv {

class PNTlv {
public:
    static constexpr std::size_t kHeaderLength = 17;
    // Frames of this size or more cannot carry their length and are refused.
    static constexpr std::size_t kMaxFrameLength = 65535;

    // The request frame for a record and command; logs "package Size is %d". A frame that would be
    // 65,536 bytes or more is refused: nil and one log line.
    static std::optional<Bytes> toFullTlvData(std::span<const std::uint8_t> record, std::uint8_t cmd);
    // The record of a reply whose result code (byte 16) is 0, possibly empty; nil for a frame shorter
    // than 17 bytes or another result code, each with its log line. Nothing else is checked.
    static std::optional<Bytes> fromFullTlvData(std::span<const std::uint8_t> frame);

    // Replaces the source of the random field (before "mod 5"); nullptr restores the default.
    static void setRandomSource(std::function<std::uint32_t()> source);
};

}  // namespace lv
