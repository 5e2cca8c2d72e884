// A fresh launch of the analytics engine for one test: a new sandbox and user defaults, new shared
// engine, session and upload job, a network interface up, the log hosts mapped to a closed port on
// 127.0.0.1 (an upload run fails at once), and the main queue drained.
#pragma once

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "analytics/log_records.h"
#include "analytics/tally_app.h"
#include "analytics/tally_config.h"
#include "analytics/tally_internal.h"
#include "analytics/tally_job.h"
#include "analytics/tally_session.h"
#include "analytics/upload_protocol.h"
#include "platform/net/host_map.h"
#include "platform/ui/device.h"
#include "settings_test_support.h"

namespace lv::test {

// Plays a new launch: new shared engine, session and job over the same sandbox and defaults. An upload
// run of the old engine ends first, so its end cannot reach the new job.
inline void relaunch() {
    TallyInternal::sharedInstance()->sendLogQueue()->waitUntilAllOperationsAreFinished();
    drainMain();
    TallyInternal::resetSharedInstance();
    TallySession::resetSharedInstance();
    TallyJob::resetSharedInstance();
}

inline void setNetwork(bool up) {
    DeviceFacts facts = DeviceFacts::machineDefaults();
    facts.machineName = "arm64";
    facts.model = "phone";
    facts.networkInterfaces = std::vector<NetworkInterface>{};
    if (up) facts.networkInterfaces->push_back({"en0", "192.0.2.1", true, false});
    DeviceFacts::set(facts);
}

// Sends both log hosts to a port on 127.0.0.1 that nothing listens on, for the fixture's lifetime.
class ClosedLogHosts {
public:
    ClosedLogHosts() {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
        EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
        ::close(fd);  // bound but never listening, and now closed: connections are refused
        for (auto host : {upload_protocol::kLogHost, upload_protocol::kLogFallbackHost}) {
            HostMap::set(host, "127.0.0.1", ntohs(address.sin_port));
        }
    }
    ~ClosedLogHosts() {
        HostMap::remove(upload_protocol::kLogHost);
        HostMap::remove(upload_protocol::kLogFallbackHost);
    }
};

// The sandbox a death test's parent and its re-run child share, passed through the environment.
class CrashSandbox {
public:
    CrashSandbox() {
        if (const char* inherited = std::getenv(kVariable)) {
            root_ = inherited;
        } else {
            dir_.emplace();
            root_ = dir_->path().string();
            ::setenv(kVariable, root_.c_str(), 1);
        }
        EXPECT_TRUE(Sandbox::setRoot(root_));
        UserDefaults::resetStandardUserDefaults();
    }
    ~CrashSandbox() {
        if (dir_) ::unsetenv(kVariable);
        UserDefaults::resetStandardUserDefaults();
    }
    CrashSandbox(const CrashSandbox&) = delete;
    CrashSandbox& operator=(const CrashSandbox&) = delete;

private:
    static constexpr const char* kVariable = "LV_CRASH_TEST_SANDBOX";
    std::optional<TempDir> dir_;
    std::string root_;
};

// The launch over a sandbox of the given kind (a death test's shares its root with the child).
template <class SandboxKind>
class EngineLaunchIn : public ::testing::Test {
protected:
    void SetUp() override {
        setNetwork(true);
        auto app = TallyApp::sharedInstance();
        app->setBackgroundTaskEnabledFlag(false);
        app->setAppVersionText(appVersion_);
        app->setLogEnabledFlag(true);
        relaunch();
    }
    void TearDown() override {
        drainMain();
        TallyApp::sharedInstance()->setLogEnabledFlag(false);
        DeviceFacts::reset();
    }

    // The first session begins and its work has run.
    void beginFirstSession() {
        TallySession::sharedInstance()->appActivate(nullptr);
        drainMain();
    }

    static Ref<TallyInternal> engine() { return TallyInternal::sharedInstance(); }
    static Ref<TallySession> session() { return TallySession::sharedInstance(); }

    // Waits for an upload run the test started to end (against the closed port it fails at once).
    static void finishUploads() {
        engine()->sendLogQueue()->waitUntilAllOperationsAreFinished();
        drainMain();
    }

    std::string appVersion_ = "1.0";
    SandboxKind sandbox_;
    ClosedLogHosts logHosts_;
};
using EngineLaunch = EngineLaunchIn<ScopedAnalyticsSandbox>;

}  // namespace lv::test
