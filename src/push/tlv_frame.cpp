#include "push/tlv_frame.h"

#include <mutex>
#include <random>

#include "platform/base/log.h"

namespace lv {

namespace {

struct RandomSource {
    std::mutex mutex;
    std::function<std::uint32_t()> custom;
    std::mt19937 engine{std::random_device{}()};

    std::uint32_t next() {
        std::lock_guard lock(mutex);
        return custom ? custom() : static_cast<std::uint32_t>(engine());
    }
};

RandomSource& randomSource() {
    static auto* source = new RandomSource();  // never destroyed: frames may be built during exit
    return *source;
}

}  // namespace

void PNTlv::setRandomSource(std::function<std::uint32_t()> source) {
    RandomSource& random = randomSource();
    std::lock_guard lock(random.mutex);
    random.custom = std::move(source);
}

std::optional<Bytes> PNTlv::toFullTlvData(std::span<const std::uint8_t> record, std::uint8_t cmd) {
    const std::size_t total = kHeaderLength + record.size();
    if (total > kMaxFrameLength) {
        log("[pnpush error]package Size is %lu, too large for a frame", static_cast<unsigned long>(total));
        return std::nullopt;
    }
    const std::uint32_t random = randomSource().next() % 5;
    Bytes frame;
    frame.reserve(total);
    frame.insert(frame.end(), {0x50, 0x0A});
    for (int i = 0; i < 4; ++i) frame.push_back(static_cast<std::uint8_t>(random >> (8 * i)));
    for (int i = 3; i >= 0; --i) frame.push_back(static_cast<std::uint8_t>(total >> (8 * i)));
    frame.insert(frame.end(), {0, 0, 0, 0, 1, static_cast<std::uint8_t>(cmd & 0x7F), 0});
    frame.insert(frame.end(), record.begin(), record.end());
    log("package Size is %d", static_cast<int>(total));
    return frame;
}

std::optional<Bytes> PNTlv::fromFullTlvData(std::span<const std::uint8_t> frame) {
    const long messageLength = static_cast<long>(frame.size()) - 10;
    log("[pnpush info]msgLen's length is %ld", messageLength);
    if (messageLength <= 0) {
        log("[pnpush error]tlvData is wrong! msgLen<=0");
        return std::nullopt;
    }
    if (messageLength - 7 < 0) {
        log("[pnpush error]tlvData is wrong! tlvLen<=0");
        return std::nullopt;
    }
    const std::uint8_t code = frame[16];
    if (code != 0) {
        log("[pnpush warning!]rspCode is %d", static_cast<int>(code));
        return std::nullopt;
    }
    log("[pnpush success]rspCode is 0");
    return Bytes(frame.begin() + static_cast<std::ptrdiff_t>(kHeaderLength), frame.end());
}

}  // namespace lv
