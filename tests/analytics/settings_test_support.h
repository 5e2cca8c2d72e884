// A fresh sandbox (and fresh standard user defaults) for one analytics settings test, a stored
// imprint as the reply handling leaves it, and a drain of the main queue.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

#include "analytics/log_records.h"
#include "analytics/tally_config.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/storage/sandbox.h"
#include "platform/storage/user_defaults.h"
#include "support/temp_dir.h"

namespace lv::test {

// Runs every block queued on the main queue so far (and what they queue meanwhile, up to 5 s).
inline void drainMain() {
    for (int round = 0; round < 3; ++round) {
        bool reached = false;
        Queue::main()->async([&reached] { reached = true; });
        ASSERT_TRUE(runMainUntil([&reached] { return reached; }, 5));
    }
}

class ScopedAnalyticsSandbox {
public:
    ScopedAnalyticsSandbox() {
        EXPECT_TRUE(Sandbox::setRoot(root_.path().string()));
        UserDefaults::resetStandardUserDefaults();
    }
    ~ScopedAnalyticsSandbox() { UserDefaults::resetStandardUserDefaults(); }
    ScopedAnalyticsSandbox(const ScopedAnalyticsSandbox&) = delete;
    ScopedAnalyticsSandbox& operator=(const ScopedAnalyticsSandbox&) = delete;

    std::string root() const { return root_.path().string(); }

private:
    TempDir root_;
};

// Stores an imprint as the reply handling does (entries with no text have their value unset).
inline void storeImprint(const std::map<std::string, std::optional<std::string>>& entries) {
    std::map<std::string, TPKImprintValue> property;
    for (const auto& [key, text] : entries) {
        TPKImprintValue value;
        if (text) value.setValue(*text);
        value.setTs(1);
        property[key] = value;
    }
    TPKImprint imprint;
    imprint.setProperty(property);
    imprint.setVersion(1);
    TallyConfig::setConfigure(Value(packBytes(imprint)), "tlyImprint");
}

}  // namespace lv::test
