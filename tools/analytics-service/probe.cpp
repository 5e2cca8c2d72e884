// A small headless app that runs only the analytics client, for the demo: the application main loop
// (launch, activation, resign, background, terminate as the system plays them), the client started
// as the app starts it (report policy 1, encryption on, log lines on standard error), and lines on
// standard input that do what a screen or a bug would:
//
//   lv-analytics-probe --home DIR [--bundle DIR] [--map NAME=HOST:PORT]...
//
//   page-begin NAME | page-end NAME   a page view begins or ends
//   event ID [LABEL]                  a counted event
//   fault segv | fault fpe            a store through a null pointer, an integer division by zero
//   anything else                     a control line (activate, resign, background, terminate, …)
//
// Ends when the app terminates (exit 0) or by the fault's signal.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "analytics/tally.h"
#include "platform/dispatch/queue.h"
#include "platform/net/host_map.h"
#include "platform/runtime/runtime.h"
#include "platform/storage/bundle.h"
#include "platform/storage/sandbox.h"
#include "platform/ui/application.h"
#include "platform/ui/control_channel.h"
#include "platform/ui/device.h"

#ifndef LV_DEFAULT_BUNDLE
#define LV_DEFAULT_BUNDLE "bundle"
#endif

namespace lv {
namespace {

constexpr const char* kAppKey = "9f3b6c2a41e07d58b2c4a6e1";

class AnalyticsProbeDelegate : public Object, public ApplicationDelegate {
public:
    bool applicationDidFinishLaunchingWithOptions(Application&, const Dictionary&) override {
        Tally::setLogEnabled(true);
        Tally::startWithAppkey(kAppKey, 1, {});
        Tally::setEncryptEnabled(true);
        return true;
    }
};

__attribute__((no_sanitize("undefined"))) void storeThroughNull() {
    volatile int* volatile target = nullptr;
    *target = 1;
}

__attribute__((no_sanitize("undefined"))) void divideByZero() {
    volatile int dividend = 7;
    volatile int zero = 0;
    volatile int quotient = dividend / zero;
    (void)quotient;
}

// Main thread.
void handleLine(const std::string& line) {
    std::istringstream words(line);
    std::string command, first, second;
    words >> command >> first;
    std::getline(words >> std::ws, second);
    if (command == "page-begin" && !first.empty()) {
        Tally::beginLogPageView(Value(first));
    } else if (command == "page-end" && !first.empty()) {
        Tally::endLogPageView(Value(first));
    } else if (command == "event" && !first.empty()) {
        second.empty() ? Tally::event(Value(first)) : Tally::event(Value(first), Value(second));
    } else if (command == "fault" && first == "segv") {
        storeThroughNull();
    } else if (command == "fault" && first == "fpe") {
        divideByZero();
    } else {
        ControlChannel::execute(line);
    }
}


int usage() {
    std::fprintf(stderr, "usage: lv-analytics-probe --home DIR [--bundle DIR] [--map NAME=HOST:PORT]...\n");
    return 2;
}

int run(int argc, char** argv) {
    std::string home;
    std::string bundle = LV_DEFAULT_BUNDLE;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) return usage();
        const std::string value = argv[++i];
        if (option == "--home") {
            home = value;
        } else if (option == "--bundle") {
            bundle = value;
        } else if (option != "--map" || !HostMap::setFromText(value)) {
            return usage();
        }
    }
    if (home.empty() || !Sandbox::setRoot(home)) return usage();
    Bundle::setMainBundlePath(bundle);
    // The device reads as a simulator, so its access type is "WiFi" whatever this machine's interfaces.
    DeviceFacts facts = DeviceFacts::current();
    facts.machineName = "x86_64";
    DeviceFacts::set(facts);
    ClassDef<AnalyticsProbeDelegate>("AnalyticsProbeDelegate").factory().registerClass();

    ApplicationConfiguration configuration;
    configuration.controlInput = -1;  // the lines are read here, below
    Application::sharedApplication()->setConfiguration(configuration);
    std::thread([] {
        std::string line;
        while (std::getline(std::cin, line)) Queue::main()->async([line] { handleLine(line); });
    }).detach();
    return applicationMain(argc, argv, "", "AnalyticsProbeDelegate");
}

}  // namespace
}  // namespace lv

int main(int argc, char** argv) { return lv::run(argc, argv); }
