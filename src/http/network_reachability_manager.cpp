#include "http/network_reachability_manager.h"

#include <netinet/in.h>

#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/runtime/runtime.h"
#include "platform/storage/bundle.h"

namespace lv {

namespace {

void postStatusChange(HCNetworkReachabilityStatus status) {
    NotificationCenter::defaultCenter()->post(
        std::string(kHCNetworkingReachabilityDidChangeNotification), nullptr,
        Dictionary{{std::string(kHCNetworkingReachabilityNotificationStatusItem),
                    Value(static_cast<std::int64_t>(status))}});
}

}  // namespace

HCNetworkReachabilityStatus HCNetworkReachabilityStatusForFlags(ReachabilityFlags flags) {
    const bool reachable = flags & kReachabilityFlagsReachable;
    const bool needsConnection = flags & kReachabilityFlagsConnectionRequired;
    const bool connectsAutomatically =
        flags & (kReachabilityFlagsConnectionOnDemand | kReachabilityFlagsConnectionOnTraffic);
    const bool connectsWithoutUser = connectsAutomatically && !(flags & kReachabilityFlagsInterventionRequired);
    if (!reachable || (needsConnection && !connectsWithoutUser)) return HCNetworkReachabilityStatus::NotReachable;
    return (flags & kReachabilityFlagsIsWWAN) ? HCNetworkReachabilityStatus::ReachableViaWWAN
                                              : HCNetworkReachabilityStatus::ReachableViaWiFi;
}

std::string HCStringFromNetworkReachabilityStatus(HCNetworkReachabilityStatus status) {
    std::string_view key = "Unknown";
    switch (status) {
        case HCNetworkReachabilityStatus::NotReachable: key = "Not Reachable"; break;
        case HCNetworkReachabilityStatus::ReachableViaWWAN: key = "Reachable via WWAN"; break;
        case HCNetworkReachabilityStatus::ReachableViaWiFi: key = "Reachable via WiFi"; break;
        case HCNetworkReachabilityStatus::Unknown: break;
    }
    return Bundle::mainBundle()->localizedStringForKey(key, "", "HCNetworking");
}

HCNetworkReachabilityManager::HCNetworkReachabilityManager(Ref<NetworkReachability> reachability)
    : reachability_(std::move(reachability)) {}

HCNetworkReachabilityManager::~HCNetworkReachabilityManager() { stopMonitoring(); }

const Ref<HCNetworkReachabilityManager>& HCNetworkReachabilityManager::sharedManager() {
    static const auto& shared = *new Ref<HCNetworkReachabilityManager>([] {  // never destroyed
        sockaddr_in zero{};
        zero.sin_family = AF_INET;
        return managerForAddress(reinterpret_cast<const sockaddr*>(&zero), sizeof zero);
    }());
    return shared;
}

Ref<HCNetworkReachabilityManager> HCNetworkReachabilityManager::managerForDomain(std::string_view domain) {
    auto manager = makeRef<HCNetworkReachabilityManager>(NetworkReachability::createWithName(domain));
    manager->setNetworkReachabilityAssociation(HCNetworkReachabilityAssociation::ForName);
    return manager;
}

Ref<HCNetworkReachabilityManager> HCNetworkReachabilityManager::managerForAddress(const sockaddr* address,
                                                                                  socklen_t length) {
    auto manager = makeRef<HCNetworkReachabilityManager>(NetworkReachability::createWithAddress(address, length));
    manager->setNetworkReachabilityAssociation(HCNetworkReachabilityAssociation::ForAddress);
    return manager;
}

void HCNetworkReachabilityManager::setNetworkReachabilityStatus(HCNetworkReachabilityStatus status) {
    status_.store(status);
    didSetProperty(*this, "networkReachabilityStatus");
    for (const char* dependent : {"reachable", "reachableViaWWAN", "reachableViaWiFi"}) didSetProperty(*this, dependent);
}

void HCNetworkReachabilityManager::setReachabilityStatusChangeBlock(StatusBlock block) {
    const std::lock_guard lock(blockMutex_);
    statusBlock_ = std::move(block);
}

HCNetworkReachabilityManager::StatusBlock HCNetworkReachabilityManager::networkReachabilityStatusBlock() const {
    const std::lock_guard lock(blockMutex_);
    return statusBlock_;
}

void HCNetworkReachabilityManager::startMonitoring() {
    stopMonitoring();
    if (!reachability_) return;
    // Holds the manager weakly: sets the status, then runs the user's block.
    auto statusCallback = [weak = Weak<HCNetworkReachabilityManager>(refAs<HCNetworkReachabilityManager>())](
                              HCNetworkReachabilityStatus status) {
        const auto self = weak.lock();
        if (!self) return;
        self->setNetworkReachabilityStatus(status);
        if (const StatusBlock block = self->networkReachabilityStatusBlock()) block(status);
    };
    reachability_->setCallback([statusCallback](ReachabilityFlags flags) {
        const HCNetworkReachabilityStatus status = HCNetworkReachabilityStatusForFlags(flags);
        statusCallback(status);
        Queue::main()->async([status] { postStatusChange(status); });
    });
    reachability_->scheduleWithRunLoop(RunLoop::main(), kRunLoopCommonModes);
    if (networkReachabilityAssociation() == HCNetworkReachabilityAssociation::ForName) return;
    Queue::global(Queue::Priority::Background)->async([reachability = reachability_, statusCallback] {
        ReachabilityFlags flags = 0;
        reachability->getFlags(&flags);
        const HCNetworkReachabilityStatus status = HCNetworkReachabilityStatusForFlags(flags);
        Queue::main()->async([statusCallback, status] {
            statusCallback(status);
            postStatusChange(status);
        });
    });
}

void HCNetworkReachabilityManager::stopMonitoring() {
    if (reachability_) reachability_->unscheduleFromRunLoop(RunLoop::main(), kRunLoopCommonModes);
}

std::set<std::string> HCNetworkReachabilityManager::keyPathsForValuesAffectingValueForKey(std::string_view key) {
    if (key == "reachable" || key == "reachableViaWWAN" || key == "reachableViaWiFi") {
        return {"networkReachabilityStatus"};
    }
    return {};
}

}  // namespace lv
