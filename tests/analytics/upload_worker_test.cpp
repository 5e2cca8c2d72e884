// The upload worker against a log service on 127.0.0.1, reached through the host map.
#include <httplib.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "analytics/imprint.h"
#include "analytics/tally_app.h"
#include "analytics/tally_config.h"
#include "analytics/tally_envelope.h"
#include "analytics/tally_utility.h"
#include "analytics/tly_worker.h"
#include "analytics/upload_protocol.h"
#include "platform/dispatch/operation.h"
#include "platform/dispatch/run_loop.h"
#include "platform/net/host_map.h"
#include "platform/storage/file_manager.h"
#include "platform/ui/application.h"
#include "upload_test_support.h"

namespace lv {
namespace {

namespace protocol = upload_protocol;

struct Reply {
    int status = 200;
    std::string contentType = "application/pack";
    Bytes body;
    bool hold = false;  // answer only once released (past the client's time-out); a 3xx points at
                        // "/redirected" on this service
    bool trickle = false;  // the body, then one more byte every 20 ms until released: never ends
};

struct Seen {
    std::string host, path, contentType, body;
    bool backgroundTask = false;
};

Bytes okReplyBytes() {
    TPKResponse response;
    response.setResp_code(1);
    return packBytes(response);
}

// Both log hosts lead here; the Host field tells them apart.
class LogService {
public:
    using Behaviour = std::function<Reply(const Seen&, std::size_t index)>;

    explicit LogService(Behaviour behaviour) : behaviour_(std::move(behaviour)) {
        // Where redirects point: any request there is recorded and accepted.
        auto redirected = [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(mutex_);
            seen_.push_back(Seen{req.get_header_value("Host"), req.path, req.get_header_value("Content-Type"), req.body});
            res.status = 200;
            res.set_content(std::string(okReplyBytes().begin(), okReplyBytes().end()), "application/pack");
        };
        server_.Get("/redirected", redirected);
        server_.Post("/redirected", redirected);
        server_.Post(std::string(protocol::kLogPath), [this](const httplib::Request& req, httplib::Response& res) {
            Seen seen{req.get_header_value("Host"), req.path, req.get_header_value("Content-Type"), req.body,
                      TallyApp::sharedInstance()->backgroundTaskIdentifier() != kBackgroundTaskInvalid};
            std::size_t index = 0;
            {
                std::lock_guard lock(mutex_);
                index = seen_.size();
                seen_.push_back(seen);
            }
            const Reply reply = behaviour_(seen, index);
            if (reply.hold) {
                std::unique_lock lock(mutex_);
                released_.wait(lock, [this] { return release_; });
            }
            res.status = reply.status;
            if (reply.status / 100 == 3) res.set_header("Location", "http://" + req.get_header_value("Host") + "/redirected");
            if (reply.trickle) {
                res.set_chunked_content_provider(reply.contentType, [this, body = reply.body](std::size_t, httplib::DataSink& sink) {
                    std::unique_lock lock(mutex_);
                    // The service's own pace, not a wait of the test's: a byte, then a pause.
                    if (released_.wait_for(lock, std::chrono::milliseconds(20), [this] { return release_; })) {
                        sink.done();
                        return true;
                    }
                    lock.unlock();
                    return sink.write(reinterpret_cast<const char*>(body.data()), body.size());
                });
                return;
            }
            res.set_content(std::string(reply.body.begin(), reply.body.end()), reply.contentType);
        });
        server_.set_keep_alive_max_count(1);  // one request per connection: stopping never waits on an idle one
        server_.set_tcp_nodelay(true);
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) std::this_thread::yield();
        HostMap::set(protocol::kLogHost, "127.0.0.1", port_);
        HostMap::set(protocol::kLogFallbackHost, "127.0.0.1", port_);
    }
    ~LogService() {
        {
            std::lock_guard lock(mutex_);
            release_ = true;
        }
        released_.notify_all();
        server_.stop();
        thread_.join();
        HostMap::remove(protocol::kLogHost);
        HostMap::remove(protocol::kLogFallbackHost);
    }

    std::vector<Seen> seen() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }

private:
    Behaviour behaviour_;
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable released_;
    bool release_ = false;
    std::vector<Seen> seen_;
};

