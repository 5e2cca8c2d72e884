// The keychain file in the sandbox, as another program or a damaged disk may leave it: any bytes
// give an item or none, and the keychain stays usable: an item added (or replaced) reads back as
// written, and a deleted one is gone.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "platform/base/log.h"
#include "platform/security/keychain.h"
#include "platform/storage/sandbox.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static lv::LogCapture quiet;
    static const bool ready = [] {
        const auto root = std::filesystem::temp_directory_path() / ("lv_fuzz_keychain_" + std::to_string(::getpid()));
        std::filesystem::create_directories(root);
        return lv::Sandbox::setRoot(root.string(), nullptr);
    }();
    if (!ready) std::abort();
    const std::filesystem::path path = lv::Keychain::path();
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                  static_cast<std::streamsize>(size));
    lv::Bytes found;
    (void)lv::Keychain::copyGenericPassword("service", "account", &found);
    (void)lv::Keychain::accessibility("service", "account");

    const lv::Bytes secret{0, 1, 2, 0xFF};
    int status = lv::Keychain::addGenericPassword("service", "account", secret);
    if (status != 0) status = lv::Keychain::replaceGenericPassword("service", "account", secret);
    if (status != 0) std::abort();
    lv::Bytes back;
    if (lv::Keychain::copyGenericPassword("service", "account", &back) != 0 || back != secret) std::abort();
    if (lv::Keychain::deleteGenericPassword("service", "account") != 0) std::abort();
    if (lv::Keychain::copyGenericPassword("service", "account", &back) == 0) std::abort();
    return 0;
}
