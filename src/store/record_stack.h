// The record stack: one object-store stack for the whole process (a model, one coordinator with one
// SQLite store, and a tree of contexts over it), set up once and torn down at the end.
//
// RecordStack is the facade: set-up and clean-up, the layer's options, its logging mask and its error
// handling. Every failure of the layer that carries an error object goes to RecordStack::handleErrors;
// nothing is thrown to the caller.
//
// Threads: the process-wide state (options, defaults, handler) is guarded by one lock, which is never
// held while user code (error handlers, notification observers, blocks) runs. Set-up and clean-up run
// on the calling thread, normally the main thread.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/error.h"
#include "platform/base/object.h"
#include "platform/base/value.h"

namespace lv {

class ClassInfo;
class ManagedObjectContext;

// Logging mask bits: a line of the layer is written only when its bit is set in loggingLevel().
inline constexpr unsigned RSLogMaskError = 1;
inline constexpr unsigned RSLogMaskWarning = 2;
inline constexpr unsigned RSLogMaskInfo = 4;
inline constexpr unsigned RSLogMaskVerbose = 16;

// Save options (a bit mask; see store/saves.h).
using RSSaveOptions = unsigned;
inline constexpr RSSaveOptions RSSaveOptionParentContexts = 2;
inline constexpr RSSaveOptions RSSaveOptionSynchronously = 4;
inline constexpr RSSaveOptions RSSaveOptionSynchronouslyExceptRoot = 8;

// Runs once per save call, asynchronously on the main queue.
using RSSaveCompletionHandler = std::function<void(bool success, const Ref<Error>& error)>;
// The caller's changes, made in the context a save helper hands it.
using RSSaveBlock = std::function<void(const Ref<ManagedObjectContext>& localContext)>;

// Notifications of the layer (default centre, object nil unless said otherwise).
inline constexpr std::string_view kRecordStackCleanedUpNotification = "kRecordStackCleanedUpNotification";
inline constexpr std::string_view kRecordStackPSCMismatchWillDeleteStore = "kRecordStackPSCMismatchWillDeleteStore";
inline constexpr std::string_view kRecordStackPSCMismatchDidDeleteStore = "kRecordStackPSCMismatchDidDeleteStore";
inline constexpr std::string_view kRecordStackPSCMismatchCouldNotDeleteStore = "kRecordStackPSCMismatchCouldNotDeleteStore";
inline constexpr std::string_view kRecordStackPSCMismatchWillRecreateStore = "kRecordStackPSCMismatchWillRecreateStore";
inline constexpr std::string_view kRecordStackPSCMismatchDidRecreateStore = "kRecordStackPSCMismatchDidRecreateStore";
inline constexpr std::string_view kRecordStackPSCMismatchCouldNotRecreateStore = "kRecordStackPSCMismatchCouldNotRecreateStore";
inline constexpr std::string_view kRecordStackPSCDidCompleteiCloudSetupNotification =
    "kRecordStackPSCDidCompleteiCloudSetupNotification";
// Object: the merging context; user info: that of the import notification.
inline constexpr std::string_view kRecordStackDidMergeChangesFromiCloudNotification =
    "kRecordStackDidMergeChangesFromiCloudNotification";
// The user-info key of the failure notifications above.
inline constexpr std::string_view kRecordStackMismatchErrorKey = "Error";

class RecordStack {
public:
    RecordStack() = delete;

    // The number 230.
    static Value version();

    // ---- set-up: each does nothing while a stack is set up (until cleanUp) ----

    // The app's set-up: a coordinator over the default model with the SQLite store of that name in the
    // application-storage directory, opened without options; then the context tree over it.
    static void setupCoreDataStackWithStoreNamed(std::string_view storeName);
    static void setupCoreDataStack();  // with defaultStoreName()
    static void setupAutoMigratingCoreDataStack();
    static void setupCoreDataStackWithAutoMigratingSqliteStoreNamed(std::string_view storeName);
    static void setupCoreDataStackWithStoreAtURL(const std::filesystem::path& storeURL);
    static void setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(const std::filesystem::path& storeURL);
    static void setupCoreDataStackWithInMemoryStore();

