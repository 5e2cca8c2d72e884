// Views bound to a request operation: activity indicator and refresh control, progress view, alert.
#include <gtest/gtest.h>

#include <fstream>

#include "http/http_request_operation.h"
#include "http/ui_operation_bindings.h"
#include "operation_test_support.h"
#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/dispatch/thread.h"
#include "platform/net/fixtures.h"
#include "platform/storage/bundle.h"
#include "platform/ui/application.h"
#include "support/temp_dir.h"

namespace lv::test {
namespace {

using Calls = std::shared_ptr<std::vector<std::string>>;

// Controls that record their changes ("start"/"stop") and check each happens on the main thread.
class RecordingIndicator : public ActivityIndicatorView {
public:
    explicit RecordingIndicator(Calls calls) : calls_(std::move(calls)) {}
    void startAnimating() override { note("start"), ActivityIndicatorView::startAnimating(); }
    void stopAnimating() override { note("stop"), ActivityIndicatorView::stopAnimating(); }

private:
    void note(const char* what) {
        EXPECT_TRUE(Thread::isMainThread());
        calls_->push_back(what);
    }
    Calls calls_;
};

class RecordingRefreshControl : public RefreshControl {
public:
    explicit RecordingRefreshControl(Calls calls) : calls_(std::move(calls)) {}
    void beginRefreshing() override { note("start"), RefreshControl::beginRefreshing(); }
    void endRefreshing() override { note("stop"), RefreshControl::endRefreshing(); }

private:
    void note(const char* what) {
        EXPECT_TRUE(Thread::isMainThread());
        calls_->push_back(what);
    }
    Calls calls_;
};

// One bindable view of either kind with its recorded calls.
struct Bound {
    std::string kind;
    Ref<View> view;
    std::function<void(const Ref<HCURLConnectionOperation>&)> bind;
    Calls calls;
};

std::vector<std::function<Bound()>> bothKinds() {
    return {[] {
                auto calls = std::make_shared<std::vector<std::string>>();
                auto view = makeRef<RecordingIndicator>(calls);
                return Bound{"indicator", view,
                             [view](const auto& op) {
                                 ActivityIndicatorViewHCNetworking::setAnimatingWithStateOfOperation(view, op);
                             },
                             calls};
            },
            [] {
                auto calls = std::make_shared<std::vector<std::string>>();
                auto control = makeRef<RecordingRefreshControl>(calls);
                return Bound{"refresh", control,
                             [control](const auto& op) {
                                 RefreshControlHCNetworking::setRefreshingWithStateOfOperation(control, op);
                             },
                             calls};
            }};
}

Ref<HCHTTPRequestOperation> operationFor(const std::string& path) {
    return HCHTTPRequestOperation::make(URLRequest(URL::URLWithString(HttpFixture::shared().url(path))));
}

bool runToEnd(const Ref<HCURLConnectionOperation>& op) {
    if (!op->isExecuting() && !op->isFinished()) op->start();
    return runMainUntil([&] { return op->isFinished(); }, 10);
}

// Runs the main queue until everything queued on it so far has run.
void drainMain() {
    bool reached = false;
    Queue::main()->async([&] { reached = true; });
    ASSERT_TRUE(runMainUntil([&] { return reached; }, 10));
}

using Strings = std::vector<std::string>;

TEST(OperationBindings, FinishedOrNilOperationOnlyEndsFollowingTheEarlierOne) {
    auto finished = operationFor("/status/200");
    ASSERT_TRUE(runToEnd(finished));
    for (const auto& make : bothKinds()) {
        for (const auto& later : {Ref<HCURLConnectionOperation>(), Ref<HCURLConnectionOperation>(finished)}) {
            Bound b = make();
            SCOPED_TRACE(b.kind + (later ? " finished" : " nil"));
            auto earlier = operationFor("/status/200");
            b.bind(earlier);
            b.bind(later);
            ASSERT_TRUE(runToEnd(earlier));
            drainMain();
            EXPECT_EQ(*b.calls, Strings{"stop"});  // only the first binding's own stop
        }
    }
}

TEST(OperationBindings, FollowsStartAndFinish) {
    struct Case {
        std::string name;
        bool executingAtBind;
        Strings atBind;
    } cases[] = {{"queued", false, {"stop"}}, {"executing", true, {"start"}}};
    for (const auto& make : bothKinds()) {
        for (const auto& c : cases) {
            Bound b = make();
            SCOPED_TRACE(b.kind + " " + c.name);
            auto op = operationFor("/sleep/200");
            if (c.executingAtBind) {
                // Executing, and its start announced already.
                OperationNotifications announced(op);
                op->start();
                ASSERT_TRUE(runMainUntil([&] { return !announced.names().empty(); }, 10));
            }
            b.bind(op);
            EXPECT_EQ(*b.calls, c.atBind);
            ASSERT_TRUE(runToEnd(op));
            ASSERT_TRUE(runMainUntil([&] { return b.calls->back() == "stop" && b.calls->size() > 1; }, 10));
            drainMain();
            const Strings expected = c.executingAtBind ? Strings{"start", "stop"} : Strings{"stop", "start", "stop"};
            EXPECT_EQ(*b.calls, expected);
        }
    }
}

TEST(OperationBindings, RebindingFollowsOnlyTheNewOperation) {
    for (const auto& make : bothKinds()) {
        Bound b = make();
        SCOPED_TRACE(b.kind);
        auto first = operationFor("/status/200");
        auto second = operationFor("/status/200");
        b.bind(first);
        b.bind(second);
        ASSERT_TRUE(runToEnd(first));
        drainMain();
        EXPECT_EQ(*b.calls, (Strings{"stop", "stop"}));
        ASSERT_TRUE(runToEnd(second));
        ASSERT_TRUE(runMainUntil([&] { return b.calls->size() == 4; }, 10));
        EXPECT_EQ(*b.calls, (Strings{"stop", "stop", "start", "stop"}));
    }
}

// An operation that finishes (and announces it) right after its state is read as executing, as a
// network thread may do while the binding runs.
class FinishesWhileBeingReadOperation : public HCURLConnectionOperation {
public:
    using HCURLConnectionOperation::HCURLConnectionOperation;
    bool isExecuting() const override {
        if (finished_.exchange(true)) return false;
        auto self = std::const_pointer_cast<Object>(shared_from_this());
        NotificationCenter::defaultCenter()->post(std::string(kHCNetworkingOperationDidFinishNotification), self);
        return true;
    }
    bool isFinished() const override { return finished_.load(); }

private:
    mutable std::atomic<bool> finished_{false};
};

TEST(OperationBindings, FinishBetweenStateReadAndObservingStillStops) {
    for (const auto& make : bothKinds()) {
        Bound b = make();
        SCOPED_TRACE(b.kind);
        b.bind(makeRef<FinishesWhileBeingReadOperation>(URLRequest(URL::URLWithString("http://127.0.0.1:1/"))));
        drainMain();
        EXPECT_EQ(*b.calls, (Strings{"start", "stop"}));
    }
}

TEST(OperationBindings, ProgressFollowsOnlyKnownTotals) {
    struct Case {
        std::int64_t total, expected;
        float progress;
    } cases[] = {{25, 0, 0.2f}, {25, -1, 0.2f}, {25, 50, 0.5f}, {1, 3, 1.0f / 3.0f}};
    for (bool upload : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::to_string(upload) + " " + std::to_string(c.expected));
            auto view = ProgressView::make();
            view->setProgress(0.2f);
            auto op = operationFor("/status/200");
            Strings earlier;
            op->setUploadProgressBlock([&](std::int64_t, std::int64_t, std::int64_t) { earlier.push_back("up"); });
            op->setDownloadProgressBlock([&](std::uint64_t, std::int64_t, std::int64_t) { earlier.push_back("down"); });
            if (upload) {
                ProgressViewHCNetworking::setProgressWithUploadProgressOfOperation(view, op, true);
                op->uploadProgress()(5, c.total, c.expected);
            } else {
                ProgressViewHCNetworking::setProgressWithDownloadProgressOfOperation(view, op, true);
                op->downloadProgress()(5, c.total, c.expected);
            }
            EXPECT_EQ(earlier, Strings{upload ? "up" : "down"});
            drainMain();
            EXPECT_EQ(view->progress(), c.progress);
            EXPECT_EQ(view->lastChangeAnimated(), c.expected > 0);

            // The view is held weakly: dropping it leaves the chained block harmless.
            const Weak<ProgressView> weak = view;
            view.reset();
            EXPECT_TRUE(weak.expired());
            if (upload) op->uploadProgress()(5, 1, 2);
            else op->downloadProgress()(5, 1, 2);
            drainMain();
        }
    }
}

