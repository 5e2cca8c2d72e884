#include <gtest/gtest.h>

#include <regex>

#include "platform/storage/sandbox.h"
#include "platform/ui/device.h"
#include "support/temp_dir.h"

namespace lv {
namespace {

TEST(DeviceFacts, InterfacesAreTheMachinesUnlessSet) {
    DeviceFacts::reset();
    const auto machine = DeviceFacts::currentNetworkInterfaces();
    const NetworkInterface loopback{"lo", "127.0.0.1", true, true};
    EXPECT_NE(std::find(machine.begin(), machine.end(), loopback), machine.end());
    for (const auto& item : machine) EXPECT_FALSE(item.name.empty());

    DeviceFacts facts = DeviceFacts::machineDefaults();
    EXPECT_EQ(facts.carrierName, "");
    EXPECT_FALSE(facts.tabletIdiom);
    facts.networkInterfaces = std::vector<NetworkInterface>{{"en0", "10.0.0.2", true, false}};
    DeviceFacts::set(facts);
    EXPECT_EQ(DeviceFacts::currentNetworkInterfaces(), *facts.networkInterfaces);
    facts.networkInterfaces = std::vector<NetworkInterface>{};
    DeviceFacts::set(facts);
    EXPECT_TRUE(DeviceFacts::currentNetworkInterfaces().empty());
    DeviceFacts::reset();
}

TEST(DeviceFacts, VendorIdentifierIsKeptPerSandbox) {
    DeviceFacts::reset();
    test::TempDir first, second;
    ASSERT_TRUE(Sandbox::setRoot(first.path().string()));
    const std::string id = Device::currentDevice()->identifierForVendor();
    EXPECT_TRUE(std::regex_match(id, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}"))) << id;
    EXPECT_EQ(Device::currentDevice()->identifierForVendor(), id);

    ASSERT_TRUE(Sandbox::setRoot(second.path().string()));
    EXPECT_NE(Device::currentDevice()->identifierForVendor(), id);
    ASSERT_TRUE(Sandbox::setRoot(first.path().string()));
    EXPECT_EQ(Device::currentDevice()->identifierForVendor(), id);

    DeviceFacts facts = DeviceFacts::machineDefaults();
    facts.vendorIdentifier = "";
    DeviceFacts::set(facts);
    EXPECT_EQ(Device::currentDevice()->identifierForVendor(), "");
    DeviceFacts::reset();
}

}  // namespace
}  // namespace lv
