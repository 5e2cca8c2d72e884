// The analytics log-service stand-in as a program for the demo:
//   lv-analytics-service [--port N] [--fallback-port N] [--appkey KEY] [--imprint KEY[=VALUE]]...
//                        [--imprint-version N] [--social-text]
// Serves on 127.0.0.1 (port 0: any free one) until SIGINT or SIGTERM; prints the address, then one
// line per request and one per decoded upload. "--imprint KEY" without "=" sends the key without a
// value (the client deletes it).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include "analytics_service.h"

namespace {

void usage() {
    std::fprintf(stderr,
                 "usage: lv-analytics-service [--port N] [--fallback-port N] [--appkey KEY] [--imprint KEY[=VALUE]]...\n"
                 "                            [--imprint-version N] [--social-text]\n");
}

void printLines(lv::tools::AnalyticsService& service) {
    const std::string name = service.name();
    service.setRequestObserver([name](const lv::tools::LogServiceRequest& request) {
        std::printf("%s: %s %s (%zu bytes) -> %d\n", name.c_str(), request.method.c_str(), request.target.c_str(),
                    request.bodySize, request.status);
        std::fflush(stdout);
    });
    service.setUploadObserver([name](const lv::tools::RecordedUpload& upload) {
        std::printf("%s: upload %s\n", name.c_str(), lv::tools::describeUpload(upload).c_str());
        std::fflush(stdout);
    });
}

}  // namespace

int main(int argc, char** argv) {
    int port = 8766;
    int fallbackPort = -1;
    std::string appKey = "9f3b6c2a41e07d58b2c4a6e1";
    lv::tools::UploadReply reply;
    lv::tools::ReplyImprint imprint;
    bool socialJSON = true;
    const auto now = static_cast<std::int64_t>(std::time(nullptr)) * 1000;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == "--port" && hasValue) {
            port = std::atoi(argv[++i]);
        } else if (option == "--fallback-port" && hasValue) {
            fallbackPort = std::atoi(argv[++i]);
        } else if (option == "--appkey" && hasValue) {
            appKey = argv[++i];
        } else if (option == "--imprint" && hasValue) {
            std::string entry = argv[++i];
            auto equals = entry.find('=');
            lv::tools::ImprintEntry value{std::nullopt, now, "stand-in"};
            if (equals != std::string::npos) value.value = entry.substr(equals + 1);
            imprint.property[entry.substr(0, equals)] = value;
            reply.imprint = imprint;
        } else if (option == "--imprint-version" && hasValue) {
            imprint.version = std::atoi(argv[++i]);
            if (reply.imprint) reply.imprint->version = imprint.version;
        } else if (option == "--social-text") {
            socialJSON = false;
        } else {
            usage();
            return 2;
        }
    }
    // The signals are taken by sigwait below, not by a handler.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    lv::tools::AnalyticsService service(appKey);
    std::unique_ptr<lv::tools::AnalyticsService> fallback;
    service.setReply(reply);
    service.setSocialReply(socialJSON);
    printLines(service);
    if (!service.start(port)) {
        std::fprintf(stderr, "lv-analytics-service: cannot listen on 127.0.0.1:%d\n", port);
        return 1;
    }
    std::printf("lv-analytics-service on %s\n", service.baseURL().c_str());
    if (fallbackPort >= 0) {
        fallback = std::make_unique<lv::tools::AnalyticsService>(appKey, "fallback");
        fallback->setReply(reply);
        printLines(*fallback);
        if (!fallback->start(fallbackPort)) {
            std::fprintf(stderr, "lv-analytics-service: cannot listen on 127.0.0.1:%d\n", fallbackPort);
            return 1;
        }
        std::printf("fallback on %s\n", fallback->baseURL().c_str());
    }
    std::fflush(stdout);
    int received = 0;
    sigwait(&signals, &received);
    if (fallback) fallback->stop();
    service.stop();
    return 0;
}
