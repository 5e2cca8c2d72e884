#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "app_test_support.h"
#include "platform/base/log.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/runtime/runtime.h"
#include "platform/storage/bundle.h"
#include "platform/ui/control_channel.h"
#include "platform/ui/image.h"
#include "support/child_process.h"

namespace lv::test {
namespace {

void registerRecordingDelegate() {
    static const ClassInfo* cls = ClassDef<RecordingDelegate>("RecordingDelegate").factory().registerClass();
    (void)cls;
}

using Events = std::vector<std::string>;

TEST(Lifecycle, MainLoopDeliversEventsAndNotificationsInPlatformOrder) {
    AppScope scope;
    registerRecordingDelegate();
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    const std::string lines = "resign\nbackground\nactivate\nterminate";  // the last line has no line end
    ASSERT_EQ(::write(fds[1], lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
    ::close(fds[1]);
    ApplicationConfiguration configuration = scope.app()->configuration();
    configuration.controlInput = fds[0];
    configuration.launchOptions.set(std::string(kApplicationLaunchOptionsURLKey), Value("mbl4827150396://x"));
    scope.app()->setConfiguration(configuration);
    Ref<Object> sender;
    Dictionary launchInfo;
    auto token = NotificationCenter::defaultCenter()->addObserverForName(
        kApplicationDidFinishLaunchingNotification, nullptr, nullptr, [&](const Notification& n) {
            sender = n.object();
            launchInfo = n.userInfo();
        });

    EXPECT_EQ(applicationMain(0, nullptr, "", "RecordingDelegate"), 0);
    NotificationCenter::defaultCenter()->removeObserver(token.get());
    ::close(fds[0]);
    EXPECT_EQ(sender, scope.app());
    EXPECT_EQ(Value(launchInfo), Value(configuration.launchOptions));
    EXPECT_EQ(scope.events(), (Events{
                                  "launch {\n    UIApplicationLaunchOptionsURLKey = \"mbl4827150396://x\";\n}/inactive",
                                  "UIApplicationDidFinishLaunchingNotification",
                                  "didBecomeActive/active",
                                  "UIApplicationDidBecomeActiveNotification",
                                  "willResignActive/active",
                                  "UIApplicationWillResignActiveNotification",
                                  "didEnterBackground/background",
                                  "UIApplicationDidEnterBackgroundNotification",
                                  "willEnterForeground/background",
                                  "UIApplicationWillEnterForegroundNotification",
                                  "didBecomeActive/active",
                                  "UIApplicationDidBecomeActiveNotification",
                                  "willResignActive/active",
                                  "UIApplicationWillResignActiveNotification",
                                  "didEnterBackground/background",
                                  "UIApplicationDidEnterBackgroundNotification",
                                  "willTerminate/background",
                                  "UIApplicationWillTerminateNotification",
                              }));
    EXPECT_TRUE(scope.app()->isTerminated());
    EXPECT_FALSE(scope.app()->becomeActive());  // nothing after the termination
}

TEST(Lifecycle, TerminationSignalsEndTheAppThroughResignAndTerminate) {
    for (const int number : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(number);
        AppScope scope;
        registerRecordingDelegate();
        ApplicationConfiguration configuration = scope.app()->configuration();
        configuration.handleSignals = true;
        scope.app()->setConfiguration(configuration);
        struct sigaction before {};
        ::sigaction(number, nullptr, &before);
        Queue::main()->async([number] { ::kill(::getpid(), number); });
        EXPECT_EQ(applicationMain(0, nullptr, "", "RecordingDelegate"), 0);
        EXPECT_EQ(applicationMainTerminationSignal(), number);
        const Events& events = scope.events();
        ASSERT_EQ(events.size(), 10u);
        EXPECT_EQ(Events(events.end() - 6, events.end()),
                  (Events{"willResignActive/active", "UIApplicationWillResignActiveNotification",
                          "didEnterBackground/background", "UIApplicationDidEnterBackgroundNotification",
                          "willTerminate/background", "UIApplicationWillTerminateNotification"}));
        struct sigaction after {};
        ::sigaction(number, nullptr, &after);
        EXPECT_EQ(after.sa_handler, before.sa_handler);
    }
}

// Run only as the child of ASignalEndsTheProcessWhileTheMainThreadIsBusy: once launched, the main
// thread says so on the pipe and then computes for up to two minutes without turning its loop.
TEST(Lifecycle, DISABLED_BusyMainThreadChild) {
    const char* fdText = std::getenv("LV_BUSY_FD");
    ASSERT_TRUE(fdText);
    AppScope scope;
    registerRecordingDelegate();
    ApplicationConfiguration configuration = scope.app()->configuration();
    configuration.handleSignals = true;
    scope.app()->setConfiguration(configuration);
    Queue::main()->async([fd = std::atoi(fdText)] {
        ASSERT_EQ(::write(fd, "B", 1), 1);
        const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        volatile std::uint64_t work = 0;
        while (std::chrono::steady_clock::now() < until) work = work + 1;
    });
    EXPECT_EQ(applicationMain(0, nullptr, "", "RecordingDelegate"), 0);
}

// SIGTERM while the main thread cannot take the terminate line: the process still ends, soon after,
// as the signal ends it.
TEST(Lifecycle, ASignalEndsTheProcessWhileTheMainThreadIsBusy) {
    const test::PipedChild child =
        test::startThisBinaryWithPipe("Lifecycle.DISABLED_BusyMainThreadChild", {}, "LV_BUSY_FD", false);
    ASSERT_GT(child.pid, 0);
    char mark = 0;
    ASSERT_EQ(::read(child.readFd, &mark, 1), 1);
    ::close(child.readFd);
    EXPECT_EQ(mark, 'B');
    ::kill(child.pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(child.pid, &status, 0), child.pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
}

// Signals repeated while the main thread cannot take the terminate line (Ctrl-C pressed again and
// again) do not extend the grace time the first one started: one more signal each second, and the
// process has ended by twice the grace time. Were each signal to restart the time, it would never end
// while they keep coming.
TEST(Lifecycle, RepeatedSignalsDoNotExtendTheGraceTime) {
    const test::PipedChild child =
        test::startThisBinaryWithPipe("Lifecycle.DISABLED_BusyMainThreadChild", {}, "LV_BUSY_FD", true);
    ASSERT_GT(child.pid, 0);
    char mark = 0;
    ASSERT_EQ(::read(child.readFd, &mark, 1), 1);
    EXPECT_EQ(mark, 'B');
    // The pipe's end tells when the process has gone; each wait on it lasts one second at most.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool ended = false;
    // A SIGHUP first, then Ctrl-C again and again: the process ends by the first.
    for (int sent = 0; !ended && std::chrono::steady_clock::now() < deadline; ++sent) {
        ::kill(child.pid, sent == 0 ? SIGHUP : SIGINT);
        pollfd entry{child.readFd, POLLIN, 0};
        ended = ::poll(&entry, 1, 1000) > 0 && ::read(child.readFd, &mark, 1) == 0;
    }
    ::close(child.readFd);
    if (!ended) ::kill(child.pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child.pid, &status, 0), child.pid);
    EXPECT_TRUE(ended) << "still running 10 s after the first signal";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP) << status;
}

TEST(Lifecycle, UnknownClassesEndTheMainLoopAtOnce) {
    AppScope scope;
    registerRecordingDelegate();
    LogCapture logs;
    EXPECT_EQ(applicationMain(0, nullptr, "", "NoSuchDelegate"), 1);
    EXPECT_EQ(applicationMain(0, nullptr, "", "ViewController"), 1);  // a class, but no delegate
    EXPECT_EQ(applicationMain(0, nullptr, "NoSuchApplication", "RecordingDelegate"), 1);
    EXPECT_TRUE(logs.contains("applicationMain: no application delegate class \"NoSuchDelegate\""));
    EXPECT_FALSE(scope.app()->isLaunched());
}

TEST(ControlChannel, LinesDriveTheEvents) {
    struct Row {
        std::string line;
        bool ran;
        Events events;    // after the app was launched and made active
        std::string log;  // a fragment of the log, empty for none
    };
    const std::vector<Row> rows = {
        {"memory-warning", true, {"memoryWarning/active", "UIApplicationDidReceiveMemoryWarningNotification"}, ""},
        {"  remote-notification {\"pn\": {\"bid\": 42}} ", true, {"remote 42/active"}, ""},
        {"remote-notification [1]", false, {}, "(the payload is no JSON object)"},
        {"open-url MBL4827150396://response?id=7 com.other", true,
         {"openURL MBL4827150396://response?id=7 from com.other/active"}, ""},
        {"open-url https://example.com/", false, {}, "(not a scheme of this app)"},
        {"background", true,
         {"willResignActive/active", "UIApplicationWillResignActiveNotification", "didEnterBackground/background",
          "UIApplicationDidEnterBackgroundNotification"},
         ""},
        {"terminate", true,
         {"willResignActive/active", "UIApplicationWillResignActiveNotification", "didEnterBackground/background",
          "UIApplicationDidEnterBackgroundNotification", "willTerminate/background",
          "UIApplicationWillTerminateNotification"},
         ""},
        {"activate", false, {}, "not possible in the present state"},
        {"resign now", false, {}, "(unexpected words)"},
        {"tap-alert x", false, {}, "(expected a button number)"},
        {"tap-alert 0", false, {}, "(no front alert with that button)"},
        {"local-notification", false, {}, "not possible"},
        {"expire-background-tasks", false, {}, "(no task)"},
        {"shake", false, {}, "control: ignored \"shake\" (unknown command)"},
        {"# a comment", false, {}, ""},
    };
    AppScope scope;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        scope.renewApp();
        scope.startApp();
        LogCapture logs;
        EXPECT_EQ(lv::ControlChannel::execute(row.line), row.ran);
        EXPECT_EQ(scope.events(), row.events);
        if (row.log.empty()) {
            EXPECT_TRUE(logs.lines().empty());
        } else {
            EXPECT_TRUE(logs.contains(row.log));
        }
    }
}

TEST(ControlChannel, EventsBeforeTheLaunchAreRefused) {
    AppScope scope;
    LogCapture logs;
    for (const char* line : {"activate", "memory-warning", "terminate", "open-url mbl4827150396://x"}) {
        EXPECT_FALSE(lv::ControlChannel::execute(line)) << line;
    }
    EXPECT_TRUE(scope.events().empty());
    EXPECT_EQ(logs.count("not possible in the present state"), 4u);
}

TEST(ControlChannel, OpenURLFromTheBackgroundEntersTheForegroundAroundTheCall) {
    AppScope scope;
    scope.startApp();
    ASSERT_TRUE(scope.app()->enterBackground());
    scope.events().clear();
    EXPECT_TRUE(lv::ControlChannel::execute("open-url mbl4827150396://response?id=1"));
    EXPECT_EQ(scope.events(),
              (Events{"willEnterForeground/background", "UIApplicationWillEnterForegroundNotification",
                      "openURL mbl4827150396://response?id=1 from /inactive", "didBecomeActive/active",
                      "UIApplicationDidBecomeActiveNotification"}));
}

TEST(Application, BackgroundTasksExpireOnTheMainThreadAfterTheLimit) {
    AppScope scope;
    const Ref<Application>& app = scope.app();
    ApplicationConfiguration configuration = app->configuration();
    configuration.backgroundTimeLimit = 0.05;
    app->setConfiguration(configuration);
    scope.startApp();
    // Begun from a worker, as upload jobs do.
    std::atomic<int> expired{0};
    std::atomic<bool> offMain{false};
    BackgroundTaskIdentifier polite = kBackgroundTaskInvalid;
    BackgroundTaskIdentifier stubborn = kBackgroundTaskInvalid;
    Queue::global()->sync([&] {
        polite = app->beginBackgroundTaskWithExpirationHandler([&] {
            offMain = offMain || !Thread::isMainThread();
            app->endBackgroundTask(polite);
            ++expired;
        });
        stubborn = app->beginBackgroundTaskWithExpirationHandler([&] { ++expired; });
    });
    EXPECT_EQ(polite, 1u);
    EXPECT_EQ(stubborn, 2u);
    const BackgroundTaskIdentifier ended = app->beginBackgroundTaskWithExpirationHandler([&] { ++expired; });
    app->endBackgroundTask(ended);
    EXPECT_EQ(app->runningBackgroundTasks(), (std::vector<BackgroundTaskIdentifier>{polite, stubborn}));

    LogCapture logs;
    ASSERT_TRUE(app->enterBackground());
    EXPECT_TRUE(runMainUntil([&] { return expired.load() == 2; }, 10));
    EXPECT_FALSE(offMain.load());
    EXPECT_TRUE(app->runningBackgroundTasks().empty());
    EXPECT_TRUE(logs.contains("Background task 2 expired without being ended; ended now"));
    EXPECT_FALSE(logs.contains("Background task 1"));
    EXPECT_TRUE(app->beginBackgroundTaskWithExpirationHandler(nullptr) > stubborn);
}

// What a terminate waits for: the work queued before it and the background tasks, within the limit.
TEST(Application, TerminateLetsQueuedWorkAndBackgroundTasksFinishFirst) {
    struct Row {
        const char* name;
        double limit;          // the background time limit
        bool workerEndsTask;   // a worker ends the task after the queued work ran; else nobody does
        bool taskExpires;      // the terminate expires it
    };
    const Row rows[] = {
        {"ended by a worker", 30, true, false},
        {"expired at the limit", 0.2, false, true},
        {"no limit: expired after the drain", 0, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        AppScope scope;
        ApplicationConfiguration configuration = scope.app()->configuration();
        configuration.backgroundTimeLimit = row.limit;
        scope.app()->setConfiguration(configuration);
        scope.startApp();
        const Ref<Application>& app = scope.app();
        std::atomic<bool> expired{false};
        // Queued as a resign queues its work, with a task begun for it.
        const BackgroundTaskIdentifier task =
            app->beginBackgroundTaskWithExpirationHandler([&] { expired = true; });
        std::atomic<bool> queuedWorkRan{false};
        std::string stateDuringWork;
        bool activatedDuringWork = true;
        // The worker's block still runs after the task it ends lets terminate() return: the row waits
        // for the block itself before its locals go.
        Ref<Group> worker = Group::make();
        Queue::main()->async([&] {
            queuedWorkRan = true;
            stateDuringWork = app->applicationState() == ApplicationState::Background ? "background" : "other";
            activatedDuringWork = app->becomeActive();  // refused: the app is ending
            scope.events().push_back("queued work");
            if (row.workerEndsTask) worker->async(Queue::global(), [&app, task] { app->endBackgroundTask(task); });
        });
        ASSERT_TRUE(app->terminate());
        EXPECT_TRUE(worker->wait(10));
        EXPECT_TRUE(queuedWorkRan.load());
        EXPECT_EQ(stateDuringWork, "background");
        EXPECT_FALSE(activatedDuringWork);
        EXPECT_EQ(expired.load(), row.taskExpires);
        EXPECT_TRUE(app->runningBackgroundTasks().empty());
        EXPECT_EQ(scope.events(),
                  (Events{"willResignActive/active", "UIApplicationWillResignActiveNotification",
                          "didEnterBackground/background", "UIApplicationDidEnterBackgroundNotification",
                          "queued work", "willTerminate/background", "UIApplicationWillTerminateNotification"}));
        EXPECT_TRUE(app->isTerminated());
        EXPECT_FALSE(app->terminate());
    }
}

TEST(Application, AlertsAreRecordedLoggedAndTappable) {
    AppScope scope;
    scope.startApp();
    const Ref<RecordingDelegate> delegate = scope.recorder();
    LogCapture logs;
    auto warning = AlertView::make("警告", "未连接网络,将使用离线模式", delegate, "确认");
    auto choice = AlertView::make("Title", "Body", delegate, "", {"A", "B"});
    warning->show();
    choice->show();
    EXPECT_TRUE(logs.contains("Alert \"警告\": 未连接网络,将使用离线模式 [确认]"));
    EXPECT_TRUE(logs.contains("Alert \"Title\": Body [A, B]"));
    EXPECT_EQ(scope.app()->alerts(), (std::vector<Ref<AlertView>>{warning, choice}));
    EXPECT_EQ(choice->cancelButtonIndex(), -1);
    EXPECT_EQ(scope.app()->frontAlert(), choice);

    EXPECT_FALSE(lv::ControlChannel::execute("tap-alert 2"));  // choice has buttons 0 and 1
    EXPECT_TRUE(lv::ControlChannel::execute("tap-alert 1"));
    EXPECT_FALSE(choice->isVisible());
    EXPECT_EQ(scope.app()->frontAlert(), warning);
    EXPECT_TRUE(lv::ControlChannel::execute("tap-alert 0"));
    EXPECT_EQ(scope.app()->frontAlert(), nullptr);
    EXPECT_EQ(scope.events(), (Events{"alertButton 1", "alertButton 0"}));
    EXPECT_EQ(scope.app()->alerts().size(), 2u);  // the record stays
}

TEST(Application, RemoteRegistrationAnswersOnTheMainQueue) {
    struct Row {
        std::optional<Bytes> token;
        std::string answer;
        bool registered;
    };
    for (const Row& row : {Row{Bytes(32, 0xab), "token 32/active", true},
                           Row{std::nullopt, "tokenError NSCocoaErrorDomain 3010/active", false}}) {
        AppScope scope;
        ApplicationConfiguration configuration = scope.app()->configuration();
        configuration.remoteNotificationToken = row.token;
        scope.app()->setConfiguration(configuration);
        scope.startApp();
        Queue::global()->sync([&] { scope.app()->registerForRemoteNotifications(); });  // from a worker
        EXPECT_TRUE(scope.events().empty());  // not before the main queue runs
        EXPECT_TRUE(runMainUntil([&] { return !scope.events().empty(); }, 10));
        EXPECT_EQ(scope.events(), Events{row.answer});
        EXPECT_EQ(scope.app()->isRegisteredForRemoteNotifications(), row.registered);
        scope.app()->unregisterForRemoteNotifications();
        EXPECT_FALSE(scope.app()->isRegisteredForRemoteNotifications());
    }
}

TEST(Application, URLsOpenByScheme) {
    AppScope scope;
    scope.startApp();
    const Ref<Application>& app = scope.app();
    std::vector<std::string> handled;
    app->setURLHandler("Microblog", [&](const Ref<URL>& url) { handled.push_back(url->absoluteString()); });
    struct Row {
        const char* url;
        bool canOpen;
    };
    for (const Row& row : {Row{"mbl4827150396://response?id=1", true}, Row{"microblog://sso?x=1", true},
                           Row{"MICROBLOG:x", true}, Row{"https://example.com/", false}, Row{"no scheme", false},
                           Row{"://x", false}, Row{"1ab://x", false}}) {
        const Ref<URL> url = URL::URLWithString(row.url);  // nothing for text that is no URL
        EXPECT_EQ(app->canOpenURL(url), row.canOpen) << row.url;
        EXPECT_EQ(app->openURL(url), row.canOpen) << row.url;
    }
    EXPECT_TRUE(scope.events().empty() && handled.empty());  // both arrive later, on the main queue
    EXPECT_TRUE(runMainUntil([&] { return handled.size() == 2 && !scope.events().empty(); }, 10));
    EXPECT_EQ(handled, (std::vector<std::string>{"microblog://sso?x=1", "MICROBLOG:x"}));
    EXPECT_EQ(scope.events(), Events{"openURL mbl4827150396://response?id=1 from com.lunavexa.app/active"});
    app->setURLHandler("microblog", nullptr);
    EXPECT_FALSE(app->canOpenURL(URL::URLWithString("microblog://sso")));
}

TEST(Application, LocalNotificationsScheduleCancelAndFire) {
    AppScope scope;
    scope.startApp();
    const Ref<Application>& app = scope.app();
    auto make = [](const char* body, double at) {
        auto n = LocalNotification::make();
        n->alertBody = body;
        n->fireDate = Value(Date::fromSince1970(at));
        n->userInfo.set("clockID", Value("myid"));
        return n;
    };
    const auto late = make("late", 2000);
    const auto early = make("early", 1000);
    const auto other = make("other", 3000);
    for (const auto& n : {late, early, other}) app->scheduleLocalNotification(n);
    late->alertBody = "changed";  // the schedule holds copies
    auto scheduled = app->scheduledLocalNotifications();
    ASSERT_EQ(scheduled.size(), 3u);
    EXPECT_EQ(scheduled[0]->alertBody, "late");

    app->cancelLocalNotification(scheduled[2]);  // an equal copy cancels
    EXPECT_TRUE(lv::ControlChannel::execute("local-notification"));
    EXPECT_EQ(scope.events(), Events{"local early/active"});
    scheduled = app->scheduledLocalNotifications();
    ASSERT_EQ(scheduled.size(), 1u);
    EXPECT_EQ(scheduled[0]->alertBody, "late");
    app->cancelAllLocalNotifications();
    EXPECT_TRUE(app->scheduledLocalNotifications().empty());
    EXPECT_FALSE(app->fireLocalNotification());
}

TEST(Application, DeviceFactsAreTheMachinesUntilSet) {
    AppScope scope;
    struct utsname name {};
    ASSERT_EQ(::uname(&name), 0);
    EXPECT_EQ(Device::currentDevice()->machineName(), name.machine);
    EXPECT_EQ(Device::currentDevice()->systemVersion(), name.release);
    EXPECT_EQ(Screen::mainScreen()->bounds(), Rect(0, 0, 320, 568));

    DeviceFacts facts = DeviceFacts::current();
    facts.machineName = "iPhone7,2";
    facts.systemVersion = "7.1";
    facts.screenSize = Size{375, 667};
    facts.screenScale = 3;
    DeviceFacts::set(facts);
    EXPECT_EQ(Device::currentDevice()->machineName(), "iPhone7,2");
    EXPECT_EQ(Device::currentDevice()->systemVersion(), "7.1");
    EXPECT_EQ(Screen::mainScreen()->bounds(), Rect(0, 0, 375, 667));
    // Images follow the screen's scale, falling back to the files there are (@2x only).
    for (double scale : {3.0, 2.0, 1.0}) {
        facts.screenScale = scale;
        DeviceFacts::set(facts);
        const Ref<Image> image = Image::imageNamed("tabbar_music_selected");
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->scale(), 2);
        EXPECT_EQ(image->size(), (Size{25, 25}));
    }
    EXPECT_EQ(Image::imageNamed("no_such_image"), nullptr);
}

}  // namespace
}  // namespace lv::test
