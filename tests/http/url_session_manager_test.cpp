// The URL session manager over loopback: configuration and description, task lists (also from inside
// a session callback), the optional calls, challenge dispositions over TLS and 401, upload totals from
// Content-Length, the finished-download rule, copies and the completion group.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <regex>

#include "http/url_session_manager.h"
#include "operation_server.h"
#include "platform/net/fixtures.h"
#include "session_manager_test_support.h"
#include "support/temp_dir.h"
#include "support/test_certificates.h"
#include "support/tls_server.h"

namespace lv {
namespace {

using test::Completion;

using test::requestFor;

TEST(URLSessionManager, DefaultsDescriptionTaskListsAndKeys) {
    auto manager = HCURLSessionManager::make();
    EXPECT_FALSE(manager->sessionConfiguration()->identifier());
    EXPECT_TRUE(std::dynamic_pointer_cast<HCJSONResponseSerializer>(manager->responseSerializer()));
    EXPECT_EQ(manager->operationQueue()->maxConcurrentOperationCount(), 1);
    EXPECT_TRUE(std::regex_match(manager->description(),
                                 std::regex("<HCURLSessionManager: 0x[0-9a-f]+, session: .+, operationQueue: .+>")))
        << manager->description();
    EXPECT_EQ(manager->taskDescriptionForSessionTasks(), addressText(manager.get()));

    const auto& fixture = test::HttpFixture::shared();
    auto download = manager->downloadTaskWithRequest(requestFor(fixture.url("/echo")), nullptr, nullptr, nullptr);
    auto data = manager->dataTaskWithRequest(requestFor(fixture.url("/echo")), nullptr);
    auto upload = manager->uploadTaskWithRequest(requestFor(fixture.url("/echo")), Bytes{1, 2}, nullptr, nullptr);
    const std::vector<Ref<URLSessionTask>> all{data, upload, download};
    EXPECT_EQ(manager->tasks(), all);
    EXPECT_EQ(manager->dataTasks(), std::vector<Ref<URLSessionTask>>{data});
    EXPECT_EQ(manager->uploadTasks(), std::vector<Ref<URLSessionTask>>{upload});
    EXPECT_EQ(manager->downloadTasks(), std::vector<Ref<URLSessionTask>>{download});
    EXPECT_FALSE(manager->tasksForKeyPath("allTasks"));
    EXPECT_TRUE(manager->downloadProgressForTask(*download));
    test::endManager(manager);
}

TEST(URLSessionManager, TaskListFromInsideACallbackReturns) {
    auto manager = HCURLSessionManager::make();
    std::atomic<int> listed{-1};
    manager->setDataTaskDidReceiveDataBlock([&](URLSession&, URLSessionDataTask&, const Bytes&) {
        listed = static_cast<int>(manager->tasks().size());
    });
    auto record = std::make_shared<Completion>();
    manager->dataTaskWithRequest(requestFor(test::HttpFixture::shared().url("/echo")), test::recordInto(record))->resume();
    ASSERT_TRUE(test::waitDone(record));
    EXPECT_EQ(listed.load(), 1);
    test::endManager(manager);
}

TEST(URLSessionManager, OptionalCallsAnswerWhetherTheirBlockIsSet) {
    auto manager = HCURLSessionManager::make();
    const URLSessionDelegateCall optional[] = {
        URLSessionDelegateCall::WillPerformHTTPRedirection, URLSessionDelegateCall::DidReceiveResponse,
        URLSessionDelegateCall::WillCacheResponse, URLSessionDelegateCall::DidFinishEventsForBackgroundSession};
    for (auto call : optional) EXPECT_FALSE(manager->respondsTo(call));
    EXPECT_TRUE(manager->respondsTo(URLSessionDelegateCall::DidReceiveData));
    manager->setTaskWillPerformHTTPRedirectionBlock([](auto&, auto&, auto&, const URLRequest& r) { return r; });
    manager->setDataTaskDidReceiveResponseBlock([](auto&, auto&, auto&) { return URLSessionResponseDisposition::Allow; });
    manager->setDataTaskWillCacheResponseBlock([](auto&, auto&, const Ref<CachedURLResponse>& c) { return c; });
    manager->setDidFinishEventsForBackgroundURLSessionBlock([](URLSession&) {});
    for (auto call : optional) EXPECT_TRUE(manager->respondsTo(call));
    test::endManager(manager);
}

// Records the disposition the manager answers for each task-level challenge.
class DispositionRecorder : public HCURLSessionManager {
public:
    using HCURLSessionManager::HCURLSessionManager;
    using HCURLSessionManager::didReceiveChallenge;
    static Ref<DispositionRecorder> make() {
        auto manager = makeRef<DispositionRecorder>(nullptr);
        manager->setUp();
        return manager;
    }
    void didReceiveChallenge(URLSession& session, URLSessionTask& task, const Ref<AuthenticationChallenge>& challenge,
                             ChallengeHandler handler) override {
        HCURLSessionManager::didReceiveChallenge(session, task, challenge, [this, handler](Disposition d, Ref<URLCredential> c) {
            std::lock_guard guard(mutex);
            dispositions.push_back(d);
            credentials.push_back(c);
            handler(d, c);
        });
    }
    std::mutex mutex;
    std::vector<Disposition> dispositions;
    std::vector<Ref<URLCredential>> credentials;
};

TEST(URLSessionManager, ChallengeDispositions) {
    const auto& pki = test::TestPKI::shared();
    test::TlsServer tls(pki.leaf, {pki.intermediate.der});
    const std::string httpsURL = "https://localhost:" + std::to_string(tls.port()) + "/hello";
    struct Case {
        const char* name;
        std::string url;
        bool anchored;
        URLSessionAuthChallengeDisposition disposition;
        long errorCode;
    } cases[] = {
        {"trusted server", httpsURL, true, URLSessionAuthChallengeDisposition::UseCredential, 0},
        {"untrusted server", httpsURL, false, URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, -999},
        {"basic authentication", test::HttpFixture::shared().url("/basic-auth"), false,
         URLSessionAuthChallengeDisposition::PerformDefaultHandling, -1011},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TrustAnchors::clear();
        if (c.anchored) TrustAnchors::addCertificate(Certificate::createWithData(pki.root.der));
        auto manager = DispositionRecorder::make();
        manager->setResponseSerializer(HCHTTPResponseSerializer::serializer());
        auto record = std::make_shared<Completion>();
        manager->dataTaskWithRequest(requestFor(c.url), test::recordInto(record))->resume();
        ASSERT_TRUE(test::waitDone(record));
        {
            std::lock_guard guard(manager->mutex);
            ASSERT_EQ(manager->dispositions.size(), 1u);
            EXPECT_EQ(manager->dispositions[0], c.disposition);
            EXPECT_EQ(bool(manager->credentials[0]), c.disposition == URLSessionAuthChallengeDisposition::UseCredential);
        }
        if (c.errorCode == 0) {
            EXPECT_FALSE(record->error) << record->error->description();
        } else {
            ASSERT_TRUE(record->error);
            EXPECT_EQ(record->error->code(), c.errorCode);
        }
        test::endManager(manager);
    }
    TrustAnchors::clear();
}

TEST(URLSessionManager, UploadTotalComesFromContentLength) {
    auto manager = HCURLSessionManager::make();
    URLRequest request = requestFor(test::HttpFixture::shared().url("/echo"));
    request.setHTTPMethod("POST");
    request.setValue("1000", "Content-Length");
    request.setHTTPBodyStream(InputStream::withData(Bytes(1000, 'x')));
    std::atomic<std::int64_t> expectedSeen{0};
    manager->setTaskDidSendBodyDataBlock([&](auto&, auto&, std::int64_t, std::int64_t, std::int64_t expected) {
        expectedSeen = expected;
    });
    Ref<Progress> progress;
    auto record = std::make_shared<Completion>();
    auto task = manager->uploadTaskWithStreamedRequest(request, &progress, test::recordInto(record));
    EXPECT_EQ(task->countOfBytesExpectedToSend(), -1);
    ASSERT_TRUE(progress);
    EXPECT_EQ(progress->totalUnitCount(), 1000);
    EXPECT_EQ(manager->uploadProgressForTask(*task), progress);
    task->resume();
    ASSERT_TRUE(test::waitDone(record));
    EXPECT_EQ(expectedSeen.load(), 1000);
    EXPECT_EQ(progress->completedUnitCount(), 1000);
    test::endManager(manager);
}

TEST(URLSessionManager, FinishedDownloadRule) {
    test::TempDir dir;
    const auto managerTarget = dir.path() / "manager.bin";
    const auto delegateTarget = dir.path() / "delegate.bin";
    for (bool managerAnswers : {false, true}) {
        SCOPED_TRACE(managerAnswers ? "manager block wins" : "nil falls back to the task delegate");
        std::filesystem::remove(managerTarget);
        std::filesystem::remove(delegateTarget);
        auto manager = HCURLSessionManager::make();
        manager->setResponseSerializer(HCHTTPResponseSerializer::serializer());
        manager->setDownloadTaskDidFinishDownloadingBlock([&](auto&, auto&, const Ref<URL>&) {
            return managerAnswers ? URL::fileURLWithPath(managerTarget.string()) : nullptr;
        });
        auto record = std::make_shared<Completion>();
        manager->downloadTaskWithRequest(
                   requestFor(test::HttpFixture::shared().url("/bytes/500")), nullptr,
                   [&](const Ref<URL>&, const Ref<URLResponse>&) { return URL::fileURLWithPath(delegateTarget.string()); },
                   test::recordInto(record))
            ->resume();
        ASSERT_TRUE(test::waitDone(record));
        const auto& expected = managerAnswers ? managerTarget : delegateTarget;
        EXPECT_EQ(std::filesystem::exists(managerTarget), managerAnswers);
        EXPECT_EQ(std::filesystem::exists(delegateTarget), !managerAnswers);
        ASSERT_TRUE(record->object.objectAs<URL>());
        EXPECT_EQ(record->object.objectAs<URL>()->path(), expected.string());
        test::endManager(manager);
    }
}

TEST(URLSessionManager, CopyAndCompletionQueueAndGroup) {
    auto configuration = URLSessionConfiguration::ephemeralSessionConfiguration();
    configuration->setTimeoutIntervalForRequest(12);
    auto manager = HCURLSessionManager::make(configuration);
    manager->setResponseSerializer(HCHTTPResponseSerializer::serializer());
    manager->setTaskDidCompleteBlock([](auto&, auto&, auto&) {});
    auto copy = manager->copy();
    EXPECT_NE(copy, manager);
    EXPECT_EQ(copy->sessionConfiguration()->timeoutIntervalForRequest(), 12);
    EXPECT_TRUE(std::dynamic_pointer_cast<HCJSONResponseSerializer>(copy->responseSerializer()));

    // Handlers run on the completion queue inside the completion group; the notification follows.
    auto queue = Queue::makeSerial("session.manager.test.completion");
    auto group = Group::make();
    manager->setCompletionQueue(queue);
    manager->setCompletionGroup(group);
    std::atomic<int> handled{0};
    std::atomic<int> groupsPending{-1};
    auto handler = [&](auto&, auto&, auto&) {
        EXPECT_EQ(Queue::current(), queue);
        ++handled;
    };
    test::NotificationLog seen({std::string(HCNetworkingTaskDidCompleteNotification)});
    for (int i = 0; i < 2; ++i) {
        manager->dataTaskWithRequest(requestFor(test::HttpFixture::shared().url("/echo")), handler)->resume();
    }
    ASSERT_TRUE(runMainUntil([&] { return seen.entries().size() == 2; }, 10));
    EXPECT_EQ(handled.load(), 2);
    group->notify(Queue::main(), [&] { groupsPending = 0; });
    EXPECT_TRUE(runMainUntil([&] { return groupsPending == 0; }, 10));
    test::endManager(manager);
    test::endManager(copy);
}

}  // namespace
}  // namespace lv
