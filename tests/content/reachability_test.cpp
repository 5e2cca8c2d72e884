// The content core's reachability wrapper and the launch's network probe.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <regex>
#include <vector>

#include "content/reachability.h"
#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/run_loop.h"
#include "platform/dispatch/thread.h"
#include "platform/net/host_map.h"

namespace lv {
namespace {

constexpr ReachabilityFlags t = kReachabilityFlagsTransientConnection, R = kReachabilityFlagsReachable,
                            c = kReachabilityFlagsConnectionRequired, C = kReachabilityFlagsConnectionOnTraffic,
                            i = kReachabilityFlagsInterventionRequired, D = kReachabilityFlagsConnectionOnDemand,
                            l = kReachabilityFlagsIsLocalAddress, d = kReachabilityFlagsIsDirect,
                            W = kReachabilityFlagsIsWWAN;

struct OverrideReset {
    ~OverrideReset() { NetworkReachability::setFlagsOverride(std::nullopt); }
};

TEST(Reachability, FlagRules) {
    struct Case {
        ReachabilityFlags flags;
        bool reachableOnWWAN;
        NetworkStatus status;
        const char* text;
    };
    const Case cases[] = {
        {R, true, NetworkStatus::ReachableViaWiFi, "-R -------"},
        {R | W, true, NetworkStatus::ReachableViaWWAN, "WR -------"},
        {R | W, false, NetworkStatus::NotReachable, "WR -------"},
        {R | t | c, true, NetworkStatus::NotReachable, "-R ct-----"},
        {R | t, true, NetworkStatus::ReachableViaWiFi, "-R -t-----"},
        {R | c | C, true, NetworkStatus::ReachableViaWiFi, "-R c--C---"},
        {R | l | d, false, NetworkStatus::ReachableViaWiFi, "-R -----ld"},
        {t | c | C | D | i | l | d | W, true, NetworkStatus::NotReachable, "W- ctiCDld"},
        {0, true, NetworkStatus::NotReachable, "-- -------"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.text);
        EXPECT_EQ(networkStatusForFlags(k.flags, k.reachableOnWWAN), k.status);
        EXPECT_EQ(reachabilityFlagsAreReachable(k.flags, k.reachableOnWWAN), k.status != NetworkStatus::NotReachable);
        EXPECT_EQ(reachabilityFlagsString(k.flags), k.text);
    }
}

TEST(Reachability, ReadingsOfTheCurrentFlags) {
    OverrideReset reset;
    const auto reachability = Reachability::reachabilityForInternetConnection();
    ASSERT_TRUE(reachability && Reachability::reachabilityForLocalWiFi());
    EXPECT_FALSE(Reachability::reachabilityWithHostname(""));
    // Flags, then: reachable, via WWAN, via Wi-Fi, connection required, on demand, intervention, text.
    struct Case {
        ReachabilityFlags flags;
        bool readings[6];
        const char* text;
    };
    const Case cases[] = {
        {R | W, {true, true, false, false, false, false}, "Cellular"},
        {R | c | C, {true, false, true, true, true, false}, "WiFi"},
        {R | c | i, {true, false, true, true, false, true}, "WiFi"},
        {c | D, {false, false, false, true, true, false}, "No Connection"},
    };
    for (const auto& k : cases) {
        NetworkReachability::setFlagsOverride(k.flags);
        SCOPED_TRACE(reachability->currentReachabilityFlags());
        const bool readings[6] = {reachability->isReachable(),          reachability->isReachableViaWWAN(),
                                  reachability->isReachableViaWiFi(),   reachability->isConnectionRequired(),
                                  reachability->isConnectionOnDemand(), reachability->isInterventionRequired()};
        EXPECT_TRUE(std::equal(std::begin(readings), std::end(readings), std::begin(k.readings)));
        EXPECT_EQ(reachability->currentReachabilityString(), k.text);
        EXPECT_EQ(reachability->reachabilityFlags(), k.flags);
    }
    NetworkReachability::setFlagsOverride(R | W);
    reachability->setReachableOnWWAN(false);
    EXPECT_EQ(reachability->currentReachabilityStatus(), NetworkStatus::NotReachable);
    EXPECT_TRUE(reachability->isReachableViaWWAN());  // the flags say so, whatever counts as reachable
    EXPECT_TRUE(std::regex_match(reachability->description(), std::regex("<Reachability: 0x[0-9a-f]+ \\(WR -------\\)>")))
        << reachability->description();
}

TEST(Reachability, NotifierRunsBlocksOnItsQueueThenPostsOnMain) {
    OverrideReset reset;
    NetworkReachability::setFlagsOverride(0);
    Ref<Reachability> reachability = Reachability::reachabilityWithHostname("lunavexa.invalid");
    std::vector<std::string> events;
    std::mutex eventsMutex;
    const auto record = [&](std::string event) {
        const std::lock_guard lock(eventsMutex);
        events.push_back(std::move(event));
    };
    const auto count = [&] {
        const std::lock_guard lock(eventsMutex);
        return events.size();
    };
    const Ref<Queue> serial = reachability->reachabilitySerialQueue();
    reachability->setReachableBlock([&, serial](const Ref<Reachability>&) {
        record(serial->isCurrent() ? "reachable on queue" : "reachable elsewhere");
    });
    reachability->setUnreachableBlock([&, serial](const Ref<Reachability>&) {
        record(serial->isCurrent() ? "unreachable on queue" : "unreachable elsewhere");
    });
    const Ref<Object> token = NotificationCenter::defaultCenter()->addObserverForName(
        kReachabilityChangedNotification, reachability, nullptr,
        [&](const Notification&) { record(Thread::isMainThread() ? "note on main" : "note elsewhere"); });

    EXPECT_TRUE(reachability->startNotifier());
    EXPECT_TRUE(reachability->startNotifier());  // already running
    EXPECT_EQ(reachability->reachabilityObject(), reachability);
    // A name target reports its first reading.
    ASSERT_TRUE(runMainUntil([&] { return count() == 2; }, 5));
    NetworkReachability::setFlagsOverride(R);
    ASSERT_TRUE(runMainUntil([&] { return count() == 4; }, 5));
    {
        const std::lock_guard lock(eventsMutex);
        EXPECT_EQ(events, (std::vector<std::string>{"unreachable on queue", "note on main", "reachable on queue",
                                                    "note on main"}));
    }
    reachability->stopNotifier();
    EXPECT_FALSE(reachability->reachabilityObject());
    NotificationCenter::defaultCenter()->removeObserver(token.get());
    // The notifier no longer keeps the object: once the deliveries in flight are done, it goes.
    const Weak<Reachability> weak = reachability;
    reachability.reset();
    EXPECT_TRUE(runMainUntil([&] { return weak.expired(); }, 5));
}

struct ProbeMapping {
    explicit ProbeMapping(const char* target) { HostMap::set(CheckNetwork::kProbeHost, target, 0); }
    ~ProbeMapping() { HostMap::remove(CheckNetwork::kProbeHost); }
    ProbeMapping(const ProbeMapping&) = delete;
    ProbeMapping& operator=(const ProbeMapping&) = delete;
};

TEST(CheckNetwork, ProbeOfTheLoopbackHostFindsANetwork) {
    const ProbeMapping mapping("127.0.0.1");
    EXPECT_TRUE(CheckNetwork::isExistenceNetwork());
    const auto probe = Reachability::reachabilityWithHostName(CheckNetwork::kProbeHost);
    EXPECT_EQ(probe->currentReachabilityFlags(), "-R -----ld");
}

TEST(CheckNetwork, ProbeOfAnInvalidNameFindsNoneWithinTheBound) {
    const ProbeMapping mapping("probe.lunavexa.invalid");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(CheckNetwork::isExistenceNetwork());
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
              NetworkReachability::nameLookupTimeout() + 0.5);
}

TEST(CheckNetwork, TheOverrideDecides) {
    OverrideReset reset;
    NetworkReachability::setFlagsOverride(R | W);
    EXPECT_TRUE(CheckNetwork::isExistenceNetwork());
    NetworkReachability::setFlagsOverride(R | t | c);
    EXPECT_FALSE(CheckNetwork::isExistenceNetwork());
}

}  // namespace
}  // namespace lv
