// The push-service stand-in as a program:
//   lunavexa-push-service [--http-port N] [--st N] [--gzip]
// Serves the HTTP channel on 127.0.0.1 until SIGINT or SIGTERM and prints one line per request.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "http_channel.h"

int main(int argc, char** argv) {
    int httpPort = 8081;
    lv::tools::HttpChannelReply reply;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--http-port" && i + 1 < argc) {
            httpPort = std::atoi(argv[++i]);
        } else if (option == "--st" && i + 1 < argc) {
            reply.st = std::atoi(argv[++i]);
        } else if (option == "--gzip") {
            reply.gzip = true;
        } else {
            std::fprintf(stderr, "usage: lunavexa-push-service [--http-port N] [--st N] [--gzip]\n");
            return 2;
        }
    }
    // The signals are taken by sigwait below, not by a handler.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    lv::tools::HttpChannel channel;
    channel.setReply(reply);
    channel.setRequestObserver([](const lv::tools::HttpChannelRequest& request) {
        std::printf("%s %s flag=%d %s\n", request.method.c_str(), request.path.c_str(), request.flag,
                    request.text.c_str());
        std::fflush(stdout);
    });
    if (!channel.start(httpPort)) {
        std::fprintf(stderr, "lunavexa-push-service: cannot listen on 127.0.0.1:%d\n", httpPort);
        return 1;
    }
    std::printf("push service HTTP channel on http://127.0.0.1:%d%s\n", channel.port(), lv::tools::kHttpChannelPath);
    std::fflush(stdout);
    int received = 0;
    sigwait(&signals, &received);
    channel.stop();
    return 0;
}
