#include "push/push_config.h"

#include "platform/base/log.h"
#include "platform/storage/user_defaults.h"

namespace lv {

PNConfig& PNConfig::getInstance() {
    static auto& instance = *new PNConfig;
    return instance;
}

bool PNConfig::isStarted() const {
    const PNConfig& config = getInstance();
    if (config.appId_ == 0) {
        log(" appID is not inited");
        return false;
    }
    return config.appkey_.has_value();
}

bool PNConfig::saveKeyValue(std::string_view key, const Value& value) {
    const Ref<UserDefaults> defaults = UserDefaults::standardUserDefaults();
    defaults->setObject(value, key);
    return defaults->synchronize();
}

Value PNConfig::loadValueByKey(std::string_view key) { return UserDefaults::standardUserDefaults()->objectForKey(key); }

PNSetting& PNSetting::getInstance() {
    static auto& instance = *new PNSetting;
    return instance;
}

}  // namespace lv
