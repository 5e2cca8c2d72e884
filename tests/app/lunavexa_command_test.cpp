// The lunavexa program as a separate process against the stand-in on 127.0.0.1: its output, exit
// codes and error lines, its arguments, signals, and the SQLite file it leaves (read with the sqlite3
// command), damaged ones included.
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "lunavexa_fixture.h"
#include "platform/dispatch/run_loop.h"
#include "support/scoped_env.h"

namespace lv::test {
namespace {

namespace fs = std::filesystem;

using LunavexaCommand = LunavexaProcess;

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
    EXPECT_EQ(lines(show.out), 6u);
    Outcome settings = run("settings", 1);
    EXPECT_EQ(settings.code, 0);
    EXPECT_NE(settings.out.find("hideVideos\t0\n"), std::string::npos) << settings.out;
    EXPECT_NE(settings.out.find("appVersion\t1.0\n"), std::string::npos);
}

TEST_F(LunavexaCommand, ArgumentsAreStrictAndUsageIsOneLine) {
    struct Case {
        std::string arguments;
        const char* errorText;
    };
    const Case cases[] = {
        {"news", "lunavexa: news needs --cat (see lunavexa --help)\n"},
        {"dance", "lunavexa: unknown command \"dance\" (see lunavexa --help)\n"},
        {"drama --type kr --ended maybe", "lunavexa: --ended takes yes or no (see lunavexa --help)\n"},
        {"news --cat ent --time 2015-03-05", "lunavexa: unknown option --time for news (see lunavexa --help)\n"},
        {"news --cat ent --bogus x", "lunavexa: unknown option --bogus for news (see lunavexa --help)\n"},
        {"--bogus x news --cat ent", "lunavexa: unknown option --bogus (see lunavexa --help)\n"},
        {"news --cat ent extra", "lunavexa: unexpected word \"extra\" after news (see lunavexa --help)\n"},
        {"news --cat ent --cat kpop", "lunavexa: --cat is given twice (see lunavexa --help)\n"},
        {"launch --site melon", "lunavexa: unknown option --site for launch (see lunavexa --help)\n"},
        {"show News Video", "lunavexa: unexpected word \"Video\" after show (see lunavexa --help)\n"},
        {"news --cat ent --network maybe", "lunavexa: --network takes on or off (see lunavexa --help)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        Outcome result = run(c.arguments);
        EXPECT_EQ(result.code, 2);
        EXPECT_EQ(result.err, c.errorText);
        EXPECT_TRUE(result.out.empty()) << result.out;
    }
    // Refused before anything ran: no home folder, no request.
    EXPECT_FALSE(fs::exists(home()));
    EXPECT_TRUE(service.requests().empty());

    // Global options after the command count as before it: this home, this service.
    Outcome after = runLunavexa(dir, "news --cat ent " + commonOptions());
    ASSERT_EQ(after.code, 0) << after.err;
    EXPECT_EQ(sqlite("SELECT count(*) FROM News"), "5\n");
    EXPECT_EQ(bodiesOf("newsList").size(), 1u);

    Outcome help = run("--help");
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("exit codes: 0 success, 1 failure"), std::string::npos);
    EXPECT_NE(help.out.find(sourceDirectory() + "/bundle"), std::string::npos) << "the default bundle folder";
    EXPECT_NE(help.out.find("make the device a simulator"), std::string::npos) << "what --machine changes";
    EXPECT_NE(help.out.find("the newest update_time among them"), std::string::npos) << "which time is sent";
    EXPECT_NE(help.out.find("\"news ent\""), std::string::npos) << "run's page lines";
}

TEST_F(LunavexaCommand, AnUnusableHomeIsReported) {
    // A regular file where the home folder should be: refused whoever runs the test.
    std::ofstream(home()) << "a file, not a folder";
    Outcome result = run("news --cat kpop");
    EXPECT_EQ(result.code, 1);
    EXPECT_NE(result.err.find("is not writable"), std::string::npos) << result.err;
    EXPECT_EQ(slurp(home()), "a file, not a folder");
    EXPECT_TRUE(service.requests().empty());
}

// A first run leaves a sound store of five news rows; each case damages a copy of it.
TEST_F(LunavexaCommand, ADamagedStoreIsKeptAsideWithItsJournalAndTheCommandStartsAnew) {
    ASSERT_EQ(run("news --cat kpop").code, 0);
    const std::string sound = slurp(store());
    ASSERT_GT(sound.size(), 4096u * 6);
    struct Case {
        const char* name;
        std::function<void(const std::string&)> damage;
        const char* reason;
    };
    const std::vector<Case> cases{
        {"not a database", [](const std::string& path) { std::ofstream(path, std::ios::binary) << "not a database at all"; },
         "it is not a SQLite file"},
        {"garbage pages",
         [](const std::string& path) {
             std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
             file.seekp(4096 * 3);
             file << std::string(4096 * 2, '\xAB');
         },
         "the integrity check fails"},
        {"truncated", [](const std::string& path) { fs::resize_file(path, 4096 * 4 + 100); }, "malformed"},
        {"another program's database",
         [this](const std::string& path) {
             fs::remove(path);
             sqlite("CREATE TABLE notes(text); INSERT INTO notes VALUES ('mine');", path);
         },
         "model"},
        {"another model",
         [this](const std::string& path) {
             // The dates became text in that model: no migration turns them back.
             sqlite("UPDATE _lv_metadata SET value = replace(value, '\"date\"', '\"string\"') WHERE key = 'ModelText';"
                    "UPDATE _lv_metadata SET value = '{}' WHERE key = 'VersionHashes';",
                    path);
         },
         "cannot migrate"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(storeFolder());
        fs::create_directories(storeFolder());
        std::ofstream(store(), std::ios::binary) << sound;
        c.damage(store());
        if (std::string(c.name) == "garbage pages" || std::string(c.name) == "truncated") {
            EXPECT_NE(sqlite("PRAGMA integrity_check"), "ok\n") << "the case damages the file";
        }
        const std::string damaged = slurp(store());
        // A journal left by the damaged file's last writer.
        std::ofstream(store() + "-wal", std::ios::binary) << "the damaged file's journal";
        std::ofstream(store() + "-shm", std::ios::binary) << "its index";

        Outcome result = run("news --cat kpop");
        EXPECT_EQ(result.code, 0) << result.err;
        EXPECT_NE(result.err.find("lunavexa: the store file " + store() + " is damaged ("), std::string::npos) << result.err;
        EXPECT_NE(result.err.find(c.reason), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("starting with an empty store"), std::string::npos);
        // Kept aside byte for byte, the journal beside it, unchanged; the new store holds the new rows.
        std::vector<std::string> aside;
        for (const auto& entry : fs::directory_iterator(storeFolder())) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("lunavexa.sqlite.damaged-", 0) == 0) aside.push_back(entry.path().string());
        }
        std::sort(aside.begin(), aside.end());
        ASSERT_EQ(aside.size(), 3u);
        EXPECT_EQ(slurp(aside[0]), damaged);
        EXPECT_EQ(aside[1], aside[0] + "-shm");
        EXPECT_EQ(slurp(aside[1]), "its index");
        EXPECT_EQ(aside[2], aside[0] + "-wal");
        EXPECT_EQ(slurp(aside[2]), "the damaged file's journal");
        EXPECT_EQ(sqlite("PRAGMA integrity_check; SELECT count(*) FROM News;"), "ok\n5\n");
        EXPECT_FALSE(fs::exists(store() + "-wal") && slurp(store() + "-wal") == "the damaged file's journal");
    }
}