bool isPrimary(const Seen& seen) { return seen.host.rfind(std::string(protocol::kLogHost), 0) == 0; }

Bytes okReply(std::optional<TPKImprint> imprint = std::nullopt) {
    TPKResponse response;
    response.setResp_code(1);
    if (imprint) response.setImprint(*imprint);
    return packBytes(response);
}

TPKImprint defconImprint(const std::string& level) {
    TPKImprintValue value;
    value.setValue(level);
    TPKImprint imprint;
    imprint.setProperty(std::map<std::string, TPKImprintValue>{{"defcon", value}});
    imprint.setChecksum(imprintChecksum(imprint));
    return imprint;
}

class UploadWorker : public ::testing::Test {
protected:
    void SetUp() override {
        Application::resetSharedApplication();
        ApplicationConfiguration configuration;
        configuration.controlInput = -1;
        configuration.handleSignals = false;
        Application::sharedApplication()->setConfiguration(configuration);
        queue_->setMaxConcurrentOperationCount(1);
    }
    void TearDown() override { Application::resetSharedApplication(); }

    std::vector<std::string> writeFiles(int count) {
        std::vector<std::string> paths;
        for (int i = 1; i <= count; ++i) {
            paths.push_back(TallyUtility::generateEnvelopeFileNameWithTS(std::to_string(1700000000000 + i)));
            EXPECT_TRUE(TallyUtility::saveData(Bytes{'e', 'n', 'v', static_cast<std::uint8_t>('0' + i)}, paths.back()));
        }
        return paths;
    }

    // Queues a worker over the files; ended_ is set when its job ends.
    Ref<TLYWorker> queueWorker(const std::vector<std::string>& paths, const std::function<void(TLYWorker&)>& configure) {
        auto worker = makeRef<TLYWorker>();
        worker->setEnvelopeFilePaths(paths);
        worker->setPack(f.pack);
        worker->setJobEndedHandler([this] { ended_.store(true); });
        configure(*worker);
        queue_->addOperation(worker);
        return worker;
    }
    // Runs a worker over the files and waits until it ended and its main-queue work ran.
    void run(const std::vector<std::string>& paths, double timeout = 5) {
        auto worker = queueWorker(paths, [timeout](TLYWorker& w) { w.setTimeoutInterval(timeout); });
        ASSERT_TRUE(runMainUntil([&] { return ended_.load() && worker->isFinished(); }, 20));
        test::drainMain();
        ended_.store(false);
    }

    static std::int64_t counter(std::string_view key) { return TallyConfig::configureWithKey(key).longLongValue(); }

    test::PackFixture f;
    Ref<OperationQueue> queue_ = OperationQueue::make();
    std::atomic<bool> ended_{false};
};

TEST_F(UploadWorker, PostsOldestFirstRemovesEachFileAndHandsTheReplyOn) {
    LogService service([](const Seen&, std::size_t) { return Reply{200, "application/pack", okReply(defconImprint("1"))}; });
    auto paths = writeFiles(3);
    ASSERT_FALSE(f.pack->idTracking().journals()->empty());
    paths.insert(paths.begin() + 1, TallyUtility::generateEnvelopeFileNameWithTS("1"));  // gone meanwhile
    run(paths);
    paths.erase(paths.begin() + 1);

    const auto seen = service.seen();
    ASSERT_EQ(seen.size(), 3u);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].body, "env" + std::to_string(i + 1));
        EXPECT_TRUE(isPrimary(seen[i]));
        EXPECT_EQ(seen[i].path, "/app_logs");
        EXPECT_EQ(seen[i].contentType, "application/pack");
        EXPECT_TRUE(seen[i].backgroundTask);
        EXPECT_FALSE(TallyUtility::isExistAtPath(paths[i]));
    }
    EXPECT_EQ(counter("tlySuccessfulRequests"), 3);
    EXPECT_FALSE(TallyConfig::configureWithKey("lastPostInterval").isNil());
    EXPECT_EQ(f.engine->level, 1);                                // the imprint, applied on the main queue
    EXPECT_TRUE(f.pack->idTracking().journals()->empty());         // then the id tracking saved
    EXPECT_EQ(TallyApp::sharedInstance()->backgroundTaskIdentifier(), kBackgroundTaskInvalid);
}

