// The activity indicator manager: what the request notifications count, the floor at 0, and the
// application's indicator shown at once and hidden 0.17 s after the last request.
#include <gtest/gtest.h>

#include "http/network_activity_indicator_manager.h"
#include "http/session_task_delegate.h"
#include "platform/dispatch/thread.h"
#include "platform/net/session.h"
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
