#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/base/log.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/path.h"
#include "platform/storage/property_list.h"
#include "platform/storage/user_defaults.h"
#include "platform/text/locale.h"
#include "storage_test_support.h"

namespace lv {
namespace {

using test::SandboxTest;

TEST_F(SandboxTest, StandardDefaultsLiveInThePreferencesFolderUnderTheBundleIdentifier) {
    auto defaults = UserDefaults::standardUserDefaults();
    EXPECT_EQ(defaults->filePath(), rootPath() + "/Library/Preferences/com.lunavexa.app.plist");
    EXPECT_EQ(UserDefaults::standardUserDefaults(), defaults);
}

TEST_F(SandboxTest, TypedReadersAndWhatAbsentKeysGive) {
    auto defaults = UserDefaults::standardUserDefaults();
    EXPECT_EQ(defaults->integerForKey("tlyPeriodEvtCount"), 0);
    EXPECT_FALSE(defaults->boolForKey("tlyActivateMsg"));
    EXPECT_EQ(defaults->doubleForKey("lastPostInterval"), 0.0);
    EXPECT_FALSE(defaults->stringForKey("appkey"));
    EXPECT_TRUE(defaults->objectForKey("appkey").isNil());

    defaults->setObject(Value("9f3b6c2a41e07d58b2c4a6e1"), "appkey");
    defaults->setInteger(3, "tlyDefcon");
    defaults->setDouble(1425517622.5, "lastPostInterval");
    defaults->setBool(true, "tlyActivateMsg");
    defaults->setObject(Value::data("\x01\x02"), "tlyImprint");
    defaults->setObject(Value("12"), "PNSTAT_DB_VER");
    EXPECT_EQ(*defaults->stringForKey("appkey"), "9f3b6c2a41e07d58b2c4a6e1");
    EXPECT_EQ(*defaults->stringForKey("tlyDefcon"), "3");
    EXPECT_EQ(defaults->integerForKey("tlyDefcon"), 3);
    EXPECT_EQ(defaults->integerForKey("PNSTAT_DB_VER"), 12);
    EXPECT_EQ(defaults->integerForKey("tlyImprint"), 0);
    EXPECT_EQ(defaults->doubleForKey("lastPostInterval"), 1425517622.5);
    EXPECT_TRUE(defaults->boolForKey("tlyActivateMsg"));
    EXPECT_EQ(defaults->dataForKey("tlyImprint").bytes(), (Bytes{1, 2}));
    EXPECT_TRUE(defaults->arrayForKey("appkey").isNil());

    defaults->removeObjectForKey("appkey");
    EXPECT_TRUE(defaults->objectForKey("appkey").isNil());
    defaults->registerDefaults({{"appkey", "registered"}});
    EXPECT_EQ(*defaults->stringForKey("appkey"), "registered");
    EXPECT_EQ(defaults->dictionaryRepresentation().get("tlyDefcon").intValue(), 3);
}

TEST_F(SandboxTest, NonPropertyListValuesAreRefusedWithOneLogLine) {
    auto defaults = UserDefaults::standardUserDefaults();
    LogCapture capture;
    EXPECT_FALSE(defaults->setObject(Value::null(), "k"));
    EXPECT_FALSE(defaults->setObject(Value::array({Value::null()}), "k"));
    EXPECT_EQ(capture.lines().size(), 2u);
    EXPECT_TRUE(defaults->objectForKey("k").isNil());
}

TEST_F(SandboxTest, EveryChangeIsWrittenAtOnceAtomicallyAndOwnerOnly) {
    auto defaults = UserDefaults::standardUserDefaults();
    defaults->setObject(Value::dictionary({{"a", Value::array({1, "x"})}}), "tlyExperimentGroupInfo");
    defaults->setObject(Value(Date::fromSince1970(1425517622.0)), "date");
    const Value onDisk = dictionaryWithContentsOfFile(defaults->filePath());
    EXPECT_EQ(onDisk["tlyExperimentGroupInfo"]["a"][1].string(), "x");
    EXPECT_DOUBLE_EQ(test::since1970(onDisk["date"]), 1425517622.0);
    struct stat st{};
    ASSERT_EQ(::stat(defaults->filePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    UserDefaults reopened(defaults->filePath());
    EXPECT_EQ(reopened.dictionaryForKey("tlyExperimentGroupInfo"), defaults->dictionaryForKey("tlyExperimentGroupInfo"));
    EXPECT_TRUE(reopened.synchronize());
}

// A damaged defaults file reads as empty and is not replaced by the next write: it moves, unchanged,
// into "Damaged" beside it under a time-stamped name, with one line saying so.
TEST_F(SandboxTest, ADamagedFileIsKeptAsideAndTheDefaultsStartEmpty) {
    const std::string file = UserDefaults::standardUserDefaults()->filePath();
    const std::string aside = path::deletingLastPathComponent(file) + "/Damaged";
    const Bytes good = *PropertyListSerialization::dataWithPropertyList(Value::dictionary({{"appkey", "9f3b"}}),
                                                                        PropertyListFormat::Binary, 0, nullptr);
    const std::pair<const char*, Bytes> cases[] = {
        {"truncated", Bytes(good.begin(), good.end() - 12)},
        {"garbage", Value::data("bplist00 damaged").bytes()},
        {"empty", Bytes()},
        {"a list at the root", *PropertyListSerialization::dataWithPropertyList(Value::array({"appkey"}), PropertyListFormat::Binary, 0, nullptr)},
    };
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        std::filesystem::remove_all(aside);
        ASSERT_TRUE(writeToFile(bytes, file, true));
        UserDefaults::resetStandardUserDefaults();
        LogCapture capture;
        auto defaults = UserDefaults::standardUserDefaults();
        EXPECT_TRUE(defaults->dictionaryRepresentation().empty());
        EXPECT_EQ(capture.count("kept aside as " + aside + "/com.lunavexa.app.plist.damaged-"), 1u);
        EXPECT_FALSE(FileManager::defaultManager().fileExistsAtPath(file));
        defaults->setInteger(1, "PNSTAT_DB_VER");
        EXPECT_EQ(dictionaryWithContentsOfFile(file)["PNSTAT_DB_VER"].intValue(), 1);
        std::vector<std::string> kept;
        for (const auto& entry : std::filesystem::directory_iterator(aside)) kept.push_back(entry.path().string());
        ASSERT_EQ(kept.size(), 1u);
        EXPECT_EQ(dataWithContentsOfFile(kept[0], nullptr), std::optional<Bytes>(bytes));
    }
    // One that is there but cannot be read (a folder here; a file of another user's mode alike) is kept
    // aside too, so its data is never written over and the defaults can be saved again.
    std::filesystem::remove_all(aside);
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    UserDefaults::resetStandardUserDefaults();
    UserDefaults::standardUserDefaults()->setInteger(1, "PNSTAT_DB_VER");
    EXPECT_EQ(dictionaryWithContentsOfFile(file)["PNSTAT_DB_VER"].intValue(), 1);
    ASSERT_TRUE(std::filesystem::exists(aside));
    EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::directory_iterator(aside)->path()));
}

TEST_F(SandboxTest, AtomicAddCountsEveryIncrementFromManyThreads) {
    auto defaults = UserDefaults::standardUserDefaults();
    constexpr int kThreads = 4, kAdds = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kAdds; ++i) {
                defaults->addInteger(1, "tlySerialNum");
                (void)defaults->integerForKey("tlySerialNum");
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(defaults->integerForKey("tlySerialNum"), kThreads * kAdds);
    EXPECT_EQ(UserDefaults(defaults->filePath()).integerForKey("tlySerialNum"), kThreads * kAdds);
    EXPECT_EQ(defaults->addInteger(-5, "tlySerialNum"), kThreads * kAdds - 5);
}

TEST_F(SandboxTest, AppleLanguagesFeedThePreferredLanguages) {
    auto defaults = UserDefaults::standardUserDefaults();
    EXPECT_EQ(UserDefaults::preferredLanguages(), Locale::environmentLanguages());
    EXPECT_TRUE(defaults->objectForKey(kAppleLanguagesKey).isArray());
    defaults->setObject(Value::array({"zh-Hans", "en"}), kAppleLanguagesKey);
    EXPECT_EQ(UserDefaults::preferredLanguages(), (std::vector<std::string>{"zh-Hans", "en"}));
    EXPECT_EQ(Locale::preferredLanguages(), (std::vector<std::string>{"zh-Hans", "en"}));
    EXPECT_EQ(defaults->arrayForKey(kAppleLanguagesKey)[0].string(), "zh-Hans");
}

TEST_F(SandboxTest, ANewSandboxRootOpensItsOwnDefaults) {
    UserDefaults::standardUserDefaults()->setInteger(7, "k");
    test::TempDir other;
    ASSERT_TRUE(Sandbox::setRoot(other.path().string()));
    EXPECT_EQ(UserDefaults::standardUserDefaults()->integerForKey("k"), 0);
    ASSERT_TRUE(Sandbox::setRoot(rootPath()));
    EXPECT_EQ(UserDefaults::standardUserDefaults()->integerForKey("k"), 7);
}

// Runs in a second process: sets values in the standard defaults of the sandbox it is given.
TEST(UserDefaultsChildProcess, SetsValues) {
    const char* root = std::getenv("LV_DEFAULTS_CHILD_ROOT");
    if (!root) GTEST_SKIP() << "runs only as the second process of UserDefaultsAcrossProcesses";
    ASSERT_TRUE(Sandbox::setRoot(root));
    auto defaults = UserDefaults::standardUserDefaults();
    defaults->setObject(Value("written by the first process"), "TLYProfilePUID");
    defaults->addInteger(41, "tlySuccessfulRequests");
    defaults->addInteger(1, "tlySuccessfulRequests");
    defaults->addInteger(1, "tlyFailedRequests", Dictionary{{"tlyLastRequestSpentMS", Value(std::int64_t{12})}});
}

TEST_F(SandboxTest, ValuesSurviveTheProcessThatSetThem) {
    ASSERT_EQ(test::runThisBinary("UserDefaultsChildProcess.*", {{"LV_DEFAULTS_CHILD_ROOT", rootPath()}}), 0);
    auto defaults = UserDefaults::standardUserDefaults();
    EXPECT_EQ(*defaults->stringForKey("TLYProfilePUID"), "written by the first process");
    EXPECT_EQ(defaults->integerForKey("tlySuccessfulRequests"), 42);
    EXPECT_EQ(defaults->integerForKey("tlyFailedRequests"), 1);
    EXPECT_EQ(defaults->integerForKey("tlyLastRequestSpentMS"), 12);
}

// Runs in a second and third process at once: counts on in the standard defaults and sets a key of
// its own, many times.
TEST(UserDefaultsChildProcess, DISABLED_CountsAndSetsItsOwnKey) {
    const char* root = std::getenv("LV_DEFAULTS_CHILD_ROOT");
    const char* name = std::getenv("LV_DEFAULTS_CHILD_NAME");
    if (!root || !name) GTEST_SKIP() << "runs only as a process of TwoProcessesCountOnAndKeepEachOthersKeys";
    ASSERT_TRUE(Sandbox::setRoot(root));
    auto defaults = UserDefaults::standardUserDefaults();
    for (std::int64_t n = 1; n <= 150; ++n) {
        defaults->addInteger(1, "tlySerialNum");
        defaults->setObject(Value(n), std::string("own-") + name);
    }
}

// Two processes changing one defaults file at once: every addition counts (no number handed out
// twice) and neither loses the other's key. The file is read by Python's plistlib.
TEST_F(SandboxTest, TwoProcessesCountOnAndKeepEachOthersKeys) {
    std::vector<test::PipedChild> children;
    for (const char* name : {"a", "b"}) {
        children.push_back(test::startThisBinaryWithPipe("UserDefaultsChildProcess.DISABLED_CountsAndSetsItsOwnKey",
                                                         {{"LV_DEFAULTS_CHILD_ROOT", rootPath()}, {"LV_DEFAULTS_CHILD_NAME", name}},
                                                         "LV_DEFAULTS_CHILD_PIPE", true));
        ASSERT_GT(children.back().pid, 0);
    }
    for (const auto& child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child.pid, &status, 0), child.pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        ::close(child.readFd);
    }
    const std::string file = UserDefaults::standardUserDefaults()->filePath();
    const std::string command = "python3 -c \"import plistlib,sys\n"
                                "d=plistlib.load(open(sys.argv[1],'rb'))\n"
                                "print(d['tlySerialNum'],d['own-a'],d['own-b'])\" '" + file + "'";
    FILE* reader = ::popen(command.c_str(), "r");
    ASSERT_NE(reader, nullptr);
    char line[64] = {};
    ASSERT_NE(std::fgets(line, sizeof line, reader), nullptr);
    EXPECT_EQ(::pclose(reader), 0);
    EXPECT_STREQ(line, "300 150 150\n");
}

// A value stored again leaves the file alone, unless the file is no longer the one this object wrote:
// then its own values are written over whatever replaced it.
TEST_F(SandboxTest, AValueStoredAgainWritesOnlyWhenTheFileChangedMeanwhile) {
    auto defaults = UserDefaults::standardUserDefaults();
    const std::string file = defaults->filePath();
    ASSERT_TRUE(defaults->setObject(Value("9f3b6c2a41e07d58b2c4a6e1"), "appkey"));
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    ASSERT_TRUE(defaults->setObject(Value("9f3b6c2a41e07d58b2c4a6e1"), "appkey"));
    struct stat after {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the same bytes were written again";

    // Another writer replaces the file; storing the same value again puts this object's values back.
    UserDefaults other(file);
    ASSERT_TRUE(other.setObject(Value("another key"), "appkey"));
    ASSERT_TRUE(defaults->setObject(Value("9f3b6c2a41e07d58b2c4a6e1"), "appkey"));
    EXPECT_EQ(*UserDefaults(file).stringForKey("appkey"), "9f3b6c2a41e07d58b2c4a6e1");
}

}  // namespace
}  // namespace lv
