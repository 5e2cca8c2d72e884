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
    EXPECT_TRUE(runMainUntil([&] { return drained; }, 10));
}

// Every start and finish notification whose object is the operation, as "start"/"finish", with a
// check that each arrives on the main thread with no user info.
class OperationNotifications {
public:
    explicit OperationNotifications(const Ref<Object>& op) {
        for (const auto* name : {"com.httpclient.networking.operation.start", "com.httpclient.networking.operation.finish"}) {
            tokens_.push_back(NotificationCenter::defaultCenter()->addObserverForName(
                name, op, nullptr, [this](const Notification& n) {
                    EXPECT_TRUE(Thread::isMainThread());
                    EXPECT_TRUE(n.userInfo().empty());
                    std::lock_guard guard(mutex_);
                    names_.push_back(n.name() == "com.httpclient.networking.operation.start" ? "start" : "finish");
                }));
        }
    }
    ~OperationNotifications() {
        for (const auto& token : tokens_) NotificationCenter::defaultCenter()->removeObserver(token.get());
    }
    std::vector<std::string> names() const {
        std::lock_guard guard(mutex_);
        return names_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> names_;
    std::vector<Ref<Object>> tokens_;
};

inline bool waitFinished(const Ref<HCURLConnectionOperation>& op, double seconds = 10) {
    return runMainUntil([&] { return op->isFinished(); }, seconds);
}

}  // namespace lv::test
