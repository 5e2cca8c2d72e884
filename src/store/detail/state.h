// The layer's process-wide state, behind one lock, and its masked logging.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>

#include "platform/base/error.h"
#include "platform/base/log.h"
#include "platform/base/object.h"
#include "platform/data/context.h"
#include "platform/data/coordinator.h"
#include "platform/data/model.h"
#include "store/record_stack.h"

namespace lv::store_detail {

struct StackState {
    std::mutex mutex;
    // Options.
    bool autoCreateModel = true;
    bool autoCreateCoordinator = false;
    bool deleteOnMismatch = false;
    bool iCloudEnabled = false;
    // Error handler.
    Weak<Object> errorTarget;
    RecordStack::ErrorHandlerAction errorAction;
    // Defaults.
    Ref<ManagedObjectModel> model;
    Ref<PersistentStoreCoordinator> coordinator;
    Ref<PersistentStore> store;
    Ref<ManagedObjectContext> defaultContext;
    Ref<ManagedObjectContext> rootContext;
    // The one registration for the root's did-save notification, and the shared-store set-up observer.
    Ref<Object> rootDidSaveToken;
    Ref<Object> iCloudSetupToken;
    std::size_t defaultBatchSize = 20;
};

// Never destroyed: contexts and handlers may still be in use while the process exits.
StackState& state();

std::atomic<unsigned>& loggingLevelStorage();
std::atomic<std::int32_t>& threadContextCacheVersion();

inline bool logEnabled(unsigned bit) { return (loggingLevelStorage().load(std::memory_order_relaxed) & bit) != 0; }

// Writes the line when the mask has the bit (read again for each line).
template <class... Args>
void logMasked(unsigned bit, std::string_view fmt, const Args&... args) {
    if (logEnabled(bit)) log(fmt, args...);
}

// The stored default coordinator, never auto-created.
Ref<PersistentStoreCoordinator> storedDefaultCoordinator();
// A new coordinator over the default model; null when there is no model.
Ref<PersistentStoreCoordinator> newDefaultModelCoordinator();

// Runs fn, turning an exception it throws into an error (Cocoa domain, the code given, the reason).
template <class Fn>
bool guarded(std::int64_t code, Ref<Error>* error, Fn&& fn);
Ref<Error> errorFromException(std::int64_t code, std::string_view reason, const Dictionary& userInfo = {});

template <class Fn>
bool guarded(std::int64_t code, Ref<Error>* error, Fn&& fn) {
    try {
        fn();
        return true;
    } catch (const Exception& e) {
        setError(error, errorFromException(code, e.reason(), e.userInfo()));
    } catch (const std::exception& e) {
        setError(error, errorFromException(code, e.what()));
    } catch (...) {
        setError(error, errorFromException(code, "Unknown exception"));
    }
    return false;
}

}  // namespace lv::store_detail
