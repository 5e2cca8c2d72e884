#include "content/reachability.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include "platform/base/format.h"
#include "platform/dispatch/notification_center.h"
#include "platform/storage/bundle.h"

namespace lv {

namespace {

bool has(ReachabilityFlags flags, ReachabilityFlags bit) { return (flags & bit) != 0; }

Ref<Reachability> forIPv4(std::uint32_t hostOrderAddress) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(hostOrderAddress);
    return Reachability::reachabilityWithAddress(reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

}  // namespace

bool reachabilityFlagsAreReachable(ReachabilityFlags flags, bool reachableOnWWAN) {
    if (!has(flags, kReachabilityFlagsReachable)) return false;
    if (has(flags, kReachabilityFlagsTransientConnection) && has(flags, kReachabilityFlagsConnectionRequired)) {
        return false;
    }
    return !has(flags, kReachabilityFlagsIsWWAN) || reachableOnWWAN;
}

NetworkStatus networkStatusForFlags(ReachabilityFlags flags, bool reachableOnWWAN) {
    if (!reachabilityFlagsAreReachable(flags, reachableOnWWAN)) return NetworkStatus::NotReachable;
    return has(flags, kReachabilityFlagsIsWWAN) ? NetworkStatus::ReachableViaWWAN : NetworkStatus::ReachableViaWiFi;
}

std::string reachabilityFlagsString(ReachabilityFlags flags) {
    const auto mark = [&](ReachabilityFlags bit, char letter) { return has(flags, bit) ? letter : '-'; };
    return format("%c%c %c%c%c%c%c%c%c", mark(kReachabilityFlagsIsWWAN, 'W'), mark(kReachabilityFlagsReachable, 'R'),
                  mark(kReachabilityFlagsConnectionRequired, 'c'), mark(kReachabilityFlagsTransientConnection, 't'),
                  mark(kReachabilityFlagsInterventionRequired, 'i'), mark(kReachabilityFlagsConnectionOnTraffic, 'C'),
                  mark(kReachabilityFlagsConnectionOnDemand, 'D'), mark(kReachabilityFlagsIsLocalAddress, 'l'),
                  mark(kReachabilityFlagsIsDirect, 'd'));
}

Ref<Reachability> Reachability::reachabilityWithHostname(std::string_view hostName) {
    auto target = NetworkReachability::createWithName(hostName);
    return target ? makeRef<Reachability>(std::move(target)) : nullptr;
}

Ref<Reachability> Reachability::reachabilityWithAddress(const sockaddr* address, socklen_t length) {
    auto target = NetworkReachability::createWithAddress(address, length);
    return target ? makeRef<Reachability>(std::move(target)) : nullptr;
}

Ref<Reachability> Reachability::reachabilityForInternetConnection() { return forIPv4(INADDR_ANY); }

Ref<Reachability> Reachability::reachabilityForLocalWiFi() { return forIPv4(0xA9FE0000u); }  // 169.254.0.0

Reachability::Reachability(Ref<NetworkReachability> reachabilityRef)
    : reachabilityRef_(std::move(reachabilityRef)),
      reachabilitySerialQueue_(Queue::makeSerial("com.lunavexa.reachability")) {}

Reachability::~Reachability() { stopNotifier(); }

bool Reachability::startNotifier() {
    {
        const std::lock_guard lock(mutex_);
        if (reachabilityObject_.get() == this) return true;
    }
    const auto fail = [this] {
        const std::lock_guard lock(mutex_);
        reachabilityObject_ = nullptr;
        return false;
    };
    if (!reachabilityRef_) return fail();
    // The callback reaches this object weakly; reachabilityObject keeps it alive while notifying.
    reachabilityRef_->setCallback([weak = Weak<Reachability>(refAs<Reachability>())](ReachabilityFlags flags) {
        if (const auto self = weak.lock()) self->reachabilityChanged(flags);
    });
    if (!reachabilityRef_->setDispatchQueue(reachabilitySerialQueue_)) {
        reachabilityRef_->setCallback(nullptr);
        return fail();
    }
    const std::lock_guard lock(mutex_);
    reachabilityObject_ = refAs<Reachability>();
    return true;
}

void Reachability::stopNotifier() {
    if (reachabilityRef_) {
        reachabilityRef_->setCallback(nullptr);
        reachabilityRef_->setDispatchQueue(nullptr);
    }
    Ref<Reachability> released;
    {
        const std::lock_guard lock(mutex_);
        released = std::move(reachabilityObject_);
    }
}

bool Reachability::readFlags(ReachabilityFlags* flags) const {
    *flags = 0;
    return reachabilityRef_ && reachabilityRef_->getFlags(flags);
}

bool Reachability::isReachableWithFlags(ReachabilityFlags flags) const {
    return reachabilityFlagsAreReachable(flags, reachableOnWWAN());
}

bool Reachability::isReachable() const {
    ReachabilityFlags flags = 0;
    return readFlags(&flags) && isReachableWithFlags(flags);
}

bool Reachability::isReachableViaWWAN() const {
    ReachabilityFlags flags = 0;
    return readFlags(&flags) && has(flags, kReachabilityFlagsReachable) && has(flags, kReachabilityFlagsIsWWAN);
}

bool Reachability::isReachableViaWiFi() const {
    ReachabilityFlags flags = 0;
    return readFlags(&flags) && has(flags, kReachabilityFlagsReachable) && !has(flags, kReachabilityFlagsIsWWAN);
}

bool Reachability::connectionRequired() const {
    ReachabilityFlags flags = 0;
    return readFlags(&flags) && has(flags, kReachabilityFlagsConnectionRequired);
}

bool Reachability::isConnectionOnDemand() const {
    ReachabilityFlags flags = 0;
    return readFlags(&flags) && has(flags, kReachabilityFlagsConnectionRequired) &&
           (has(flags, kReachabilityFlagsConnectionOnTraffic) || has(flags, kReachabilityFlagsConnectionOnDemand));
}

bool Reachability::isInterventionRequired() const {
    ReachabilityFlags flags = 0;
    return readFlags(&flags) && has(flags, kReachabilityFlagsConnectionRequired) &&
           has(flags, kReachabilityFlagsInterventionRequired);
}

NetworkStatus Reachability::currentReachabilityStatus() const {
    ReachabilityFlags flags = 0;
    if (!readFlags(&flags)) return NetworkStatus::NotReachable;
    return networkStatusForFlags(flags, reachableOnWWAN());
}

ReachabilityFlags Reachability::reachabilityFlags() const {
    ReachabilityFlags flags = 0;
    return readFlags(&flags) ? flags : 0;
}

std::string Reachability::currentReachabilityString() const {
    std::string_view key = "No Connection";
    switch (currentReachabilityStatus()) {
        case NetworkStatus::ReachableViaWWAN: key = "Cellular"; break;
        case NetworkStatus::ReachableViaWiFi: key = "WiFi"; break;
        case NetworkStatus::NotReachable: break;
    }
    return Bundle::mainBundle()->localizedStringForKey(key, "", "");
}

void Reachability::reachabilityChanged(ReachabilityFlags flags) {
    const Ref<Reachability> self = refAs<Reachability>();
    const Block block = isReachableWithFlags(flags) ? reachableBlock() : unreachableBlock();
    if (block) block(self);
    Queue::main()->async([self] {
        NotificationCenter::defaultCenter()->post(std::string(kReachabilityChangedNotification), self);
    });
}

std::string Reachability::description() const {
    return format("<%@: %#x (%@)>", className(), reinterpret_cast<std::uintptr_t>(this), currentReachabilityFlags());
}

Reachability::Block Reachability::reachableBlock() const {
    const std::lock_guard lock(mutex_);
    return reachableBlock_;
}

void Reachability::setReachableBlock(Block block) {
    const std::lock_guard lock(mutex_);
    reachableBlock_ = std::move(block);
}

Reachability::Block Reachability::unreachableBlock() const {
    const std::lock_guard lock(mutex_);
    return unreachableBlock_;
}

void Reachability::setUnreachableBlock(Block block) {
    const std::lock_guard lock(mutex_);
    unreachableBlock_ = std::move(block);
}

bool Reachability::reachableOnWWAN() const {
    const std::lock_guard lock(mutex_);
    return reachableOnWWAN_;
}

void Reachability::setReachableOnWWAN(bool reachable) {
    const std::lock_guard lock(mutex_);
    reachableOnWWAN_ = reachable;
}

Ref<Reachability> Reachability::reachabilityObject() const {
    const std::lock_guard lock(mutex_);
    return reachabilityObject_;
}

bool CheckNetwork::isExistenceNetwork() {
    const Ref<Reachability> probe = Reachability::reachabilityWithHostName(kProbeHost);
    if (!probe) return false;
    const NetworkStatus status = probe->currentReachabilityStatus();
    return status == NetworkStatus::ReachableViaWWAN || status == NetworkStatus::ReachableViaWiFi;
}

}  // namespace lv
