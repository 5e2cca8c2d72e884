// `PNPush`: the push client's public interface, class methods only. Starts the client with its access
// id and app key, registers the device token (skipped while a fresh registration is cached),
// unregisters, sets and deletes tags, reports notification clicks and receipts, and shows and cancels
// local notifications. Each server operation is a new operation (push_operations.h) that owns itself;
// these calls return at once.
//
// Threads: main thread. The initForReregister block runs on the registration database's queue.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/error.h"
#include "platform/base/value.h"
#include "platform/ui/user_notification.h"
#include "push/push_config.h"

namespace lv {

class PNRegisterModel;

class PNPush {
public:
    using Callback = std::function<void()>;

    static void startApp(std::uint32_t appId, const PNText& appKey);
    // Maps the id through the fixed ranges, then adds 2,200,000,000 (cut to 32 bits); an id in no
    // range logs "[pnpush error]appId is not valid" and starts nothing.
    static void startAppForMSDK(std::uint32_t appId, const PNText& appKey);
    static void initForReregister(std::function<void()> block);
    static bool isUnRegisterStatus();
    static void setAccount(const PNText& account);
    static std::uint32_t getAccessID();

    static PNText getDeviceToken(const std::optional<Bytes>& token);
    static PNText registerDevice(const std::optional<Bytes>& token, Callback success, Callback error);
    static PNText registerDevice(const std::optional<Bytes>& token);
    static PNText registerDeviceStr(const PNText& token);
    static std::string registerError(const Ref<Error>& error);

    static void unRegisterDevice();
    static void unRegisterDevice(Callback success, Callback error);

    static void setTag(const PNText& tag, Callback success, Callback error);
    static void setTag(const PNText& tag);
    static void delTag(const PNText& tag, Callback success, Callback error);
    static void delTag(const PNText& tag);

    // The payload's "pn"/"bid", or the text "0".
    static Value getBid(const Value& payload);
    static void handleReceiveNotification(const Value& payload, Callback success, Callback error, Callback completion);
    static void handleReceiveNotification(const Value& payload);
    static void handleReceiveNotification(const Value& payload, Callback completion);
    static void handleLaunching(const Value& launchOptions, Callback success, Callback error);
    static void handleLaunching(const Value& launchOptions);

    // badge -1 leaves the badge number alone.
    static void localNotification(const Value& fireDate, const std::string& alertBody, std::int32_t badge,
                                  const std::string& alertAction, const Dictionary& userInfo);
    static void localNotificationAtFrontEnd(const Ref<LocalNotification>& notification, std::string_view key,
                                            const PNText& value);
    static void delLocalNotification(const Ref<LocalNotification>& notification);
    static void delLocalNotification(std::string_view key, const PNText& value);
    static void clearLocalNotifications();

private:
    static PNText registerWith(const Ref<PNRegisterModel>& row, const PNText& token, bool fromText, Callback success,
                               Callback error);
};

}  // namespace lv
