#include "store/persistence.h"

#include "platform/data/errors.h"
#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/run_loop.h"
#include "platform/storage/bundle.h"
#include "platform/storage/path.h"
#include "platform/storage/file_manager.h"
#include "store/detail/state.h"
#include "store/record_stack.h"

namespace lv {

using store_detail::logMasked;
using store_detail::state;
using store_detail::StackState;

// ---- models ----

Ref<ManagedObjectModel> RS_defaultManagedObjectModel() {
    StackState& s = state();
    {
        std::lock_guard lock(s.mutex);
        if (s.model || !s.autoCreateModel) return s.model;
    }
    Ref<ManagedObjectModel> made = RS_mergedObjectModelFromMainBundle();
    std::lock_guard lock(s.mutex);
    if (!s.model) s.model = std::move(made);  // another thread may have set one meanwhile
    return s.model;
}

void RS_setDefaultManagedObjectModel(const Ref<ManagedObjectModel>& model) {
    StackState& s = state();
    std::lock_guard lock(s.mutex);
    s.model = model;
}

Ref<ManagedObjectModel> RS_mergedObjectModelFromMainBundle() { return ManagedObjectModel::mergedModelFromBundles({}); }

namespace {

Ref<ManagedObjectModel> modelFromBundle(const Ref<Bundle>& bundle, std::string_view fileName, std::string_view directory) {
    if (!bundle) return nullptr;
    const std::string resource = path::deletingPathExtension(fileName);
    const std::string type = path::pathExtension(fileName);
    auto path = bundle->pathForResource(resource, type, directory);
    if (!path) return nullptr;
    return ManagedObjectModel::modelWithContentsOfFile(*path, nullptr);
}

}  // namespace

Ref<ManagedObjectModel> RS_newManagedObjectModelNamed(std::string_view modelFileName) {
    return modelFromBundle(Bundle::mainBundle(), modelFileName, {});
}

Ref<ManagedObjectModel> RS_managedObjectModelNamed(std::string_view modelFileName) { return RS_newManagedObjectModelNamed(modelFileName); }

Ref<ManagedObjectModel> RS_newModelNamed(std::string_view modelFileName, std::string_view bundleName) {
    return modelFromBundle(Bundle::mainBundle(), modelFileName, bundleName);
}

Ref<ManagedObjectModel> RS_newModelNamed(std::string_view modelFileName, const Ref<Bundle>& bundle) {
    return modelFromBundle(bundle, modelFileName, {});
}

// ---- store location ----

Ref<PersistentStore> RS_defaultPersistentStore() {
    std::lock_guard lock(state().mutex);
    return state().store;
}

void RS_setDefaultPersistentStore(const Ref<PersistentStore>& store) {
    std::lock_guard lock(state().mutex);
    state().store = store;
}

std::string RS_directory(SearchPathDirectory directory) {
    const Array paths = searchPathForDirectoriesInDomains(directory, kUserDomainMask, true);
    if (paths.empty()) return std::string();
    return expandingTildeInPath(paths.back().stringValue());
}

std::string RS_applicationDocumentsDirectory() { return RS_directory(SearchPathDirectory::Document); }

std::string RS_applicationStorageDirectory() {
    const Value name = Bundle::mainBundle()->objectForInfoDictionaryKey("CFBundleName");
    const std::string base = RS_directory(SearchPathDirectory::ApplicationSupport);
    return name.isString() ? path::appendingPathComponent(base, name.string()) : base;
}

std::filesystem::path RS_urlForStoreName(std::string_view storeName) {
    return std::filesystem::path(path::appendingPathComponent(RS_applicationStorageDirectory(), storeName));
}

std::filesystem::path RS_defaultLocalStoreUrl() { return RS_urlForStoreName("CoreDataStore.sqlite"); }

std::filesystem::path RS_cloudURLForUbiqutiousContainer(std::string_view containerIdentifier) {
    auto url = FileManager().URLForUbiquityContainerIdentifier(containerIdentifier);
    return url ? std::filesystem::path(*url) : std::filesystem::path();
}

// ---- coordinators ----

Ref<PersistentStoreCoordinator> RS_defaultStoreCoordinator() {
    StackState& s = state();
    {
        std::lock_guard lock(s.mutex);
        if (s.coordinator || !s.autoCreateCoordinator) return s.coordinator;
    }
    Ref<PersistentStoreCoordinator> made = RS_newPersistentStoreCoordinator();
    {
        std::lock_guard lock(s.mutex);
        if (s.coordinator) return s.coordinator;  // another thread won
    }
    RS_setDefaultStoreCoordinator(made);
    return made;
}

void RS_setDefaultStoreCoordinator(const Ref<PersistentStoreCoordinator>& coordinator) {
    std::vector<Ref<PersistentStore>> stores;
    if (coordinator) stores = coordinator->persistentStores();
    StackState& s = state();
    std::lock_guard lock(s.mutex);
    s.coordinator = coordinator;
    if (coordinator && !stores.empty() && !s.store) s.store = stores.front();
}

namespace {

bool isMismatch(const Ref<Error>& error) {
    if (!error || error->domain() != kCocoaErrorDomain) return false;
    const auto code = error->code();
    return code == kPersistentStoreIncompatibleVersionHashError || code == kMigrationMissingSourceModelError || code == kMigrationError;
}

void postNotification(std::string_view name, Dictionary userInfo = {}) {
    NotificationCenter::defaultCenter()->post(std::string(name), nullptr, std::move(userInfo));
}

Dictionary errorInfo(const Ref<Error>& error) {
    Dictionary info;
    info.set(std::string(kRecordStackMismatchErrorKey), Value(error));
    return info;
}

Ref<PersistentStore> addSqliteStore(const Ref<PersistentStoreCoordinator>& coordinator, const std::filesystem::path& url,
                                    std::string_view configuration, const Dictionary& options) {
    if (!coordinator) return nullptr;
    RS_createPathToStoreFileIfNeccessary(coordinator, url);
    Ref<Error> error;
    Ref<PersistentStore> store = coordinator->addPersistentStore(kSQLiteStoreType, configuration, url, options, &error);
    if (store) return store;
    if (!RecordStack::shouldDeleteStoreOnModelMismatch() || !isMismatch(error)) {
        RecordStack::handleErrors(error);
        return nullptr;
    }
    // A store made with another model: delete it with its companions and make it anew.
    postNotification(kRecordStackPSCMismatchWillDeleteStore);
    const std::string file = url.string();
    Ref<Error> deleteError;
    const bool deleted = FileManager::defaultManager().removeItemAtPath(file, &deleteError);
    FileManager::defaultManager().removeItemAtPath(file + "-shm", nullptr);  // only the store file's failure counts
    FileManager::defaultManager().removeItemAtPath(file + "-wal", nullptr);
    logMasked(RSLogMaskWarning, "Removed incompatible model version: %@", path::lastPathComponent(file));
    if (!deleted) {
        postNotification(kRecordStackPSCMismatchCouldNotDeleteStore, errorInfo(deleteError));
    } else {
        postNotification(kRecordStackPSCMismatchDidDeleteStore);
    }
    postNotification(kRecordStackPSCMismatchWillRecreateStore);
    Ref<Error> recreateError;
    store = coordinator->addPersistentStore(kSQLiteStoreType, "", url, options, &recreateError);
    if (store) {
        postNotification(kRecordStackPSCMismatchDidRecreateStore);
        return store;
    }
    postNotification(kRecordStackPSCMismatchCouldNotRecreateStore, errorInfo(recreateError));
    RecordStack::handleErrors(recreateError);
    return nullptr;
}

}  // namespace

Ref<PersistentStoreCoordinator> RS_coordinatorWithSqliteStoreNamed(std::string_view storeName) {
    return RS_coordinatorWithSqliteStoreNamed(storeName, Dictionary());
}

Ref<PersistentStoreCoordinator> RS_coordinatorWithSqliteStoreNamed(std::string_view storeName, const Dictionary& options) {
    return RS_coordinatorWithSqliteStoreAtURL(RS_urlForStoreName(storeName), options);
}

Ref<PersistentStoreCoordinator> RS_coordinatorWithSqliteStoreAtURL(const std::filesystem::path& storeURL) {
    return RS_coordinatorWithSqliteStoreAtURL(storeURL, Dictionary());
}

Ref<PersistentStoreCoordinator> RS_coordinatorWithSqliteStoreAtURL(const std::filesystem::path& storeURL, const Dictionary& options) {
    Ref<PersistentStoreCoordinator> coordinator = store_detail::newDefaultModelCoordinator();
    RS_addSqliteStoreNamed(coordinator, storeURL, options);
    return coordinator;
}

namespace {

// The auto-migrating coordinators try a failed add once more, half a second later, on the calling
// thread's run loop (the coordinator is kept until then).
template <class Add>
Ref<PersistentStoreCoordinator> autoMigratingCoordinator(Add add) {
    Ref<PersistentStoreCoordinator> coordinator = store_detail::newDefaultModelCoordinator();
    if (!coordinator) return nullptr;
    add(coordinator);
    if (coordinator->persistentStores().empty()) {
        RunLoop::current()->performAfterDelay(0.5, [coordinator, add] { add(coordinator); });
    }
    return coordinator;
}

}  // namespace

Ref<PersistentStoreCoordinator> RS_coordinatorWithAutoMigratingSqliteStoreNamed(std::string_view storeName) {
    std::string name(storeName);
    return autoMigratingCoordinator([name](const Ref<PersistentStoreCoordinator>& c) { RS_addAutoMigratingSqliteStoreNamed(c, name); });
}

Ref<PersistentStoreCoordinator> RS_coordinatorWithAutoMigratingSqliteStoreAtURL(const std::filesystem::path& storeURL) {
    return autoMigratingCoordinator([storeURL](const Ref<PersistentStoreCoordinator>& c) { RS_addAutoMigratingSqliteStoreAtURL(c, storeURL); });
}

Ref<PersistentStoreCoordinator> RS_coordinatorWithInMemoryStore() {
    Ref<PersistentStoreCoordinator> coordinator = store_detail::newDefaultModelCoordinator();
    RS_addInMemoryStore(coordinator);
    return coordinator;
}

Ref<PersistentStoreCoordinator> RS_coordinatorWithPersistentStore(const Ref<PersistentStore>& store) {
    Ref<PersistentStoreCoordinator> coordinator = store_detail::newDefaultModelCoordinator();
    RS_addSqliteStoreNamed(coordinator, store ? store->URL() : std::filesystem::path(), Dictionary());
    return coordinator;
}

Ref<PersistentStoreCoordinator> RS_newPersistentStoreCoordinator() {
    return RS_coordinatorWithSqliteStoreNamed(RecordStack::defaultStoreName());
}

Dictionary RS_autoMigrationOptions() {
    Dictionary options;
    options.set(std::string(kMigratePersistentStoresAutomaticallyOption), Value(true));
    options.set(std::string(kInferMappingModelAutomaticallyOption), Value(true));
    options.set(std::string(kSQLitePragmasOption), Value(Dictionary{{"journal_mode", Value("WAL")}}));
    return options;
}

void RS_createPathToStoreFileIfNeccessary(const Ref<PersistentStoreCoordinator>& coordinator, const std::filesystem::path& storeURL) {
    (void)coordinator;
    const std::string folder = path::deletingLastPathComponent(storeURL.string());
    Ref<Error> error;
    if (!FileManager::defaultManager().createDirectoryAtPath(folder, true, Dictionary(), &error)) RecordStack::handleErrors(error);
}

Ref<PersistentStore> RS_addSqliteStoreNamed(const Ref<PersistentStoreCoordinator>& coordinator, std::string_view storeName,
                                            const Dictionary& options) {
    return addSqliteStore(coordinator, RS_urlForStoreName(storeName), {}, options);
}

Ref<PersistentStore> RS_addSqliteStoreNamed(const Ref<PersistentStoreCoordinator>& coordinator, const std::filesystem::path& storeURL,
                                            const Dictionary& options) {
    return addSqliteStore(coordinator, storeURL, {}, options);
}

Ref<PersistentStore> RS_addSqliteStoreNamed(const Ref<PersistentStoreCoordinator>& coordinator, std::string_view storeName,
                                            std::string_view configuration, const Dictionary& options) {
    return addSqliteStore(coordinator, RS_urlForStoreName(storeName), configuration, options);
}

Ref<PersistentStore> RS_addSqliteStoreNamed(const Ref<PersistentStoreCoordinator>& coordinator, const std::filesystem::path& storeURL,
                                            std::string_view configuration, const Dictionary& options) {
    return addSqliteStore(coordinator, storeURL, configuration, options);
}

Ref<PersistentStore> RS_addAutoMigratingSqliteStoreNamed(const Ref<PersistentStoreCoordinator>& coordinator, std::string_view storeName) {
    return RS_addSqliteStoreNamed(coordinator, storeName, RS_autoMigrationOptions());
}

Ref<PersistentStore> RS_addAutoMigratingSqliteStoreAtURL(const Ref<PersistentStoreCoordinator>& coordinator,
                                                         const std::filesystem::path& storeURL) {
    return RS_addSqliteStoreNamed(coordinator, storeURL, RS_autoMigrationOptions());
}

Ref<PersistentStore> RS_addInMemoryStore(const Ref<PersistentStoreCoordinator>& coordinator) {
    if (!coordinator) return nullptr;
    Ref<Error> error;
    Ref<PersistentStore> store = coordinator->addPersistentStore(kInMemoryStoreType, "", "", Dictionary(), &error);
    if (!store) RecordStack::handleErrors(error);
    return store;
}

}  // namespace lv