TEST(OperationBindings, ProgressOfRealTransfers) {
    auto down = ProgressView::make();
    auto download = operationFor("/bytes/200000?chunk=16384");
    ProgressViewHCNetworking::setProgressWithDownloadProgressOfOperation(down, download, false);
    ASSERT_TRUE(runToEnd(download));
    ASSERT_TRUE(runMainUntil([&] { return down->progress() == 1.0f; }, 10));

    auto up = ProgressView::make();
    URLRequest request(URL::URLWithString(HttpFixture::shared().url("/echo")));
    request.setHTTPMethod("POST");
    request.setHTTPBody(Bytes(300000, 7));
    auto upload = HCHTTPRequestOperation::make(request);
    ProgressViewHCNetworking::setProgressWithUploadProgressOfOperation(up, upload, true);
    ASSERT_TRUE(runToEnd(upload));
    ASSERT_TRUE(runMainUntil([&] { return up->progress() == 1.0f; }, 10));
    EXPECT_TRUE(up->lastChangeAnimated());
}

// An operation whose error the test chooses; it runs against the loopback server to finish for real.
class ChosenErrorOperation : public HCURLConnectionOperation {
public:
    explicit ChosenErrorOperation(Ref<Error> error)
        : HCURLConnectionOperation(URLRequest(URL::URLWithString(HttpFixture::shared().url("/status/200")))),
          chosen_(std::move(error)) {}
    Ref<Error> error() const override {
        std::lock_guard guard(mutex_);
        return chosen_;
    }
    void setError(Ref<Error> error) {
        std::lock_guard guard(mutex_);
        chosen_ = std::move(error);
    }

private:
    mutable std::mutex mutex_;
    Ref<Error> chosen_;
};

