#include "push/push_device.h"

#include "push/push_keychain.h"
#include "push/push_operations.h"

namespace lv {

PNDevice& PNDevice::getInstance() {
    static auto& device = *new PNDevice;
    return device;
}

PNText PNDevice::getDeviceToken(const std::optional<Bytes>& token) {
    const PNText converted = pnTokenText(token ? Value(*token) : Value());
    if (!converted) {
        return std::nullopt;
    }
    const std::string& text = *converted;
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
