// The context tree: a private-queue root saving context that owns the coordinator and writes the file,
// and a main-queue default context, child of the root, in which the app works. Further contexts are
// private-queue children made on demand: of the root (RS_context), of any context
// (RS_contextWithParent), or of the default context, one per background thread
// (RS_contextForCurrentThread). Every root save is merged back into the default context on the main
// thread, so the default context's fetched-results controllers report it.
//
// Threads: a context is touched only on its own queue; the operations here that read or change one
// run their work through performAndWait (inline when the caller is already on that queue).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/base/object.h"
#include "platform/data/context.h"
#include "platform/data/managed_object.h"

namespace lv {

class Notification;

// Where a context's working name is kept in its user info, and the name of unnamed contexts.
inline constexpr std::string_view kRecordStackContextWorkingNameKey = "RecordStackContextWorkingName";
inline constexpr std::string_view kRecordStackUntitledContextName = "Untitled Context";
inline constexpr std::string_view kRecordStackRootSavingContextName = "RecordStack Root Saving Context";
inline constexpr std::string_view kRecordStackDefaultContextName = "RecordStack Default Context";
// The thread-dictionary keys of a thread's context and of the cache version it was made under.
inline constexpr std::string_view kRecordStackThreadContextKey = "RecordStack_NSManagedObjectContextForThreadKey";
inline constexpr std::string_view kRecordStackThreadContextVersionKey = "RecordStack_CacheVersionOfNSManagedObjectContextForThreadKey";
// What a coordinator posts after importing changes of a shared store.
inline constexpr std::string_view kPersistentStoreDidImportUbiquitousContentChangesNotification =
    "NSPersistentStoreDidImportUbiquitousContentChangesNotification";

// ---- the tree ----

// Builds root and default context over the coordinator, unless a default context exists.
void RS_initializeDefaultContextWithCoordinator(const Ref<PersistentStoreCoordinator>& coordinator);
// The main-queue default context (nullptr before set-up).
Ref<ManagedObjectContext> RS_defaultContext();
Ref<ManagedObjectContext> RS_rootSavingContext();
// A new private-queue child of the root saving context.
Ref<ManagedObjectContext> RS_context();
// A new private-queue child of the parent that obtains permanent IDs before saving.
Ref<ManagedObjectContext> RS_contextWithParent(const Ref<ManagedObjectContext>& parent);
// A new private-queue context over the coordinator; nullptr for none.
Ref<ManagedObjectContext> RS_contextWithStoreCoordinator(const Ref<PersistentStoreCoordinator>& coordinator);
Ref<ManagedObjectContext> RS_newMainQueueContext();
Ref<ManagedObjectContext> RS_newPrivateQueueContext();

void RS_setWorkingName(const Ref<ManagedObjectContext>& context, std::string_view workingName);
// The working name, or "Untitled Context".
std::string RS_workingName(const Ref<ManagedObjectContext>& context);
// "<ManagedObjectContext (0x…): name> on the main thread" (or "a background thread": the caller's).
std::string RS_description(const Ref<ManagedObjectContext>& context);
// "\n" and one line "- name (0x…) (*)\n" per context from this one up its parents ("(*)" on its own).
std::string RS_parentChain(const Ref<ManagedObjectContext>& context);

// Resets the default context on the main thread (later, when called elsewhere).
void RS_resetDefaultContext();
void RS_deleteObjects(const Ref<ManagedObjectContext>& context, const std::vector<Ref<ManagedObject>>& objects);
// The will-save handler: gives the context's new records permanent IDs (failures go to
// RecordStack::handleErrors; the save goes on).
void RS_contextWillSave(const Ref<ManagedObjectContext>& context, const Notification& notification);
// The did-save handler of the root: brings the root's save into the default context on the main
// thread. Notifications of other contexts are ignored.
void rootContextDidSave(const Notification& notification);
// Drops the default and root contexts (and the root's did-save registration) and makes every thread
// context stale.
void RS_cleanUp();
// Makes the context obtain permanent IDs for its new records when it is about to save.
void RS_obtainPermanentIDsBeforeSaving(const Ref<ManagedObjectContext>& context);
// Install contexts (nullptr allowed). Each is configured before it is published.
void RS_setDefaultContext(const Ref<ManagedObjectContext>& context);
void RS_setRootSavingContext(const Ref<ManagedObjectContext>& context);

// Older names.
Ref<ManagedObjectContext> RS_contextWithoutParent();  // RS_newPrivateQueueContext
Ref<ManagedObjectContext> RS_newContext();            // RS_context
Ref<ManagedObjectContext> RS_newContextWithParent(const Ref<ManagedObjectContext>& parent);
Ref<ManagedObjectContext> RS_newContextWithStoreCoordinator(const Ref<PersistentStoreCoordinator>& coordinator);

// ---- observing other contexts (the first argument merges) ----

void RS_observeContext(const Ref<ManagedObjectContext>& context, const Ref<ManagedObjectContext>& other);
void RS_stopObservingContext(const Ref<ManagedObjectContext>& context, const Ref<ManagedObjectContext>& other);
void RS_observeContextOnMainThread(const Ref<ManagedObjectContext>& context, const Ref<ManagedObjectContext>& other);
// Merges another context's did-save notification (on the context's queue).
void RS_mergeChangesFromNotification(const Ref<ManagedObjectContext>& context, const Notification& notification);
// The same on the main thread; a background caller waits until it is done.
void RS_mergeChangesOnMainThread(const Ref<ManagedObjectContext>& context, const Notification& notification);
// Shared-store imports (only while RecordStack::isICloudEnabled()).
void RS_observeiCloudChangesInCoordinator(const Ref<ManagedObjectContext>& context, const Ref<PersistentStoreCoordinator>& coordinator);
void RS_stopObservingiCloudChangesInCoordinator(const Ref<ManagedObjectContext>& context,
                                                const Ref<PersistentStoreCoordinator>& coordinator);
// Merges an import notification later on the context's queue, then posts
// kRecordStackDidMergeChangesFromiCloudNotification.
void RS_mergeChangesFromiCloud(const Ref<ManagedObjectContext>& context, const Notification& notification);

// ---- per-thread contexts ----

// The default context on the main thread; elsewhere the thread's own child of the default context,
// made on first use and kept in the thread's dictionary until the cache is cleared.
Ref<ManagedObjectContext> RS_contextForCurrentThread();
// Makes every cached thread context stale (each thread gets a new one on its next call).
void RS_clearNonMainThreadContextsCache();
void RS_resetContextForCurrentThread();
void RS_clearContextForCurrentThread();

}  // namespace lv
