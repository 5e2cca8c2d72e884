// Notifications: a name, an optional sender object and user info, posted synchronously to the
// observers registered for them, in registration order.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/object.h"
#include "platform/base/value.h"

namespace lv {

class OperationQueue;

class Notification : public Object {
public:
    Notification(std::string name, Ref<Object> object = nullptr, Dictionary userInfo = {});
    static Ref<Notification> make(std::string name, Ref<Object> object = nullptr, Dictionary userInfo = {}) {
        return makeRef<Notification>(std::move(name), std::move(object), std::move(userInfo));
    }

    const std::string& name() const { return name_; }
    const Ref<Object>& object() const { return object_; }
    const Dictionary& userInfo() const { return userInfo_; }
    std::string description() const override;

private:
    std::string name_;
    Ref<Object> object_;
    Dictionary userInfo_;
};

class NotificationCenter : public Object {
public:
    using Handler = std::function<void(const Notification&)>;

    static Ref<NotificationCenter> defaultCenter();

    // Block observer. An empty name means every name; a null object means any sender (otherwise only
    // notifications whose object is that very object, compared by identity; the sender is not kept
    // alive). Without a queue the handler runs on the posting thread; with one, post() adds it to
    // that queue as an operation and waits for it (it runs inline when that queue is the current
    // one). The returned token removes the observer (removeObserver(token.get())).
    Ref<Object> addObserverForName(std::string_view name, const Ref<Object>& object, const Ref<OperationQueue>& queue,
                            Handler handler);

    // Observer identified by an address (usually the observing object), for removal by that address.
    void addObserver(const void* observer, std::string_view name, const Ref<Object>& object, Handler handler);

    // Removes every registration of the observer (a token or an observer address).
    void removeObserver(const void* observer);
    // Removes the observer's registrations that match the name (empty: any) and object (null: any).
    void removeObserver(const void* observer, std::string_view name, const Ref<Object>& object);

    void post(const Ref<Notification>& notification);
    void post(std::string name, Ref<Object> object = nullptr, Dictionary userInfo = {});
    // Whether a post of that name by that object would reach an observer registered now: a poster may
    // leave out building what no one would receive.
    bool hasObserver(std::string_view name, const Ref<Object>& object);

private:
    struct Registration;
    std::mutex mutex_;
    std::vector<std::shared_ptr<Registration>> registrations_;
};

}  // namespace lv