TEST_F(UploadWorker, EachOutcomeCountsAndKeepsOrRemovesTheFile) {
    struct Case {
        std::string name;
        std::function<Reply(const Seen&)> reply;
        std::vector<bool> kept;    // per file
        std::size_t posts;         // requests the service saw
        std::int64_t good, bad;    // counters afterwards
        bool verified;
    } cases[] = {
        {"404 stops", [](const Seen&) { return Reply{404, "text/plain", {}, false}; }, {true, true}, 1, 0, 1, false},
        {"500 then the fallback", [](const Seen& s) { return isPrimary(s) ? Reply{500, "text/plain", {}, false} : Reply{200, "application/pack", okReply(defconImprint("2"))}; },
         {false, false}, 4, 2, 0, true},
        {"both 503", [](const Seen&) { return Reply{503, "text/plain", {}, false}; }, {true, true}, 2, 0, 1, false},
        // Only the service's own reply record says the envelope arrived: any other 200 (a captive
        // portal's login page, a proxy's answer) keeps the file and stops the run.
        {"200 of another type", [](const Seen&) { return Reply{200, "application/octet-stream", okReply(defconImprint("2"))}; },
         {true, true}, 1, 0, 1, false},
        {"200 with an empty body", [](const Seen&) { return Reply{200, "application/pack", {}}; }, {true, true}, 1, 0, 1, false},
        {"200 portal page", [](const Seen&) { return Reply{200, "text/html", Bytes{'<', 'h', 't', 'm', 'l', '>'}}; },
         {true, true}, 1, 0, 1, false},
        {"200 pack type, not a reply", [](const Seen&) { return Reply{200, "application/pack", Bytes{'<', 'h', 't', 'm', 'l', '>'}}; },
         {true, true}, 1, 0, 1, false},
        {"200 record without its code", [](const Seen&) { return Reply{200, "application/pack", Bytes{11, 0, 2, 0, 0, 0, 0, 0}}; },
         {true, true}, 1, 0, 1, false},
        // A redirect is the answer, not the way to one: the file stays, whatever the target says.
        {"302 to a 200", [](const Seen&) { return Reply{302, "text/plain", {}, false}; }, {true, true}, 1, 0, 1, false},
        {"307 to a 200", [](const Seen&) { return Reply{307, "text/plain", {}, false}; }, {true, true}, 1, 0, 1, false},
        {"200 with a failing code", [](const Seen&) { return Reply{200, "application/pack", Bytes{8, 0, 1, 0, 0, 0, 0, 0}}; },
         {false, false}, 2, 2, 0, false},
    };
    for (const auto& c : cases) {
        TallyConfig::removeConfigureWithKey("tlySuccessfulRequests");
        TallyConfig::removeConfigureWithKey("tlyFailedRequests");
        f.engine->level = 0;
        LogService service([&](const Seen& s, std::size_t) { return c.reply(s); });
        const auto paths = writeFiles(2);
        run(paths);
        EXPECT_EQ(service.seen().size(), c.posts) << c.name;
        for (std::size_t i = 0; i < paths.size(); ++i) EXPECT_EQ(TallyUtility::isExistAtPath(paths[i]), c.kept[i]) << c.name << i;
        EXPECT_EQ(counter("tlySuccessfulRequests"), c.good) << c.name;
        EXPECT_EQ(counter("tlyFailedRequests"), c.bad) << c.name;
        EXPECT_EQ(f.engine->level == 2, c.verified) << c.name;
        for (const auto& path : paths) TallyUtility::removeFile(path);
    }
}

TEST_F(UploadWorker, AReplyPastTheTimeOutFailsOnBothHosts) {
    LogService service([](const Seen&, std::size_t) { return Reply{200, "application/pack", okReply(), true}; });
    const auto paths = writeFiles(2);
    run(paths, 0.3);
    EXPECT_EQ(service.seen().size(), 2u);  // the primary, then the fallback, for the first file only
    EXPECT_TRUE(TallyUtility::isExistAtPath(paths[0]));
    EXPECT_EQ(counter("tlyFailedRequests"), 1);
    EXPECT_GE(counter("tlyLastRequestSpentMS"), 500);
}

