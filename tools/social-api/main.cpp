// The social-API stand-in as a program for the demo and the command tests:
//   social-api [--https-port N] [--http-port N] [--root-pem FILE] [--deny]
// Serves on 127.0.0.1 until SIGINT or SIGTERM, writes the root certificate to FILE (PEM) and prints
// one line per request.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "social_api.h"

int main(int argc, char** argv) {
    int httpsPort = 0;
    int httpPort = 0;
    std::string rootPEM;
    bool deny = false;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--https-port" && i + 1 < argc) {
            httpsPort = std::atoi(argv[++i]);
        } else if (option == "--http-port" && i + 1 < argc) {
            httpPort = std::atoi(argv[++i]);
        } else if (option == "--root-pem" && i + 1 < argc) {
            rootPEM = argv[++i];
        } else if (option == "--deny") {
            deny = true;
        } else {
            std::fprintf(stderr, "usage: social-api [--https-port N] [--http-port N] [--root-pem FILE] [--deny]\n");
            return 2;
        }
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    lv::tools::SocialApi api;
    if (deny) {
        lv::tools::SocialBehaviour refuse;
        refuse.deny = true;
        api.setBehaviour("/oauth2/authorize", refuse);
    }
    api.setRequestObserver([](const lv::tools::SocialRequest& request) {
        std::string line = request.method + " " + (request.secure ? "https " : "http ") + request.path;
        for (const auto& [name, value] : request.params) line += " " + name + "=" + value;
        for (const auto& part : request.parts) {
            if (!part.filename.empty()) line += " [" + part.name + " " + std::to_string(part.size) + " md5 " + part.md5 + "]";
        }
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    });
    if (!api.start(httpsPort, httpPort)) {
        std::fprintf(stderr, "social-api: cannot listen on 127.0.0.1\n");
        return 1;
    }
    if (!rootPEM.empty()) {
        std::ofstream(rootPEM) << api.rootCertificatePEM();
    }
    std::printf("social-api https 127.0.0.1:%d http 127.0.0.1:%d\n", api.httpsPort(), api.httpPort());
    std::fflush(stdout);
    int received = 0;
    sigwait(&signals, &received);
    api.stop();
    return 0;
}
