#include "platform/dispatch/notification_center.h"

#include <algorithm>
#include <atomic>

#include "platform/base/format.h"
#include "platform/dispatch/operation.h"

namespace lv {

Notification::Notification(std::string name, Ref<Object> object, Dictionary userInfo)
    : name_(std::move(name)), object_(std::move(object)), userInfo_(std::move(userInfo)) {}

std::string Notification::description() const {
    std::string objectText = object_ ? object_->description() : std::string("(null)");
    std::string info = userInfo_.empty() ? std::string("(null)") : Value(userInfo_).description();
    return format("%s %s {name = %s; object = %s; userInfo = %s}", className().c_str(), addressText(this).c_str(),
                  name_.c_str(), objectText.c_str(), info.c_str());
}

namespace {

// The token handed out for block observers.
class ObserverToken : public Object {};

}  // namespace

struct NotificationCenter::Registration {
    const void* observer;
    Ref<Object> token;  // block observers only
    std::string name;
    bool anyObject;
    const Object* objectAddress;
    Weak<Object> object;
    Ref<OperationQueue> queue;
    Handler handler;
    std::atomic<bool> removed{false};

    bool matches(const Notification& n) const { return matches(n.name(), n.object()); }
    bool matches(std::string_view postedName, const Ref<Object>& postedObject) const {
        if (!name.empty() && name != postedName) return false;
        if (anyObject) return true;
        if (postedObject.get() != objectAddress) return false;
        // The same address may belong to a later object once the registered one is gone.
        return object.lock() == postedObject;
    }
};

Ref<NotificationCenter> NotificationCenter::defaultCenter() {
    static Ref<NotificationCenter>* center = new Ref<NotificationCenter>(makeRef<NotificationCenter>());
    return *center;
}

Ref<Object> NotificationCenter::addObserverForName(std::string_view name, const Ref<Object>& object,
                                            const Ref<OperationQueue>& queue, Handler handler) {
    auto reg = std::make_shared<Registration>();
    reg->token = makeRef<ObserverToken>();
    reg->observer = reg->token.get();
    reg->name = std::string(name);
    reg->anyObject = !object;
    reg->objectAddress = object.get();
    reg->object = object;
    reg->queue = queue;
    reg->handler = std::move(handler);
    Ref<Object> token = reg->token;
    std::lock_guard<std::mutex> guard(mutex_);
    registrations_.push_back(std::move(reg));
    return token;
}

void NotificationCenter::addObserver(const void* observer, std::string_view name, const Ref<Object>& object,
                                     Handler handler) {
    auto reg = std::make_shared<Registration>();
    reg->observer = observer;
    reg->name = std::string(name);
    reg->anyObject = !object;
    reg->objectAddress = object.get();
    reg->object = object;
    reg->handler = std::move(handler);
    std::lock_guard<std::mutex> guard(mutex_);
    registrations_.push_back(std::move(reg));
}

void NotificationCenter::removeObserver(const void* observer) { removeObserver(observer, {}, nullptr); }

void NotificationCenter::removeObserver(const void* observer, std::string_view name, const Ref<Object>& object) {
    if (!observer) return;
    std::vector<std::shared_ptr<Registration>> removed;  // released outside the lock
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto it = registrations_.begin(); it != registrations_.end();) {
        const Registration& r = **it;
        bool match = r.observer == observer && (name.empty() || r.name == name) &&
                     (!object || (!r.anyObject && r.objectAddress == object.get()));
        if (match) {
            (*it)->removed.store(true);
            removed.push_back(std::move(*it));
            it = registrations_.erase(it);
        } else {
            ++it;
        }
    }
}

void NotificationCenter::post(std::string name, Ref<Object> object, Dictionary userInfo) {
    post(Notification::make(std::move(name), std::move(object), std::move(userInfo)));
}

bool NotificationCenter::hasObserver(std::string_view name, const Ref<Object>& object) {
    std::lock_guard<std::mutex> guard(mutex_);
    return std::any_of(registrations_.begin(), registrations_.end(),
                       [&](const std::shared_ptr<Registration>& r) { return r->matches(name, object); });
}

void NotificationCenter::post(const Ref<Notification>& notification) {
    if (!notification) return;
    std::vector<std::shared_ptr<Registration>> targets;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (const auto& r : registrations_) {
            if (r->matches(*notification)) targets.push_back(r);
        }
    }
    for (const auto& r : targets) {
        // An observer removed while this post is under way (by an earlier handler, or another thread
        // before its turn) is skipped.
        if (r->removed.load()) continue;
        if (!r->queue || r->queue == OperationQueue::current()) {
            r->handler(*notification);
            continue;
        }
        std::shared_ptr<Registration> reg = r;
        Ref<Notification> n = notification;
        Ref<BlockOperation> op = BlockOperation::make([reg, n] {
            if (!reg->removed.load()) reg->handler(*n);
        });
        r->queue->addOperations({op}, true);
    }
}

}  // namespace lv
