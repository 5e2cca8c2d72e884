#include "store/contexts.h"

#include "platform/base/format.h"
#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/operation.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/thread.h"
#include "store/detail/state.h"
#include "store/record_stack.h"

namespace lv {

using store_detail::logEnabled;
using store_detail::logMasked;
using store_detail::state;
using store_detail::StackState;

namespace {

Ref<NotificationCenter> center() { return NotificationCenter::defaultCenter(); }

// A context's observations are registered under its address. This object lives in the context's
// associated storage and removes them when the context goes away, so that a later object at the same
// address inherits none of them.
class ObserverCleanup : public Object {
public:
    explicit ObserverCleanup(const void* observer) : observer_(observer) {}
    ~ObserverCleanup() override { NotificationCenter::defaultCenter()->removeObserver(observer_); }

private:
    const void* observer_;
};

const int kObserverCleanupKey = 0;

void ensureObserverCleanup(const Ref<ManagedObjectContext>& context) {
    static std::mutex* mutex = new std::mutex();  // one holder per context, also when threads race
    std::lock_guard lock(*mutex);
    if (context->associatedValue(&kObserverCleanupKey).isNil()) {
        context->setAssociatedValue(&kObserverCleanupKey, Value(makeRef<ObserverCleanup>(context.get())));
    }
}

// Configures a context that is not yet published: on its queue, or directly for a main-queue context
// handed over from another thread (nobody else can reach it yet, and waiting for the main thread
// could block).
void configure(const Ref<ManagedObjectContext>& context, const std::function<void()>& fn) {
    if (context->concurrencyType() == ManagedObjectContextConcurrencyType::MainQueue && !Thread::isMainThread()) {
        fn();
    } else {
        context->performAndWait(fn);
    }
}

void storeWorkingName(ManagedObjectContext& context, std::string_view name) {
    context.userInfo().set(std::string(kRecordStackContextWorkingNameKey), Value(std::string(name)));
}

std::string readWorkingName(const ManagedObjectContext& context) {
    const Value& name = context.userInfo().get(kRecordStackContextWorkingNameKey);
    if (!name.isString() || name.string().empty()) return std::string(kRecordStackUntitledContextName);
    return name.string();
}

// Keeps exactly one registration for the root's did-save notification: the current root's, while both
// a root and a default context are installed.
std::mutex& registrationMutex() {
    static std::mutex* m = new std::mutex();
    return *m;
}

void updateRootDidSaveRegistration() {
    std::lock_guard guard(registrationMutex());
    StackState& s = state();
    Ref<Object> oldToken;
    Ref<ManagedObjectContext> root;
    bool hasDefault = false;
    {
        std::lock_guard lock(s.mutex);
        oldToken = std::move(s.rootDidSaveToken);
        s.rootDidSaveToken = nullptr;
        root = s.rootContext;
        hasDefault = s.defaultContext != nullptr;
    }
    if (oldToken) center()->removeObserver(oldToken.get());
    if (!root || !hasDefault) return;
    Ref<Object> token = center()->addObserverForName(kManagedObjectContextDidSaveNotification, root, nullptr,
                                                     [](const Notification& n) { rootContextDidSave(n); });
    std::lock_guard lock(s.mutex);
    s.rootDidSaveToken = std::move(token);
}

}  // namespace

// ---- the tree ----

void RS_initializeDefaultContextWithCoordinator(const Ref<PersistentStoreCoordinator>& coordinator) {
    if (RS_defaultContext()) return;
    Ref<ManagedObjectContext> root = RS_contextWithStoreCoordinator(coordinator);
    RS_setRootSavingContext(root);
    Ref<ManagedObjectContext> context = RS_newMainQueueContext();
    if (root) context->setParentContext(root);  // before publishing, so no one sees it without its parent
    RS_setDefaultContext(context);
}

Ref<ManagedObjectContext> RS_defaultContext() {
    std::lock_guard lock(state().mutex);
    return state().defaultContext;
}

Ref<ManagedObjectContext> RS_rootSavingContext() {
    std::lock_guard lock(state().mutex);
    return state().rootContext;
}

Ref<ManagedObjectContext> RS_context() { return RS_contextWithParent(RS_rootSavingContext()); }

Ref<ManagedObjectContext> RS_contextWithParent(const Ref<ManagedObjectContext>& parent) {
    Ref<ManagedObjectContext> context = RS_newPrivateQueueContext();
    context->setParentContext(parent);
    RS_obtainPermanentIDsBeforeSaving(context);
    return context;
}

Ref<ManagedObjectContext> RS_contextWithStoreCoordinator(const Ref<PersistentStoreCoordinator>& coordinator) {
    if (!coordinator) return nullptr;
    Ref<ManagedObjectContext> context = RS_newPrivateQueueContext();
    context->performAndWait([&] { context->setPersistentStoreCoordinator(coordinator); });
    if (logEnabled(RSLogMaskVerbose)) {
        logMasked(RSLogMaskVerbose, "Created new context %@ with store coordinator: %@", RS_workingName(context), coordinator);
    }
    return context;
}

Ref<ManagedObjectContext> RS_newMainQueueContext() {
    auto context = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::MainQueue);
    logMasked(RSLogMaskInfo, "Created new main queue context: %@", context);
    return context;
}

