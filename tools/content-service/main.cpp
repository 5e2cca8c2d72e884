// The content-service stand-in as a program for the demo:
//   content-service [--port N] [--fixtures DIR]
// Serves on 127.0.0.1 until SIGINT or SIGTERM and prints one line per request.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "content_service.h"

int main(int argc, char** argv) {
    int port = 8765;
    std::string fixtures = LV_CONTENT_FIXTURES;
    for (int i = 1; i < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--port" && i + 1 < argc) {
            port = std::atoi(argv[i + 1]);
        } else if (option == "--fixtures" && i + 1 < argc) {
            fixtures = argv[i + 1];
        } else {
            std::fprintf(stderr, "usage: content-service [--port N] [--fixtures DIR]\n");
            return 2;
        }
    }
    // The signals are taken by sigwait below, not by a handler.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    lv::tools::ContentService service(fixtures);
    service.setRequestObserver([](const lv::tools::LoggedRequest& request) {
        std::printf("%s %s%s%s %s\n", request.method.c_str(), request.path.c_str(), request.query.empty() ? "" : "?",
                    request.query.c_str(), request.body.c_str());
        std::fflush(stdout);
    });
    // The exit stress and parallel demos keep many processes talking to one service.
    service.setWorkerCount(64);
    if (!service.start(port)) {
        std::fprintf(stderr, "content-service: cannot listen on 127.0.0.1:%d\n", port);
        return 1;
    }
    std::printf("content-service on %s\n", service.baseURL().c_str());
    std::fflush(stdout);
    int received = 0;
    sigwait(&signals, &received);
    service.stop();
    return 0;
}
