// Push reachability over the platform's flag override.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/run_loop.h"
#include "push/push_reachability.h"

namespace lv {
namespace {

class PushReachability : public ::testing::Test {
protected:
    void TearDown() override { NetworkReachability::setFlagsOverride(std::nullopt); }
};

constexpr ReachabilityFlags R = kReachabilityFlagsReachable;
constexpr ReachabilityFlags W = kReachabilityFlagsIsWWAN;
constexpr ReachabilityFlags c = kReachabilityFlagsConnectionRequired;
constexpr ReachabilityFlags t = kReachabilityFlagsTransientConnection;

TEST_F(PushReachability, FlagCases) {
    struct Case {
        ReachabilityFlags flags;
        bool onWWAN;
        bool reachable;
        PNNetworkStatus status;
        bool viaWWAN;
        const char* text;
    };
    const Case cases[] = {
        {R | c | t, true, false, NotReachable, false, "-R ct-----"},
        {R | c, true, true, ReachableViaWiFi, false, "-R c------"},
        {R | W, false, false, NotReachable, true, "WR -------"},
        {R | W, true, true, ReachableViaWWAN, true, "WR -------"},
        {R | kReachabilityFlagsIsDirect, true, true, ReachableViaWiFi, false, "-R ------d"},
        {0, true, false, NotReachable, false, "-- -------"},
        {R | c | kReachabilityFlagsInterventionRequired | kReachabilityFlagsConnectionOnDemand |
             kReachabilityFlagsConnectionOnTraffic | kReachabilityFlagsIsLocalAddress,
         true, true, ReachableViaWiFi, false, "-R c-iCDl-"},
    };
    const char* texts[] = {"No Connection", "Cellular", "WiFi"};
    for (const auto& k : cases) {
        NetworkReachability::setFlagsOverride(k.flags);
        const Ref<PNReachability> reachability = PNReachability::reachabilityForInternetConnection();
        ASSERT_TRUE(reachability);
        EXPECT_TRUE(reachability->reachableOnWWAN());
        reachability->setReachableOnWWAN(k.onWWAN);
        EXPECT_EQ(reachability->isReachable(), k.reachable) << k.text;
        EXPECT_EQ(reachability->currentReachabilityStatus(), k.status) << k.text;
        EXPECT_EQ(reachability->isReachableViaWWAN(), k.viaWWAN) << k.text;
        EXPECT_EQ(reachability->currentReachabilityFlags(), k.text);
        EXPECT_EQ(reachability->currentReachabilityString(), texts[k.status]) << k.text;
        EXPECT_EQ(reachability->isConnectionOnDemand(), std::string(k.text) == "-R c-iCDl-");
        EXPECT_EQ(reachability->isInterventionRequired(), std::string(k.text) == "-R c-iCDl-");
    }
}

TEST_F(PushReachability, OverrideChangeRunsBlockOnPrivateQueueThenPostsOnMain) {
    NetworkReachability::setFlagsOverride(0);
    Weak<PNReachability> weak;
    std::atomic<int> reachableCalls{0};
    std::atomic<bool> blockOffMain{false};
    std::atomic<bool> postedOnMain{false};
    std::atomic<int> posts{0};
    auto observer = NotificationCenter::defaultCenter()->addObserverForName(
        kPNReachabilityChangedNotification, nullptr, nullptr, [&](const Notification&) {
            postedOnMain = Queue::main()->isCurrent();
            ++posts;
        });
    {
        const Ref<PNReachability> reachability = PNReachability::reachabilityForInternetConnection();
        weak = reachability;
        reachability->stopNotifier();  // harmless while idle
        reachability->setReachableBlock([&](const Ref<PNReachability>& sender) {
            blockOffMain = !Queue::main()->isCurrent() && sender == weak.lock();
            ++reachableCalls;
        });
        ASSERT_TRUE(reachability->startNotifier());
    }
    ASSERT_TRUE(weak.lock());  // the running notifier holds its object
    NetworkReachability::setFlagsOverride(R);
    ASSERT_TRUE(runMainUntil([&] { return posts.load() == 1; }, 5));
    EXPECT_EQ(reachableCalls, 1);
    EXPECT_TRUE(blockOffMain);
    EXPECT_TRUE(postedOnMain);
    weak.lock()->stopNotifier();
    // Released once the change callback that was running has returned.
    EXPECT_TRUE(runMainUntil([&] { return !weak.lock(); }, 5));
    NotificationCenter::defaultCenter()->removeObserver(observer.get());
}

}  // namespace
}  // namespace lv
