#include "push/push_reachability.h"

#include <sys/socket.h>

#include <cstring>

#include "platform/base/log.h"
#include "platform/dispatch/notification_center.h"
#include "platform/storage/bundle.h"

namespace lv {

namespace {

Ref<PNReachability> wrap(Ref<NetworkReachability> target) {
    if (!target) return nullptr;
    return makeRef<PNReachability>(std::move(target));
}

sockaddr_in ipv4Address(in_addr_t hostOrderAddress) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(hostOrderAddress);
    return address;
}

}  // namespace

Ref<PNReachability> PNReachability::reachabilityWithHostname(std::string_view hostname) {
    return wrap(NetworkReachability::createWithName(hostname));
}

Ref<PNReachability> PNReachability::reachabilityWithAddress(const sockaddr_in& address) {
    return wrap(NetworkReachability::createWithAddress(reinterpret_cast<const sockaddr*>(&address), sizeof address));
}

Ref<PNReachability> PNReachability::reachabilityForInternetConnection() {
    return reachabilityWithAddress(ipv4Address(INADDR_ANY));
}

Ref<PNReachability> PNReachability::reachabilityForLocalWiFi() {
    return reachabilityWithAddress(ipv4Address(0xA9FE0000u));  // 169.254.0.0
}

PNReachability::PNReachability(Ref<NetworkReachability> reachabilityRef) : reachabilityRef_(std::move(reachabilityRef)) {}

PNReachability::~PNReachability() {
    // Nothing holds the object any more, so the notifier can only be half set up here.
    reachabilityRef_->setCallback({});
    reachabilityRef_->setDispatchQueue(nullptr);
}

bool PNReachability::reachableOnWWAN() const {
    std::lock_guard lock(mutex_);
    return reachableOnWWAN_;
}

void PNReachability::setReachableOnWWAN(bool value) {
    std::lock_guard lock(mutex_);
    reachableOnWWAN_ = value;
}

void PNReachability::setReachableBlock(Block block) {
    std::lock_guard lock(mutex_);
    reachableBlock_ = std::move(block);
}

void PNReachability::setUnreachableBlock(Block block) {
    std::lock_guard lock(mutex_);
    unreachableBlock_ = std::move(block);
}

bool PNReachability::isReachableWithFlags(ReachabilityFlags flags) const {
    if (!(flags & kReachabilityFlagsReachable)) return false;
    const ReachabilityFlags transientRequired = kReachabilityFlagsConnectionRequired | kReachabilityFlagsTransientConnection;
    if ((flags & transientRequired) == transientRequired) return false;
    if ((flags & kReachabilityFlagsIsWWAN) && !reachableOnWWAN()) return false;
    return true;
}

ReachabilityFlags PNReachability::reachabilityFlags() const {
    ReachabilityFlags flags = 0;
    return reachabilityRef_->getFlags(&flags) ? flags : 0;
}

bool PNReachability::isReachable() const {
    ReachabilityFlags flags = 0;
    return reachabilityRef_->getFlags(&flags) && isReachableWithFlags(flags);
}

bool PNReachability::isReachableViaWWAN() const {
    const ReachabilityFlags flags = reachabilityFlags();
    return (flags & kReachabilityFlagsReachable) && (flags & kReachabilityFlagsIsWWAN);
}

bool PNReachability::isReachableViaWiFi() const {
    const ReachabilityFlags flags = reachabilityFlags();
    return (flags & kReachabilityFlagsReachable) && !(flags & kReachabilityFlagsIsWWAN);
}

bool PNReachability::connectionRequired() const {
    return (reachabilityFlags() & kReachabilityFlagsConnectionRequired) != 0;
}

bool PNReachability::isConnectionOnDemand() const {
    const ReachabilityFlags flags = reachabilityFlags();
    return (flags & kReachabilityFlagsConnectionRequired) &&
           (flags & (kReachabilityFlagsConnectionOnTraffic | kReachabilityFlagsConnectionOnDemand));
}

