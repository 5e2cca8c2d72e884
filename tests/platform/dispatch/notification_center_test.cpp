// The notification centre: filters, removal, delivery queues, and use from several threads. The default
// centre is used by the object-store tests.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "dispatch_support.h"
#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/operation.h"

namespace lv {
namespace {

using test::Events;
using test::Recorder;

class Sender : public Object {};

// Without a delivery queue a post calls the matching handlers at once on the posting thread, with the
// user info; an object filter compares the sender's identity.
TEST(NotificationCenterTest, NameAndObjectFiltersSelectNotificationsDeliveredOnThePostingThread) {
    Ref<NotificationCenter> center = makeRef<NotificationCenter>();
    Ref<Sender> a = makeRef<Sender>();
    Ref<Sender> b = makeRef<Sender>();
    Recorder r;
    center->addObserverForName("start", a, nullptr, [&](const Notification&) { r.add("start-from-a"); });
    center->addObserverForName("start", nullptr, nullptr, [&](const Notification& n) {
        r.add("start-any:" + n.userInfo().get("status").description());
    });
    center->addObserverForName("", nullptr, nullptr, [&](const Notification& n) {
        r.add(std::string(Thread::isMainThread() ? "all:" : "elsewhere:") + n.name());
    });
    center->post("start", a, Dictionary{{"status", Value(2)}});
    center->post("start", b);
    center->post("finish", a);
    EXPECT_EQ(r.events(), (Events{"start-from-a", "start-any:2", "all:start", "start-any:(null)", "all:start", "all:finish"}));
}

// Removal by token, by observer and name, by observer; an observer removed by an earlier handler of the
// same post is not called.
TEST(NotificationCenterTest, RemovedObserversAreNotCalled) {
    Ref<NotificationCenter> center = makeRef<NotificationCenter>();
    Recorder r;
    int observer = 0, second = 0;
    Ref<Sender> a = makeRef<Sender>();
    Ref<Object> token = center->addObserverForName("n", nullptr, nullptr, [&](const Notification&) { r.add("token"); });
    center->addObserver(&observer, "n", nullptr, [&](const Notification&) { r.add("observer-n"); });
    center->addObserver(&observer, "m", a, [&](const Notification&) { r.add("observer-m"); });
    center->removeObserver(token.get());
    center->post("n");
    center->removeObserver(&observer, "n", nullptr);
    center->post("n");
    center->post("m", a);
    center->removeObserver(&observer);
    center->post("m", a);
    center->addObserverForName("o", nullptr, nullptr, [&](const Notification&) {
        r.add("first");
        center->removeObserver(&second);
    });
    center->addObserver(&second, "o", nullptr, [&](const Notification&) { r.add("second"); });
    center->post("o");
    EXPECT_EQ(r.events(), (Events{"observer-n", "observer-m", "first"}));
}

// Whether a post would reach an observer agrees with what a post of the same name and sender
// delivers: name and any-name filters, the sender's identity (a new object at a gone sender's address
// is not that sender), removed observers.
TEST(NotificationCenterTest, HasObserverAgreesWithWhatAPostDelivers) {
    Ref<NotificationCenter> center = makeRef<NotificationCenter>();
    Ref<Sender> a = makeRef<Sender>();
    Ref<Sender> b = makeRef<Sender>();
    int delivered = 0;
    auto count = [&](const Notification&) { ++delivered; };
    int observer = 0;
    Ref<Object> token = center->addObserverForName("n", a, nullptr, count);
    center->addObserver(&observer, "", b, count);
    struct Case {
        std::string name;
        Ref<Object> object;
        bool expected;
    };
    auto check = [&](const std::vector<Case>& cases) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(center->hasObserver(c.name, c.object), c.expected);
            delivered = 0;
            center->post(c.name, c.object);
            EXPECT_EQ(delivered > 0, c.expected);
        }
    };
    check({{"n", a, true}, {"n", b, true}, {"m", b, true}, {"n", nullptr, false}, {"m", a, false}, {"", nullptr, false}});
    center->removeObserver(token.get());
    check({{"n", a, false}, {"n", b, true}});
    center->removeObserver(&observer);
    check({{"n", b, false}});
    std::vector<Ref<Object>> tokens;
    {
        Ref<Sender> gone = makeRef<Sender>();
        tokens.push_back(center->addObserverForName("g", gone, nullptr, count));
        check({{"g", gone, true}});
    }
    check({{"g", makeRef<Sender>(), false}});
    tokens.push_back(center->addObserverForName("", nullptr, nullptr, count));
    check({{"anything", nullptr, true}, {"n", a, true}});
    for (const auto& t : tokens) center->removeObserver(t.get());
}

// A delivery queue runs the handler there and the post waits for it: from another thread to the main
// queue, inline from the main thread, and on a queue of its own.
TEST(NotificationCenterTest, DeliveryQueueRunsTheHandlerThereAndPostWaits) {
    Ref<NotificationCenter> center = makeRef<NotificationCenter>();
    Ref<OperationQueue> other = OperationQueue::make();
    std::atomic<int> onMain{0}, onOther{0};
    center->addObserverForName("n", nullptr, OperationQueue::mainQueue(), [&](const Notification&) { onMain += Thread::isMainThread(); });
    center->addObserverForName("n", nullptr, other, [&](const Notification&) { onOther += OperationQueue::current() == other; });
    std::atomic<bool> handledWhenPostReturned{false};
    std::thread poster([&] {
        center->post("n");
        handledWhenPostReturned = onMain.load() == 1 && onOther.load() == 1;
    });
    ASSERT_TRUE(runMainUntil([&] { return handledWhenPostReturned.load(); }, 5));
    poster.join();
    center->post("n");
    EXPECT_EQ(onMain.load() + onOther.load(), 4);
}

TEST(NotificationCenterTest, RegistrationAndRemovalWhileOtherThreadsPost) {
    Ref<NotificationCenter> center = makeRef<NotificationCenter>();
    std::atomic<int> delivered{0};
    std::atomic<bool> stop{false};
    Ref<Object> steady = center->addObserverForName("n", nullptr, nullptr, [&](const Notification&) { ++delivered; });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) center->post("n", nullptr, Dictionary{{"i", Value(i)}});
        });
    }
    std::thread churn([&] {
        for (int tag = 0; !stop.load();) {
            center->addObserver(&tag, "n", nullptr, [](const Notification& n) { (void)n.userInfo().get("i"); });
            center->removeObserver(&tag);
        }
    });
    for (auto& t : threads) t.join();
    stop = true;
    churn.join();
    EXPECT_EQ(delivered.load(), 2000);
    center->removeObserver(steady.get());
}

}  // namespace
}  // namespace lv