Ref<ManagedObjectContext> RS_newPrivateQueueContext() {
    auto context = ManagedObjectContext::make(ManagedObjectContextConcurrencyType::PrivateQueue);
    logMasked(RSLogMaskInfo, "Created new private queue context: %@", context);
    return context;
}

void RS_setWorkingName(const Ref<ManagedObjectContext>& context, std::string_view workingName) {
    if (!context) return;
    context->performAndWait([&] { storeWorkingName(*context, workingName); });
}

std::string RS_workingName(const Ref<ManagedObjectContext>& context) {
    if (!context) return std::string(kRecordStackUntitledContextName);
    std::string name;
    context->performAndWait([&] { name = readWorkingName(*context); });
    return name;
}

std::string RS_description(const Ref<ManagedObjectContext>& context) {
    if (!context) return std::string();
    const char* thread = Thread::isMainThread() ? "the main thread" : "a background thread";
    return format("<%@ (%p): %@> on %@", context->className(), static_cast<const void*>(context.get()), RS_workingName(context), thread);
}

std::string RS_parentChain(const Ref<ManagedObjectContext>& context) {
    std::string out = "\n";
    for (Ref<ManagedObjectContext> c = context; c; c = c->parentContext()) {
        out += format("- %@ (%p) %@\n", RS_workingName(c), static_cast<const void*>(c.get()), c == context ? "(*)" : "");
    }
    return out;
}

void RS_resetDefaultContext() {
    if (!Thread::isMainThread()) {
        Queue::main()->async([] { RS_resetDefaultContext(); });
        return;
    }
    if (auto context = RS_defaultContext()) context->reset();
}

void RS_deleteObjects(const Ref<ManagedObjectContext>& context, const std::vector<Ref<ManagedObject>>& objects) {
    if (!context) return;
    context->performAndWait([&] {
        for (const auto& object : objects) context->deleteObject(object);
    });
}

void RS_contextWillSave(const Ref<ManagedObjectContext>& context, const Notification& notification) {
    (void)notification;
    if (!context) return;
    Ref<Error> error;
    bool ok = true;
    context->performAndWait([&] {
        const std::vector<Ref<ManagedObject>> inserted = context->insertedObjects();
        if (inserted.empty()) return;
        if (logEnabled(RSLogMaskVerbose)) {
            logMasked(RSLogMaskVerbose, "Context '%@' is about to save: obtaining permanent IDs for %lu new inserted object(s).",
                      readWorkingName(*context), static_cast<unsigned long>(inserted.size()));
        }
        ok = context->obtainPermanentIDsForObjects(inserted, &error);
    });
    if (!ok) RecordStack::handleErrors(error);
}

void rootContextDidSave(const Notification& notification) {
    Ref<ManagedObjectContext> root = RS_rootSavingContext();
    if (!root || notification.object().get() != root.get()) return;
    if (!Thread::isMainThread()) {
        Ref<Notification> copy = Notification::make(notification.name(), notification.object(), notification.userInfo());
        Queue::main()->async([copy] { rootContextDidSave(*copy); });
        return;
    }
    Ref<ManagedObjectContext> context = RS_defaultContext();
    if (!context) return;
    // Load what the default context holds as faults of the updated records before merging, so that
    // their new values are seen (and reported) at once.
    for (const Value& value : notification.userInfo().get(kUpdatedObjectsKey).array()) {
        auto record = ManagedObject::fromValue(value);
        if (!record) continue;
        if (auto mine = context->objectWithID(record->objectID())) mine->willAccessValueForKey();
    }
    context->mergeChangesFromContextDidSaveNotification(notification);
}

void RS_cleanUp() {
    RS_setDefaultContext(nullptr);
    RS_setRootSavingContext(nullptr);
    RS_clearNonMainThreadContextsCache();
}

