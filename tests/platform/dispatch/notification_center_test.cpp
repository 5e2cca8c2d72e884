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

TEST(NotificationCenterTest, PostingIsSynchronousOnThePostingThreadWithUserInfo) {
    Ref<NotificationCenter> center = makeRef<NotificationCenter>();
    std::thread::id handledOn;
    Value status;
    Ref<Object> token = center->addObserverForName("com.example.change", nullptr, nullptr, [&](const Notification& n) {
        handledOn = std::this_thread::get_id();
        status = n.userInfo().get("status");
    });
    center->post("com.example.change", nullptr, Dictionary{{"status", Value(2)}});
    EXPECT_EQ(handledOn, std::this_thread::get_id());
    EXPECT_EQ(status.intValue(), 2);
    center->removeObserver(token.get());
}

TEST(NotificationCenterTest, NameAndObjectFiltersSelectNotifications) {
    Ref<NotificationCenter> center = makeRef<NotificationCenter>();
    Ref<Sender> a = makeRef<Sender>();
    Ref<Sender> b = makeRef<Sender>();
    Recorder r;
    center->addObserverForName("start", a, nullptr, [&](const Notification&) { r.add("start-from-a"); });
    center->addObserverForName("start", nullptr, nullptr, [&](const Notification&) { r.add("start-any"); });
    center->addObserverForName("", nullptr, nullptr, [&](const Notification& n) { r.add("all:" + n.name()); });
    center->post("start", a);
    center->post("start", b);
    center->post("finish", a);
    EXPECT_EQ(r.events(), (Events{"start-from-a", "start-any", "all:start", "start-any", "all:start", "all:finish"}));
}

TEST(NotificationCenterTest, RemovalByTokenAndByObserver) {
    Ref<NotificationCenter> center = makeRef<NotificationCenter>();
    Recorder r;
    int observer = 0;
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
    EXPECT_EQ(r.events(), (Events{"observer-n", "observer-m"}));
}

TEST(NotificationCenterTest, AnObserverRemovedByAnEarlierHandlerIsNotCalled) {
    Ref<NotificationCenter> center = makeRef<NotificationCenter>();
    Recorder r;
    int second = 0;
    center->addObserverForName("n", nullptr, nullptr, [&](const Notification&) {
        r.add("first");
        center->removeObserver(&second);
    });
    center->addObserver(&second, "n", nullptr, [&](const Notification&) { r.add("second"); });
    center->post("n");
    EXPECT_EQ(r.events(), (Events{"first"}));
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
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t) {
        posters.emplace_back([&] {
            for (int i = 0; i < 500; ++i) center->post("n", nullptr, Dictionary{{"i", Value(i)}});
        });
    }
    std::thread churn([&] {
        int tag = 0;
        while (!stop.load()) {
            center->addObserver(&tag, "n", nullptr, [](const Notification& n) { (void)n.userInfo().get("i"); });
            center->removeObserver(&tag);
        }
    });
    for (auto& t : posters) t.join();
    stop = true;
    churn.join();
    EXPECT_EQ(delivered.load(), 2000);
    center->removeObserver(steady.get());
}

TEST(NotificationCenterTest, DefaultCenterIsShared) {
    int calls = 0;
    Ref<Object> token = NotificationCenter::defaultCenter()->addObserverForName(
        "com.example.default", nullptr, nullptr, [&](const Notification&) { ++calls; });
    NotificationCenter::defaultCenter()->post("com.example.default");
    NotificationCenter::defaultCenter()->removeObserver(token.get());
    NotificationCenter::defaultCenter()->post("com.example.default");
    EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace lv
