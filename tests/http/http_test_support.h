// Helpers of the request serialization tests: reading a stream whole, and a device whose bundle,
// preferred languages and facts are fixed for one test.
#pragma once

#include <string>
#include <vector>

#include "platform/net/stream.h"
#include "platform/storage/bundle.h"
#include "platform/storage/property_list.h"
#include "platform/text/locale.h"
#include "platform/ui/device.h"
#include "support/temp_dir.h"

namespace lv::test {

inline std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
inline Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

// Everything the stream gives, read with the given buffer size, up to 0 or -1 (*failed set).
inline std::string readAll(InputStream& stream, std::size_t bufferSize = 4096, bool* failed = nullptr) {
    std::string out;
    std::vector<std::uint8_t> buffer(bufferSize);
    stream.open();
    for (long n; (n = stream.read(buffer.data(), buffer.size())) != 0;) {
        if (n < 0) return failed ? (*failed = true, out) : out;
        out.append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(n));
    }
    return out;
}

class FixedDevice {
public:
    explicit FixedDevice(Dictionary info = {{"CFBundleExecutable", "Lunavexa"}, {"CFBundleShortVersionString", "1.2"}},
                         std::vector<std::string> languages = {"zh-Hans", "en"}) {
        writePropertyListToFile(Value(std::move(info)), dir_.file("Info.plist"), true);
        Bundle::setMainBundlePath(dir_.path().string());
        Locale::setPreferredLanguagesSource([languages] { return languages; });
        DeviceFacts facts = DeviceFacts::machineDefaults();
        facts.model = "iPhone";
        facts.systemVersion = "7.1";
        facts.screenScale = 2;
        DeviceFacts::set(facts);
    }
    ~FixedDevice() {
        Bundle::setMainBundlePath(Bundle::defaultMainBundlePath());
        Locale::setPreferredLanguagesSource(nullptr);
        DeviceFacts::reset();
    }

private:
    TempDir dir_;
};

}  // namespace lv::test
