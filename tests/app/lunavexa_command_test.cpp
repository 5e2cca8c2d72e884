// The lunavexa program as a separate process against the stand-in on 127.0.0.1: its output, exit
// codes and error lines, and the SQLite file it leaves, read with the sqlite3 command.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "content/content_test_support.h"
#include "content_service.h"
#include "program_run.h"

namespace lv::test {
namespace {

class LunavexaCommand : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(service.start()); }
    void TearDown() override { service.stop(); }

    std::string home() const { return (dir.path() / "home").string(); }
    std::string storeFolder() const { return home() + "/Library/Application Support/lunavexa"; }
    std::string store() const { return storeFolder() + "/lunavexa.sqlite"; }

    Outcome run(const std::string& arguments, int port = -1) {
        return runLunavexa(dir, "--home " + quoted(home()) + " --bundle " + quoted(sourceDirectory() + "/bundle") +
                                    " --service " + std::to_string(port < 0 ? service.port() : port) + " " + arguments);
    }
    std::string sqlite(const std::string& query) {
        std::string command = "sqlite3 " + quoted(store()) + " " + quoted(query) + " 2>&1";
        std::string output;
        FILE* pipe = ::popen(command.c_str(), "r");
        char buffer[4096];
        while (pipe && std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
        if (pipe) ::pclose(pipe);
        return output;
    }

    TempDir dir;
    tools::ContentService service{sourceDirectory() + "/tools/content-service/fixtures"};
};

TEST_F(LunavexaCommand, NewsPrintsTheStoredRowsAndTheRefreshLine) {
    Outcome news = run("news --cat kpop");
    ASSERT_EQ(news.code, 0) << news.err;
    EXPECT_EQ(news.out.rfind("msgId\tcat_name\ttitle\tupdate_time\n", 0), 0u) << news.out;
    EXPECT_NE(news.out.find("上次更新 "), std::string::npos);
    EXPECT_NE(news.out.find("news: 6 in the reply, 5 rows shown"), std::string::npos) << news.out;
    EXPECT_NE(news.err.find("tab set installed"), std::string::npos);
    // The file as sqlite3 reads it: the five distinct items of the category.
    EXPECT_EQ(sqlite("SELECT count(*), min(cat_name), max(cat_name) FROM News"), "5|kpop|kpop\n");

    // Offline, the same rows come back from the file.
    Outcome show = run("show News", 1);
    ASSERT_EQ(show.code, 0) << show.err;
    EXPECT_EQ(std::count(show.out.begin(), show.out.end(), '\n'), 6);
    Outcome settings = run("settings", 1);
    EXPECT_EQ(settings.code, 0);
    EXPECT_NE(settings.out.find("hideVideos\t0\n"), std::string::npos) << settings.out;
    EXPECT_NE(settings.out.find("appVersion\t1.0\n"), std::string::npos);
}

TEST_F(LunavexaCommand, FailuresAreOneLineWithTheirExitCode) {
    struct Case {
        const char* name;
        std::string arguments;
        int port;
        int code;
        const char* errorText;
    };
    const Case cases[] = {
        {"service down", "news --cat kpop", 1, 1, "lunavexa: news request failed: "},
        {"usage", "news", -1, 2, "lunavexa: news needs --cat"},
        {"unknown command", "dance", -1, 2, "lunavexa: unknown command \"dance\""},
        {"bad ended", "drama --type kr --ended maybe", -1, 2, "lunavexa: --ended takes yes or no"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Outcome result = run(c.arguments, c.port);
        EXPECT_EQ(result.code, c.code) << result.err;
        EXPECT_NE(result.err.find(c.errorText), std::string::npos) << result.err;
        EXPECT_TRUE(result.out.empty()) << result.out;
    }
    Outcome help = run("--help");
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("exit codes: 0 success, 1 failure"), std::string::npos);
}

TEST_F(LunavexaCommand, AnUnwritableHomeIsReported) {
    // A regular file where the home folder should be cannot be written into by any user, root included.
    std::filesystem::create_directories(dir.path());
    std::ofstream(home()) << "a file, not a folder";
    Outcome result = run("news --cat kpop");
    EXPECT_EQ(result.code, 1);
    EXPECT_NE(result.err.find("is not writable"), std::string::npos) << result.err;
    EXPECT_EQ(slurp(home()), "a file, not a folder");
}

TEST_F(LunavexaCommand, ADamagedStoreIsKeptAsideNotDeleted) {
    std::filesystem::create_directories(storeFolder());
    std::ofstream(store(), std::ios::binary) << "not a database at all, just bytes";
    Outcome result = run("news --cat kpop");
    EXPECT_EQ(result.code, 1);
    EXPECT_NE(result.err.find("is damaged; kept aside as "), std::string::npos) << result.err;
    bool keptAside = false;
    for (const auto& entry : std::filesystem::directory_iterator(storeFolder())) {
        if (entry.path().filename().string().rfind("lunavexa.sqlite.damaged-", 0) == 0) {
            keptAside = slurp(entry.path().string()) == "not a database at all, just bytes";
        }
    }
    EXPECT_TRUE(keptAside);
    // The next run starts a new store and succeeds.
    EXPECT_EQ(run("news --cat kpop").code, 0);
}

}  // namespace
}  // namespace lv::test