class OperationAlert : public ::testing::Test {
protected:
    void SetUp() override { Application::resetSharedApplication(); }
    void TearDown() override {
        Bundle::setMainBundlePath(Bundle::defaultMainBundlePath());
        Application::resetSharedApplication();
    }
    static const std::vector<Ref<AlertView>>& alerts() { return Application::sharedApplication()->alerts(); }
    // Announces the operation's finish again: an observer still in place would answer it.
    static void announceFinishAgain(const Ref<HCURLConnectionOperation>& op) {
        NotificationCenter::defaultCenter()->post(std::string(kHCNetworkingOperationDidFinishNotification), op);
        drainMain();
    }
};

TEST_F(OperationAlert, TextsOfTheError) {
    const std::string description(kLocalizedDescriptionKey), reason(kLocalizedFailureReasonErrorKey),
        suggestion(kLocalizedRecoverySuggestionErrorKey);
    struct Case {
        Dictionary info;
        bool translated;
        std::string title, message;
    } cases[] = {
        {{{description, "Offline"}, {reason, "No route"}, {suggestion, "Try later"}}, false, "Offline", "Try later"},
        {{{description, "Offline"}, {reason, "No route"}}, false, "Offline", "No route"},
        {{{description, "Offline"}}, false, "Error", "Offline"},
        {{{reason, "No route"}}, false, "Error", "test.domain Error: 42"},
        {{}, false, "Error", "test.domain Error: 42"},
        {{}, true, "错误", "test.domain 错误 42"},
    };
    TempDir bundle;
    std::ofstream(bundle.file("HCNetworking.strings"))
        << "\"Dismiss\" = \"关闭\";\n\"Error\" = \"错误\";\n\"%@ Error: %ld\" = \"%@ 错误 %ld\";\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        if (c.translated) Bundle::setMainBundlePath(bundle.path().string());
        auto op = makeRef<ChosenErrorOperation>(Error::make("test.domain", 42, c.info));
        AlertViewHCNetworking::showAlertViewForRequestOperationWithErrorOnCompletion(op, {});
        const auto before = alerts().size();
        ASSERT_TRUE(runToEnd(op));
        ASSERT_TRUE(runMainUntil([&] { return alerts().size() == before + 1; }, 10));
        EXPECT_EQ(alerts().back()->title(), c.title);
        EXPECT_EQ(alerts().back()->message(), c.message);
        EXPECT_EQ(alerts().back()->buttonTitles(), Strings{c.translated ? "关闭" : "Dismiss"});
        announceFinishAgain(op);
        EXPECT_EQ(alerts().size(), before + 1);
    }
}

