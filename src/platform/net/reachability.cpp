#include "platform/net/reachability.h"

#include <unistd.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/dispatch/source.h"
#include "platform/net/detail/route_query.h"
#include "platform/net/host_map.h"

namespace lv {

namespace net_detail {

// The process's change watcher: a netlink socket read on a private serial queue, and the scheduled
// targets it reads again after each change.
class ReachabilityWatcher {
public:
    static ReachabilityWatcher& shared() {
        static auto* watcher = new ReachabilityWatcher();  // lives for the process, like its socket
        return *watcher;
    }

    void add(const Ref<NetworkReachability>& target) {
        {
            const std::lock_guard lock(mutex_);
            std::erase_if(targets_, [&](const Weak<NetworkReachability>& t) {
                const auto live = t.lock();
                return !live || live == target;
            });
            targets_.push_back(target);
            openSocketLocked();
        }
        queue_->async([weak = Weak<NetworkReachability>(target)] {
            if (const auto live = weak.lock()) live->evaluate();
        });
    }

    void remove(const NetworkReachability* target) {
        const std::lock_guard lock(mutex_);
        std::erase_if(targets_, [&](const Weak<NetworkReachability>& t) {
            const auto live = t.lock();
            return !live || live.get() == target;
        });
    }

    // Runs the change on the watcher's queue, after the readings queued before it (so targets
    // scheduled earlier have their baseline first), then reads every target again.
    void changeAndReevaluate(const std::function<void()>& change) {
        queue_->sync(change);
        queue_->async([this] { evaluateAll(); });
    }

private:
    ReachabilityWatcher() : queue_(Queue::makeSerial("com.lunavexa.net.reachability")) {}

    void openSocketLocked() {
        if (source_ || socketFailed_) return;
        const int fd = openChangeSocket();
        if (fd < 0) {
            socketFailed_ = true;
            return;
        }
        source_ = Source::makeRead(fd, queue_);
        source_->setEventHandler([this, fd] {
            if (drainChangeSocket(fd)) evaluateAll();
        });
        source_->setCancelHandler([fd] { ::close(fd); });
        source_->resume();
    }

    // On the watcher's queue.
    void evaluateAll() {
        std::vector<Ref<NetworkReachability>> live;
        {
            const std::lock_guard lock(mutex_);
            for (const auto& weak : targets_) {
                if (auto target = weak.lock()) live.push_back(std::move(target));
            }
        }
        for (const auto& target : live) target->evaluate();
    }

