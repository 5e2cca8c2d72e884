#include "platform/ui/user_notification.h"

#include "platform/base/format.h"

namespace lv {

Ref<LocalNotification> LocalNotification::copy() const {
    auto c = make();
    c->fireDate = fireDate;
    c->timeZoneName = timeZoneName;
    c->alertBody = alertBody;
    c->alertAction = alertAction;
    c->soundName = soundName;
    c->applicationIconBadgeNumber = applicationIconBadgeNumber;
    c->userInfo = userInfo;
    return c;
}

bool LocalNotification::isEqual(const Object& other) const {
    const auto* o = dynamic_cast<const LocalNotification*>(&other);
    return o && fireDate.isEqual(o->fireDate) && timeZoneName == o->timeZoneName && alertBody == o->alertBody &&
           alertAction == o->alertAction && soundName == o->soundName &&
           applicationIconBadgeNumber == o->applicationIconBadgeNumber && Value(userInfo).isEqual(Value(o->userInfo));
}

std::size_t LocalNotification::hash() const { return std::hash<std::string>()(alertBody) ^ fireDate.hash(); }

std::string LocalNotification::description() const {
    return format("<LocalNotification: %p>{fire date = %@, time zone = %@, alert body = %@, user info = %@}",
                  static_cast<const void*>(this), fireDate, timeZoneName, alertBody, Value(userInfo));
}

}  // namespace lv
