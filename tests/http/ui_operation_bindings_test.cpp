// Views bound to a request operation: activity indicator and refresh control, progress view, alert.
#include <gtest/gtest.h>

#include <fstream>

#include "http/http_request_operation.h"
#include "http/ui_operation_bindings.h"
#include "operation_test_support.h"
#include "platform/net/fixtures.h"
#include "platform/storage/bundle.h"
#include "support/temp_dir.h"

namespace lv::test {
namespace {

using Strings = std::vector<std::string>;
using Calls = std::shared_ptr<Strings>;

void note(const Calls& calls, const char* what) {
    EXPECT_TRUE(Thread::isMainThread());
    calls->push_back(what);
}
// Controls that record their changes as "start"/"stop".
struct RecordingIndicator : ActivityIndicatorView {
    Calls calls = std::make_shared<Strings>();
    void startAnimating() override { note(calls, "start"); }
    void stopAnimating() override { note(calls, "stop"); }
};
struct RecordingRefreshControl : RefreshControl {
    Calls calls = std::make_shared<Strings>();
    void beginRefreshing() override { note(calls, "start"); }
    void endRefreshing() override { note(calls, "stop"); }
};

// A control of either kind with its binding and its recorded calls.
struct Bound {
    std::function<void(const Ref<HCURLConnectionOperation>&)> bind;
    Calls calls;
};
std::vector<std::function<Bound()>> bothKinds() {
    return {[] {
                auto view = makeRef<RecordingIndicator>();
                return Bound{[view](const auto& op) {
                                 ActivityIndicatorViewHCNetworking::setAnimatingWithStateOfOperation(view, op);
                             },
                             view->calls};
            },
            [] {
                auto control = makeRef<RecordingRefreshControl>();
                return Bound{[control](const auto& op) {
                                 RefreshControlHCNetworking::setRefreshingWithStateOfOperation(control, op);
                             },
                             control->calls};
            }};
}

Ref<HCHTTPRequestOperation> operationFor(const std::string& path) {
    return HCHTTPRequestOperation::make(requestFor(HttpFixture::shared().url(path)));
}
// Starts the operation unless it runs already; returns once its finish has been announced and what
// the announcement queued on the main queue has run. The waits only guard against a hang: a loaded
// machine (sanitizers, parallel tests) gets a minute.
void runToEnd(const Ref<HCURLConnectionOperation>& op) {
    OperationNotifications announced(op);
    if (!op->isExecuting()) op->start();
    ASSERT_TRUE(runMainUntil([&] { return !announced.names().empty() && announced.names().back() == "finish"; }, 60));
    drainMainQueue();
}

TEST(OperationBindings, FinishedOrNilOperationOnlyEndsFollowingTheEarlierOne) {
    auto finished = operationFor("/status/200");
    runToEnd(finished);
    for (const auto& make : bothKinds()) {
        for (const auto& later : {Ref<HCURLConnectionOperation>(), Ref<HCURLConnectionOperation>(finished)}) {
            Bound b = make();
            auto earlier = operationFor("/status/200");
            b.bind(earlier);
            b.bind(later);
            runToEnd(earlier);
            EXPECT_EQ(*b.calls, Strings{"stop"});  // only the first binding's own stop
        }
    }
}

TEST(OperationBindings, FollowsStartAndFinishOfTheLastBoundOperation) {
    for (const auto& make : bothKinds()) {
        for (int row = 0; row < 3; ++row) {  // queued, executing, rebound from another queued operation
            SCOPED_TRACE(row);
            Bound b = make();
            auto op = operationFor("/sleep/100");
            auto other = operationFor("/status/200");
            if (row == 1) {
                OperationNotifications announced(op);  // executing, and its start announced already
                op->start();
                ASSERT_TRUE(runMainUntil([&] { return !announced.names().empty(); }, 60));
            }
            if (row == 2) b.bind(other);
            b.bind(op);
            runToEnd(other);
            runToEnd(op);
            const Strings expected[] = {{"stop", "start", "stop"}, {"start", "stop"}, {"stop", "stop", "start", "stop"}};
            EXPECT_EQ(*b.calls, expected[row]);
        }
    }
}

// An operation that finishes (and announces it) right after its state is read as executing, as a
// network thread may do while the binding runs.
class FinishesWhileBeingReadOperation : public HCURLConnectionOperation {
public:
    using HCURLConnectionOperation::HCURLConnectionOperation;
    bool isExecuting() const override {
        if (finished_.exchange(true)) return false;
        NotificationCenter::defaultCenter()->post(std::string(kHCNetworkingOperationDidFinishNotification),
                                                  std::const_pointer_cast<Object>(shared_from_this()));
        return true;
    }
    bool isFinished() const override { return finished_.load(); }

private:
    mutable std::atomic<bool> finished_{false};
};

TEST(OperationBindings, FinishBetweenStateReadAndObservingStillStops) {
    for (const auto& make : bothKinds()) {
        Bound b = make();
        b.bind(makeRef<FinishesWhileBeingReadOperation>(requestFor("http://127.0.0.1:1/")));
        drainMainQueue();
        EXPECT_EQ(*b.calls, (Strings{"start", "stop"}));
    }
}

TEST(OperationBindings, ProgressFollowsOnlyKnownTotals) {
    struct Case {
        std::int64_t expected;
        float progress;
    } cases[] = {{0, 0.2f}, {-1, 0.2f}, {50, 0.5f}, {75, 1.0f / 3.0f}};
    for (bool upload : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::to_string(upload) + " " + std::to_string(c.expected));
            auto view = ProgressView::make();
            view->setProgress(0.2f);
            auto op = operationFor("/status/200");
            int earlier = 0;
            op->setUploadProgressBlock([&](std::int64_t, std::int64_t, std::int64_t) { earlier += 1; });
            op->setDownloadProgressBlock([&](std::uint64_t, std::int64_t, std::int64_t) { earlier += 10; });
            auto report = [&] { upload ? op->uploadProgress()(5, 25, c.expected) : op->downloadProgress()(5, 25, c.expected); };
            if (upload) {
                ProgressViewHCNetworking::setProgressWithUploadProgressOfOperation(view, op, true);
            } else {
                ProgressViewHCNetworking::setProgressWithDownloadProgressOfOperation(view, op, true);
            }
            report();
            EXPECT_EQ(earlier, upload ? 1 : 10);
            drainMainQueue();
            EXPECT_EQ(view->progress(), c.progress);
            EXPECT_EQ(view->lastChangeAnimated(), c.expected > 0);
            const Weak<ProgressView> weak = view;  // held weakly: once dropped, reports are harmless
            view.reset();
            EXPECT_TRUE(weak.expired());
            report();
            drainMainQueue();
        }
    }
}

