// Helpers of the operation tests: a recorder of the operation notifications, URL requests for the
// loopback servers, their pattern bodies, and draining the main queue.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "http/url_connection_operation.h"
#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/run_loop.h"
#include "platform/dispatch/thread.h"
#include "platform/net/fixtures.h"
#include "platform/net/url.h"

namespace lv::test {

inline URLRequest requestFor(const std::string& url) { return URLRequest(URL::URLWithString(url)); }

// The fixtures' first n pattern bytes.
inline Bytes pattern(std::size_t n) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = patternByte(i);
    return out;
}

// Blocks already queued on the main queue have run once this returns.
inline void drainMainQueue() {
    bool drained = false;
    Queue::main()->async([&] { drained = true; });
    EXPECT_TRUE(runMainUntil([&] { return drained; }, 60));  // a hang guard: room for a busy machine
}

// Every notification of the names (whose object is the given one, when given): its object, its user
// info and whether it arrived on the main thread.
class NotificationLog {
public:
    struct Entry {
        std::string name;
        Ref<Object> object;
        Dictionary userInfo;
        bool onMain = false;
    };
    explicit NotificationLog(const std::vector<std::string>& names, const Ref<Object>& object = nullptr) {
        for (const auto& name : names) {
            tokens_.push_back(NotificationCenter::defaultCenter()->addObserverForName(
                name, object, nullptr, [this](const Notification& n) {
                    std::lock_guard guard(mutex_);
                    entries_.push_back({n.name(), n.object(), n.userInfo(), Thread::isMainThread()});
                }));
        }
    }
    ~NotificationLog() {
        for (const auto& token : tokens_) NotificationCenter::defaultCenter()->removeObserver(token.get());
    }
    std::vector<Entry> entries() const {
        std::lock_guard guard(mutex_);
        return entries_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    std::vector<Ref<Object>> tokens_;
};

// The operation's start and finish notifications as "start"/"finish", each checked to have arrived
// on the main thread with no user info.
class OperationNotifications {
public:
    explicit OperationNotifications(const Ref<Object>& op)
        : log_({"com.httpclient.networking.operation.start", "com.httpclient.networking.operation.finish"}, op) {}
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& entry : log_.entries()) {
            EXPECT_TRUE(entry.onMain);
            EXPECT_TRUE(entry.userInfo.empty());
            out.push_back(entry.name.substr(entry.name.rfind('.') + 1));
        }
        return out;
    }

private:
    NotificationLog log_;
};

inline bool waitFinished(const Ref<HCURLConnectionOperation>& op, double seconds = 60) {
    return runMainUntil([&] { return op->isFinished(); }, seconds);
}

}  // namespace lv::test