// A launch that found the store sound marks it, and the next one trusts the mark only while the file is
// as it was: pages damaged in place afterwards, with no journal beside them, are still found.
TEST_F(LunavexaCommand, AStoreDamagedInPlaceAfterASoundCheckIsStillKeptAside) {
    ASSERT_EQ(run("news --cat kpop").code, 0);
    ASSERT_EQ(run("launch").code, 0);  // checks the store written by the first run, and marks it
    ASSERT_EQ(run("launch").code, 0);  // a marked, unchanged store
    ASSERT_FALSE(fs::exists(store() + "-wal") && fs::file_size(store() + "-wal") > 0);
    {
        std::fstream file(store(), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(4096 * 3);
        file << std::string(4096 * 2, '\xAB');
    }
    ASSERT_NE(sqlite("PRAGMA integrity_check"), "ok\n");
    Outcome result = run("launch");
    EXPECT_EQ(result.code, 0) << result.err;
    EXPECT_NE(result.err.find("is damaged (the integrity check fails"), std::string::npos) << result.err;
    EXPECT_EQ(sqlite("PRAGMA integrity_check"), "ok\n");
}

TEST_F(LunavexaCommand, ASoundStoreWithAJournalIsNotTakenForDamaged) {
    ASSERT_EQ(run("news --cat kpop").code, 0);
    const std::string saved = dir.file("saved");
    saveStoreWithJournal(saved);
    restoreStoreWithJournal(saved);

    Outcome show = run("show News", 1);
    ASSERT_EQ(show.code, 0) << show.err;
    EXPECT_EQ(show.err.find("damaged"), std::string::npos) << show.err;
    EXPECT_NE(show.out.find("9999\tkpop\tjournal"), std::string::npos) << show.out;
    for (const auto& entry : fs::directory_iterator(storeFolder())) {
        EXPECT_EQ(entry.path().filename().string().find("damaged"), std::string::npos);
    }
}

// Settings, user defaults and the analytics cache replaced by what no file reader should take (an
// endless device, a FIFO without a writer, a folder): the page command neither hangs nor runs out of
// memory. A device or FIFO is kept aside as a damaged file (the analytics cache is removed, as a damaged
// one is), and the next launch writes a regular file in its place.
TEST_F(LunavexaCommand, SpecialFilesInTheHomeAreNoSettings) {
    ASSERT_EQ(run("news --cat kpop").code, 0);
    struct Target {
        std::string file;
        std::string aside;  // the folder it is kept aside in; empty: removed
    };
    const std::vector<Target> targets{
        {home() + "/Documents/LNPreferences.plist", home() + "/Documents/Damaged"},
        {home() + "/Library/Preferences/com.lunavexa.app.plist", home() + "/Library/Preferences/Damaged"},
        {home() + "/Library/Caches/.com.lunavexa.app_tallyCache.plist", ""},
    };
    const std::vector<std::string> specials{"/dev/zero", "/dev/urandom", "fifo", "folder"};
    for (const Target& target : targets) {
        for (const std::string& special : specials) {
            SCOPED_TRACE(target.file + " as " + special);
            ASSERT_TRUE(fs::exists(target.file));
            fs::remove(target.file);
            if (special == "fifo") {
                ASSERT_EQ(::mkfifo(target.file.c_str(), 0600), 0);
            } else if (special == "folder") {
                fs::create_directory(target.file);
            } else {
                fs::create_symlink(special, target.file);
            }
            Outcome result = run("news --cat kpop");
            EXPECT_EQ(result.code, 0) << result.err;
            if (special == "folder") {  // refused as unreadable; what becomes of it is the owner's business
                fs::remove_all(target.file);
                ASSERT_EQ(run("launch").code, 0);
            } else if (!target.aside.empty()) {
                bool kept = false;
                for (const auto& entry : fs::directory_iterator(target.aside)) {
                    kept = kept || (fs::is_symlink(entry.symlink_status()) || fs::is_fifo(entry.symlink_status()));
                }
                EXPECT_TRUE(kept);
                fs::remove_all(target.aside);
            }
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(target.file)));
        }
    }
}

