// Helpers of the session manager tests: a task run to its completion handler, the task notifications
// a test saw, and the end of a manager (its session invalidated, which releases the manager).
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "http/url_session_manager.h"
#include "operation_test_support.h"
#include "platform/dispatch/run_loop.h"
#include "platform/dispatch/thread.h"

namespace lv::test {

struct Completion {
    bool done = false;
    bool onMainThread = false;
    Ref<URLResponse> response;
    Value object;
    Ref<Error> error;
};

// A completion handler that fills the record.
inline HCURLSessionManager::CompletionHandler recordInto(const std::shared_ptr<Completion>& record) {
    return [record](const Ref<URLResponse>& response, const Value& object, const Ref<Error>& error) {
        record->onMainThread = Thread::isMainThread();
        record->response = response;
        record->object = object;
        record->error = error;
        record->done = true;
    };
}

inline bool waitDone(const std::shared_ptr<Completion>& record) {
    return runMainUntil([&] { return record->done; }, 10);
}

// Every notification of the names, with its object and user info (main thread only).
class TaskNotifications {
public:
    struct Entry {
        std::string name;
        Ref<Object> object;
        Dictionary userInfo;
    };
    explicit TaskNotifications(std::vector<std::string> names) {
        for (const auto& name : names) {
            tokens_.push_back(NotificationCenter::defaultCenter()->addObserverForName(
                name, nullptr, nullptr, [this](const Notification& n) {
                    std::lock_guard guard(mutex_);
                    entries_.push_back({n.name(), n.object(), n.userInfo()});
                }));
        }
    }
    ~TaskNotifications() {
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

// Invalidates the session, cancelling its tasks, and waits until it let go of the manager.
inline void endManager(const Ref<HCURLSessionManager>& manager) {
    manager->invalidateSessionCancelingTasks(true);
    EXPECT_TRUE(runMainUntil([&] { return manager->session()->delegate() == nullptr; }, 10));
}

}  // namespace lv::test
