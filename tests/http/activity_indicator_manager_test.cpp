// The activity indicator manager: what the request notifications count, the floor at 0, the change
// announcements an observer of the visibility hears, and the application's indicator shown at once and
// hidden 0.17 s after the last request.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "http/network_activity_indicator_manager.h"
#include "http/session_task_delegate.h"
#include "platform/dispatch/thread.h"
#include "platform/net/session.h"
#include "platform/runtime/runtime.h"
#include "platform/ui/application.h"
#include "session_manager_test_support.h"

namespace lv {
namespace {

void post(std::string_view name, const Ref<Object>& object) {
    NotificationCenter::defaultCenter()->post(std::string(name), object);
}

class ActivityIndicatorManager : public ::testing::Test {
protected:
    void TearDown() override { session->invalidateAndCancel(); }
    Ref<URLSession> session = URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration());
    Ref<URLSessionTask> task = session->dataTaskWithRequest(URLRequest(URL::URLWithString("http://127.0.0.1:9/x")));
};

TEST_F(ActivityIndicatorManager, CountsRequestsWithAURLAndNeverGoesBelowZero) {
    auto manager = makeRef<HCNetworkActivityIndicatorManager>();
    EXPECT_FALSE(manager->isEnabled());
    post(HCNetworkingTaskDidCompleteNotification, task);  // a finish without a start
    EXPECT_EQ(manager->activityCount(), 0);
    const std::string_view starts[] = {"com.httpclient.networking.operation.start", HCNetworkingTaskDidResumeNotification};
    const std::string_view finishes[] = {"com.httpclient.networking.operation.finish", HCNetworkingTaskDidSuspendNotification,
                                         HCNetworkingTaskDidCompleteNotification};
    for (auto name : starts) post(name, task);
    EXPECT_EQ(manager->activityCount(), 2);
    // No request, or a request without a URL, counts nothing.
    auto noURL = session->dataTaskWithRequest(URLRequest());
    post(HCNetworkingTaskDidResumeNotification, noURL);
    post(HCNetworkingTaskDidResumeNotification, makeRef<Object>());
    post(HCNetworkingTaskDidResumeNotification, nullptr);
    EXPECT_EQ(manager->activityCount(), 2);
    for (auto name : finishes) post(name, task);
    EXPECT_EQ(manager->activityCount(), 0);
    manager->setActivityCount(-3);
    EXPECT_EQ(manager->activityCount(), -3);
    manager->decrementActivityCount();
    EXPECT_EQ(manager->activityCount(), 0);
    EXPECT_EQ(HCNetworkActivityIndicatorManager::sharedManager(), HCNetworkActivityIndicatorManager::sharedManager());
    test::drainMainQueue();
}

TEST_F(ActivityIndicatorManager, ObserversOfTheVisibilityFollowTheCount) {
    auto manager = makeRef<HCNetworkActivityIndicatorManager>();
    EXPECT_EQ(HCNetworkActivityIndicatorManager::keyPathsForValuesAffectingValueForKey("isNetworkActivityIndicatorVisible"),
              std::set<std::string>{"activityCount"});
    EXPECT_TRUE(HCNetworkActivityIndicatorManager::keyPathsForValuesAffectingValueForKey("activityCount").empty());
    // Each announcement with the visibility read at that moment.
    std::vector<std::pair<std::string, bool>> heard;
    const auto token = addPropertyObserver(*manager, [&](Object& object, const std::string& key) {
        heard.emplace_back(key, static_cast<HCNetworkActivityIndicatorManager&>(object).isNetworkActivityIndicatorVisible());
    });
    const std::vector<std::pair<std::function<void()>, bool>> steps = {
        {[&] { post("com.httpclient.networking.operation.start", task); }, true},
        {[&] { manager->incrementActivityCount(); }, true},
        {[&] { manager->decrementActivityCount(); }, true},
        {[&] { post(HCNetworkingTaskDidCompleteNotification, task); }, false},
        {[&] { manager->decrementActivityCount(); }, false},  // stays at 0, still announced
        {[&] { manager->setActivityCount(5); }, true},
        {[&] { manager->setActivityCount(0); }, false},
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        heard.clear();
        steps[i].first();
        const std::vector<std::pair<std::string, bool>> expected = {{"activityCount", steps[i].second},
                                                                    {"isNetworkActivityIndicatorVisible", steps[i].second}};
        EXPECT_EQ(heard, expected) << "step " << i;
    }
    // A notification that counts nothing announces nothing.
    heard.clear();
    post("com.httpclient.networking.operation.start", makeRef<Object>());
    EXPECT_TRUE(heard.empty());
    removePropertyObserver(*manager, token);
    test::drainMainQueue();
}

TEST_F(ActivityIndicatorManager, ShowsAtOnceAndHidesAfterTheDelay) {
    auto app = Application::sharedApplication();
    app->setNetworkActivityIndicatorVisible(false);
    auto disabled = makeRef<HCNetworkActivityIndicatorManager>();
    disabled->incrementActivityCount();
    test::drainMainQueue();
    EXPECT_FALSE(app->isNetworkActivityIndicatorVisible());  // disabled: never touched
    disabled.reset();

    auto manager = makeRef<HCNetworkActivityIndicatorManager>();
    manager->setEnabled(true);
    manager->incrementActivityCount();
    ASSERT_TRUE(runMainUntil([&] { return app->isNetworkActivityIndicatorVisible(); }, 2));
    manager->decrementActivityCount();
    test::drainMainQueue();
    EXPECT_TRUE(app->isNetworkActivityIndicatorVisible());
    ASSERT_TRUE(manager->activityIndicatorVisibilityTimer());
    EXPECT_DOUBLE_EQ(manager->activityIndicatorVisibilityTimer()->timeInterval(), 0.17);
    // A new request within the delay keeps it shown when the timer fires.
    manager->incrementActivityCount();
    runMainUntil([] { return false; }, 0.3);
    EXPECT_TRUE(app->isNetworkActivityIndicatorVisible());
    manager->decrementActivityCount();
    ASSERT_TRUE(runMainUntil([&] { return !app->isNetworkActivityIndicatorVisible(); }, 2));
}

}  // namespace
}  // namespace lv
