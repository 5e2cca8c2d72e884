// A fresh device for each push-state test: a temporary sandbox, fresh user defaults, a phone's
// machine name (so the simulator rule stays off unless a test turns it on) and the push
// configuration's defaults.
#pragma once

#include <gtest/gtest.h>

#include "platform/storage/sandbox.h"
#include "platform/storage/user_defaults.h"
#include "platform/ui/device.h"
#include "push/push_config.h"
#include "support/temp_dir.h"

namespace lv::test {

inline void setMachineName(const std::string& name) {
    DeviceFacts facts = DeviceFacts::machineDefaults();
    facts.machineName = name;
    DeviceFacts::set(facts);
}

class PushStateTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Sandbox::setRoot(root_.path().string()));
        UserDefaults::resetStandardUserDefaults();
        setMachineName("iPhone7,2");
        PNConfig::getInstance() = PNConfig();
        PNConfig::getInstance().setKeyForKeyChain(std::string("net.lunavexa"));
    }
    void TearDown() override {
        DeviceFacts::reset();
        PNConfig::getInstance() = PNConfig();
    }
    std::string rootPath() const { return root_.path().string(); }

    TempDir root_;
};

}  // namespace lv::test
