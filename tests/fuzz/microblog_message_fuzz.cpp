// The reader of the messages other programs put on the transfer pasteboard: any bytes give a message or
// nothing, and a message read must archive and read back equal.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "microblog/microblog_message.h"
#include "platform/base/log.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static lv::LogCapture quiet;  // the unarchiver logs one line per refused input
    std::optional<lv::MicroblogMessage> message = lv::readMicroblogMessage(std::span(data, size));
    if (!message) return 0;
    const lv::Bytes again = lv::archiveMicroblogMessage(*message);
    std::optional<lv::MicroblogMessage> back = lv::readMicroblogMessage(again);
    if (!back || !(*back == *message)) std::abort();
    return 0;
}
