#include "store/record_stack.h"

#include "platform/base/format.h"
#include "platform/data/errors.h"
#include "platform/dispatch/notification_center.h"
#include "platform/storage/bundle.h"
#include "platform/storage/path.h"
#include "platform/text/strings.h"
#include "store/contexts.h"
#include "store/detail/state.h"
#include "store/persistence.h"

namespace lv {

namespace store_detail {

StackState& state() {
    static StackState* s = new StackState();
    return *s;
}

std::atomic<unsigned>& loggingLevelStorage() {
    static std::atomic<unsigned> level{RSLogMaskError};
    return level;
}

std::atomic<std::int32_t>& threadContextCacheVersion() {
    static std::atomic<std::int32_t> version{0};
    return version;
}

Ref<PersistentStoreCoordinator> storedDefaultCoordinator() {
    StackState& s = state();
    std::lock_guard lock(s.mutex);
    return s.coordinator;
}

Ref<PersistentStoreCoordinator> newDefaultModelCoordinator() {
    Ref<ManagedObjectModel> model = RS_defaultManagedObjectModel();
    return model ? makeRef<PersistentStoreCoordinator>(model) : nullptr;
}

Ref<Error> errorFromException(std::int64_t code, std::string_view reason, const Dictionary& userInfo) {
    Dictionary info = userInfo;
    info.set(std::string(kLocalizedDescriptionKey), Value(std::string(reason)));
    info.set(std::string(kLocalizedFailureReasonErrorKey), Value(std::string(reason)));
    return Error::make(std::string(kCocoaErrorDomain), code, std::move(info));
}

}  // namespace store_detail

using store_detail::logMasked;
using store_detail::state;
using store_detail::StackState;

namespace {

// Every set-up: nothing while a coordinator is stored (the stored one: asking the auto-creating
// getter here would make a coordinator for the default store instead of the one asked for); else the
// coordinator, made the default, and the context tree over it.
template <class Make>
void setUp(Make makeCoordinator) {
    if (store_detail::storedDefaultCoordinator()) return;
    Ref<PersistentStoreCoordinator> coordinator = makeCoordinator();
    RS_setDefaultStoreCoordinator(coordinator);
    RS_initializeDefaultContextWithCoordinator(coordinator);
}

}  // namespace

Value RecordStack::version() { return Value(230); }

void RecordStack::setupCoreDataStackWithStoreNamed(std::string_view storeName) {
    setUp([&] { return RS_coordinatorWithSqliteStoreNamed(storeName); });
}

void RecordStack::setupCoreDataStack() { setupCoreDataStackWithStoreNamed(defaultStoreName()); }

void RecordStack::setupAutoMigratingCoreDataStack() { setupCoreDataStackWithAutoMigratingSqliteStoreNamed(defaultStoreName()); }

void RecordStack::setupCoreDataStackWithAutoMigratingSqliteStoreNamed(std::string_view storeName) {
    setUp([&] { return RS_coordinatorWithAutoMigratingSqliteStoreNamed(storeName); });
}

void RecordStack::setupCoreDataStackWithStoreAtURL(const std::filesystem::path& storeURL) {
    setUp([&] { return RS_coordinatorWithSqliteStoreAtURL(storeURL); });
}

void RecordStack::setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(const std::filesystem::path& storeURL) {
    setUp([&] { return RS_coordinatorWithAutoMigratingSqliteStoreAtURL(storeURL); });
}

void RecordStack::setupCoreDataStackWithInMemoryStore() {
    setUp([] { return RS_coordinatorWithInMemoryStore(); });
}

void RecordStack::cleanUp() {
    cleanUpErrorHanding();
    cleanUpStack();
    NotificationCenter::defaultCenter()->post(std::string(kRecordStackCleanedUpNotification));
}

void RecordStack::cleanUpStack() {
    RS_cleanUp();
    RS_setDefaultManagedObjectModel(nullptr);
    RS_setDefaultStoreCoordinator(nullptr);
    RS_setDefaultPersistentStore(nullptr);
}

std::string RecordStack::currentStack() {
    Ref<ManagedObjectModel> model;
    Ref<PersistentStoreCoordinator> coordinator;
    Ref<PersistentStore> store;
    Ref<ManagedObjectContext> context;
    {
        StackState& s = state();
        std::lock_guard lock(s.mutex);
        model = s.model;
        coordinator = s.coordinator;
        store = s.store;
        context = s.defaultContext;
    }
    const Value hashes = model ? Value(model->entityVersionHashesByName()) : Value();
    const Value contextText = context ? Value(RS_description(context)) : Value();
    const Value chainText = context ? Value(RS_parentChain(context)) : Value();
    std::string out = "Current Default Core Data Stack: ---- \n";
    out += format("Model:           %@\n", hashes);
    out += format("Coordinator:     %@\n", coordinator ? Value(coordinator) : Value());
    out += format("Store:           %@\n", store ? Value(store) : Value());
    out += format("Default Context: %@\n", contextText);
    out += format("Context Chain:   \n%@\n", chainText);
    return out;
}

void RecordStack::setDefaultModelNamed(std::string_view modelName) { RS_setDefaultManagedObjectModel(RS_managedObjectModelNamed(modelName)); }

void RecordStack::setDefaultModelFromClass(const ClassInfo* cls) {
    (void)cls;  // every class of the program is in the main bundle
    RS_setDefaultManagedObjectModel(ManagedObjectModel::mergedModelFromBundles({Bundle::mainBundle()}));
}

std::string RecordStack::defaultStoreName() {
    const Value name = Bundle::mainBundle()->objectForInfoDictionaryKey("CFBundleName");
    std::string storeName = name.isString() ? name.string() : std::string("CoreDataStore.sqlite");
    if (!text::hasSuffix(storeName, "sqlite")) storeName = path::appendingPathExtension(storeName, "sqlite");
    return storeName;
}

// ---- options ----

bool RecordStack::shouldAutoCreateManagedObjectModel() {
    std::lock_guard lock(state().mutex);
    return state().autoCreateModel;
}

void RecordStack::setShouldAutoCreateManagedObjectModel(bool value) {
    std::lock_guard lock(state().mutex);
    state().autoCreateModel = value;
}

bool RecordStack::shouldAutoCreateDefaultPersistentStoreCoordinator() {
    std::lock_guard lock(state().mutex);
    return state().autoCreateCoordinator;
}

void RecordStack::setShouldAutoCreateDefaultPersistentStoreCoordinator(bool value) {
    std::lock_guard lock(state().mutex);
    state().autoCreateCoordinator = value;
}

bool RecordStack::shouldDeleteStoreOnModelMismatch() {
    std::lock_guard lock(state().mutex);
    return state().deleteOnMismatch;
}

void RecordStack::setShouldDeleteStoreOnModelMismatch(bool value) {
    std::lock_guard lock(state().mutex);
    state().deleteOnMismatch = value;
}

unsigned RecordStack::loggingLevel() { return store_detail::loggingLevelStorage().load(); }

void RecordStack::setLoggingLevel(unsigned level) { store_detail::loggingLevelStorage().store(level); }

bool RecordStack::isICloudEnabled() {
    std::lock_guard lock(state().mutex);
    return state().iCloudEnabled;
}

void RecordStack::setICloudEnabled(bool enabled) {
    std::lock_guard lock(state().mutex);
    state().iCloudEnabled = enabled;
}

// ---- error handling ----

void RecordStack::handleErrors(const Ref<Error>& error) {
    if (!error) return;
    Ref<Object> target;
    ErrorHandlerAction action;
    {
        StackState& s = state();
        std::lock_guard lock(s.mutex);
        target = s.errorTarget.lock();
        action = s.errorAction;
    }
    if (target && action) {
        action(*target, error);
        return;
    }
    defaultErrorHandler(error);
}

void RecordStack::defaultErrorHandler(const Ref<Error>& error) {
    if (!error) return;
    for (const auto& [key, value] : error->userInfo()) {
        if (value.isArray()) {
            for (const Value& element : value.array()) {
                if (auto detail = element.objectAs<Error>()) {
                    logMasked(RSLogMaskError, "Error Details: %@", Value(detail->userInfo()));
                } else {
                    logMasked(RSLogMaskError, "Error Details: %@", element);
                }
            }
        } else {
            logMasked(RSLogMaskError, "Error: %@", value);
        }
    }
    logMasked(RSLogMaskError, "Error Message: %@", error->localizedDescription());
    logMasked(RSLogMaskError, "Error Domain: %@", error->domain());
    const std::string suggestion = error->localizedRecoverySuggestion();
    logMasked(RSLogMaskError, "Recovery Suggestion: %@", suggestion.empty() ? Value() : Value(suggestion));
}

void RecordStack::setErrorHandlerTarget(const Ref<Object>& target, ErrorHandlerAction action) {
    StackState& s = state();
    std::lock_guard lock(s.mutex);
    s.errorTarget = target;
    s.errorAction = std::move(action);
}

Ref<Object> RecordStack::errorHandlerTarget() {
    std::lock_guard lock(state().mutex);
    return state().errorTarget.lock();
}

RecordStack::ErrorHandlerAction RecordStack::errorHandlerAction() {
    std::lock_guard lock(state().mutex);
    return state().errorAction;
}

void RecordStack::cleanUpErrorHanding() { setErrorHandlerTarget(nullptr, nullptr); }

}  // namespace lv
