// Helpers of the session manager tests: a task run to its completion handler, and the end of a
// manager (its session invalidated, which releases the manager).
#pragma once

#include <gtest/gtest.h>


#include "http/url_session_manager.h"
#include "operation_test_support.h"
#include "platform/dispatch/operation.h"
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
    return runMainUntil([&] { return record->done; }, 60);  // a hang guard: room for a busy machine
}

// Invalidates the session, cancelling its tasks, and waits until it let go of the manager: the session
// drops its delegate at the start of the invalidation call on the delegate queue, which holds the
// manager until the call has returned, so the wait ends with that queue's last operation.
inline void endManager(const Ref<HCURLSessionManager>& manager) {
    manager->invalidateSessionCancelingTasks(true);
    EXPECT_TRUE(runMainUntil([&] { return manager->session()->delegate() == nullptr; }, 60));
    manager->session()->delegateQueue()->waitUntilAllOperationsAreFinished();
}

}  // namespace lv::test
