#include <gtest/gtest.h>

#include "platform/storage/bundle.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/property_list.h"
#include "storage_test_support.h"

namespace lv {
namespace {

TEST(MainBundle, InfoPlistCarriesTheKeysTheAppReads) {
    auto bundle = Bundle::mainBundle();
    for (const char* key : {"CFBundleShortVersionString", "CFBundleVersion", "CFBundleName", "CFBundleDisplayName",
                            "CFBundleIdentifier", "CFBundleExecutable"}) {
        EXPECT_TRUE(bundle->objectForInfoDictionaryKey(key).isString()) << key;
    }
    EXPECT_EQ(bundle->bundleIdentifier(), bundle->objectForInfoDictionaryKey("CFBundleIdentifier").string());
    EXPECT_TRUE(bundle->objectForInfoDictionaryKey("CFBundleURLTypes")[0]["CFBundleURLSchemes"][0].isString());
    EXPECT_FALSE(Bundle::executablePath().empty());
}

class BundleTest : public test::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        auto& files = FileManager::defaultManager();
        ASSERT_TRUE(files.createDirectoryAtPath(dir_.file("certs"), true, {}, nullptr));
        ASSERT_TRUE(files.createDirectoryAtPath(dir_.file("zh-Hans.lproj"), true, {}, nullptr));
        ASSERT_TRUE(files.createDirectoryAtPath(dir_.file("en.lproj"), true, {}, nullptr));
        ASSERT_TRUE(writePropertyListToFile(Value::dictionary({{"CFBundleIdentifier", "test.bundle"},
                                                               {"CFBundleDevelopmentRegion", "en"}}),
                                            dir_.file("Info.plist"), true));
        put("certs/a.cer", "A");
        put("certs/b.cer", "B");
        put("certs/readme.txt", "x");
        put("tabbar_news.png", "png");
        put("zh-Hans.lproj/only_zh.txt", "zh");
        put("en.lproj/only_zh.txt", "en");
        put("en.lproj/only_en.txt", "en");
        put("HCNetworking.strings",
            "/* the networking table */\n"
            "\"Request failed: %@ (%ld)\" = \"\\U8bf7\\U6c42\\U5931\\U8d25: %@ (%ld)\";\n"
            "// a line comment\n"
            "\"quoted \\\"word\\\"\" = \"tab\\there\";\n"
            "bare = word;\n"
            "\"alone\";\n");
        ASSERT_TRUE(writePropertyListToFile(Value::dictionary({{"key", "from a property list"}}),
                                            dir_.file("PNAsyncSocket.strings"), true));
        put("Broken.strings", "\"unterminated = \"x\";");
        UserDefaults::standardUserDefaults()->setObject(Value::array({"zh-Hans"}), kAppleLanguagesKey);
        bundle_ = makeRef<Bundle>(dir_.path().string());
    }
    void put(const std::string& name, std::string_view contents) {
        ASSERT_TRUE(writeToFile(contents, dir_.file(name), true));
    }

    test::TempDir dir_;
    Ref<Bundle> bundle_;
};

TEST_F(BundleTest, ResourcesByNameTypeAndFolder) {
    EXPECT_EQ(*bundle_->pathForResource("tabbar_news", "png"), dir_.file("tabbar_news.png"));
    EXPECT_EQ(*bundle_->pathForResource("tabbar_news.png", ""), dir_.file("tabbar_news.png"));
    EXPECT_EQ(*bundle_->pathForResource("a", "cer", "certs"), dir_.file("certs/a.cer"));
    EXPECT_FALSE(bundle_->pathForResource("a", "cer"));
    EXPECT_FALSE(bundle_->pathForResource("missing", "png"));
    EXPECT_EQ(bundle_->pathsForResourcesOfType("cer", "certs"),
              (std::vector<std::string>{dir_.file("certs/a.cer"), dir_.file("certs/b.cer")}));
    EXPECT_EQ(bundle_->pathsForResourcesOfType("", "certs").size(), 3u);
}

TEST_F(BundleTest, LocalizedResourcesFollowThePreferredLanguagesThenTheDevelopmentRegion) {
    EXPECT_EQ(*bundle_->pathForResource("only_zh", "txt"), dir_.file("zh-Hans.lproj/only_zh.txt"));
    EXPECT_EQ(*bundle_->pathForResource("only_en", "txt"), dir_.file("en.lproj/only_en.txt"));
}

TEST_F(BundleTest, StringTablesGiveTheEntryOrTheValueOrTheKey) {
    EXPECT_EQ(bundle_->localizedStringForKey("Request failed: %@ (%ld)", "", "HCNetworking"), "请求失败: %@ (%ld)");
    EXPECT_EQ(bundle_->localizedStringForKey("quoted \"word\"", "", "HCNetworking"), "tab\there");
    EXPECT_EQ(bundle_->localizedStringForKey("bare", "", "HCNetworking"), "word");
    EXPECT_EQ(bundle_->localizedStringForKey("alone", "", "HCNetworking"), "alone");
    EXPECT_EQ(bundle_->localizedStringForKey("Data failed decoding as a UTF-8 string", "", "HCNetworking"),
              "Data failed decoding as a UTF-8 string");
    EXPECT_EQ(bundle_->localizedStringForKey("missing", "fallback", "HCNetworking"), "fallback");
    EXPECT_EQ(bundle_->localizedStringForKey("key", "", "PNAsyncSocket"), "from a property list");
    EXPECT_EQ(bundle_->localizedStringForKey("x", "", "NoSuchTable"), "x");
    EXPECT_EQ(bundle_->localizedStringForKey("x", "", "Broken"), "x");
}

TEST(StringsText, MalformedTablesAreRefused) {
    EXPECT_FALSE(detail::parseStringsText("\"a\" = \"b\""));  // no ';'
    EXPECT_FALSE(detail::parseStringsText("/* open comment"));
    EXPECT_FALSE(detail::parseStringsText("\"a\" = \"\\U12\";"));
    EXPECT_EQ(detail::parseStringsText("\"\\UD83C\\UDFB5\" = \"x\";")->get("\U0001F3B5").string(), "x");
}

TEST_F(BundleTest, TheMainBundleCanBeReplaced) {
    const std::string original = Bundle::mainBundle()->bundlePath();
    Bundle::setMainBundlePath(dir_.path().string());
    EXPECT_EQ(Bundle::mainBundle()->bundleIdentifier(), "test.bundle");
    Bundle::setMainBundlePath(original);
    EXPECT_EQ(Bundle::mainBundle()->bundleIdentifier(), "com.lunavexa.app");
}

}  // namespace
}  // namespace lv