void RS_obtainPermanentIDsBeforeSaving(const Ref<ManagedObjectContext>& context) {
    if (!context) return;
    ensureObserverCleanup(context);
    Weak<ManagedObjectContext> weak = context;
    center()->addObserver(context.get(), kManagedObjectContextWillSaveNotification, context, [weak](const Notification& n) {
        if (auto c = weak.lock()) RS_contextWillSave(c, n);
    });
}

void RS_setDefaultContext(const Ref<ManagedObjectContext>& context) {
    StackState& s = state();
    Ref<ManagedObjectContext> old;
    Ref<PersistentStoreCoordinator> coordinator;
    Ref<Object> iCloudToken;
    bool iCloud = false;
    {
        std::lock_guard lock(s.mutex);
        old = s.defaultContext;
        coordinator = s.coordinator;  // the stored one: clean-up must not create a coordinator
        iCloudToken = std::move(s.iCloudSetupToken);
        s.iCloudSetupToken = nullptr;
        iCloud = s.iCloudEnabled;
    }
    if (old) center()->removeObserver(old.get());
    if (iCloudToken) center()->removeObserver(iCloudToken.get());
    if (iCloud && old) RS_stopObservingiCloudChangesInCoordinator(old, coordinator);

    if (context) {
        configure(context, [&] { storeWorkingName(*context, kRecordStackDefaultContextName); });
        RS_obtainPermanentIDsBeforeSaving(context);
    }
    {
        std::lock_guard lock(s.mutex);
        s.defaultContext = context;
    }
    updateRootDidSaveRegistration();

    if (context) {
        if (iCloud) {
            RS_observeiCloudChangesInCoordinator(context, coordinator);
        } else {
            Ref<Object> token = center()->addObserverForName(
                kRecordStackPSCDidCompleteiCloudSetupNotification, nullptr, OperationQueue::mainQueue(), [coordinator](const Notification&) {
                    if (auto current = RS_defaultContext()) RS_observeiCloudChangesInCoordinator(current, coordinator);
                });
            std::lock_guard lock(s.mutex);
            s.iCloudSetupToken = std::move(token);
        }
    }
    logMasked(RSLogMaskInfo, "Set default context: %@", context ? Value(context) : Value());
}

void RS_setRootSavingContext(const Ref<ManagedObjectContext>& context) {
    StackState& s = state();
    Ref<ManagedObjectContext> old;
    {
        std::lock_guard lock(s.mutex);
        old = s.rootContext;
    }
    if (old) center()->removeObserver(old.get());
    if (context) {
        // Configured before anyone can reach it: a save or clean-up right after this call finds the
        // root complete.
        RS_obtainPermanentIDsBeforeSaving(context);
        context->performAndWait([&] {
            context->setMergePolicy(MergePolicyType::MergeByPropertyObjectTrump);
            storeWorkingName(*context, kRecordStackRootSavingContextName);
        });
    }
    {
        std::lock_guard lock(s.mutex);
        s.rootContext = context;
    }
    updateRootDidSaveRegistration();
    logMasked(RSLogMaskInfo, "Set root saving context: %@", context ? Value(context) : Value());
}

Ref<ManagedObjectContext> RS_contextWithoutParent() { return RS_newPrivateQueueContext(); }
Ref<ManagedObjectContext> RS_newContext() { return RS_context(); }
Ref<ManagedObjectContext> RS_newContextWithParent(const Ref<ManagedObjectContext>& parent) { return RS_contextWithParent(parent); }
Ref<ManagedObjectContext> RS_newContextWithStoreCoordinator(const Ref<PersistentStoreCoordinator>& coordinator) {
    return RS_contextWithStoreCoordinator(coordinator);
}

// ---- observing ----

void RS_observeContext(const Ref<ManagedObjectContext>& context, const Ref<ManagedObjectContext>& other) {
    if (!context || !other) return;
    ensureObserverCleanup(context);
    Weak<ManagedObjectContext> weak = context;
    center()->addObserver(context.get(), kManagedObjectContextDidSaveNotification, other, [weak](const Notification& n) {
        if (auto c = weak.lock()) RS_mergeChangesFromNotification(c, n);
    });
}

void RS_stopObservingContext(const Ref<ManagedObjectContext>& context, const Ref<ManagedObjectContext>& other) {
    if (!context || !other) return;
    center()->removeObserver(context.get(), kManagedObjectContextDidSaveNotification, other);
}

