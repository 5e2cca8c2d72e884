// The push client's keychain state: `PNKeyChain` (one keyed-archived object per generic-password item,
// addressed by its service), `PNStore` (the token, app key, registered mark, retry count and
// registered-token items) and the token-text rule.
//
// Threads: every operation runs synchronously on the caller's thread; the keychain itself is locked.
// The singleton is made once (thread-safe) and holds no state of its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/base/value.h"
#include "push/push_config.h"

namespace lv {

// The prefix of the fixed items' services (reverse-domain form).
inline constexpr std::string_view kPNStoreServicePrefix = "net.lunavexa.pnpush";
// The token that stands in for the stored one on a simulator (64 lower-case hexadecimal digits).
inline constexpr std::string_view kPNSimulatorToken = "5e1f0c0de5e1f0c0de5e1f0c0de5e1f0c0de5e1f0c0de5e1f0c0de5e1f0c0de5";

class PNKeyChain {
public:
    // The item's query: class generic password, service and account = the service, accessible after
    // first unlock.
    static Dictionary getKeychainQuery(std::string_view service);
    // Replaces the service's item by the keyed archive of the object (one write). A nil service does
    // nothing.
    static void save(const PNText& service, const Value& object);
    // The unarchived object of the service's item, or nil (also for a nil service). An archive that
    // cannot be read logs "Unarchive of %@ failed: %@" and gives nil.
    static Value load(const PNText& service);
    // Deletes the service's item. A nil service does nothing.
    static void remove(const PNText& service);
};

// The token text: the token data's description with "<" and ">" trimmed from both ends and every
// blank removed, i.e. the bytes in lower-case hexadecimal; nil for nil data.
PNText pnTokenText(const Value& tokenData);

class PNStore {
public:
    static PNStore& getInstance();

    // The services of the fixed items.
    static std::string appKeyService() { return std::string(kPNStoreServicePrefix) + ".appkey"; }
    static std::string registeredService() { return std::string(kPNStoreServicePrefix) + ".registered"; }
    static std::string retryNumService() { return std::string(kPNStoreServicePrefix) + ".registered.retrynum"; }
    // The token that the push server last accepted in a registration.
    static std::string registeredTokenService() { return std::string(kPNStoreServicePrefix) + ".registered.token"; }

    // Simulator: the fixed token. Otherwise the "pntoken" value of the token item (service
    // PNConfig.keyForKeyChain), or nil.
    PNText getLocalToken() const;
    // Saves {"pntoken": token}; nil or empty text is ignored.
    void saveToken(const PNText& token) const;
    void delToken() const;
    PNText getLocalDeviceID() const { return std::nullopt; }
    PNText getLocalAppKey() const;
    void saveAppKey(const PNText& appKey) const;
    bool ifDeviceTokenRegistered() const;
    void saveDeviceTokenRegistered() const;
    // 0 when the item or its key is absent; else the integer value (of a number or decimal text).
    std::int32_t getDeviceTokenRetryNum() const;
    void saveDeviceTokenRetryNum(const Value& retryNum) const;
    // The "pnregisteredtoken" value of the registered-token item, or nil: the token whose registration
    // the server last answered with success. A token saved by saveToken() is not registered until then.
    PNText getRegisteredToken() const;
    // Saves {"pnregisteredtoken": token}; nil or empty text is ignored.
    void saveRegisteredToken(const PNText& token) const;
};

}  // namespace lv
