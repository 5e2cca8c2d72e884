// Download tasks over loopback: the temporary file (checked by SHA-1, gone afterwards), suspend and
// resume mid-body, and resume data against servers that answer a Range with 206, 200, 416 or a wrong
// 206.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "fixtures.h"
#include "platform/net/errors.h"
#include "platform/security/digest.h"
#include "platform/storage/property_list.h"
#include "session_recorder.h"

namespace lv {
namespace {

using test::HttpFixture;
using test::SessionRecorder;

Bytes pattern(std::size_t n) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = test::patternByte(i);
    return bytes;
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// Records what the downloaded file held when the delegate was told about it.
struct Download {
    std::shared_ptr<SessionRecorder> recorder = std::make_shared<SessionRecorder>();
    Ref<URLSession> session = URLSession::sessionWithConfiguration(nullptr, recorder);
    Bytes contents;
    std::string path;
    Download() {
        recorder->expectedQueue = session->delegateQueue();
        recorder->onFile = [this](const Ref<URL>& url) {
            path = url->path();
            contents = test::readFile(path);
        };
    }
};

TEST(SessionDownload, TheFileHoldsTheServedBytesAndIsGoneAfterwards) {
    struct Case {
        const char* name;
        std::string path;
        Bytes expected;
    };
    const Case cases[] = {
        {"large body", "/bytes/300000?chunk=32768", pattern(300000)},
        {"error status downloads too", "/status/404", Bytes{'s', 't', 'a', 't', 'u', 's', ' ', '4', '0', '4'}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Download d;
        auto task = d.session->downloadTaskWithRequest(test::fixtureRequest(c.path));
        test::runTask(task, *d.recorder);
        EXPECT_EQ(test::errorCode(d.recorder->error), 0);
        EXPECT_EQ(sha1Digest(d.contents), sha1Digest(c.expected));
        EXPECT_EQ(d.recorder->writtenTotal, static_cast<std::int64_t>(c.expected.size()));
        EXPECT_EQ(d.recorder->events(), (std::vector<std::string>{"write", "finished download", "complete 0"}));
        EXPECT_FALSE(d.path.empty());
        EXPECT_FALSE(exists(d.path));
        EXPECT_FALSE(d.recorder->offQueue);
    }
}

TEST(SessionDownload, SuspendMidBodyPausesAndResumeFinishesIntact) {
    Download d;
    auto task = d.session->downloadTaskWithRequest(test::fixtureRequest("/bytes/600000?chunk=16384&delay_ms=2"));
    std::atomic<bool> suspended{false};
    d.recorder->onWrite = [&](URLSessionDownloadTask& t, std::int64_t total) {
        if (total > 50000 && !suspended.exchange(true)) t.suspend();
    };
    task->resume();
    ASSERT_TRUE(runMainUntil([&] { return suspended.load(); }, 10));
    test::settle();
    const std::int64_t during = task->countOfBytesReceived();
    test::settle();
    EXPECT_EQ(task->countOfBytesReceived(), during);  // nothing handed over while suspended
    EXPECT_LT(during, 600000);
    EXPECT_EQ(task->state(), URLSessionTaskState::Suspended);
    task->resume();
    ASSERT_TRUE(runMainUntil([&] { return d.recorder->completions.load() == 1; }, 10));
    EXPECT_EQ(test::errorCode(d.recorder->error), 0);
    EXPECT_EQ(sha1Digest(d.contents), sha1Digest(pattern(600000)));
}

// Cancels a download of the mode's route part-way and returns its resume data.
std::optional<Bytes> interrupted(const std::string& mode) {
    Download d;
    auto task = d.session->downloadTaskWithRequest(test::fixtureRequest("/resumable/" + mode));
    std::atomic<bool> asked{false};
    std::optional<Bytes> resumeData;
    d.recorder->onWrite = [&](URLSessionDownloadTask& t, std::int64_t total) {
        if (total < 40000 || asked.exchange(true)) return;
        t.cancelByProducingResumeData([&](std::optional<Bytes> data) { resumeData = std::move(data); });
    };
    test::runTask(task, *d.recorder);
    EXPECT_EQ(test::errorCode(d.recorder->error), URLErrorCancelled);
    return resumeData;
}

TEST(SessionResume, AppendsOnlyToAMatching206) {
    struct Case {
        const char* mode;
        int code;
        std::string resumedAt;
    };
    const Case cases[] = {
        {"206", 0, "resume at "},
        {"200", 0, "resume at 0"},
        {"416", URLErrorBadServerResponse, ""},
        {"bad206", URLErrorBadServerResponse, ""},  // a 206 from 0 must not be appended at the offset
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        const auto resumeData = interrupted(c.mode);
        ASSERT_TRUE(resumeData);
        const Value plist = PropertyListSerialization::propertyListWithData(*resumeData, 0, nullptr, nullptr);
        const std::int64_t offset = plist["bytes"].longLongValue();
        ASSERT_GE(offset, 40000);
        const std::string partial = plist["path"].string();
        ASSERT_TRUE(exists(partial));

        Download d;
        auto task = d.session->downloadTaskWithResumeData(*resumeData);
        ASSERT_TRUE(task);
        test::runTask(task, *d.recorder);
        EXPECT_EQ(test::errorCode(d.recorder->error), c.code);
        const auto events = d.recorder->events();
        if (c.code == 0) {
            const std::string expected = c.resumedAt == "resume at " ? c.resumedAt + std::to_string(offset) : c.resumedAt;
            EXPECT_EQ(events.front(), expected);
            EXPECT_EQ(sha1Digest(d.contents), sha1Digest(pattern(300000)));
        } else {
            EXPECT_EQ(events, (std::vector<std::string>{"complete " + std::to_string(c.code)}));
        }
        EXPECT_FALSE(exists(partial));
    }
}

TEST(SessionResume, NoResumeDataWithoutAValidatorAndUnreadableDataFailsTheTask) {
    Download d;
    auto task = d.session->downloadTaskWithRequest(test::fixtureRequest("/bytes/300000?chunk=8192&delay_ms=2"));
    std::atomic<bool> asked{false};
    std::optional<Bytes> resumeData = Bytes{};
    d.recorder->onWrite = [&](URLSessionDownloadTask& t, std::int64_t) {
        if (!asked.exchange(true)) t.cancelByProducingResumeData([&](std::optional<Bytes> data) { resumeData = data; });
    };
    test::runTask(task, *d.recorder);
    EXPECT_FALSE(resumeData);

    for (const Bytes& bad : {Bytes{'x', 'y'}, Bytes{}}) {
        auto broken = d.session->downloadTaskWithResumeData(bad);
        ASSERT_TRUE(broken);
        test::runTask(broken, *d.recorder);
        EXPECT_EQ(test::errorCode(d.recorder->error), URLErrorCannotCreateFile);
    }
}

}  // namespace
}  // namespace lv