    // cleanUpErrorHanding, cleanUpStack, then posts kRecordStackCleanedUpNotification.
    static void cleanUp();
    // Tears the context tree down, then drops the default model, coordinator and store.
    static void cleanUpStack();
    // A text description of the stack (model hashes, coordinator, store, default context and chain).
    static std::string currentStack();

    static void setDefaultModelNamed(std::string_view modelName);
    // The merged model of the bundle that holds the class (every class lives in the main bundle).
    static void setDefaultModelFromClass(const ClassInfo* cls);
    // "CFBundleName" of the main bundle (else "CoreDataStore.sqlite"), with ".sqlite" appended unless
    // it already ends in "sqlite".
    static std::string defaultStoreName();

    // ---- options ----
    static bool shouldAutoCreateManagedObjectModel();  // initially true
    static void setShouldAutoCreateManagedObjectModel(bool value);
    static bool shouldAutoCreateDefaultPersistentStoreCoordinator();  // initially false
    static void setShouldAutoCreateDefaultPersistentStoreCoordinator(bool value);
    static bool shouldDeleteStoreOnModelMismatch();  // initially false
    static void setShouldDeleteStoreOnModelMismatch(bool value);
    static unsigned loggingLevel();  // initially RSLogMaskError
    static void setLoggingLevel(unsigned level);

    // ---- error handling ----
    // The action a handler target takes errors with.
    using ErrorHandlerAction = std::function<void(Object& target, const Ref<Error>& error)>;

    // Nil does nothing. With a live target and an action, the action gets the error; otherwise
    // defaultErrorHandler does.
    static void handleErrors(const Ref<Error>& error);
    // Logs (mask bit 1) the user info's entries ("Error Details: %@" per element of an array value,
    // "Error: %@" for other values), then "Error Message: %@", "Error Domain: %@" and
    // "Recovery Suggestion: %@".
    static void defaultErrorHandler(const Ref<Error>& error);
    // The target is held weakly; once it is gone, errors go to the default handler again.
    static void setErrorHandlerTarget(const Ref<Object>& target, ErrorHandlerAction action);
    template <class T>
    static void setErrorHandlerTarget(const Ref<T>& target, void (T::*action)(const Ref<Error>&)) {
        ErrorHandlerAction wrapped;
        if (action) {
            wrapped = [action](Object& object, const Ref<Error>& error) {
                if (auto* typed = dynamic_cast<T*>(&object)) (typed->*action)(error);
            };
        }
        setErrorHandlerTarget(std::static_pointer_cast<Object>(target), std::move(wrapped));
    }
    static Ref<Object> errorHandlerTarget();
    static ErrorHandlerAction errorHandlerAction();
    // Clears target and action.
    static void cleanUpErrorHanding();

    // ---- save helpers (see store/saves.h for the save itself) ----
    // A new child of the root saving context; on its queue: working name "saveWithBlock:completion:",
    // the block, then a save with its parents (completion on the main queue).
    static void saveWithBlock(RSSaveBlock block);
    static void saveWithBlock(RSSaveBlock block, RSSaveCompletionHandler completion);
    // The same, synchronously, saving every level before returning.
    static void saveWithBlockAndWait(RSSaveBlock block);
    // The same with the current thread's context (the default context on the main thread).
    static void saveUsingCurrentThreadContextWithBlock(RSSaveBlock block, RSSaveCompletionHandler completion);
    static void saveUsingCurrentThreadContextWithBlockAndWait(RSSaveBlock block);
    static void saveInBackgroundWithBlock(RSSaveBlock block);
    // A new child of the root: block, save to the store and wait, then the completion on the child's
    // queue.
    static void saveInBackgroundWithBlock(RSSaveBlock block, std::function<void()> completion);
    static void saveInBackgroundUsingCurrentContextWithBlock(RSSaveBlock block, std::function<void()> completion,
                                                             std::function<void(const Ref<Error>&)> errorHandler);

