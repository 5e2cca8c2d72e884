// The task delegate's completion (handler, then notification, user info per outcome), downloads moved
// to a destination, and the task hooks' resume and suspend notifications filtered by manager.
#include <gtest/gtest.h>

#include <filesystem>

#include "http/url_session_manager.h"
#include "operation_server.h"
#include "platform/net/fixtures.h"
#include "session_manager_test_support.h"
#include "support/temp_dir.h"

namespace lv {
namespace {

using test::Completion;

using test::requestFor;

const test::NotificationLog::Entry* completionOf(const std::vector<test::NotificationLog::Entry>& entries,
                                                   const Ref<Object>& task) {
    for (const auto& entry : entries) {
        if (entry.name == HCNetworkingTaskDidCompleteNotification && entry.object == task) return &entry;
    }
    return nullptr;
}

TEST(SessionTaskDelegate, DataTaskOutcomesReachHandlerThenNotification) {
    test::OperationServer server;
    test::RawFixture broken(test::RawFixture::Mode::CloseMidBody);
    struct Case {
        std::string url;
        long errorCode;  // 0: none
        bool serialized;
    } cases[] = {
        {server.url("/json/200"), 0, true},
        {server.url("/json/404"), -1011, true},
        {broken.url("/x"), -1005, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        auto manager = HCURLSessionManager::make();
        test::NotificationLog seen({std::string(HCNetworkingTaskDidCompleteNotification)});
        auto record = std::make_shared<Completion>();
        bool notifiedBeforeHandler = false;
        auto recordFn = test::recordInto(record);
        Ref<URLSessionDataTask> task;
        task = manager->dataTaskWithRequest(requestFor(c.url), [&, recordFn](auto r, auto o, auto e) {
            notifiedBeforeHandler = completionOf(seen.entries(), task) != nullptr;
            recordFn(r, o, e);
        });
        task->resume();
        ASSERT_TRUE(test::waitDone(record));
        EXPECT_TRUE(record->onMainThread);
        ASSERT_TRUE(runMainUntil([&] { return completionOf(seen.entries(), task) != nullptr; }, 10));
        EXPECT_FALSE(notifiedBeforeHandler);
        const Dictionary info = completionOf(seen.entries(), task)->userInfo;
        EXPECT_EQ(info.get(HCNetworkingTaskCompleteResponseSerializerKey).object(), manager->responseSerializer());
        EXPECT_TRUE(info.contains(HCNetworkingTaskCompleteResponseDataKey));
        EXPECT_FALSE(info.contains(HCNetworkingTaskCompleteAssetPathKey));
        EXPECT_EQ(info.contains(HCNetworkingTaskCompleteSerializedResponseKey), c.serialized);
        if (c.errorCode == 0) {
            EXPECT_FALSE(record->error);
            EXPECT_FALSE(info.contains(HCNetworkingTaskCompleteErrorKey));
            EXPECT_EQ(record->object.dictionary().get("status").intValue(), 200);
        } else {
            ASSERT_TRUE(record->error);
            EXPECT_EQ(record->error->code(), c.errorCode);
            EXPECT_EQ(info.get(HCNetworkingTaskCompleteErrorKey).object(), record->error);
        }
        if (!c.serialized) {
            EXPECT_TRUE(record->object.isNil());
        }
        test::endManager(manager);
    }
}

TEST(SessionTaskDelegate, DownloadsMoveToTheirDestination) {
    test::TempDir dir;
    const auto target = dir.path() / "file.bin";
    const auto missing = dir.path() / "missing" / "file.bin";
    struct Case {
        const char* name;
        std::filesystem::path destination;  // empty: no destination
        bool moved;
    } cases[] = {{"to a destination", target, true}, {"without destination", {}, false}, {"into a missing folder", missing, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto manager = HCURLSessionManager::make();
        manager->setResponseSerializer(HCHTTPResponseSerializer::serializer());
        test::NotificationLog seen({std::string(HCNetworkingTaskDidCompleteNotification),
                                      std::string(HCNetworkingSessionDownloadFileManagerErrorNotification)});
        auto record = std::make_shared<Completion>();
        HCURLSessionManager::Destination destination;
        if (!c.destination.empty()) {
            destination = [&](const Ref<URL>&, const Ref<URLResponse>&) { return URL::fileURLWithPath(c.destination.string()); };
        }
        auto task = manager->downloadTaskWithRequest(requestFor(test::HttpFixture::shared().url("/bytes/1000")), nullptr,
                                                     destination, test::recordInto(record));
        task->resume();
        ASSERT_TRUE(test::waitDone(record));
        ASSERT_TRUE(runMainUntil([&] { return completionOf(seen.entries(), task) != nullptr; }, 10));
        const auto entries = seen.entries();
        const Dictionary info = completionOf(entries, task)->userInfo;
        EXPECT_EQ(info.contains(HCNetworkingTaskCompleteAssetPathKey), c.moved);
        EXPECT_EQ(info.contains(HCNetworkingTaskCompleteResponseDataKey), !c.moved);
        const bool moveFailed = !c.destination.empty() && !c.moved;
        bool fileManagerError = false;
        for (const auto& e : entries) fileManagerError |= e.name == HCNetworkingSessionDownloadFileManagerErrorNotification;
        EXPECT_EQ(fileManagerError, moveFailed);
        if (c.moved) {
            EXPECT_FALSE(record->error);
            ASSERT_TRUE(record->object.objectAs<URL>());
            EXPECT_EQ(record->object.objectAs<URL>()->path(), target.string());
            EXPECT_EQ(std::filesystem::file_size(target), 1000u);
        } else if (moveFailed) {
            // The lost download is reported, not passed off as a success.
            ASSERT_TRUE(record->error);
            EXPECT_TRUE(record->object.isNil());
            EXPECT_EQ(info.get(HCNetworkingTaskCompleteErrorKey).object(), record->error);
        } else {
            EXPECT_FALSE(record->error);
            EXPECT_EQ(record->object.bytes().size(), 0u);
        }
        test::endManager(manager);
    }
}

TEST(SessionTaskDelegate, ReleasedManagerCompletesOnMainInSharedGroupWithoutObject) {
    auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration());
    auto task = session->dataTaskWithRequest(requestFor(test::HttpFixture::shared().url("/echo")));
    auto delegate = makeRef<HCURLSessionManagerTaskDelegate>();
    {
        auto manager = HCURLSessionManager::make();
        delegate->setManager(manager);
        test::endManager(manager);
    }
    EXPECT_FALSE(delegate->manager());
    auto record = std::make_shared<Completion>();
    delegate->setCompletionHandler(test::recordInto(record));
    delegate->didReceiveData(*session, *task, Bytes{'{', '}'});
    HCSessionManagerCompletionGroup()->enter();  // held so the group is not empty before the handler runs
    bool groupEmptied = false;
    HCSessionManagerCompletionGroup()->notify(Queue::main(), [&] { groupEmptied = true; });
    delegate->didCompleteWithError(*session, *task, nullptr);
    HCSessionManagerCompletionGroup()->leave();
    ASSERT_TRUE(test::waitDone(record));
    EXPECT_TRUE(record->onMainThread);
    EXPECT_TRUE(record->object.isNil());
    EXPECT_FALSE(record->error);
    EXPECT_TRUE(runMainUntil([&] { return groupEmptied; }, 10));
    session->invalidateAndCancel();
}

TEST(TaskHooks, OnlyTheOwningManagerAnnouncesRealChanges) {
    auto owner = HCURLSessionManager::make();
    auto other = HCURLSessionManager::make();
    test::NotificationLog seen({std::string(HCNetworkingTaskDidResumeNotification),
                                  std::string(HCNetworkingTaskDidSuspendNotification)});
    test::RawFixture silent(test::RawFixture::Mode::NeverAnswer);
    auto task = owner->dataTaskWithRequest(requestFor(silent.url("/x")), nullptr);
    EXPECT_EQ(task->taskDescription(), owner->taskDescriptionForSessionTasks());
    task->resume();
    task->resume();  // already running
    task->suspend();
    task->suspend();  // already suspended
    test::drainMainQueue();
    const auto entries = seen.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, HCNetworkingTaskDidResumeNotification);
    EXPECT_EQ(entries[1].name, HCNetworkingTaskDidSuspendNotification);
    for (const auto& e : entries) EXPECT_EQ(e.object, task);
    // A task of other code (no manager's description) is not announced.
    auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration());
    session->dataTaskWithRequest(requestFor(test::HttpFixture::shared().url("/echo")))->resume();
    test::drainMainQueue();
    EXPECT_EQ(seen.entries().size(), 2u);
    session->invalidateAndCancel();
    test::endManager(owner);
    test::endManager(other);
}

}  // namespace
}  // namespace lv
