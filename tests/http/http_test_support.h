// Helpers of the request serialization and manager tests: reading a stream whole, a device whose
// bundle, preferred languages and facts are fixed for one test, and managers on the loopback fixture.
#pragma once

#include <string>
#include <vector>

#include "http/response_serialization.h"
#include "platform/net/fixtures.h"
#include "platform/net/stream.h"
#include "platform/storage/bundle.h"
#include "platform/storage/property_list.h"
#include "platform/text/locale.h"
#include "platform/ui/device.h"
#include "support/temp_dir.h"

namespace lv::test {

inline std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
inline std::string text(const Value& data) { return text(data.bytes()); }
inline Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

// A manager on the shared fixture whose replies are read as plain data.
template <class Manager>
Ref<Manager> echoManager() {
    auto manager = Manager::make(URL::URLWithString(HttpFixture::shared().url("")));
    manager->setResponseSerializer(HCHTTPResponseSerializer::serializer());
    return manager;
}

// Makes the manager's query string serialization fail; answers the error it fails with.
template <class Manager>
Ref<Error> refuseQueryStrings(const Ref<Manager>& manager) {
    auto refused = Error::make("test.domain", 7);
    manager->requestSerializer()->setQueryStringSerializationWithBlock(
        [refused](const URLRequest&, const Value&, Ref<Error>* error) -> std::optional<std::string> {
            setError(error, refused);
            return std::nullopt;
        });
    return refused;
}

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
