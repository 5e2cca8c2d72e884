// A fresh device talking to the push-service stand-in: the push-state sandbox, the push server host
// mapped to the frame server on 127.0.0.1, a reachable network, a fresh application object, and the
// client started. Each test ends with no operation left alive.
#pragma once

#include <gtest/gtest.h>

#include "frame_server.h"
#include "platform/base/log.h"
#include "platform/dispatch/run_loop.h"
#include "platform/net/host_map.h"
#include "platform/net/reachability.h"
#include "platform/ui/application.h"
#include "push/push_facade.h"
#include "push/push_operations.h"
#include "push/push_sqlite.h"
#include "push/push_state_fixture.h"

namespace lv::test {

inline constexpr std::uint32_t kTestAccessId = 2290150000u;
inline const std::string kTestAppKey = "R5K2W8N4ZQ7D";

// Counts the callbacks of one operation (main thread).
struct Outcome {
    int successes = 0;
    int errors = 0;
    std::function<void()> success() {
        return [this] { ++successes; };
    }
    std::function<void()> error() {
        return [this] { ++errors; };
    }
    bool done() const { return successes + errors > 0; }
};

class PushServerTest : public PushStateTest {
protected:
    void SetUp() override {
        PushStateTest::SetUp();
        // A new sandbox: the database of this device, with its table, as a launch would open it.
        PNSqlite::getInstance().closeDB();
        PNSqlite::getInstance().initDB();
        PNSetting::getInstance() = PNSetting();
        Application::resetSharedApplication();
        ASSERT_TRUE(server.start());
        HostMap::set(kPNPushServerHost, "127.0.0.1", server.port());
        NetworkReachability::setFlagsOverride(kReachabilityFlagsReachable);
        PNPush::startApp(kTestAccessId, kTestAppKey);
    }
    void TearDown() override {
        EXPECT_TRUE(runMainUntil([] { return PNWireOperation::liveOperations() == 0; }, 5));
        PNSqlite::getInstance().taskQueue()->sync([] {});
        PNSqlite::getInstance().closeDB();
        NetworkReachability::setFlagsOverride(std::nullopt);
        HostMap::remove(kPNPushServerHost);
        server.stop();
        Application::resetSharedApplication();
        PushStateTest::TearDown();
    }
    // Pumps main until every operation has finished.
    static bool finish() {
        return runMainUntil([] { return PNWireOperation::liveOperations() == 0; }, 5);
    }
    static void drainDatabase() { PNSqlite::getInstance().taskQueue()->sync([] {}); }
    // The decoded record of the n-th frame.
    tools::TlvFields fieldsOf(std::size_t n) const {
        const auto frames = server.frames();
        return n < frames.size() && frames[n].fields ? *frames[n].fields : tools::TlvFields{};
    }

    tools::PushFrameServer server;
};

}  // namespace lv::test
