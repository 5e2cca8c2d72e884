// Lines of the control channel, as a script or a user types them: every line runs or is ignored with
// a reason, and the headless application stays usable. "terminate" is left out: it ends the app.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/base/log.h"
#include "platform/ui/application.h"
#include "platform/ui/control_channel.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static lv::LogCapture quiet;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    while (!input.empty()) {
        const std::size_t end = input.find('\n');
        const std::string_view line = input.substr(0, end);
        input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
        if (line.find("terminate") != std::string_view::npos) continue;
        (void)lv::ControlChannel::execute(line);
    }
    quiet.clear();
    return 0;
}
