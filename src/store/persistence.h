// Choosing the model, placing the store file and opening it: the layer's operations on models, stores
// and coordinators, and the process-wide default model, coordinator and store.
//
// A store is named by a file name ("lunavexa.sqlite"), which places it in the application-storage
// directory (<Application Support>/<CFBundleName>/), or given by its full path.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/data/coordinator.h"
#include "platform/data/model.h"
#include "platform/storage/sandbox.h"

namespace lv {

class Bundle;

// ---- models ----

// The default model; when none is set and RecordStack::shouldAutoCreateManagedObjectModel(), first set
// to the merged model of the main bundle.
Ref<ManagedObjectModel> RS_defaultManagedObjectModel();
void RS_setDefaultManagedObjectModel(const Ref<ManagedObjectModel>& model);
// Every model file of the main bundle, merged.
Ref<ManagedObjectModel> RS_mergedObjectModelFromMainBundle();
// The model file named (resource name + extension, "lunavexa.lvmodel") in the main bundle; nullptr
// when there is no such resource or it cannot be read.
Ref<ManagedObjectModel> RS_newManagedObjectModelNamed(std::string_view modelFileName);
Ref<ManagedObjectModel> RS_managedObjectModelNamed(std::string_view modelFileName);
// The same in a subfolder of the main bundle, or in the given bundle.
Ref<ManagedObjectModel> RS_newModelNamed(std::string_view modelFileName, std::string_view bundleName);
Ref<ManagedObjectModel> RS_newModelNamed(std::string_view modelFileName, const Ref<Bundle>& bundle);

// ---- store location ----

Ref<PersistentStore> RS_defaultPersistentStore();
void RS_setDefaultPersistentStore(const Ref<PersistentStore>& store);
// The last user-domain path of the directory kind, the tilde expanded.
std::string RS_directory(SearchPathDirectory directory);
std::string RS_applicationDocumentsDirectory();
// The application-support directory plus the main bundle's "CFBundleName".
std::string RS_applicationStorageDirectory();
// RS_applicationStorageDirectory()/storeName (no extension is added).
std::filesystem::path RS_urlForStoreName(std::string_view storeName);
// RS_urlForStoreName("CoreDataStore.sqlite").
std::filesystem::path RS_defaultLocalStoreUrl();
// The shared container of the identifier, when the file manager knows one; empty otherwise.
std::filesystem::path RS_cloudURLForUbiqutiousContainer(std::string_view containerIdentifier);

// ---- coordinators ----

// The default coordinator; when none is set and
// RecordStack::shouldAutoCreateDefaultPersistentStoreCoordinator(), first set to
// RS_newPersistentStoreCoordinator().
Ref<PersistentStoreCoordinator> RS_defaultStoreCoordinator();
// Stores the coordinator (nullptr allowed); when it has a store and no default store is set, its first
// store becomes the default store.
void RS_setDefaultStoreCoordinator(const Ref<PersistentStoreCoordinator>& coordinator);

// New coordinators over the default model (nullptr when there is no default model), with the store
// added; the coordinator is returned whether or not the store could be added (failures go to
// RecordStack::handleErrors).
Ref<PersistentStoreCoordinator> RS_coordinatorWithSqliteStoreNamed(std::string_view storeName);
Ref<PersistentStoreCoordinator> RS_coordinatorWithSqliteStoreNamed(std::string_view storeName, const Dictionary& options);
Ref<PersistentStoreCoordinator> RS_coordinatorWithSqliteStoreAtURL(const std::filesystem::path& storeURL);
Ref<PersistentStoreCoordinator> RS_coordinatorWithSqliteStoreAtURL(const std::filesystem::path& storeURL, const Dictionary& options);
// With RS_autoMigrationOptions(); when the store could not be added, the add is tried once more 0.5 s
// later on the calling thread's run loop.
Ref<PersistentStoreCoordinator> RS_coordinatorWithAutoMigratingSqliteStoreNamed(std::string_view storeName);
Ref<PersistentStoreCoordinator> RS_coordinatorWithAutoMigratingSqliteStoreAtURL(const std::filesystem::path& storeURL);
Ref<PersistentStoreCoordinator> RS_coordinatorWithInMemoryStore();
// A new coordinator with a SQLite store at the given store's file, no options.
Ref<PersistentStoreCoordinator> RS_coordinatorWithPersistentStore(const Ref<PersistentStore>& store);
Ref<PersistentStoreCoordinator> RS_newPersistentStoreCoordinator();  // the default store name
// ---- shared (cloud) stores ----
// Options the shared-store set-up adds: the container's URL (text) and the content name. The store
// keeps them; nothing here reads them.
inline constexpr std::string_view kPersistentStoreUbiquitousContentURLKey = "PersistentStoreUbiquitousContentURLKey";
inline constexpr std::string_view kPersistentStoreUbiquitousContentNameKey = "PersistentStoreUbiquitousContentNameKey";

// A new coordinator over the default model (nullptr without one) with RS_addiCloudContainerID started
// on it; returned at once, before its store exists.
Ref<PersistentStoreCoordinator> RS_coordinatorWithiCloudContainerID(std::string_view containerID, std::string_view contentNameKey,
                                                                    std::string_view localStoreName,
                                                                    std::string_view cloudStorePathComponent,
                                                                    std::function<void()> completion = {});
Ref<PersistentStoreCoordinator> RS_coordinatorWithiCloudContainerID(std::string_view containerID, std::string_view contentNameKey,
                                                                    const std::filesystem::path& localStoreURL,
                                                                    std::string_view cloudStorePathComponent,
                                                                    std::function<void()> completion = {});
// Adds the store asynchronously on the default global queue: the container's URL (with the path
// component appended when given) sets RecordStack::setICloudEnabled; the options are
// RS_autoMigrationOptions() plus, with a container, its URL and (non-empty) content name key, and
// without one the line "iCloud is not enabled" (mask bit 2); the SQLite store (a name is placed with
// RS_urlForStoreName) is added under the coordinator's lock. Then on the main queue: the coordinator's
// first store becomes the default store when none is set, the completion runs, and
// kRecordStackPSCDidCompleteiCloudSetupNotification is posted.
void RS_addiCloudContainerID(const Ref<PersistentStoreCoordinator>& coordinator, std::string_view containerID,
                             std::string_view contentNameKey, std::string_view localStoreName,
                             std::string_view cloudStorePathComponent, std::function<void()> completion = {});
void RS_addiCloudContainerID(const Ref<PersistentStoreCoordinator>& coordinator, std::string_view containerID,
                             std::string_view contentNameKey, const std::filesystem::path& localStoreURL,
                             std::string_view cloudStorePathComponent, std::function<void()> completion = {});

// Migrate automatically, infer the mapping, and the pragma {"journal_mode": "WAL"}.
Dictionary RS_autoMigrationOptions();

// Creates the folder that will hold the store file (errors go to RecordStack::handleErrors).
void RS_createPathToStoreFileIfNeccessary(const Ref<PersistentStoreCoordinator>& coordinator, const std::filesystem::path& storeURL);
// Opens the SQLite store (by name or at a path) and adds it; nullptr on failure, which goes to
// RecordStack::handleErrors. With RecordStack::shouldDeleteStoreOnModelMismatch() a store made with
// another model is deleted (with its "-shm" and "-wal" files) and made anew, each stage announced by
// the kRecordStackPSCMismatch… notifications.
Ref<PersistentStore> RS_addSqliteStoreNamed(const Ref<PersistentStoreCoordinator>& coordinator, std::string_view storeName,
                                            const Dictionary& options);
Ref<PersistentStore> RS_addSqliteStoreNamed(const Ref<PersistentStoreCoordinator>& coordinator, const std::filesystem::path& storeURL,
                                            const Dictionary& options);
Ref<PersistentStore> RS_addSqliteStoreNamed(const Ref<PersistentStoreCoordinator>& coordinator, std::string_view storeName,
                                            std::string_view configuration, const Dictionary& options);
Ref<PersistentStore> RS_addSqliteStoreNamed(const Ref<PersistentStoreCoordinator>& coordinator, const std::filesystem::path& storeURL,
                                            std::string_view configuration, const Dictionary& options);
// (A name given as a C string or std::string is a name, not a path.)
inline Ref<PersistentStore> RS_addSqliteStoreNamed(const Ref<PersistentStoreCoordinator>& coordinator, const char* storeName,
                                                   const Dictionary& options) {
    return RS_addSqliteStoreNamed(coordinator, std::string_view(storeName), options);
}
inline Ref<PersistentStore> RS_addSqliteStoreNamed(const Ref<PersistentStoreCoordinator>& coordinator, const std::string& storeName,
                                                   const Dictionary& options) {
    return RS_addSqliteStoreNamed(coordinator, std::string_view(storeName), options);
}
inline Ref<PersistentStore> RS_addSqliteStoreNamed(const Ref<PersistentStoreCoordinator>& coordinator, const char* storeName,
                                                   std::string_view configuration, const Dictionary& options) {
    return RS_addSqliteStoreNamed(coordinator, std::string_view(storeName), configuration, options);
}
inline Ref<PersistentStore> RS_addSqliteStoreNamed(const Ref<PersistentStoreCoordinator>& coordinator, const std::string& storeName,
                                                   std::string_view configuration, const Dictionary& options) {
    return RS_addSqliteStoreNamed(coordinator, std::string_view(storeName), configuration, options);
}
Ref<PersistentStore> RS_addAutoMigratingSqliteStoreNamed(const Ref<PersistentStoreCoordinator>& coordinator, std::string_view storeName);
Ref<PersistentStore> RS_addAutoMigratingSqliteStoreAtURL(const Ref<PersistentStoreCoordinator>& coordinator,
                                                         const std::filesystem::path& storeURL);
Ref<PersistentStore> RS_addInMemoryStore(const Ref<PersistentStoreCoordinator>& coordinator);

}  // namespace lv