void RS_observeContextOnMainThread(const Ref<ManagedObjectContext>& context, const Ref<ManagedObjectContext>& other) {
    if (!context || !other) return;
    ensureObserverCleanup(context);
    Weak<ManagedObjectContext> weak = context;
    center()->addObserver(context.get(), kManagedObjectContextDidSaveNotification, other, [weak](const Notification& n) {
        if (auto c = weak.lock()) RS_mergeChangesOnMainThread(c, n);
    });
}

void RS_mergeChangesFromNotification(const Ref<ManagedObjectContext>& context, const Notification& notification) {
    if (!context) return;
    if (logEnabled(RSLogMaskVerbose)) {
        logMasked(RSLogMaskVerbose, "Merging changes to %@context%@", context == RS_defaultContext() ? "*** DEFAULT *** " : "",
                  Thread::isMainThread() ? " *** on Main Thread ***" : "");
    }
    context->performAndWait([&] { context->mergeChangesFromContextDidSaveNotification(notification); });
}

void RS_mergeChangesOnMainThread(const Ref<ManagedObjectContext>& context, const Notification& notification) {
    if (Thread::isMainThread()) {
        RS_mergeChangesFromNotification(context, notification);
        return;
    }
    performOnMainThread([&] { RS_mergeChangesFromNotification(context, notification); }, true);
}

void RS_observeiCloudChangesInCoordinator(const Ref<ManagedObjectContext>& context, const Ref<PersistentStoreCoordinator>& coordinator) {
    if (!context || !RecordStack::isICloudEnabled()) return;
    ensureObserverCleanup(context);
    Weak<ManagedObjectContext> weak = context;
    center()->addObserver(context.get(), kPersistentStoreDidImportUbiquitousContentChangesNotification, coordinator,
                          [weak](const Notification& n) {
                              if (auto c = weak.lock()) RS_mergeChangesFromiCloud(c, n);
                          });
}

void RS_stopObservingiCloudChangesInCoordinator(const Ref<ManagedObjectContext>& context,
                                                const Ref<PersistentStoreCoordinator>& coordinator) {
    if (!context || !RecordStack::isICloudEnabled()) return;
    center()->removeObserver(context.get(), kPersistentStoreDidImportUbiquitousContentChangesNotification, coordinator);
}

void RS_mergeChangesFromiCloud(const Ref<ManagedObjectContext>& context, const Notification& notification) {
    if (!context) return;
    Dictionary changes = notification.userInfo();
    Weak<ManagedObjectContext> weak = context;
    context->perform([weak, changes] {
        Ref<ManagedObjectContext> c = weak.lock();
        if (!c) return;
        if (logEnabled(RSLogMaskVerbose)) {
            logMasked(RSLogMaskVerbose, "Merging changes From iCloud %@context%@", c == RS_defaultContext() ? "*** DEFAULT *** " : "",
                      Thread::isMainThread() ? " *** on Main Thread ***" : "");
        }
        c->mergeChangesFromUserInfo(changes);
        center()->post(std::string(kRecordStackDidMergeChangesFromiCloudNotification), c, changes);
    });
}

// ---- per-thread contexts ----

Ref<ManagedObjectContext> RS_contextForCurrentThread() {
    if (Thread::isMainThread()) return RS_defaultContext();
    const std::int32_t version = store_detail::threadContextCacheVersion().load();
    Ref<Thread> thread = Thread::current();
    const Value stored = thread->dictionaryValue(kRecordStackThreadContextKey);
    const Value storedVersion = thread->dictionaryValue(kRecordStackThreadContextVersionKey);
    if (auto context = stored.objectAs<ManagedObjectContext>()) {
        if (storedVersion.isNumber() && storedVersion.intValue() == version) return context;
    }
    Ref<ManagedObjectContext> context = RS_contextWithParent(RS_defaultContext());
    thread->setDictionaryValue(std::string(kRecordStackThreadContextKey), Value(context));
    thread->setDictionaryValue(std::string(kRecordStackThreadContextVersionKey), Value(version));
    return context;
}

void RS_clearNonMainThreadContextsCache() { store_detail::threadContextCacheVersion().fetch_add(1); }

void RS_resetContextForCurrentThread() {
    if (auto context = RS_contextForCurrentThread()) context->performAndWait([&] { context->reset(); });
}

void RS_clearContextForCurrentThread() {
    Ref<Thread> thread = Thread::current();
    thread->setDictionaryValue(std::string(kRecordStackThreadContextKey), Value());
    thread->setDictionaryValue(std::string(kRecordStackThreadContextVersionKey), Value());
}

}  // namespace lv
