#include <gtest/gtest.h>

#include <filesystem>

#include "analytics/tally_utility.h"
#include "platform/base/clock.h"
#include "platform/storage/bundle.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/sandbox.h"
#include "settings_test_support.h"

namespace lv {
namespace {

using test::ScopedAnalyticsSandbox;

Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

void setCreated(const std::string& path, double since1970) {
    Dictionary attributes;
    attributes.set(std::string(kFileCreationDate), Value(Date::fromSince1970(since1970)));
    ASSERT_TRUE(FileManager::defaultManager().setAttributes(attributes, path, nullptr)) << path;
}

TEST(TallyFiles, PathsLieInTheCachesFolder) {
    ScopedAnalyticsSandbox sandbox;
    const std::string caches = sandbox.root() + "/Library/Caches";
    const std::string id = Bundle::mainBundle()->bundleIdentifier();
    struct Case {
        std::string got, expected;
    } cases[] = {
        {TallyUtility::cacheDirectory(), caches},
        {TallyUtility::tallyDirectory(), caches + "/.tally"},
        {TallyUtility::exchangeIdentityPath(), caches + "/.tally/exchangeIdentity.json"},
        {TallyUtility::cacheFilePath(), caches + "/." + id + "_tallyCache.plist"},
        {TallyUtility::bgCacheFilePath(), caches + "/." + id + "_tallybgCache.plist"},
        {TallyUtility::envelopeFilePath(), caches + "/." + id + "_tally_envelope.log"},
        {TallyUtility::generateEnvelopeFileNameWithTS("1700000000123"), caches + "/.tally/1700000000123_envelope.log"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.expected);
    EXPECT_TRUE(std::filesystem::is_directory(caches + "/.tally"));
}

TEST(TallyFiles, SavingNeverReplacesAndRemakesARemovedFolder) {
    ScopedAnalyticsSandbox sandbox;
    const std::string first = TallyUtility::generateEnvelopeFileNameWithTS("1");
    EXPECT_TRUE(TallyUtility::saveData(bytes("old"), first));
    EXPECT_FALSE(TallyUtility::saveData(bytes("new"), first));
    EXPECT_EQ(*dataWithContentsOfFile(first), bytes("old"));

    std::filesystem::remove_all(TallyUtility::tallyDirectory());
    const std::string second = TallyUtility::generateEnvelopeFileNameWithTS("2");
    EXPECT_TRUE(TallyUtility::saveData(bytes("again"), second));
    EXPECT_EQ(*dataWithContentsOfFile(second), bytes("again"));

    TallyUtility::removeFile(second);
    TallyUtility::removeFile(second);  // already gone: harmless
    EXPECT_FALSE(TallyUtility::isExistAtPath(second));
    EXPECT_FALSE(TallyUtility::makeAbsDir(sandbox.root() + "/no/such/parent"));
}

TEST(TallyFiles, EnvelopeListSkipsOtherAndHiddenFiles) {
    ScopedAnalyticsSandbox sandbox;
    EXPECT_TRUE(TallyUtility::envelopeFiles().empty());
    const std::string folder = TallyUtility::tallyDirectory();
    for (const char* name : {"5_envelope.log", "exchangeIdentity.json", ".6_envelope.log", "7_envelope.log.tmp",
                             "8_envelope.log"}) {
        ASSERT_TRUE(TallyUtility::saveData(bytes("x"), folder + "/" + name));
    }
    auto files = TallyUtility::envelopeFiles();
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{folder + "/5_envelope.log", folder + "/8_envelope.log"}));
    EXPECT_EQ(TallyUtility::itemsInAbsDir(folder).size(), 4u);
    EXPECT_TRUE(TallyUtility::itemsInAbsDir(folder + "/missing").empty());
}

TEST(TallyFiles, SortedOldestFirstTiesByNameMissingLast) {
    ScopedAnalyticsSandbox sandbox;
    const std::string folder = TallyUtility::tallyDirectory();
    struct Case {
        const char* name;
        double created;
    } cases[] = {{"c", 3000}, {"a", 1000}, {"d", 2000}, {"b", 2000}};
    std::vector<std::string> paths;
    for (const auto& c : cases) {
        paths.push_back(folder + "/" + c.name + "_envelope.log");
        ASSERT_TRUE(TallyUtility::saveData(bytes(c.name), paths.back()));
        setCreated(paths.back(), c.created);
    }
    paths.insert(paths.begin(), folder + "/gone_envelope.log");
    TallyUtility::sortFileWithCreatedTime(paths);
    std::vector<std::string> names;
    for (const auto& p : paths) names.push_back(std::filesystem::path(p).filename().string());
    EXPECT_EQ(names, (std::vector<std::string>{"a_envelope.log", "b_envelope.log", "d_envelope.log",
                                               "c_envelope.log", "gone_envelope.log"}));
}

TEST(TallyFiles, DurationFromNow) {
    ScopedClock clock([] { return 500.0; });
    EXPECT_DOUBLE_EQ(TallyUtility::durationNowWith1970TimeInterval(200.25), 299.75);
    EXPECT_DOUBLE_EQ(TallyUtility::durationNowWith1970TimeInterval(600), -100);
}

}  // namespace
}  // namespace lv
