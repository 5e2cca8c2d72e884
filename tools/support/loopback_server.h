// Runs a stand-in's HTTP server on 127.0.0.1 on a thread of its own.
//
// Threads: call from the thread that owns the server and the thread object; the server then serves
// on the new thread until server.stop() and a join.
#pragma once

#include <httplib.h>

#include <thread>

namespace lv::tools {

// Binds the server to 127.0.0.1 (port 0: any free port), starts it on the thread and returns once it
// listens (a stop that came before the listener ran would be lost, and the join would wait forever).
// Answers the port, or -1 when it cannot be bound.
inline int serveOnLoopback(httplib::Server& server, int port, std::thread& thread) {
    const int bound =
        port == 0 ? server.bind_to_any_port("127.0.0.1") : (server.bind_to_port("127.0.0.1", port) ? port : -1);
    if (bound <= 0) return -1;
    thread = std::thread([&server] { server.listen_after_bind(); });
    while (!server.is_running()) std::this_thread::yield();
    return bound;
}

}  // namespace lv::tools
