#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/un.h>

#include <string>
#include <vector>

#include "http/network_reachability_manager.h"
#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/run_loop.h"
#include "platform/dispatch/thread.h"
#include "platform/runtime/runtime.h"

namespace lv {
namespace {

constexpr ReachabilityFlags R = kReachabilityFlagsReachable;
constexpr ReachabilityFlags W = kReachabilityFlagsIsWWAN;

Ref<HCNetworkReachabilityManager> loopbackManager() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return HCNetworkReachabilityManager::managerForAddress(reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

// Records status blocks and change notifications in the order they arrive, with the thread.
class Recorder {
public:
    Recorder() {
        token_ = NotificationCenter::defaultCenter()->addObserverForName(
            kHCNetworkingReachabilityDidChangeNotification, nullptr, nullptr, [this](const Notification& n) {
                events.push_back("note " + n.userInfo().get(kHCNetworkingReachabilityNotificationStatusItem).stringValue());
                onMain = onMain && Thread::isMainThread();
            });
    }
    ~Recorder() { NotificationCenter::defaultCenter()->removeObserver(token_.get()); }
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    void watch(const Ref<HCNetworkReachabilityManager>& manager, const std::string& name) {
        manager->setReachabilityStatusChangeBlock([this, name](HCNetworkReachabilityStatus status) {
            events.push_back(name + " " + std::to_string(static_cast<int>(status)));
            onMain = onMain && Thread::isMainThread();
        });
    }
    bool waitFor(std::size_t count) {
        return runMainUntil([&] { return events.size() >= count; }, 5);
    }

    std::vector<std::string> events;
    bool onMain = true;

private:
    Ref<Object> token_;
};

struct OverrideReset {
    ~OverrideReset() { NetworkReachability::setFlagsOverride(std::nullopt); }
};

TEST(Reachability, FlagsToStatus) {
    using S = HCNetworkReachabilityStatus;
    const ReachabilityFlags c = kReachabilityFlagsConnectionRequired, t = kReachabilityFlagsConnectionOnTraffic,
                            d = kReachabilityFlagsConnectionOnDemand, i = kReachabilityFlagsInterventionRequired;
    const std::pair<ReachabilityFlags, S> table[] = {
        {R, S::ReachableViaWiFi},         {R | W, S::ReachableViaWWAN},         {R | c, S::NotReachable},
        {R | c | t, S::ReachableViaWiFi}, {R | c | d, S::ReachableViaWiFi},     {R | c | t | i, S::NotReachable},
        {0, S::NotReachable},             {R | c | d | W, S::ReachableViaWWAN}, {W | c | t | d, S::NotReachable},
    };
    for (const auto& [flags, status] : table) {
        EXPECT_EQ(HCNetworkReachabilityStatusForFlags(flags), status) << std::hex << flags;
    }
    const std::vector<std::string> texts = {"Unknown", "Not Reachable", "Reachable via WWAN", "Reachable via WiFi",
                                            "Unknown"};
    for (int status = -1; status <= 3; ++status) {
        EXPECT_EQ(HCStringFromNetworkReachabilityStatus(static_cast<HCNetworkReachabilityStatus>(status)),
                  texts[static_cast<std::size_t>(status + 1)]);
    }
}

TEST(Reachability, NewManagerIsUnknown) {
    const auto manager = HCNetworkReachabilityManager::managerForDomain("lunavexa.invalid");
    EXPECT_EQ(manager->networkReachabilityStatus(), HCNetworkReachabilityStatus::Unknown);
    EXPECT_FALSE(manager->isReachable());
    EXPECT_EQ(manager->localizedNetworkReachabilityStatusString(), "Unknown");
    EXPECT_EQ(manager->networkReachabilityAssociation(), HCNetworkReachabilityAssociation::ForName);
    const auto& shared = HCNetworkReachabilityManager::sharedManager();
    EXPECT_EQ(shared, HCNetworkReachabilityManager::sharedManager());
    EXPECT_EQ(shared->networkReachabilityAssociation(), HCNetworkReachabilityAssociation::ForAddress);
    EXPECT_EQ(shared->networkReachabilityStatus(), HCNetworkReachabilityStatus::Unknown);

    // A target that cannot be made leaves a manager whose start does nothing.
    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    const auto orphan =
        HCNetworkReachabilityManager::managerForAddress(reinterpret_cast<const sockaddr*>(&local), sizeof local);
    EXPECT_FALSE(orphan->networkReachability());
    orphan->startMonitoring();
    orphan->stopMonitoring();
    EXPECT_EQ(orphan->networkReachabilityStatus(), HCNetworkReachabilityStatus::Unknown);
}

TEST(Reachability, MonitoringReportsOnMainAndEachChangeOnceEvenWhenStartedTwice) {
    OverrideReset reset;
    NetworkReachability::setFlagsOverride(R | W);
    Recorder recorder;
    const auto manager = loopbackManager();
    recorder.watch(manager, "a");
    manager->startMonitoring();
    manager->startMonitoring();
    // Each start reads the flags once: the block, then the notification, on the main thread.
    ASSERT_TRUE(recorder.waitFor(4));
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"a 1", "note 1", "a 1", "note 1"}));
    EXPECT_TRUE(recorder.onMain);
    EXPECT_TRUE(manager->isReachableViaWWAN());
    recorder.events.clear();
    NetworkReachability::setFlagsOverride(0);
    ASSERT_TRUE(recorder.waitFor(2));
    // A second manager's report arrives after every earlier delivery: nothing more came for the first.
    const auto marker = loopbackManager();
    recorder.watch(marker, "marker");
    marker->startMonitoring();
    ASSERT_TRUE(recorder.waitFor(4));
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"a 0", "note 0", "marker 0", "note 0"}));

    // After stopping, a change is not reported.
    manager->stopMonitoring();
    recorder.events.clear();
    NetworkReachability::setFlagsOverride(R);
    ASSERT_TRUE(recorder.waitFor(2));
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"marker 2", "note 2"}));
    marker->stopMonitoring();
}