class TapRecorder : public AlertViewDelegate {
public:
    int tapped = -1;
    void alertViewClickedButtonAtIndex(AlertView&, int index) override { tapped = index; }
};

TEST_F(OperationAlert, ButtonsAndDelegate) {
    auto delegate = std::make_shared<TapRecorder>();
    auto op = makeRef<ChosenErrorOperation>(Error::make("test.domain", 1));
    AlertViewHCNetworking::showAlertViewForRequestOperationWithErrorOnCompletion(op, delegate, "OK", {"Retry", "Later"});
    ASSERT_TRUE(runToEnd(op));
    ASSERT_TRUE(runMainUntil([&] { return alerts().size() == 1; }, 10));
    EXPECT_EQ(alerts()[0]->buttonTitles(), (Strings{"OK", "Retry", "Later"}));
    EXPECT_TRUE(Application::sharedApplication()->tapAlertButton(2));
    EXPECT_EQ(delegate->tapped, 2);
}

TEST_F(OperationAlert, NoErrorNoAlertAndNothingLeftListening) {
    auto op = makeRef<ChosenErrorOperation>(nullptr);
    AlertViewHCNetworking::showAlertViewForRequestOperationWithErrorOnCompletion(op, {});
    ASSERT_TRUE(runToEnd(op));
    drainMain();
    op->setError(Error::make("test.domain", 7));
    announceFinishAgain(op);
    EXPECT_TRUE(alerts().empty());
}

TEST_F(OperationAlert, FinishedOperationIsJudgedAtOnce) {
    auto op = makeRef<ChosenErrorOperation>(Error::make("test.domain", 3));
    ASSERT_TRUE(runToEnd(op));
    drainMain();
    AlertViewHCNetworking::showAlertViewForRequestOperationWithErrorOnCompletion(op, {});
    ASSERT_EQ(alerts().size(), 1u);
    EXPECT_EQ(alerts()[0]->message(), "test.domain Error: 3");
    announceFinishAgain(op);
    EXPECT_EQ(alerts().size(), 1u);
}

TEST_F(OperationAlert, NilOperationShowsNothing) {
    AlertViewHCNetworking::showAlertViewForRequestOperationWithErrorOnCompletion(nullptr, {});
    auto other = makeRef<ChosenErrorOperation>(Error::make("test.domain", 5));
    ASSERT_TRUE(runToEnd(other));
    drainMain();
    EXPECT_TRUE(alerts().empty());
}

}  // namespace
}  // namespace lv::test
