// The lunavexa program as a process against the content stand-in on 127.0.0.1 in this test: a home
// folder in a temp dir, the request log, and the store file read with the sqlite3 command.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "content/content_test_support.h"
#include "content_service.h"
#include "program_run.h"

namespace lv::test {

class LunavexaProcess : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(service.start()); }
    void TearDown() override { service.stop(); }

    std::string home() const { return (dir.path() / "home").string(); }
    std::string storeFolder() const { return home() + "/Library/Application Support/lunavexa"; }
    std::string store() const { return storeFolder() + "/lunavexa.sqlite"; }
    std::string commonOptions(int port = -1) const {
        return "--home " + quoted(home()) + " --bundle " + quoted(sourceDirectory() + "/bundle") + " --service " +
               std::to_string(port < 0 ? service.port() : port);
    }

    Outcome run(const std::string& arguments, int port = -1) {
        return runLunavexa(dir, commonOptions(port) + " " + arguments);
    }
    // The sqlite3 command's output for the query on the given file (the store by default).
    // The script goes through a file, so it may hold quotes and dot-commands.
    std::string sqlite(const std::string& script, const std::string& file = {}) {
        std::ofstream(dir.file("script.sql"), std::ios::binary) << script << "\n";
        std::string command = "sqlite3 " + quoted(file.empty() ? store() : file) + " <" + quoted(dir.file("script.sql")) + " 2>&1";
        std::string output;
        FILE* pipe = ::popen(command.c_str(), "r");
        char buffer[4096];
        while (pipe && std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
        if (pipe) ::pclose(pipe);
        return output;
    }
    // A store whose last commit is still in its journal, as a writer that ended without closing leaves
    // it (the files copied while the sqlite3 command holds the store open), kept in the folder `saved`.
    void saveStoreWithJournal(const std::string& saved) {
        std::filesystem::create_directories(saved);
        sqlite("PRAGMA journal_mode = WAL;\n"
               "INSERT INTO News (_pk, cat_name, msgId, title) VALUES (99, 'kpop', '9999', 'journal');\n"
               ".system cp " + quoted(store()) + " " + quoted(store() + "-wal") + " " + quoted(saved));
        ASSERT_TRUE(std::filesystem::exists(saved + "/lunavexa.sqlite-wal"));
    }
    void restoreStoreWithJournal(const std::string& saved) {
        const auto overwrite = std::filesystem::copy_options::overwrite_existing;
        std::filesystem::copy_file(saved + "/lunavexa.sqlite", store(), overwrite);
        std::filesystem::copy_file(saved + "/lunavexa.sqlite-wal", store() + "-wal", overwrite);
    }
    // The form bodies the service received for the action, in order.
    std::vector<std::string> bodiesOf(const std::string& action) const {
        std::vector<std::string> bodies;
        for (const auto& request : service.requests()) {
            if (request.body.find("action=" + action + "&") == 0) bodies.push_back(request.body);
        }
        return bodies;
    }
    static std::size_t lines(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }
    static std::size_t occurrences(const std::string& text, const std::string& fragment) {
        std::size_t count = 0;
        for (auto at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1)) ++count;
        return count;
    }

    TempDir dir;
    tools::ContentService service{sourceDirectory() + "/tools/content-service/fixtures"};
};

}  // namespace lv::test
