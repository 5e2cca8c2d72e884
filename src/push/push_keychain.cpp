#include "push/push_keychain.h"

#include "platform/base/error.h"
#include "platform/base/log.h"
#include "platform/security/keychain.h"
#include "platform/storage/keyed_archive.h"
#include "push/push_helper.h"

namespace lv {

namespace {

constexpr std::string_view kTokenKey = "pntoken";
constexpr std::string_view kAppKeyKey = "pnappkey";
constexpr std::string_view kRegisteredKey = "pndevicetokenregistered";
constexpr std::string_view kRetryNumKey = "pndevicetokenretrynum";
constexpr std::string_view kRegisteredTokenKey = "pnregisteredtoken";

PNText textValue(const Value& value) {
    if (value.isString()) return value.string();
    return std::nullopt;
}

}  // namespace

Dictionary PNKeyChain::getKeychainQuery(std::string_view service) {
    return Dictionary{{"kSecClass", Value("kSecClassGenericPassword")},
                      {"kSecAttrService", Value(service)},
                      {"kSecAttrAccount", Value(service)},
                      {"kSecAttrAccessible", Value(kSecAttrAccessibleAfterFirstUnlock)}};
}

void PNKeyChain::save(const PNText& service, const Value& object) {
    if (!service) return;
    const Dictionary query = getKeychainQuery(*service);
    Keychain::replaceGenericPassword(query.get("kSecAttrService").string(), query.get("kSecAttrAccount").string(),
                                     KeyedArchiver::archivedDataWithRootObject(object),
                                     query.get("kSecAttrAccessible").string());
}

Value PNKeyChain::load(const PNText& service) {
    if (!service) return {};
    const Dictionary query = getKeychainQuery(*service);
    Bytes data;
    if (Keychain::copyGenericPassword(query.get("kSecAttrService").string(), query.get("kSecAttrAccount").string(),
                                      &data) != kSecSuccess) {
        return {};
    }
    try {
        return KeyedUnarchiver::unarchiveObjectWithData(data);
    } catch (const Exception& exception) {
        log("Unarchive of %@ failed: %@", *service, exception.description());
    }
    return {};
}

void PNKeyChain::remove(const PNText& service) {
    if (!service) return;
    const Dictionary query = getKeychainQuery(*service);
    Keychain::deleteGenericPassword(query.get("kSecAttrService").string(), query.get("kSecAttrAccount").string());
}

PNText pnTokenText(const Value& tokenData) {
    if (!tokenData.isData()) return std::nullopt;
    std::string description = tokenData.description();
    const auto first = description.find_first_not_of("<>");
    if (first == std::string::npos) return std::string();
    description = description.substr(first, description.find_last_not_of("<>") - first + 1);
    std::string text;
    for (const char c : description) {
        if (c != ' ') text.push_back(c);
    }
    return text;
}

PNStore& PNStore::getInstance() {
    static auto& instance = *new PNStore;
    return instance;
}

PNText PNStore::getLocalToken() const {
    if (PNHelper::getInstance().IsSimulatorDevice()) return std::string(kPNSimulatorToken);
    return textValue(PNKeyChain::load(PNConfig::getInstance().keyForKeyChain())[kTokenKey]);
}

void PNStore::saveToken(const PNText& token) const {
    if (!token || token->empty()) return;
    PNKeyChain::save(PNConfig::getInstance().keyForKeyChain(), Value::dictionary({{std::string(kTokenKey), *token}}));
}

void PNStore::delToken() const { PNKeyChain::remove(PNConfig::getInstance().keyForKeyChain()); }

PNText PNStore::getLocalAppKey() const { return textValue(PNKeyChain::load(appKeyService())[kAppKeyKey]); }

void PNStore::saveAppKey(const PNText& appKey) const {
    if (!appKey || appKey->empty()) return;
    PNKeyChain::save(appKeyService(), Value::dictionary({{std::string(kAppKeyKey), *appKey}}));
}

bool PNStore::ifDeviceTokenRegistered() const {
    return !PNKeyChain::load(registeredService())[kRegisteredKey].isNilOrNull();
}

void PNStore::saveDeviceTokenRegistered() const {
    PNKeyChain::save(registeredService(), Value::dictionary({{std::string(kRegisteredKey), "1"}}));
}

std::int32_t PNStore::getDeviceTokenRetryNum() const {
    const Value item = PNKeyChain::load(retryNumService());
    if (item.isNil()) return 0;
    return item[kRetryNumKey].intValue();
}

void PNStore::saveDeviceTokenRetryNum(const Value& retryNum) const {
    PNKeyChain::save(retryNumService(), Value::dictionary({{std::string(kRetryNumKey), retryNum}}));
}

PNText PNStore::getRegisteredToken() const {
    return textValue(PNKeyChain::load(registeredTokenService())[kRegisteredTokenKey]);
}

void PNStore::saveRegisteredToken(const PNText& token) const {
    if (!token || token->empty()) return;
    PNKeyChain::save(registeredTokenService(), Value::dictionary({{std::string(kRegisteredTokenKey), *token}}));
}

}  // namespace lv
