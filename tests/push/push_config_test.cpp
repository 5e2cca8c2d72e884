// Push settings and keychain state.
#include <sys/stat.h>

#include <cstdlib>

#include "platform/base/log.h"
#include "platform/security/keychain.h"
#include "platform/storage/file_manager.h"
#include "push/push_keychain.h"
#include "push_state_fixture.h"
#include "support/child_process.h"

namespace lv {
namespace {

using PushConfig = test::PushStateTest;
using PushKeychain = test::PushStateTest;

TEST_F(PushConfig, StartedMatrix) {
    struct Case {
        std::uint32_t appId;
        PNText appkey;
        bool started;
        bool logged;
    };
    const Case cases[] = {
        {0, std::nullopt, false, true},
        {0, std::string("key"), false, true},
        {7, std::nullopt, false, false},
        {7, std::string("key"), true, false},
        {7, std::string(), true, false},  // an empty key is still a key
    };
    for (const auto& c : cases) {
        PNConfig& config = PNConfig::getInstance();
        config.setAppId(c.appId);
        config.setAppkey(c.appkey);
        LogCapture capture;
        // The test reads the shared instance, whatever the receiver.
        EXPECT_EQ(PNConfig().isStarted(), c.started) << c.appId;
        EXPECT_EQ(capture.contains(" appID is not inited"), c.logged) << c.appId;
    }
}

// A fresh configuration holds the fixed defaults; the settings start empty.
TEST_F(PushConfig, FixedDefaults) {
    const PNConfig config;
    EXPECT_FALSE(config.debugEnable());
    EXPECT_EQ(config.sessionTimeoutSecs(), 30u);
    EXPECT_EQ(config.appkey(), std::nullopt);
    EXPECT_EQ(config.appId(), 0u);
    EXPECT_EQ(config.account(), std::nullopt);
    EXPECT_EQ(config.deviceToken(), std::nullopt);
    EXPECT_EQ(config.channel(), "appstore");
    EXPECT_EQ(config.reportStrategy(), 3);
    EXPECT_EQ(config.maxStoreEventCount(), 1024u);
    EXPECT_EQ(config.maxLoadEventCount(), 30u);
    EXPECT_EQ(config.minBatchReportCount(), 30u);
    EXPECT_EQ(config.maxSendRetryCount(), 3u);
    EXPECT_EQ(config.sendPeriodMinutes(), 1440u);
    EXPECT_EQ(config.maxParallelTimingEvents(), 1024u);
    EXPECT_TRUE(config.smartReporting());
    EXPECT_TRUE(config.autoExceptionCaught());
    EXPECT_EQ(config.maxReportEventLength(), 4096u);
    EXPECT_EQ(config.qq(), std::nullopt);
    EXPECT_EQ(config.customerUserID(), std::nullopt);
    EXPECT_EQ(config.customerAppVersion(), std::nullopt);
    EXPECT_TRUE(config.needRegister());
    EXPECT_EQ(config.keyForKeyChain(), std::nullopt);
    const PNSetting setting;
    EXPECT_EQ(setting.Channel(), std::nullopt);
    EXPECT_EQ(setting.GameServer(), std::nullopt);
}

TEST_F(PushConfig, AccessIdAboveSignedRangeIsPositiveTextInASecondProcess) {
    PNConfig::getInstance().setAppId(3000000000u);
    ASSERT_TRUE(PNConfig::getInstance().saveLastAccessID());
    ASSERT_EQ(test::runThisBinary("PushConfigChildProcess.*", {{"LV_PUSH_CHILD_ROOT", rootPath()}}), 0);
}

TEST(PushConfigChildProcess, ReadsLastAccessID) {
    const char* root = std::getenv("LV_PUSH_CHILD_ROOT");
    if (!root) GTEST_SKIP() << "runs only as the second process of the access-id test";
    ASSERT_TRUE(Sandbox::setRoot(root));
    const Value stored = PNConfig::loadValueByKey(kPNLastAccessIDKey);
    ASSERT_TRUE(stored.isString());
    EXPECT_EQ(stored.string(), "3000000000");
}

TEST_F(PushKeychain, TokenText) {
    std::string twoDigitsPerByte;
    for (int i = 0; i < 32; ++i) twoDigitsPerByte += "ab";
    const std::pair<Value, PNText> cases[] = {
        {Value(Bytes{0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x01, 0x0A, 0xFF}), std::string("deadbeef00010aff")},
        {Value(Bytes(32, 0xAB)), twoDigitsPerByte},
        {Value(Bytes{}), std::string()},
        {Value(), std::nullopt},
    };
    for (const auto& [data, text] : cases) EXPECT_EQ(pnTokenText(data), text) << data.description();
}

TEST_F(PushKeychain, SimulatorTokenStandsInAfterSave) {
    PNStore& store = PNStore::getInstance();
    store.saveToken(std::string("0011"));
    EXPECT_EQ(store.getLocalToken(), "0011");
    for (const char* simulator : {"x86_64", "i386", "i586"}) {
        test::setMachineName(simulator);
        EXPECT_EQ(store.getLocalToken(), std::string(kPNSimulatorToken)) << simulator;
    }
    test::setMachineName("iPhone7,2");
    store.saveToken(std::string());  // ignored
    store.saveToken(std::nullopt);   // ignored
    EXPECT_EQ(store.getLocalToken(), "0011");
    store.delToken();
    EXPECT_EQ(store.getLocalToken(), std::nullopt);
}

TEST_F(PushKeychain, RetryCountAndMarks) {
    PNStore& store = PNStore::getInstance();
    EXPECT_EQ(store.getDeviceTokenRetryNum(), 0);
    const std::pair<Value, int> cases[] = {{Value("2"), 2}, {Value(5), 5}, {Value("x"), 0}};
    for (const auto& [stored, read] : cases) {
        store.saveDeviceTokenRetryNum(stored);
        EXPECT_EQ(store.getDeviceTokenRetryNum(), read) << stored.description();
    }
    EXPECT_FALSE(store.ifDeviceTokenRegistered());
    store.saveDeviceTokenRegistered();
    EXPECT_TRUE(store.ifDeviceTokenRegistered());
    store.saveAppKey(std::string("app-key"));
    EXPECT_EQ(store.getLocalAppKey(), "app-key");
    EXPECT_EQ(Keychain::accessibility(PNStore::appKeyService(), PNStore::appKeyService()),
              std::string(kSecAttrAccessibleAfterFirstUnlock));
}

TEST_F(PushKeychain, CorruptArchiveLoadsNilWithTheLine) {
    ASSERT_EQ(Keychain::replaceGenericPassword("net.lunavexa", "net.lunavexa", Bytes{'b', 'a', 'd'}), 0);
    LogCapture capture;
    EXPECT_TRUE(PNKeyChain::load(std::string("net.lunavexa")).isNil());
    EXPECT_EQ(PNStore::getInstance().getLocalToken(), std::nullopt);
    EXPECT_EQ(capture.count("Unarchive of net.lunavexa failed: "), 2u);
}

TEST_F(PushKeychain, NilServiceTouchesNoItem) {
    PNStore::getInstance().saveAppKey(std::string("kept"));
    const auto before = FileManager::defaultManager().contentsAtPath(Keychain::path());
    PNConfig::getInstance().setKeyForKeyChain(std::nullopt);
    PNStore& store = PNStore::getInstance();
    store.saveToken(std::string("0011"));
    store.delToken();
    EXPECT_EQ(store.getLocalToken(), std::nullopt);
    EXPECT_TRUE(PNKeyChain::load(std::nullopt).isNil());
    EXPECT_EQ(FileManager::defaultManager().contentsAtPath(Keychain::path()), before);
    EXPECT_EQ(store.getLocalAppKey(), "kept");
}

TEST_F(PushKeychain, SaveReplacesInOneWriteOfMode0600) {
    PNStore& store = PNStore::getInstance();
    store.saveToken(std::string("0011"));
    int writes = 0;
    Keychain::setBeforeReplaceHookForTesting([&writes] { ++writes; });
    store.saveToken(std::string("2233"));
    Keychain::setBeforeReplaceHookForTesting({});
    EXPECT_EQ(writes, 1);  // never a moment without the item
    EXPECT_EQ(store.getLocalToken(), "2233");
    struct stat info {};
    ASSERT_EQ(::stat(Keychain::path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace lv
