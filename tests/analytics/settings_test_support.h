// A fresh sandbox (and fresh standard user defaults) for one analytics settings test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/storage/sandbox.h"
#include "platform/storage/user_defaults.h"
#include "support/temp_dir.h"

namespace lv::test {

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

}  // namespace lv::test