    // ---- shared (cloud) store ----
    // Whether the last shared-store set-up found its container. Written under the lock.
    static bool isICloudEnabled();
    static void setICloudEnabled(bool enabled);
    // The shared-store set-ups: each does nothing while a stack is set up (until cleanUp); otherwise
    // the coordinator of RS_coordinatorWithiCloudContainerID (returned before its store exists) becomes
    // the default and the context tree is made over it. The store is added on a global queue; the
    // completion (when given) runs on the main queue, before kRecordStackPSCDidCompleteiCloudSetupNotification.
    // Without a content name key and path component.
    static void setupCoreDataStackWithiCloudContainer(std::string_view containerID, std::string_view localStoreName);
    static void setupCoreDataStackWithiCloudContainer(std::string_view containerID, std::string_view contentNameKey,
                                                      std::string_view localStoreName, std::string_view cloudStorePathComponent,
                                                      std::function<void()> completion = {});
    // (A store name given as a C string is a name, not a path.)
    static void setupCoreDataStackWithiCloudContainer(std::string_view containerID, const char* localStoreName) {
        setupCoreDataStackWithiCloudContainer(containerID, std::string_view(localStoreName));
    }
    static void setupCoreDataStackWithiCloudContainer(std::string_view containerID, std::string_view contentNameKey,
                                                      const char* localStoreName, std::string_view cloudStorePathComponent,
                                                      std::function<void()> completion = {}) {
        setupCoreDataStackWithiCloudContainer(containerID, contentNameKey, std::string_view(localStoreName), cloudStorePathComponent,
                                              std::move(completion));
    }
    // The store at a path; the two-argument form takes the main bundle's "CFBundleIdentifier" as content
    // name key.
    static void setupCoreDataStackWithiCloudContainer(std::string_view containerID, const std::filesystem::path& localStoreURL);
    static void setupCoreDataStackWithiCloudContainer(std::string_view containerID, std::string_view contentNameKey,
                                                      const std::filesystem::path& localStoreURL,
                                                      std::string_view cloudStorePathComponent, std::function<void()> completion = {});

    // ---- shorthand methods ----
    // Runs once per process: installs the store layer's resolvers on the classes of classesToSwizzle
    // that are registered with the runtime (only "ManagedObject" is), after adding the record classes'
    // class-side operations as hooks named "RS_…" (see RS_registerRecordClassHooks in records.h). From
    // then on a record class answers a class-side name without the prefix ("findAll" runs "RS_findAll").
    static void enableShorthandMethods();
    // "ManagedObject", "ManagedObjectContext", "ManagedObjectModel", "PersistentStore",
    // "PersistentStoreCoordinator", in this order.
    static std::vector<std::string> classesToSwizzle();
    // ["entityName"] (the resolvers test the suffix themselves).
    static Array methodNameBlacklist();
    // The resolvers as they run on a class: the class's previous resolver first (kept as the class hook
    // "RS_resolveClassMethod:" / instance hook "RS_resolveInstanceMethod:"), then the alias of the
    // "RS_"-prefixed hook, added under the name asked for.
    static bool RS_resolveClassMethod(const ClassInfo& receiver, std::string_view name);
    static bool RS_resolveInstanceMethod(const ClassInfo& receiver, std::string_view name);
    // Keeps the class's current resolvers under the names above and, only when that succeeds, puts the
    // store layer's in their place.
    static void updateResolveMethodsForClass(const ClassInfo* cls);
};

// A mutable copy of the dictionary with every entry of the other added; on equal keys the other's
// value wins.
Dictionary RS_dictionaryByMergingDictionary(const Dictionary& dictionary, const Dictionary& other);

}  // namespace lv