TEST(OperationBindings, ProgressOfARealDownload) {
    auto view = ProgressView::make();
    auto download = operationFor("/bytes/200000?chunk=16384");
    ProgressViewHCNetworking::setProgressWithDownloadProgressOfOperation(view, download, false);
    runToEnd(download);
    ASSERT_TRUE(runMainUntil([&] { return view->progress() == 1.0f; }, 60));
}

// An operation whose error the test chooses; it runs against the loopback server to finish for real.
class ChosenErrorOperation : public HCURLConnectionOperation {
public:
    explicit ChosenErrorOperation(Ref<Error> error)
        : HCURLConnectionOperation(requestFor(HttpFixture::shared().url("/status/200"))), chosen_(std::move(error)) {}
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
    // Announces the operation's finish again (with an error now): an observer still there would answer.
    static void announceFinishAgain(const Ref<ChosenErrorOperation>& op) {
        op->setError(Error::make("again", 1));
        NotificationCenter::defaultCenter()->post(std::string(kHCNetworkingOperationDidFinishNotification), op);
        drainMainQueue();
    }
};

TEST_F(OperationAlert, TextsOfTheErrorAndNoErrorNoAlert) {
    const std::string description(kLocalizedDescriptionKey), reason(kLocalizedFailureReasonErrorKey),
        suggestion(kLocalizedRecoverySuggestionErrorKey);
    struct Case {
        Ref<Error> error;
        bool translated;
        Strings texts;  // title, message, buttons; empty: no alert
    } cases[] = {
        {Error::make("d", 42, {{description, "Offline"}, {reason, "No route"}, {suggestion, "Later"}}), false,
         {"Offline", "Later", "Dismiss"}},
        {Error::make("d", 42, {{description, "Offline"}, {reason, "No route"}}), false, {"Offline", "No route", "Dismiss"}},
        {Error::make("d", 42, {{description, "Offline"}}), false, {"Error", "Offline", "Dismiss"}},
        {Error::make("d", 42, {{reason, "No route"}}), false, {"Error", "d Error: 42", "Dismiss"}},
        {Error::make("d", 42), true, {"错误", "d 错误 42", "关闭"}},
        {nullptr, false, {}},
    };
    TempDir bundle;
    std::ofstream(bundle.file("HCNetworking.strings"))
        << "\"Dismiss\" = \"关闭\";\n\"Error\" = \"错误\";\n\"%@ Error: %ld\" = \"%@ 错误 %ld\";\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.texts.empty() ? "none" : c.texts[1]);
        if (c.translated) Bundle::setMainBundlePath(bundle.path().string());
        auto op = makeRef<ChosenErrorOperation>(c.error);
        AlertViewHCNetworking::showAlertViewForRequestOperationWithErrorOnCompletion(op, {});
        const auto before = alerts().size();
        runToEnd(op);
        ASSERT_EQ(alerts().size(), before + (c.texts.empty() ? 0 : 1));
        if (!c.texts.empty()) {
            EXPECT_EQ((Strings{alerts().back()->title(), alerts().back()->message(), alerts().back()->buttonTitleAtIndex(0)}),
                      c.texts);
        }
        announceFinishAgain(op);
        EXPECT_EQ(alerts().size(), before + (c.texts.empty() ? 0 : 1));
    }
}

struct TapRecorder : AlertViewDelegate {
    int tapped = -1;
    void alertViewClickedButtonAtIndex(AlertView&, int index) override { tapped = index; }
};

TEST_F(OperationAlert, FinishedOperationIsJudgedAtOnce) {
    auto op = makeRef<ChosenErrorOperation>(Error::make("d", 3));
    runToEnd(op);
    auto delegate = std::make_shared<TapRecorder>();
    AlertViewHCNetworking::showAlertViewForRequestOperationWithErrorOnCompletion(op, delegate, "OK", {"Retry", "Later"});
    ASSERT_EQ(alerts().size(), 1u);
    EXPECT_EQ(alerts()[0]->message(), "d Error: 3");
    EXPECT_EQ(alerts()[0]->buttonTitles(), (Strings{"OK", "Retry", "Later"}));
    EXPECT_TRUE(Application::sharedApplication()->tapAlertButton(2));
    EXPECT_EQ(delegate->tapped, 2);
    announceFinishAgain(op);
    EXPECT_EQ(alerts().size(), 1u);
}

TEST_F(OperationAlert, NilOperationShowsNothing) {
    AlertViewHCNetworking::showAlertViewForRequestOperationWithErrorOnCompletion(nullptr, {});
    auto other = makeRef<ChosenErrorOperation>(Error::make("d", 5));
    runToEnd(other);
    EXPECT_TRUE(alerts().empty());
}

}  // namespace
}  // namespace lv::test