// A launch killed while its store check works on a copy of the store (a journal makes the check copy
// it) leaves the copy in the temp folder; the next launch removes it, and its own.
TEST_F(LunavexaCommand, ACopyLeftByALaunchKilledDuringItsCheckGoesWithTheNextLaunch) {
    ASSERT_EQ(run("news --cat kpop").code, 0);
    const std::string saved = dir.file("saved");
    saveStoreWithJournal(saved);
    const std::string temp = dir.file("tmp");
    fs::create_directories(temp);
    ScopedEnv tmpdir("TMPDIR", temp);
    auto copies = [&] {
        std::size_t n = 0;
        for (const auto& entry : fs::directory_iterator(temp)) n += entry.path().filename().string().rfind("lunavexa-", 0) == 0;
        return n;
    };
    std::size_t left = 0;
    for (int round = 0; round < 20 && left == 0; ++round) {
        restoreStoreWithJournal(saved);
        std::ofstream(dir.file("out")).close();
        RunningLunavexa program(dir, commonOptions() + " show News");
        ASSERT_TRUE(program.started());
        // Killed as soon as its copy is seen (or once it printed, the check long over).
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (copies() == 0 && slurp(dir.file("out")).empty() && std::chrono::steady_clock::now() < deadline) {
        }
        program.signal(SIGKILL);
        program.finish();
        left = copies();
    }
    ASSERT_GT(left, 0u) << "no launch was killed during its check";
    // Folders named alike that are not such copies (a longer name, another mode) are someone else's.
    const std::vector<std::string> others{temp + "/lunavexa-show-important", temp + "/lunavexa-store-check-abcdef"};
    for (const std::string& other : others) {
        fs::create_directories(other);
        std::ofstream(other + "/data.txt") << "precious";
    }
    fs::permissions(others[1], fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    restoreStoreWithJournal(saved);
    Outcome next = run("show News", 1);
    ASSERT_EQ(next.code, 0) << next.err;
    EXPECT_EQ(copies(), others.size());
    for (const std::string& other : others) EXPECT_TRUE(fs::exists(other + "/data.txt")) << other;
}

// A store that is a link to itself, or a FIFO, is a damaged store: no crash, no hang.
TEST_F(LunavexaCommand, AStoreThatIsALinkLoopOrAFIFOIsKeptAside) {
    for (const char* kind : {"loop", "fifo"}) {
        SCOPED_TRACE(kind);
        ASSERT_EQ(run("news --cat kpop").code, 0);
        fs::remove(store());
        if (std::string(kind) == "loop") {
            fs::create_symlink("lunavexa.sqlite", store());
        } else {
            ASSERT_EQ(::mkfifo(store().c_str(), 0600), 0);
        }
        for (const char* command : {"show News", "news --cat kpop"}) {
            Outcome outcome = run(command);
            EXPECT_EQ(outcome.code, 0) << command << ": " << outcome.err;
        }
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(store())));
    }
}

