// Session-style loading over loopback: data and upload tasks, the delegate's calls and answers,
// cancellation, getTasks, invalidation, configurations, the task state hook and progress.
#include <gtest/gtest.h>

#include <fstream>

#include "echo.h"
#include "fixtures.h"
#include "platform/net/errors.h"
#include "platform/net/host_map.h"
#include "platform/net/progress.h"
#include "platform/storage/keyed_archive.h"
#include "session_recorder.h"
#include "support/temp_dir.h"
#include "support/test_certificates.h"
#include "support/tls_server.h"

namespace lv {
namespace {

using test::Call;
using test::HttpFixture;
using test::SessionRecorder;

struct SessionFixture {
    std::shared_ptr<SessionRecorder> recorder = std::make_shared<SessionRecorder>();
    Ref<URLSession> session;
    explicit SessionFixture(Ref<URLSessionConfiguration> configuration = nullptr) {
        session = URLSession::sessionWithConfiguration(configuration, recorder);
        recorder->expectedQueue = session->delegateQueue();
    }
};

TEST(SessionData, EchoCarriesTheAdditionalHeadersOnTheDelegateQueueInOrder) {
    auto configuration = URLSessionConfiguration::defaultSessionConfiguration();
    HTTPHeaders extra;
    extra.set("X-Session", "one");
    extra.set("X-Both", "session");
    configuration->setHTTPAdditionalHeaders(extra);
    SessionFixture f(configuration);
    auto request = test::fixtureRequest("/echo");
    request.setValue("request", "X-Both");
    auto first = f.session->dataTaskWithRequest(request);
    auto second = f.session->dataTaskWithRequest(request);
    EXPECT_EQ(first->state(), URLSessionTaskState::Suspended);
    EXPECT_EQ(second->taskIdentifier(), first->taskIdentifier() + 1);
    test::runTask(first, *f.recorder);

    const test::Echo echo(f.recorder->bodyText());
    EXPECT_EQ(echo.requestLine, "GET /echo");
    EXPECT_EQ(echo.header("X-Session"), "one");
    EXPECT_EQ(echo.header("X-Both"), "request");
    EXPECT_FALSE(echo.header("Content-Type"));
    EXPECT_FALSE(echo.header("Expect"));
    EXPECT_EQ(f.recorder->events(), (std::vector<std::string>{"response 200", "data", "complete 0"}));
    EXPECT_FALSE(f.recorder->offQueue);
    EXPECT_EQ(first->state(), URLSessionTaskState::Completed);
    EXPECT_EQ(first->countOfBytesReceived(), static_cast<std::int64_t>(f.recorder->body.size()));
    second->cancel();
}

TEST(SessionUpload, BodiesFromDataFileAndStreamWithAndWithoutALength) {
    test::TempDir dir;
    const std::string payload(70000, 'u');
    const std::string path = dir.file("upload.bin");
    std::ofstream(path) << payload;
    const Bytes bytes(payload.begin(), payload.end());
    const auto length = static_cast<std::int64_t>(payload.size());
    struct Case {
        const char* name;
        std::function<Ref<URLSessionUploadTask>(URLSession&)> make;
        std::int64_t expected;
    };
    const Case cases[] = {
        {"data", [&](URLSession& s) { return s.uploadTaskWithRequest(test::fixtureRequest("/echo", "POST"), bytes); }, length},
        {"file", [&](URLSession& s) { return s.uploadTaskWithRequest(test::fixtureRequest("/echo", "PUT"), path); }, length},
        {"stream with length",
         [&](URLSession& s) {
             auto request = test::fixtureRequest("/echo", "POST");
             request.setHTTPBodyStream(InputStream::withData(bytes));
             request.setValue(std::to_string(length), "Content-Length");
             return s.uploadTaskWithStreamedRequest(request);
         },
         length},
        {"stream without length",
         [&](URLSession& s) {
             auto request = test::fixtureRequest("/echo", "POST");
             request.setHTTPBodyStream(InputStream::withData(bytes));
             return s.uploadTaskWithStreamedRequest(request);
         },
         -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SessionFixture f;
        auto task = c.make(*f.session);
        test::runTask(task, *f.recorder);
        EXPECT_EQ(test::errorCode(f.recorder->error), 0);
        EXPECT_EQ(test::Echo(f.recorder->bodyText()).body, payload);
        EXPECT_EQ(task->countOfBytesExpectedToSend(), c.expected);
        EXPECT_EQ(f.recorder->sentExpected, c.expected);
        EXPECT_EQ(f.recorder->sentTotal, length);
        EXPECT_EQ(task->countOfBytesSent(), length);
    }
}

TEST(SessionDelegate, CancelCompletesOnceWithCancelledAndNothingFollows) {
    SessionFixture f;
    auto task = f.session->dataTaskWithRequest(test::fixtureRequest("/bytes/400000?chunk=4096&delay_ms=2"));
    std::atomic<bool> cancelled{false};
    f.recorder->onResponse = [&](URLSessionDataTask& t, auto handler) {
        handler(URLSessionResponseDisposition::Allow);
        t.cancel();
        cancelled = true;
    };
    test::runTask(task, *f.recorder);
    test::settle();
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(f.recorder->completions.load(), 1);
    EXPECT_EQ(f.recorder->events().back(), "complete -999");
    EXPECT_EQ(task->error()->userInfo().get("NSErrorFailingURLStringKey").stringValue(),
              HttpFixture::shared().url("/bytes/400000?chunk=4096&delay_ms=2"));
    task->cancel();  // already completed: nothing
    EXPECT_EQ(task->state(), URLSessionTaskState::Completed);

    // A task never resumed completes too.
    auto idle = f.session->dataTaskWithRequest(test::fixtureRequest("/echo"));
    idle->cancel();
    EXPECT_TRUE(runMainUntil([&] { return f.recorder->completions.load() == 2; }, 5));
    EXPECT_EQ(test::errorCode(idle->error()), URLErrorCancelled);
}

TEST(SessionDelegate, ResponseDispositionsAndRefusedRedirects) {
    {
        SCOPED_TRACE("cancel");
        SessionFixture f;
        f.recorder->onResponse = [](auto&, auto handler) { handler(URLSessionResponseDisposition::Cancel); };
        test::runTask(f.session->dataTaskWithRequest(test::fixtureRequest("/bytes/1000")), *f.recorder);
        EXPECT_EQ(f.recorder->events(), (std::vector<std::string>{"response 200", "complete -999"}));
    }
    {
        SCOPED_TRACE("answered later from another thread: the transfer waits");
        SessionFixture f;
        std::function<void(URLSessionResponseDisposition)> later;
        std::atomic<bool> asked{false};
        f.recorder->onResponse = [&](auto&, auto handler) {
            later = handler;
            asked = true;
        };
        auto task = f.session->dataTaskWithRequest(test::fixtureRequest("/bytes/300000"));
        task->resume();
        ASSERT_TRUE(runMainUntil([&] { return asked.load(); }, 5));
        test::settle();
        EXPECT_EQ(f.recorder->events(), (std::vector<std::string>{"response 200"}));
        later(URLSessionResponseDisposition::Allow);
        ASSERT_TRUE(runMainUntil([&] { return f.recorder->completions.load() == 1; }, 5));
        EXPECT_EQ(f.recorder->body.size(), 300000u);
    }
    {
        SCOPED_TRACE("become download");
        SessionFixture f;
        f.recorder->onResponse = [](auto&, auto handler) { handler(URLSessionResponseDisposition::BecomeDownload); };
        std::string downloaded;
        f.recorder->onFile = [&](const Ref<URL>& url) {
            const Bytes bytes = test::readFile(url->path());
            downloaded.assign(bytes.begin(), bytes.end());
        };
        auto task = f.session->dataTaskWithRequest(test::fixtureRequest("/echo"));
        test::runTask(task, *f.recorder);
        EXPECT_EQ(f.recorder->events(), (std::vector<std::string>{"response 200", "became download", "write",
                                                                   "finished download", "complete 0"}));
        EXPECT_EQ(test::Echo(downloaded).requestLine, "GET /echo");
        EXPECT_NE(f.recorder->completedTask, task.get());
        EXPECT_EQ(task->state(), URLSessionTaskState::Completed);
    }
    {
        SCOPED_TRACE("redirect refused");
        SessionFixture f;
        f.recorder->answers.insert(Call::WillPerformHTTPRedirection);
        f.recorder->onRedirect = [](const URLRequest&, auto handler) { handler(std::nullopt); };
        test::runTask(f.session->dataTaskWithRequest(test::fixtureRequest("/redirect/302")), *f.recorder);
        EXPECT_EQ(f.recorder->events(), (std::vector<std::string>{"redirect 302", "response 302", "data", "complete 0"}));
        EXPECT_EQ(f.recorder->bodyText(), "redirecting");
    }
}

TEST(SessionDelegate, HTTPAuthenticationAsksTheTaskThenTheSession) {
    using D = URLSessionAuthChallengeDisposition;
    struct Case {
        const char* name;
        std::set<Call> challenges;
        D answer;
        std::string first;
        int status;  // 0: fails
        int code;
    };
    const Case cases[] = {
        {"task level, credential", {Call::TaskDidReceiveChallenge, Call::SessionDidReceiveChallenge}, D::UseCredential,
         "task challenge NSURLAuthenticationMethodHTTPBasic", 200, 0},
        {"task level, cancel", {Call::TaskDidReceiveChallenge}, D::CancelAuthenticationChallenge,
         "task challenge NSURLAuthenticationMethodHTTPBasic", 0, URLErrorCancelled},
        {"task level, default", {Call::TaskDidReceiveChallenge}, D::PerformDefaultHandling,
         "task challenge NSURLAuthenticationMethodHTTPBasic", 401, 0},
        {"session level only (default)", {Call::SessionDidReceiveChallenge}, D::PerformDefaultHandling,
         "session challenge NSURLAuthenticationMethodHTTPBasic", 401, 0},
        {"no handler", {}, D::PerformDefaultHandling, "response 401", 401, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SessionFixture f;
        f.recorder->answers.insert(c.challenges.begin(), c.challenges.end());
        f.recorder->onChallenge = [&](URLSessionTask&, const Ref<AuthenticationChallenge>&, auto handler) {
            handler(c.answer, c.answer == D::UseCredential ? URLCredential::make("user", "pass") : nullptr);
        };
        auto task = f.session->dataTaskWithRequest(test::fixtureRequest("/basic-auth"));
        test::runTask(task, *f.recorder);
        EXPECT_EQ(f.recorder->events().front(), c.first);
        EXPECT_EQ(test::errorCode(f.recorder->error), c.code);
        const auto* http = dynamic_cast<const HTTPURLResponse*>(task->response().get());
        EXPECT_EQ(http ? http->statusCode() : 0, c.status);
    }
}

TEST(SessionDelegate, ServerTrustAsksTheTaskThenTheSessionThenEvaluates) {
    const auto& pki = test::TestPKI::shared();
    TrustAnchors::clear();
    TrustAnchors::addCertificate(Certificate::createWithData(pki.root.der));
    using D = URLSessionAuthChallengeDisposition;
    struct Case {
        const char* name;
        const test::Identity* identity;
        std::set<Call> challenges;
        D answer;
        int code;
    };
    const Case cases[] = {
        {"task accepts an untrusted server", &pki.selfSigned, {Call::TaskDidReceiveChallenge, Call::SessionDidReceiveChallenge},
         D::UseCredential, 0},
        {"task cancels", &pki.leaf, {Call::TaskDidReceiveChallenge}, D::CancelAuthenticationChallenge, URLErrorCancelled},
        {"session level, default evaluation", &pki.selfSigned, {Call::SessionDidReceiveChallenge}, D::PerformDefaultHandling,
         URLErrorServerCertificateUntrusted},
        {"no handler, trusted", &pki.leaf, {}, D::PerformDefaultHandling, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TlsServer server(*c.identity, {pki.intermediate.der});
        SessionFixture f;
        f.recorder->answers.insert(c.challenges.begin(), c.challenges.end());
        f.recorder->onChallenge = [&](URLSessionTask&, const Ref<AuthenticationChallenge>& challenge, auto handler) {
            handler(c.answer, URLCredential::credentialForTrust(challenge->protectionSpace()->serverTrust()));
        };
        URLRequest request(URL::URLWithString("https://localhost:" + std::to_string(server.port()) + "/hello"));
        test::runTask(f.session->dataTaskWithRequest(request), *f.recorder);
        EXPECT_EQ(test::errorCode(f.recorder->error), c.code);
        const auto events = f.recorder->events();
        if (c.challenges.count(Call::TaskDidReceiveChallenge)) {
            EXPECT_EQ(events.front(), "task challenge NSURLAuthenticationMethodServerTrust");
        } else if (!c.challenges.empty()) {
            EXPECT_EQ(events.front(), "session challenge NSURLAuthenticationMethodServerTrust");
        }
        EXPECT_EQ(server.requests(), c.code == 0 ? 1 : 0);
    }
    TrustAnchors::clear();
}

TEST(SessionDelegate, GetTasksAnswersAtOnceEvenFromInsideACallback) {
    SessionFixture f;
    auto data = f.session->dataTaskWithRequest(test::fixtureRequest("/echo"));
    auto download = f.session->downloadTaskWithRequest(test::fixtureRequest("/echo"));
    std::size_t dataSeen = 0;
    std::size_t downloadsSeen = 0;
    f.recorder->onResponse = [&](auto&, auto handler) {
        f.session->getTasksWithCompletionHandler([&](auto tasks, auto, auto downloads) {
            dataSeen = tasks.size();
            downloadsSeen = downloads.size();
        });
        handler(URLSessionResponseDisposition::Allow);
    };
    test::runTask(data, *f.recorder);
    EXPECT_EQ(dataSeen, 1u);
    EXPECT_EQ(downloadsSeen, 1u);
    f.session->getTasksWithCompletionHandler([&](auto tasks, auto uploads, auto downloads) {
        EXPECT_TRUE(tasks.empty());
        EXPECT_TRUE(uploads.empty());
        ASSERT_EQ(downloads.size(), 1u);
        EXPECT_EQ(downloads[0], download);
    });
    download->cancel();
}

TEST(SessionInvalidation, FinishingLetsTasksEndAndCancellingEndsThem) {
    for (const bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "invalidateAndCancel" : "finishTasksAndInvalidate");
        SessionFixture f;
        auto task = f.session->dataTaskWithRequest(test::fixtureRequest("/bytes/200000?chunk=8192&delay_ms=5"));
        std::atomic<bool> started{false};
        f.recorder->onResponse = [&](auto&, auto handler) {
            handler(URLSessionResponseDisposition::Allow);
            started = true;
        };
        task->resume();
        ASSERT_TRUE(runMainUntil([&] { return started.load(); }, 5));
        if (cancel) {
            f.session->invalidateAndCancel();
        } else {
            f.session->finishTasksAndInvalidate();
        }
        EXPECT_FALSE(f.session->dataTaskWithRequest(test::fixtureRequest("/echo")));
        ASSERT_TRUE(runMainUntil([&] { return f.recorder->invalid.load(); }, 10));
        const auto events = f.recorder->events();
        EXPECT_EQ(events.back(), "invalid");
        EXPECT_EQ(events[events.size() - 2], cancel ? "complete -999" : "complete 0");
        EXPECT_EQ(f.recorder->body.size(), cancel ? f.recorder->body.size() : 200000u);
        EXPECT_FALSE(f.session->delegate());
    }
}

TEST(SessionConfiguration, DefaultsCopiesAndArchives) {
    auto configuration = URLSessionConfiguration::defaultSessionConfiguration();
    EXPECT_EQ(configuration->timeoutIntervalForRequest(), 60);
    EXPECT_EQ(configuration->timeoutIntervalForResource(), 7 * 24 * 3600);
    EXPECT_EQ(configuration->cache().get(), &URLCache::shared());
    EXPECT_NE(URLSessionConfiguration::ephemeralSessionConfiguration()->cache().get(), &URLCache::shared());

    auto copy = configuration->copy();
    copy->setTimeoutIntervalForRequest(5);
    EXPECT_EQ(configuration->timeoutIntervalForRequest(), 60);

    for (auto original : {URLSessionConfiguration::defaultSessionConfiguration(), URLSessionConfiguration::ephemeralSessionConfiguration()}) {
        HTTPHeaders headers;
        headers.set("X-Archived", "yes");
        original->setHTTPAdditionalHeaders(headers);
        original->setTimeoutIntervalForRequest(12.5);
        original->setHTTPMaximumConnectionsPerHost(2);
        original->setRequestCachePolicy(URLRequestCachePolicy::ReturnCacheDataElseLoad);
        original->setHTTPShouldSetCookies(false);
        Ref<Error> error;
        const auto back = KeyedUnarchiver::unarchivedObject(KeyedArchiver::archivedDataWithRootObject(Value(original)), &error)
                              .objectAs<URLSessionConfiguration>();
        ASSERT_TRUE(back) << (error ? error->description() : "");
        EXPECT_EQ(back->isEphemeral(), original->isEphemeral());
        EXPECT_EQ(back->HTTPAdditionalHeaders().value("X-Archived"), "yes");
        EXPECT_EQ(back->timeoutIntervalForRequest(), 12.5);
        EXPECT_EQ(back->HTTPMaximumConnectionsPerHost(), 2);
        EXPECT_EQ(back->requestCachePolicy(), URLRequestCachePolicy::ReturnCacheDataElseLoad);
        EXPECT_FALSE(back->HTTPShouldSetCookies());
        EXPECT_EQ(back->cache().get() == &URLCache::shared(), !original->isEphemeral());
    }
    auto background = URLSessionConfiguration::backgroundSessionConfigurationWithIdentifier("com.example.bg");
    EXPECT_EQ(background->identifier(), "com.example.bg");
    EXPECT_FALSE(background->supportsArchiving());
    EXPECT_THROW(KeyedArchiver::archivedDataWithRootObject(Value(background)), Exception);
}

TEST(SessionConfiguration, TimeOutsForIdleRequestsAndWholeResources) {
    {
        SCOPED_TRACE("request time-out for requests that keep the default");
        auto configuration = URLSessionConfiguration::defaultSessionConfiguration();
        configuration->setTimeoutIntervalForRequest(0.3);
        SessionFixture f(configuration);
        test::RawFixture silent(test::RawFixture::Mode::NeverAnswer);
        test::runTask(f.session->dataTaskWithRequest(URLRequest(URL::URLWithString(silent.url("/")))), *f.recorder);
        EXPECT_EQ(test::errorCode(f.recorder->error), URLErrorTimedOut);
    }
    {
        SCOPED_TRACE("resource time-out while bytes keep coming");
        auto configuration = URLSessionConfiguration::defaultSessionConfiguration();
        configuration->setTimeoutIntervalForResource(0.4);
        SessionFixture f(configuration);
        test::runTask(f.session->dataTaskWithRequest(test::fixtureRequest("/bytes/100000?chunk=1000&delay_ms=10")), *f.recorder);
        EXPECT_EQ(test::errorCode(f.recorder->error), URLErrorTimedOut);
        EXPECT_GT(f.recorder->body.size(), 0u);
        EXPECT_LT(f.recorder->body.size(), 100000u);
    }
}

TEST(TaskStateHook, CalledOncePerRealChangeOnTheCallingThread) {
    std::mutex mutex;
    std::vector<std::pair<int, int>> changes;
    URLSessionTask::setStateHook([&](URLSessionTask&, URLSessionTaskState before, URLSessionTaskState after) {
        std::lock_guard lock(mutex);
        changes.emplace_back(static_cast<int>(before), static_cast<int>(after));
    });
    SessionFixture f;
    auto task = f.session->dataTaskWithRequest(test::fixtureRequest("/bytes/300000?chunk=8192&delay_ms=2"));
    task->resume();
    task->resume();
    task->suspend();
    task->suspend();
    task->resume();
    ASSERT_TRUE(runMainUntil([&] { return f.recorder->completions.load() == 1; }, 10));
    URLSessionTask::setStateHook(nullptr);
    EXPECT_EQ(changes, (std::vector<std::pair<int, int>>{{1, 0}, {0, 1}, {1, 0}}));
    EXPECT_EQ(f.recorder->body.size(), 300000u);
}

TEST(Progress, CountsFractionAndHandlersRunOncePerChange) {
    auto progress = Progress::progressWithTotalUnitCount(200);
    EXPECT_EQ(progress->fractionCompleted(), 0);
    progress->setCompletedUnitCount(50);
    EXPECT_DOUBLE_EQ(progress->fractionCompleted(), 0.25);
    progress->setTotalUnitCount(0);
    EXPECT_EQ(progress->fractionCompleted(), 0);
    int pauses = 0, resumes = 0, cancels = 0;
    progress->setPausingHandler([&] { ++pauses; });
    progress->setResumingHandler([&] { ++resumes; });
    progress->setCancellationHandler([&] { ++cancels; });
    progress->pause();
    progress->pause();
    progress->resume();
    progress->cancel();
    progress->cancel();
    progress->pause();
    EXPECT_EQ(std::make_tuple(pauses, resumes, cancels), std::make_tuple(1, 1, 1));
    EXPECT_TRUE(progress->isCancelled());
}

}  // namespace
}  // namespace lv
