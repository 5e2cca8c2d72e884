#include <gtest/gtest.h>

#include <regex>

#include "analytics/protocol_data.h"
#include "analytics/tally_app.h"
#include "analytics/tly_util.h"
#include "platform/storage/user_defaults.h"
#include "platform/time/time_zone.h"
#include "platform/ui/device.h"
#include "platform/ui/pasteboard.h"
#include "settings_test_support.h"

namespace lv {
namespace {

using test::ScopedAnalyticsSandbox;

class ScopedFacts {
public:
    explicit ScopedFacts(DeviceFacts facts) { DeviceFacts::set(std::move(facts)); }
    ~ScopedFacts() { DeviceFacts::reset(); }
    ScopedFacts(const ScopedFacts&) = delete;
    ScopedFacts& operator=(const ScopedFacts&) = delete;
};

DeviceFacts phone(std::vector<NetworkInterface> interfaces, std::string machine = "iPhone6,2",
                  std::string model = "iPhone") {
    DeviceFacts facts;
    facts.machineName = std::move(machine);
    facts.model = std::move(model);
    facts.systemVersion = "7.1";
    facts.screenSize = Size{320, 568};
    facts.screenScale = 2;
    facts.networkInterfaces = std::move(interfaces);
    return facts;
}

TEST(DeviceFacts, AccessStringFromTheFacts) {
    const NetworkInterface en0{"en0", "192.168.1.4", true, false};
    const NetworkInterface cell{"pdp_ip0", "10.1.2.3", true, false};
    const NetworkInterface loopback{"lo0", "127.0.0.1", true, true};
    const NetworkInterface en0Down{"en0", "192.168.1.4", false, false};
    struct Case {
        const char* what;
        DeviceFacts facts;
        const char* expected;
    } cases[] = {
        {"simulator model", phone({}, "iPhone6,2", "iPhone Simulator"), "WiFi"},
        {"simulator x86_64", phone({}, "x86_64"), "WiFi"},
        {"simulator i386", phone({}, "i386"), "WiFi"},
        {"en0 up", phone({loopback, en0, cell}), "WiFi"},
        {"other up", phone({loopback, cell, en0Down}), "CellNetwork"},
        {"loopback only", phone({loopback}), ""},
        {"none", phone({}), ""},
    };
    for (const auto& c : cases) {
        ScopedFacts facts(c.facts);
        EXPECT_EQ(TLYProtocolData::accessString(), c.expected) << c.what;
    }
}

TEST(DeviceFacts, ZoneScreenVersionAndBundleFacts) {
    ScopedAnalyticsSandbox sandbox;
    ScopedFacts facts(phone({}));
    struct Zone {
        int seconds;
        long hours;
        const char* text;
    } zones[] = {{-5 * 3600 - 1800, -5, "-5"}, {9 * 3600, 9, "9"}, {0, 0, "0"}, {5 * 3600 + 2700, 5, "5"}};
    for (const auto& z : zones) {
        TimeZone::setDefault(TimeZone::forSecondsFromGMT(z.seconds));
        EXPECT_EQ(TLYUtil::timezone(), z.hours) << z.seconds;
        EXPECT_EQ(TLYUtil::timezoneString(), z.text) << z.seconds;
    }
    TimeZone::setDefault(std::nullopt);

    EXPECT_EQ(TLYUtil::resolutionString(), "1136 x 640");
    EXPECT_EQ(TLYUtil::deviceModelString(), "iPhone6,2");
    EXPECT_EQ(TLYUtil::osString(), "iOS");
    EXPECT_EQ(TLYUtil::osVersionString(), "7.1");
    EXPECT_EQ(TLYUtil::carrierString(), "");
    EXPECT_FALSE(TLYUtil::isPad());

    auto settings = TallyApp::sharedInstance();
    settings->setAppVersionText("");
    EXPECT_EQ(TLYUtil::appVersionString(), TLYProtocolData::appBundleVersionString());
    TallyApp::setAppVersion("2.0");
    EXPECT_EQ(TLYUtil::appVersionString(), "2.0");
    EXPECT_EQ(TLYUtil::idfv(), Device::currentDevice()->identifierForVendor());
    EXPECT_EQ(TLYUtil::idfv().size(), 36u);
    EXPECT_NE(TLYUtil::sessionId(), TLYUtil::sessionId());
}

TEST(DeviceUID, MadeOnceKeptInDefaultsAndPasteboard) {
    ScopedAnalyticsSandbox sandbox;
    Pasteboard::resetPasteboards();
    const std::string uid = TLYDeviceUID::value();
    EXPECT_TRUE(std::regex_match(uid, std::regex("[0-9a-f]{40}"))) << uid;
    EXPECT_EQ(TLYUtil::deviceUIDString(), uid);
    EXPECT_EQ(UserDefaults::standardUserDefaults()->stringForKey("tlyDeviceUID"), uid);

    // A new process: both places are read again.
    UserDefaults::resetStandardUserDefaults();
    Pasteboard::resetPasteboards();
    EXPECT_EQ(TLYDeviceUID::value(), uid);

    // The defaults lost it (the app was reinstalled): it comes back from the pasteboard.
    UserDefaults::standardUserDefaults()->removeObjectForKey("tlyDeviceUID");
    UserDefaults::resetStandardUserDefaults();
    Pasteboard::resetPasteboards();
    EXPECT_EQ(TLYDeviceUID::value(), uid);
    EXPECT_EQ(UserDefaults::standardUserDefaults()->stringForKey("tlyDeviceUID"), uid);

    // The pasteboard lost it: the defaults give it back to the pasteboard.
    Pasteboard::pasteboardWithName("tlyDeviceUID", true)->setString("not a uid");
    EXPECT_EQ(TLYDeviceUID::value(), uid);
    EXPECT_EQ(Pasteboard::pasteboardWithName("tlyDeviceUID", false)->string(), uid);

    // Neither holds a well-formed one: a new one.
    UserDefaults::standardUserDefaults()->setObject(Value("ABC"), "tlyDeviceUID");
    Pasteboard::pasteboardWithName("tlyDeviceUID", true)->setString("");
    const std::string fresh = TLYDeviceUID::value();
    EXPECT_NE(fresh, uid);
    EXPECT_EQ(fresh.size(), 40u);
    Pasteboard::resetPasteboards();
}

}  // namespace
}  // namespace lv