// A post is bounded as a whole and in its reply's size, and a run in time, whatever the service does:
// a terminate waiting for the run never waits longer. Each file stays for the next run.
TEST_F(UploadWorker, PostsAndRunsAreBoundedInTimeAndReplySize) {
    Bytes huge = okReply();
    huge.pop_back();  // the stop byte: a message field of 2 MiB follows
    huge.insert(huge.end(), {11, 0, 2, 0, 0x20, 0, 0});
    huge.insert(huge.end(), std::size_t{2} << 20, 'm');
    huge.push_back(0);
    struct Case {
        const char* name;
        Reply reply;
        double postTimeout, runBudget;
        std::size_t posts;
    } cases[] = {
        {"a reply that trickles forever", {200, "application/pack", Bytes{'x'}, false, true}, 0.5, 60, 2},
        {"a reply past the size bound", {200, "application/pack", huge}, 30, 60, 2},
        {"a service that never answers, within the run's time", {200, "application/pack", okReply(), true}, 30, 0.5, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TallyConfig::removeConfigureWithKey("tlyFailedRequests");
        LogService service([&](const Seen&, std::size_t) { return c.reply; });
        const auto paths = writeFiles(2);
        auto worker = queueWorker(paths, [&c](TLYWorker& w) {
            w.setTimeoutInterval(60);  // the idle time-out alone would hold the post
            w.setPostTimeout(c.postTimeout);
            w.setRunBudget(c.runBudget);
        });
        ASSERT_TRUE(runMainUntil([&] { return ended_.load() && worker->isFinished(); }, 20));
        ended_.store(false);
        EXPECT_EQ(service.seen().size(), c.posts);  // the first file (and its fallback while time is left)
        for (const auto& path : paths) EXPECT_TRUE(TallyUtility::isExistAtPath(path));
        EXPECT_EQ(counter("tlyFailedRequests"), 1);
        for (const auto& path : paths) TallyUtility::removeFile(path);
    }
    // The product's bounds.
    EXPECT_EQ(protocol::kPostTimeoutSeconds, 30.0);
    EXPECT_EQ(protocol::kRunBudgetSeconds, 60.0);
    EXPECT_EQ(protocol::kMaxReplyBytes, 1 << 20);
}

TEST_F(UploadWorker, InTheBackgroundWithoutBackgroundWorkOneFileIsPosted) {
    LogService service([](const Seen&, std::size_t) { return Reply{200, "application/pack", okReply()}; });
    TallyApp::sharedInstance()->setBackgroundTaskEnabledFlag(false);
    const auto paths = writeFiles(2);
    queueWorker(paths, [](TLYWorker& w) { w.setAppInBackground([] { return true; }); });
    ASSERT_TRUE(runMainUntil([&] { return ended_.load(); }, 20));
    TallyApp::sharedInstance()->setBackgroundTaskEnabledFlag(true);
    ASSERT_EQ(service.seen().size(), 1u);
    EXPECT_FALSE(service.seen()[0].backgroundTask);
    EXPECT_TRUE(TallyUtility::isExistAtPath(paths[1]));
}

// THREADED: the worker posts and verifies replies while the main thread builds envelopes from the
// same builder; the replies' effects reach the builder on the main queue.
TEST_F(UploadWorker, UploadsWhileTheMainThreadBuilds) {
    std::atomic<int> replies{0};
    LogService service([&](const Seen&, std::size_t i) {
        ++replies;
        return Reply{200, "application/pack", okReply(defconImprint(i % 2 ? "0" : "1"))};
    });
    const auto paths = writeFiles(6);
    queueWorker(paths, [](TLYWorker&) {});
    int built = 0;
    while (!ended_.load()) {
        f.engine->addEvent("s1", "tap");
        if (TallyEnvelope::sharedInstance()->makeEnvelopeData(*f.pack)) ++built;
        test::drainMain();
    }
    test::drainMain();
    EXPECT_GT(built, 0);
    EXPECT_EQ(replies.load(), 6);
    EXPECT_EQ(f.engine->level, 0);  // the last reply's level, applied in order
    EXPECT_TRUE(f.pack->idTracking().journals()->empty());
}

}  // namespace
}  // namespace lv
