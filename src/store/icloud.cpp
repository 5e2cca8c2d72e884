// The shared (cloud) store set-up: the store is added in the background with the container's options
// when the container exists, locally otherwise, and the set-up is announced on the main queue.
#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/queue.h"
#include "platform/storage/bundle.h"
#include "platform/storage/path.h"
#include "store/contexts.h"
#include "store/detail/state.h"
#include "store/persistence.h"
#include "store/record_stack.h"

namespace lv {

using store_detail::logMasked;

Dictionary RS_dictionaryByMergingDictionary(const Dictionary& dictionary, const Dictionary& other) {
    Dictionary merged = dictionary;
    for (const auto& [key, value] : other) merged.set(key, value);
    return merged;
}

namespace {

// The steps of the background add, for a store given by its path.
void addiCloudStore(const Ref<PersistentStoreCoordinator>& coordinator, const std::string& containerID,
                    const std::string& contentNameKey, const std::filesystem::path& storeURL,
                    const std::string& cloudStorePathComponent, const std::function<void()>& completion) {
    std::filesystem::path cloudURL = RS_cloudURLForUbiqutiousContainer(containerID);
    if (!cloudURL.empty() && !cloudStorePathComponent.empty()) {
        cloudURL = path::appendingPathComponent(cloudURL.string(), cloudStorePathComponent);
    }
    RecordStack::setICloudEnabled(!cloudURL.empty());

    Dictionary options = RS_autoMigrationOptions();
    if (!cloudURL.empty()) {
        Dictionary cloudOptions;
        cloudOptions.set(std::string(kPersistentStoreUbiquitousContentURLKey), Value(cloudURL.string()));
        if (!contentNameKey.empty()) {
            cloudOptions.set(std::string(kPersistentStoreUbiquitousContentNameKey), Value(contentNameKey));
        }
        options = RS_dictionaryByMergingDictionary(options, cloudOptions);
    } else {
        logMasked(RSLogMaskWarning, "iCloud is not enabled");
    }

    if (coordinator) {
        coordinator->performBlockAndWait([&] { RS_addSqliteStoreNamed(coordinator, storeURL, options); });
    }

    Queue::main()->async([coordinator, completion] {
        if (coordinator && !RS_defaultPersistentStore()) {
            const auto stores = coordinator->persistentStores();
            if (!stores.empty()) RS_setDefaultPersistentStore(stores.front());
        }
        if (completion) completion();
        NotificationCenter::defaultCenter()->post(std::string(kRecordStackPSCDidCompleteiCloudSetupNotification));
    });
}

template <class Make>
void setUpShared(Make makeCoordinator) {
    if (store_detail::storedDefaultCoordinator()) return;  // as every set-up: one stack at a time
    Ref<PersistentStoreCoordinator> coordinator = makeCoordinator();
    RS_setDefaultStoreCoordinator(coordinator);
    RS_initializeDefaultContextWithCoordinator(coordinator);
}

std::string bundleIdentifier() {
    const Value identifier = Bundle::mainBundle()->objectForInfoDictionaryKey("CFBundleIdentifier");
    return identifier.isString() ? identifier.string() : std::string();
}

}  // namespace

void RS_addiCloudContainerID(const Ref<PersistentStoreCoordinator>& coordinator, std::string_view containerID,
                             std::string_view contentNameKey, const std::filesystem::path& localStoreURL,
                             std::string_view cloudStorePathComponent, std::function<void()> completion) {
    Queue::global()->async([coordinator, container = std::string(containerID), name = std::string(contentNameKey), localStoreURL,
                            component = std::string(cloudStorePathComponent), completion = std::move(completion)] {
        addiCloudStore(coordinator, container, name, localStoreURL, component, completion);
    });
}

void RS_addiCloudContainerID(const Ref<PersistentStoreCoordinator>& coordinator, std::string_view containerID,
                             std::string_view contentNameKey, std::string_view localStoreName,
                             std::string_view cloudStorePathComponent, std::function<void()> completion) {
    RS_addiCloudContainerID(coordinator, containerID, contentNameKey, RS_urlForStoreName(localStoreName), cloudStorePathComponent,
                            std::move(completion));
}

Ref<PersistentStoreCoordinator> RS_coordinatorWithiCloudContainerID(std::string_view containerID, std::string_view contentNameKey,
                                                                    const std::filesystem::path& localStoreURL,
                                                                    std::string_view cloudStorePathComponent,
                                                                    std::function<void()> completion) {
    Ref<PersistentStoreCoordinator> coordinator = store_detail::newDefaultModelCoordinator();
    if (coordinator) {
        RS_addiCloudContainerID(coordinator, containerID, contentNameKey, localStoreURL, cloudStorePathComponent, std::move(completion));
    }
    return coordinator;
}

Ref<PersistentStoreCoordinator> RS_coordinatorWithiCloudContainerID(std::string_view containerID, std::string_view contentNameKey,
                                                                    std::string_view localStoreName,
                                                                    std::string_view cloudStorePathComponent,
                                                                    std::function<void()> completion) {
    return RS_coordinatorWithiCloudContainerID(containerID, contentNameKey, RS_urlForStoreName(localStoreName), cloudStorePathComponent,
                                               std::move(completion));
}

void RecordStack::setupCoreDataStackWithiCloudContainer(std::string_view containerID, std::string_view localStoreName) {
    setupCoreDataStackWithiCloudContainer(containerID, std::string_view(), localStoreName, std::string_view());
}

void RecordStack::setupCoreDataStackWithiCloudContainer(std::string_view containerID, std::string_view contentNameKey,
                                                        std::string_view localStoreName, std::string_view cloudStorePathComponent,
                                                        std::function<void()> completion) {
    setUpShared([&] {
        return RS_coordinatorWithiCloudContainerID(containerID, contentNameKey, localStoreName, cloudStorePathComponent,
                                                   std::move(completion));
    });
}

void RecordStack::setupCoreDataStackWithiCloudContainer(std::string_view containerID, const std::filesystem::path& localStoreURL) {
    const std::string contentNameKey = bundleIdentifier();
    setupCoreDataStackWithiCloudContainer(containerID, contentNameKey, localStoreURL, std::string_view());
}

void RecordStack::setupCoreDataStackWithiCloudContainer(std::string_view containerID, std::string_view contentNameKey,
                                                        const std::filesystem::path& localStoreURL,
                                                        std::string_view cloudStorePathComponent, std::function<void()> completion) {
    setUpShared([&] {
        return RS_coordinatorWithiCloudContainerID(containerID, contentNameKey, localStoreURL, cloudStorePathComponent,
                                                   std::move(completion));
    });
}

}  // namespace lv
