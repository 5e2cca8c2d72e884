// The lifecycle every stand-in service shares: one HTTP server on 127.0.0.1 served on a thread of
// its own, started and stopped by the test or program that owns it.
//
// Threads: start, stop and the destructor on the owner's thread; port and baseURL from any thread;
// waitUnlessStopped on the server's threads (a delayed reply), ended early by stop.
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace lv::tools {

class LoopbackService {
public:
    LoopbackService(const LoopbackService&) = delete;
    LoopbackService& operator=(const LoopbackService&) = delete;

    // Binds 127.0.0.1 (port 0: any free port) and serves; returns once the server listens (a stop that
    // came before the listener ran would be lost, and the join would wait forever). False when the
    // port cannot be bound.
    bool start(int port = 0);
    // Ends the delayed replies at once, stops serving and joins the server's thread.
    void stop();
    int port() const;
    std::string baseURL() const;  // "http://127.0.0.1:<port>"
    // Serves with this many workers (before start). Each kept-alive connection holds one, so a service
    // that many processes use at once (a stand-in program under the exit stress) needs more than the
    // library's default.
    void setWorkerCount(std::size_t workers) {
        server_->new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
    }

protected:
    LoopbackService();
    // A derived service stops in its own destructor, before its state goes.
    ~LoopbackService();

    // Waits the seconds, less when stop() comes; false when stopped.
    bool waitUnlessStopped(double seconds);

    std::unique_ptr<httplib::Server> server_;
    // Guards the service's state, this class's and the derived service's.
    mutable std::mutex mutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;

private:
    std::thread thread_;
    int port_ = 0;
};

inline LoopbackService::LoopbackService() : server_(std::make_unique<httplib::Server>()) {
    // Idle kept-alive connections end soon, so that stop() does not wait long for them.
    server_->set_keep_alive_timeout(1);
    // Replies go out as soon as they are written. With the kernel's small-segment delay on, a reply
    // whose body follows its header in a second short write waits for the client's delayed
    // acknowledgement (about 40 ms on Linux), which a real server does not impose.
    server_->set_tcp_nodelay(true);
}

inline LoopbackService::~LoopbackService() { stop(); }

inline bool LoopbackService::start(int port) {
    const int bound =
        port == 0 ? server_->bind_to_any_port("127.0.0.1") : (server_->bind_to_port("127.0.0.1", port) ? port : -1);
    if (bound <= 0) return false;
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (!server_->is_running()) std::this_thread::yield();
    std::lock_guard lock(mutex_);
    port_ = bound;
    stopping_ = false;
    return true;
}

inline void LoopbackService::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stopped_.notify_all();
    server_->stop();
    if (thread_.joinable()) thread_.join();
}

inline int LoopbackService::port() const {
    std::lock_guard lock(mutex_);
    return port_;
}

inline std::string LoopbackService::baseURL() const { return "http://127.0.0.1:" + std::to_string(port()); }

inline bool LoopbackService::waitUnlessStopped(double seconds) {
    std::unique_lock lock(mutex_);
    return !stopped_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return stopping_; });
}

}  // namespace lv::tools