TEST(Reachability, NameManagerReportsOnlyThroughItsCallback) {
    OverrideReset reset;
    NetworkReachability::setFlagsOverride(R);
    Recorder recorder;
    const auto manager = HCNetworkReachabilityManager::managerForDomain("lunavexa.invalid");
    recorder.watch(manager, "name");
    manager->startMonitoring();
    ASSERT_TRUE(recorder.waitFor(2));
    const auto marker = loopbackManager();
    recorder.watch(marker, "marker");
    marker->startMonitoring();
    ASSERT_TRUE(recorder.waitFor(4));
    // One report for the name (its first lookup), none from an initial reading.
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"name 2", "note 2", "marker 2", "note 2"}));
    manager->stopMonitoring();
    marker->stopMonitoring();
}

TEST(Reachability, ObserversOfReachableHearStatusChanges) {
    const auto manager = loopbackManager();
    std::vector<std::string> keys;
    addPropertyObserver(*manager, [&](Object&, const std::string& key) { keys.push_back(key); });
    manager->setNetworkReachabilityStatus(HCNetworkReachabilityStatus::ReachableViaWiFi);
    EXPECT_TRUE(manager->isReachable());
    EXPECT_EQ(keys, (std::vector<std::string>{"networkReachabilityStatus", "reachable", "reachableViaWWAN",
                                              "reachableViaWiFi"}));
    for (const char* key : {"reachable", "reachableViaWWAN", "reachableViaWiFi"}) {
        EXPECT_EQ(HCNetworkReachabilityManager::keyPathsForValuesAffectingValueForKey(key),
                  std::set<std::string>{"networkReachabilityStatus"});
    }
    EXPECT_TRUE(HCNetworkReachabilityManager::keyPathsForValuesAffectingValueForKey("networkReachabilityStatus").empty());
}

}  // namespace
}  // namespace lv