TEST_F(LunavexaCommand, ASignalDuringALoadEndsTheAppNormallyWithItsExitCode) {
    ASSERT_EQ(run("news --cat kpop").code, 0);
    tools::ContentBehaviour slow;
    slow.delaySeconds = 30;  // ends early when the service stops
    service.setBehaviour("newsList", slow);
    // A closed terminal (SIGHUP) ends it the same way: the session is kept, not lost.
    for (const auto& [number, code] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}, std::pair{SIGHUP, 129}}) {
        SCOPED_TRACE(code);
        service.clearRequests();
        RunningLunavexa program(dir, commonOptions() + " news --cat kpop");
        ASSERT_TRUE(program.started());
        ASSERT_TRUE(runMainUntil([&] { return !bodiesOf("newsList").empty(); }, 20)) << slurp(dir.file("err"));
        program.signal(number);
        Outcome result = program.finish();
        EXPECT_EQ(result.code, code) << result.err;
        EXPECT_NE(result.err.find("lunavexa: ended by signal " + std::to_string(number)), std::string::npos) << result.err;
        EXPECT_TRUE(result.out.empty()) << result.out;
        // The termination's clean-up closed the store: its journal is folded in and gone.
        EXPECT_FALSE(fs::exists(store() + "-wal"));
        EXPECT_EQ(sqlite("PRAGMA integrity_check; SELECT count(*) FROM News;"), "ok\n5\n");
    }
}

}  // namespace
}  // namespace lv::test
