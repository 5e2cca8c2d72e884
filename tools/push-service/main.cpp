// The push-service stand-in as a program:
//   lunavexa-push-service [--http-port N] [--st N] [--gzip]
//                         [--frame-port N] [--tls-port N --cert FILE --key FILE] [--push TOKEN:BID:TS]...
// Serves the HTTP channel and the frame server (port 8080 unless given; TLS only with a certificate)
// on 127.0.0.1 until SIGINT or SIGTERM and prints one line per request and frame event. Each --push
// queues a message for the token and prints the payload the app receives, as "payload <json>".
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <vector>

#include "frame_server.h"
#include "http_channel.h"

int main(int argc, char** argv) {
    int httpPort = 8081;
    lv::tools::HttpChannelReply reply;
    int framePort = 8080;
    int tlsPort = 0;
    std::string certificate;
    std::string key;
    std::vector<std::string> pushes;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--http-port" && i + 1 < argc) {
            httpPort = std::atoi(argv[++i]);
        } else if (option == "--st" && i + 1 < argc) {
            reply.st = std::atoi(argv[++i]);
        } else if (option == "--gzip") {
            reply.gzip = true;
        } else if (option == "--frame-port" && i + 1 < argc) {
            framePort = std::atoi(argv[++i]);
        } else if (option == "--tls-port" && i + 1 < argc) {
            tlsPort = std::atoi(argv[++i]);
        } else if (option == "--cert" && i + 1 < argc) {
            certificate = argv[++i];
        } else if (option == "--key" && i + 1 < argc) {
            key = argv[++i];
        } else if (option == "--push" && i + 1 < argc) {
            pushes.emplace_back(argv[++i]);
        } else {
            std::fprintf(stderr,
                         "usage: lunavexa-push-service [--http-port N] [--st N] [--gzip] [--frame-port N]\n"
                         "       [--tls-port N --cert FILE --key FILE] [--push TOKEN:BID:TS]...\n");
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
    lv::tools::PushFrameServer frames;
    frames.setEventObserver([](const std::string& line) {
        std::printf("frame server: %s\n", line.c_str());
        std::fflush(stdout);
    });
    if (!frames.start(framePort, certificate, key, tlsPort)) {
        std::fprintf(stderr, "lunavexa-push-service: cannot serve frames on 127.0.0.1:%d\n", framePort);
        return 1;
    }
    std::printf("push service frames on 127.0.0.1:%d\n", frames.port());
    if (!certificate.empty()) {
        std::printf("push service TLS frames on 127.0.0.1:%d\n", frames.tlsPort());
    }
    for (const std::string& push : pushes) {
        const auto first = push.find(':');
        const auto second = push.find(':', first == std::string::npos ? first : first + 1);
        if (first == std::string::npos || second == std::string::npos) {
            std::fprintf(stderr, "lunavexa-push-service: --push takes TOKEN:BID:TS\n");
            return 2;
        }
        const std::string payload =
            frames.push(push.substr(0, first), static_cast<std::uint32_t>(std::strtoul(push.c_str() + first + 1, nullptr, 10)),
                        static_cast<std::uint32_t>(std::strtoul(push.c_str() + second + 1, nullptr, 10)));
        std::printf("payload %s\n", payload.c_str());
    }
    std::fflush(stdout);
    int received = 0;
    sigwait(&signals, &received);
    frames.stop();
    channel.stop();
    return 0;
}