bool PNReachability::isInterventionRequired() const {
    const ReachabilityFlags flags = reachabilityFlags();
    return (flags & kReachabilityFlagsConnectionRequired) && (flags & kReachabilityFlagsInterventionRequired);
}

PNNetworkStatus PNReachability::currentReachabilityStatus() const {
    if (!isReachable()) return NotReachable;
    return isReachableViaWiFi() ? ReachableViaWiFi : ReachableViaWWAN;
}

std::string PNReachability::currentReachabilityFlags() const {
    const ReachabilityFlags flags = reachabilityFlags();
    const auto mark = [flags](ReachabilityFlags bit, char letter) { return (flags & bit) ? letter : '-'; };
    return format("%c%c %c%c%c%c%c%c%c", mark(kReachabilityFlagsIsWWAN, 'W'), mark(kReachabilityFlagsReachable, 'R'),
                  mark(kReachabilityFlagsConnectionRequired, 'c'), mark(kReachabilityFlagsTransientConnection, 't'),
                  mark(kReachabilityFlagsInterventionRequired, 'i'), mark(kReachabilityFlagsConnectionOnTraffic, 'C'),
                  mark(kReachabilityFlagsConnectionOnDemand, 'D'), mark(kReachabilityFlagsIsLocalAddress, 'l'),
                  mark(kReachabilityFlagsIsDirect, 'd'));
}

std::string PNReachability::currentReachabilityString() const {
    const char* key = "No Connection";
    switch (currentReachabilityStatus()) {
        case ReachableViaWWAN: key = "Cellular"; break;
        case ReachableViaWiFi: key = "WiFi"; break;
        case NotReachable: break;
    }
    return Bundle::mainBundle()->localizedStringForKey(key, "", {});
}

bool PNReachability::startNotifier() {
    const Ref<PNReachability> self = refAs<PNReachability>();
    Ref<Queue> queue = Queue::makeSerial("net.lunavexa.pnreachability");
    {
        std::lock_guard lock(mutex_);
        reachabilityObject_ = self;
        reachabilitySerialQueue_ = queue;
    }
    const auto fail = [this] {
        std::lock_guard lock(mutex_);
        reachabilitySerialQueue_ = nullptr;
        reachabilityObject_ = nullptr;
    };
    const Weak<PNReachability> weak = self;
    if (!reachabilityRef_->setCallback([weak](ReachabilityFlags flags) {
            if (auto target = weak.lock()) target->reachabilityChanged(flags);
        })) {
        log("SCNetworkReachabilitySetCallback() failed: %s", "the callback could not be set");
        fail();
        return false;
    }
    if (!reachabilityRef_->setDispatchQueue(queue)) {
        log("SCNetworkReachabilitySetDispatchQueue() failed: %s", "the target is scheduled on a run loop");
        reachabilityRef_->setCallback({});
        fail();
        return false;
    }
    return true;
}

void PNReachability::stopNotifier() {
    reachabilityRef_->setCallback({});
    reachabilityRef_->setDispatchQueue(nullptr);
    Ref<PNReachability> held;
    {
        std::lock_guard lock(mutex_);
        reachabilitySerialQueue_ = nullptr;
        held = std::move(reachabilityObject_);
    }
    // `held` may be the last reference: it goes after the lock is released.
}

void PNReachability::reachabilityChanged(ReachabilityFlags flags) {
    const Ref<PNReachability> self = refAs<PNReachability>();
    const bool reachable = isReachableWithFlags(flags);
    Block block;
    {
        std::lock_guard lock(mutex_);
        block = reachable ? reachableBlock_ : unreachableBlock_;
    }
    if (block) block(self);
    Queue::main()->async([self] {
        NotificationCenter::defaultCenter()->post(std::string(kPNReachabilityChangedNotification), self);
    });
}

}  // namespace lv
