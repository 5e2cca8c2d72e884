// The reachability stand-in: flags from the kernel's routes, name targets with a bounded lookup, the
// change watcher's socket, delivery to queues and run loops, and the test override. (Names through the
// host map are checked by the content core's probe tests.)
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <vector>

#include "platform/dispatch/run_loop.h"
#include "platform/net/detail/route_query.h"
#include "platform/net/reachability.h"

namespace lv {
namespace {

constexpr ReachabilityFlags kLocal =
    kReachabilityFlagsReachable | kReachabilityFlagsIsLocalAddress | kReachabilityFlagsIsDirect;

Ref<NetworkReachability> loopbackTarget() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return NetworkReachability::createWithAddress(reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

struct OverrideReset {
    ~OverrideReset() { NetworkReachability::setFlagsOverride(std::nullopt); }
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(Reachability, LoopbackTargetsAreLocalAndDirect) {
    ReachabilityFlags flags = 0;
    ASSERT_TRUE(loopbackTarget()->getFlags(&flags));
    EXPECT_EQ(flags, kLocal);

    for (const char* name : {"127.0.0.1", "localhost"}) {
        const auto named = NetworkReachability::createWithName(name);
        ASSERT_TRUE(named->isNameTarget());
        flags = 0;
        ASSERT_TRUE(named->getFlags(&flags));
        EXPECT_EQ(flags, kLocal) << name;
    }
}

TEST(Reachability, TargetsThatCannotBeMade) {
    sockaddr_in shortAddress{};
    shortAddress.sin_family = AF_INET;
    EXPECT_FALSE(NetworkReachability::createWithAddress(reinterpret_cast<const sockaddr*>(&shortAddress), 4));
    EXPECT_FALSE(NetworkReachability::createWithAddress(nullptr, 0));
}

TEST(Reachability, NameLookupIsBounded) {
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    auto finished = std::make_shared<std::promise<void>>();
    std::future<void> ended = finished->get_future();
    const auto stuck = [gate, finished](const std::string&) {
        gate.wait();
        finished->set_value();
        return std::vector<net_detail::SocketAddress>(1);
    };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(net_detail::lookupWithin("slow.invalid", 0.2, stuck).empty());
    const double waited = secondsSince(start);
    EXPECT_GE(waited, 0.19);
    EXPECT_LT(waited, 1.5);
    release.set_value();
    // The late answer is dropped; the lookup thread still ends.
    ended.wait();
    EXPECT_EQ(net_detail::lookupWithin("127.0.0.1", 2, net_detail::resolveName).size(), 1u);
}

// A numeric address is resolved on the spot: the same answer as the resolver's, even with no time at
// all to wait for a lookup thread.
TEST(Reachability, NumericNamesAreResolvedWithoutWaiting) {
    for (const char* name : {"127.0.0.1", "10.20.30.40", "192.0.2.7", "::1", "2001:db8::5"}) {
        const auto direct = net_detail::resolveName(name);
        ASSERT_EQ(direct.size(), 1u) << name;
        const auto bounded = net_detail::resolveWithin(name, 0);
        ASSERT_EQ(bounded.size(), 1u) << name;
        EXPECT_EQ(bounded[0].length, direct[0].length) << name;
        EXPECT_EQ(std::memcmp(&bounded[0].storage, &direct[0].storage, direct[0].length), 0) << name;
    }
}

TEST(Reachability, OverrideAnswersEveryTargetAndItsChangesAreDelivered) {
    OverrideReset reset;
    const auto target = loopbackTarget();
    std::vector<ReachabilityFlags> seen;
    target->setCallback([&](ReachabilityFlags flags) { seen.push_back(flags); });
    ASSERT_TRUE(target->scheduleWithRunLoop(RunLoop::main(), kRunLoopCommonModes));
    EXPECT_TRUE(target->scheduleWithRunLoop(RunLoop::main(), kRunLoopCommonModes));  // already there
    EXPECT_FALSE(target->setDispatchQueue(Queue::main()));

    NetworkReachability::setFlagsOverride(kReachabilityFlagsIsWWAN | kReachabilityFlagsReachable);
    ReachabilityFlags flags = 0;
    ASSERT_TRUE(target->getFlags(&flags));
    EXPECT_EQ(flags, kReachabilityFlagsIsWWAN | kReachabilityFlagsReachable);
    ASSERT_TRUE(runMainUntil([&] { return seen.size() == 1; }, 5));
    EXPECT_EQ(seen[0], kReachabilityFlagsIsWWAN | kReachabilityFlagsReachable);

    // The same flags again are not a change; a name target reports its first reading once scheduled.
    NetworkReachability::setFlagsOverride(kReachabilityFlagsIsWWAN | kReachabilityFlagsReachable);
    const auto name = NetworkReachability::createWithName("lunavexa.invalid");
    std::vector<ReachabilityFlags> named;
    name->setCallback([&](ReachabilityFlags f) { named.push_back(f); });
    ASSERT_TRUE(name->setDispatchQueue(Queue::main()));
    ASSERT_TRUE(runMainUntil([&] { return named.size() == 1; }, 5));
    EXPECT_EQ(seen.size(), 1u);

    // Unscheduled targets hear nothing more.
    EXPECT_TRUE(target->unscheduleFromRunLoop(RunLoop::main(), kRunLoopCommonModes));
    EXPECT_FALSE(target->unscheduleFromRunLoop(RunLoop::main(), kRunLoopCommonModes));
    NetworkReachability::setFlagsOverride(0);
    ASSERT_TRUE(runMainUntil([&] { return named.size() == 2; }, 5));
    EXPECT_EQ(named[1], 0u);
    EXPECT_EQ(seen.size(), 1u);
    EXPECT_TRUE(name->setDispatchQueue(nullptr));
}

TEST(Reachability, ChangeSocketSubscribesToTheKernel) {
    const int fd = net_detail::openChangeSocket();
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(net_detail::drainChangeSocket(fd));  // nothing has changed yet
    ::close(fd);
}

}  // namespace
}  // namespace lv
