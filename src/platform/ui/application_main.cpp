// applicationMain: the delegate by class name, the launch, the main loop, control lines and signals.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "platform/base/log.h"
#include "platform/dispatch/run_loop.h"
#include "platform/runtime/runtime.h"
#include "platform/ui/application.h"
#include "platform/ui/control_channel.h"

namespace lv {
namespace {

// The write end of the pipe the signal handler turns SIGINT, SIGTERM and SIGHUP into a "terminate" line on.
std::atomic<int> gSignalPipe{-1};
// The write end of the watchdog's pipe: the handler writes 's' on it, the end of the main loop 'q'.
std::atomic<int> gWatchdogPipe{-1};
// The signal that asked for the termination (0: none); a lock-free atomic, so the handler may set it.
std::atomic<int> gTerminationSignal{0};

// How long the main thread has, after SIGINT, SIGTERM or SIGHUP, to play the termination and leave its loop.
constexpr int kTerminationGraceMilliseconds = 5000;

extern "C" void onTerminationSignal(int signal) {
    // The first signal is the one the process ends by (its exit status); later ones only repeat it.
    int none = 0;
    gTerminationSignal.compare_exchange_strong(none, signal);
    const int fd = gSignalPipe.load();
    if (fd >= 0) {
        static const char kLine[] = "terminate\n";
        [[maybe_unused]] const ssize_t written = ::write(fd, kLine, sizeof kLine - 1);
    }
    if (const int watchdog = gWatchdogPipe.load(); watchdog >= 0) {
        [[maybe_unused]] const ssize_t written = ::write(watchdog, "s", 1);
    }
}

// A main thread too busy to take the "terminate" line (a long computation, a long save) would keep
// the process alive long after the signal: after the grace time the watchdog ends the process the way
// the signal's default action would. What SQLite had not committed is then simply not in the file.
// The grace time runs from the first signal: later ones (Ctrl-C pressed again) do not extend it.
void watchTermination(int readEnd) {
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> deadline;
    for (;;) {
        int timeout = -1;
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
            timeout = static_cast<int>(std::max<long long>(left, 0));
        }
        pollfd entry{readEnd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, timeout);
        if (ready < 0) continue;  // interrupted
        if (ready > 0) {
            char mark = 0;
            if (::read(readEnd, &mark, 1) != 1 || mark == 'q') break;
            if (!deadline) deadline = Clock::now() + std::chrono::milliseconds(kTerminationGraceMilliseconds);
        }
        // Checked after every mark too, so that no stream of signals can keep the process alive.
        if (deadline && Clock::now() >= *deadline) {
            const int signal = gTerminationSignal.load();
            log("applicationMain: the main thread did not end within %@ ms of signal %@; the process ends now",
                std::to_string(kTerminationGraceMilliseconds), std::to_string(signal));
            ::signal(signal, SIG_DFL);
            ::kill(::getpid(), signal);
            ::_exit(128 + signal);
        }
    }
    ::close(readEnd);
}

// Installs the handlers for the scope of the main loop and restores the previous ones after it.
class TerminationSignals {
public:
    TerminationSignals() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        writeEnd_ = fds[1];
        gSignalPipe.store(writeEnd_);
        ControlChannel::listen(fds[0], true);
        struct sigaction action {};
        action.sa_handler = onTerminationSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        int watchdog[2];
        if (::pipe2(watchdog, O_CLOEXEC) == 0) {
            watchdogWriteEnd_ = watchdog[1];
            watchdog_ = std::thread(watchTermination, watchdog[0]);
            gWatchdogPipe.store(watchdogWriteEnd_);
        }
        ::sigaction(SIGINT, &action, &previousInt_);
        ::sigaction(SIGTERM, &action, &previousTerm_);
        // A closed terminal ends the app the same orderly way.
        ::sigaction(SIGHUP, &action, &previousHup_);
        installed_ = true;
    }
    ~TerminationSignals() {
        if (!installed_) return;
        ::sigaction(SIGINT, &previousInt_, nullptr);
        ::sigaction(SIGTERM, &previousTerm_, nullptr);
        ::sigaction(SIGHUP, &previousHup_, nullptr);
        gSignalPipe.store(-1);
        ::close(writeEnd_);  // the listener sees the end of input and closes the read end
        if (watchdog_.joinable()) {
            gWatchdogPipe.store(-1);
            [[maybe_unused]] const ssize_t written = ::write(watchdogWriteEnd_, "q", 1);
            watchdog_.join();
            ::close(watchdogWriteEnd_);
        }
    }
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

private:
    bool installed_ = false;
    int writeEnd_ = -1;
    int watchdogWriteEnd_ = -1;
    std::thread watchdog_;
    struct sigaction previousInt_ {};
    struct sigaction previousTerm_ {};
    struct sigaction previousHup_ {};
};

}  // namespace

int applicationMain(int /*argc*/, char** /*argv*/, std::string_view principalClassName,
                    std::string_view delegateClassName) {
    if (!principalClassName.empty() && principalClassName != "Application") {
        log("applicationMain: unknown application class \"%@\"", principalClassName);
        return 1;
    }
    const ClassInfo* delegateClass = classNamed(delegateClassName);
    auto delegate = std::dynamic_pointer_cast<ApplicationDelegate>(delegateClass ? delegateClass->create() : nullptr);
    if (!delegate) {
        log("applicationMain: no application delegate class \"%@\"", delegateClassName);
        return 1;
    }
    const Ref<Application> app = Application::sharedApplication();
    app->setDelegate(delegate);
    gTerminationSignal.store(0);
    const ApplicationConfiguration configuration = app->configuration();
    if (configuration.controlInput >= 0) ControlChannel::listen(configuration.controlInput, false);
    std::optional<TerminationSignals> signals;
    if (configuration.handleSignals) signals.emplace();

    app->launch();
    app->becomeActive();
    const Ref<RunLoop> loop = RunLoop::main();
    loop->addPort(kDefaultRunLoopMode);
    while (!app->isTerminated()) loop->runMode(kDefaultRunLoopMode, steadyAfter(3600));
    loop->removePort(kDefaultRunLoopMode);
    return 0;
}

int applicationMainTerminationSignal() { return gTerminationSignal.load(); }

}  // namespace lv