    const Ref<Queue> queue_;
    std::mutex mutex_;
    std::vector<Weak<NetworkReachability>> targets_;
    Ref<Source> source_;
    bool socketFailed_ = false;
};

}  // namespace net_detail

namespace {

std::mutex overrideMutex;
std::optional<ReachabilityFlags> overrideFlags;

bool flagsForAddress(const net_detail::SocketAddress& address, ReachabilityFlags* flags) {
    if (address.isUnspecified()) {
        *flags = net_detail::hasActiveInterface() ? kReachabilityFlagsReachable : 0;
        return true;
    }
    const auto route = net_detail::routeTo(address);
    if (!route) return false;
    switch (*route) {
        case net_detail::RouteKind::Local:
            *flags = kReachabilityFlagsReachable | kReachabilityFlagsIsLocalAddress | kReachabilityFlagsIsDirect;
            break;
        case net_detail::RouteKind::Direct: *flags = kReachabilityFlagsReachable | kReachabilityFlagsIsDirect; break;
        case net_detail::RouteKind::Gateway: *flags = kReachabilityFlagsReachable; break;
        case net_detail::RouteKind::None: *flags = 0; break;
    }
    return true;
}

}  // namespace

NetworkReachability::NetworkReachability(std::string name, std::unique_ptr<net_detail::SocketAddress> address)
    : name_(std::move(name)), address_(std::move(address)) {}

NetworkReachability::~NetworkReachability() = default;

Ref<NetworkReachability> NetworkReachability::createWithAddress(const sockaddr* address, socklen_t length) {
    auto copy = net_detail::copySocketAddress(address, length);
    if (!copy) return nullptr;
    return makeRef<NetworkReachability>(std::string(), std::make_unique<net_detail::SocketAddress>(*copy));
}

Ref<NetworkReachability> NetworkReachability::createWithName(std::string_view name) {
    if (name.empty()) return nullptr;
    return makeRef<NetworkReachability>(std::string(name), nullptr);
}

bool NetworkReachability::readFlags(ReachabilityFlags* flags) const {
    if (const auto forced = flagsOverride()) {
        *flags = *forced;
        return true;
    }
    if (address_) return flagsForAddress(*address_, flags);
    std::string host = name_;
    if (const auto mapped = HostMap::lookup(name_, 0)) host = mapped->host;
    const auto addresses = net_detail::resolveWithin(host, nameLookupTimeout());
    ReachabilityFlags found = 0;
    for (const auto& address : addresses) {
        ReachabilityFlags candidate = 0;
        if (flagsForAddress(address, &candidate) && (candidate & kReachabilityFlagsReachable)) {
            found = candidate;
            break;
        }
    }
    *flags = found;
    return true;
}

bool NetworkReachability::getFlags(ReachabilityFlags* flags) const {
    ReachabilityFlags read = 0;
    if (!flags || !readFlags(&read)) return false;
    *flags = read;
    return true;
}

bool NetworkReachability::setCallback(Callback callback) {
    const std::lock_guard lock(mutex_);
    callback_ = std::move(callback);
    return true;
}

void NetworkReachability::scheduledChanged(bool nowScheduled) {
    auto& watcher = net_detail::ReachabilityWatcher::shared();
    if (nowScheduled) {
        watcher.add(std::static_pointer_cast<NetworkReachability>(shared_from_this()));
    } else {
        watcher.remove(this);
    }
}

bool NetworkReachability::scheduleWithRunLoop(const Ref<RunLoop>& loop, std::string_view mode) {
    if (!loop) return false;
    {
        const std::lock_guard lock(mutex_);
        if (delivery_.scheduled()) return delivery_.loop == loop && delivery_.mode == mode;
        delivery_.loop = loop;
        delivery_.mode = std::string(mode);
        ++delivery_.generation;
        lastReported_.reset();
    }
    scheduledChanged(true);
    return true;
}

bool NetworkReachability::unscheduleFromRunLoop(const Ref<RunLoop>& loop, std::string_view mode) {
    {
        const std::lock_guard lock(mutex_);
        if (!loop || delivery_.loop != loop || delivery_.mode != mode) return false;
        delivery_.loop = nullptr;
        delivery_.mode.clear();
        ++delivery_.generation;
    }
    scheduledChanged(false);
    return true;
}

bool NetworkReachability::setDispatchQueue(const Ref<Queue>& queue) {
    {
        const std::lock_guard lock(mutex_);
        if (delivery_.loop) return false;
        if (delivery_.queue == queue) return true;
        delivery_.queue = queue;
        ++delivery_.generation;
        lastReported_.reset();
    }
    scheduledChanged(queue != nullptr);
    return true;
}

void NetworkReachability::evaluate() {
    {
        const std::lock_guard lock(mutex_);
        if (!delivery_.scheduled()) return;
    }
    ReachabilityFlags flags = 0;
    if (!readFlags(&flags)) return;
    Delivery delivery;
    {
        const std::lock_guard lock(mutex_);
        if (!delivery_.scheduled()) return;
        // The first reading of an address target only sets the baseline; a name target reports it.
        const bool report = lastReported_ ? *lastReported_ != flags : isNameTarget();
        lastReported_ = flags;
        if (!report) return;
        delivery = delivery_;
    }
    auto run = [weak = Weak<NetworkReachability>(std::static_pointer_cast<NetworkReachability>(shared_from_this())),
                generation = delivery.generation, flags] {
        const auto self = weak.lock();
        if (!self) return;
        Callback callback;
        {
            const std::lock_guard lock(self->mutex_);
            if (self->delivery_.generation != generation || !self->delivery_.scheduled()) return;
            callback = self->callback_;
        }
        if (callback) callback(flags);
    };
    if (delivery.loop) {
        std::vector<std::string> modes;
        if (delivery.mode != kRunLoopCommonModes) modes.push_back(delivery.mode);
        delivery.loop->perform(std::move(run), std::move(modes));
    } else {
        delivery.queue->async(std::move(run));
    }
}

void NetworkReachability::setFlagsOverride(std::optional<ReachabilityFlags> flags) {
    net_detail::ReachabilityWatcher::shared().changeAndReevaluate([flags] {
        const std::lock_guard lock(overrideMutex);
        overrideFlags = flags;
    });
}

std::optional<ReachabilityFlags> NetworkReachability::flagsOverride() {
    const std::lock_guard lock(overrideMutex);
    return overrideFlags;
}

}  // namespace lv
