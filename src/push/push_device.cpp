#include "push/push_device.h"

#include <cstdio>

#include "push/push_keychain.h"
#include "push/push_operations.h"

namespace lv {

PNDevice& PNDevice::getInstance() {
    static PNDevice device;
    return device;
}

std::string PNDevice::tokenText(const Bytes& token) {
    std::string text;
    text.reserve(token.size() * 2);
    char digits[3];
    for (std::uint8_t byte : token) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

PNText PNDevice::getDeviceToken(const std::optional<Bytes>& token) {
    if (!token) {
        return std::nullopt;
    }
    const std::string text = tokenText(*token);
    const PNStore& store = PNStore::getInstance();
    const PNText stored = store.getLocalToken();
    if (!stored) {
        store.saveToken(text);
    } else if (*stored != text) {
        auto unregister = PNWireUnregister::make();
        unregister->connect();
        unregister->send(stored);
        store.saveToken(text);
    }
    return text;
}

PNText PNDevice::getLocalDeviceToken() const {
    return PNStore::getInstance().getLocalToken();
}

std::string PNDevice::getDeviceTokenErrorInfo(const Ref<Error>& error) const {
    return error ? error->localizedDescription() : std::string();
}

}  // namespace lv
