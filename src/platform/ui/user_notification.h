// Notifications shown to the user: local notifications the app schedules with the application object,
// and the notification settings (types, action categories) it registers.
//
// Threads: plain values; share them between threads only as copies.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/base/object.h"
#include "platform/base/value.h"

namespace lv {

// Notification types (bits), numbered as the platform numbers them.
inline constexpr unsigned kUserNotificationTypeBadge = 1;
inline constexpr unsigned kUserNotificationTypeSound = 2;
inline constexpr unsigned kUserNotificationTypeAlert = 4;

inline constexpr std::string_view kLocalNotificationDefaultSoundName = "UILocalNotificationDefaultSoundName";

class LocalNotification : public Object {
public:
    Value fireDate;            // a Date, nil for now
    std::string timeZoneName;  // empty: the fire date is absolute
    std::string alertBody;
    std::string alertAction;
    std::string soundName;
    std::int64_t applicationIconBadgeNumber = 0;
    Dictionary userInfo;

    static Ref<LocalNotification> make() { return makeRef<LocalNotification>(); }
    Ref<LocalNotification> copy() const;

    // Equal when every field is equal.
    bool isEqual(const Object& other) const override;
    std::size_t hash() const override;
    std::string description() const override;
};

enum class UserNotificationActivationMode { Foreground = 0, Background = 1 };
enum class UserNotificationActionContext { Default = 0, Minimal = 1 };

struct UserNotificationAction {
    std::string identifier;
    std::string title;
    UserNotificationActivationMode activationMode = UserNotificationActivationMode::Background;
    bool destructive = false;
    bool authenticationRequired = false;
};

struct UserNotificationCategory {
    std::string identifier;
    std::vector<UserNotificationAction> defaultActions;  // for the default context
    std::vector<UserNotificationAction> minimalActions;  // for the minimal context
    void setActions(std::vector<UserNotificationAction> actions, UserNotificationActionContext context) {
        (context == UserNotificationActionContext::Default ? defaultActions : minimalActions) = std::move(actions);
    }
};

class UserNotificationSettings : public Object {
public:
    UserNotificationSettings(unsigned types, std::vector<UserNotificationCategory> categories)
        : types_(types), categories_(std::move(categories)) {}
    static Ref<UserNotificationSettings> settingsForTypes(unsigned types, std::vector<UserNotificationCategory> categories) {
        return makeRef<UserNotificationSettings>(types, std::move(categories));
    }
    unsigned types() const { return types_; }
    const std::vector<UserNotificationCategory>& categories() const { return categories_; }

private:
    unsigned types_;
    std::vector<UserNotificationCategory> categories_;
};

}  // namespace lv
