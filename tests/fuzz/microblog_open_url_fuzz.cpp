// The Microblog app's hand-back: an open URL (first line) naming a message on the transfer
// pasteboard (the rest of the input). Whatever the URL and the message, the hand-back answers
// without harm.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "microblog/microblog_message.h"
#include "microblog/microblog_sdk.h"
#include "platform/base/log.h"
#include "platform/storage/sandbox.h"
#include "platform/ui/pasteboard.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static lv::LogCapture quiet;
    static const bool ready = [] {
        const auto root = std::filesystem::temp_directory_path() / ("lv_fuzz_microblog_" + std::to_string(::getpid()));
        std::filesystem::create_directories(root);
        return lv::Sandbox::setRoot(root.string(), nullptr) && lv::MicroblogSDK::registerApp("123456");
    }();
    if (!ready) std::abort();
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t lineEnd = input.find('\n');
    const lv::Ref<lv::URL> url = lv::URL::URLWithString(input.substr(0, lineEnd));
    if (!url) return 0;
    const std::string id = "0123456789abcdef0123456789abcdef";
    const auto board = lv::Pasteboard::pasteboardWithName(lv::kMicroblogTransferPasteboard, true);
    const std::string_view message = lineEnd == std::string_view::npos ? std::string_view() : input.substr(lineEnd + 1);
    board->setItems(lv::Array{lv::Value(lv::Dictionary{
        {"id", lv::Value(id)}, {"message", lv::Value(lv::Bytes(message.begin(), message.end()))}})});
    // Only the app's own scheme is taken; anything else is left to other handlers.
    const bool taken = lv::MicroblogSDK::handleOpenURL(url, nullptr);
    if (taken && url->absoluteString().size() < 9) std::abort();
    quiet.clear();
    return 0;
}
