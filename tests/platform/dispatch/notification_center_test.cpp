#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/operation.h"
#include "platform/dispatch/run_loop.h"
#include "platform/dispatch/thread.h"
#include "recorder.h"

namespace lv {
namespace {

using test::Recorder;
using Events = std::vector<std::string>;

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

TEST(NotificationCenterTest, ObjectFilterComparesIdentityNotAddressReuse) {
    Ref<NotificationCenter> center = makeRef<NotificationCenter>();
    int calls = 0;
    Ref<Sender> a = makeRef<Sender>();
    center->addObserverForName("n", a, nullptr, [&](const Notification&) { ++calls; });
    Ref<Sender> other = makeRef<Sender>();
    center->post("n", other);
    center->post("n", a);
    EXPECT_EQ(calls, 1);
}

TEST(NotificationCenterTest, DeliveryQueueRunsTheHandlerThereAndPostWaits) {
    Ref<NotificationCenter> center = makeRef<NotificationCenter>();
    std::atomic<bool> onMain{false};
    std::atomic<int> calls{0};
    center->addObserverForName("n", nullptr, OperationQueue::mainQueue(), [&](const Notification&) {
        onMain = Thread::isMainThread();
        ++calls;
    });
    std::atomic<bool> postReturned{false};
    std::atomic<int> callsWhenPostReturned{-1};
    std::thread poster([&] {
        center->post("n");
        callsWhenPostReturned = calls.load();
        postReturned = true;
    });
    ASSERT_TRUE(runMainUntil([&] { return postReturned.load(); }, 5));
    poster.join();
    EXPECT_TRUE(onMain.load());
    EXPECT_EQ(callsWhenPostReturned.load(), 1);
    // Posting on the main thread to a main-queue observer runs it inline.
    center->post("n");
    EXPECT_EQ(calls.load(), 2);
}

TEST(NotificationCenterTest, DeliveryQueueOfAnotherQueue) {
    Ref<NotificationCenter> center = makeRef<NotificationCenter>();
    Ref<OperationQueue> q = OperationQueue::make();
    std::atomic<bool> onQueue{false};
    center->addObserverForName("n", nullptr, q, [&](const Notification& n) {
        onQueue = OperationQueue::current() == q && n.name() == "n";
    });
    center->post("n");
    EXPECT_TRUE(onQueue.load());
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
