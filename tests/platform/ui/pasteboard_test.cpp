#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>

#include "app_test_support.h"
#include "platform/storage/file_manager.h"

extern char** environ;

namespace lv::test {
namespace {

constexpr const char* kChildRoot = "LV_PASTEBOARD_CHILD_ROOT";

// Runs this test binary again with the filter and the sandbox root for the child; its exit status.
int runChild(const std::string& filter, const std::string& root) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    env.push_back(std::string(kChildRoot) + "=" + root);
    std::vector<char*> envp;
    for (auto& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = "/proc/self/exe";
    std::string filterArg = "--gtest_filter=" + filter;
    char* argv[] = {program.data(), filterArg.data(), nullptr};
    pid_t pid = 0;
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return -1;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST(Pasteboard, PersistentBoardsReachASecondProcess) {
    AppScope scope;
    auto named = lv::Pasteboard::pasteboardWithName("lv.test/board 1", true);
    named->setPersistent(true);
    named->setData(Bytes{0, 1, 2, 0xff}, "lv.uid");
    lv::Pasteboard::generalPasteboard()->setItems(
        Array{Value::dictionary({{"transfer", Value::data("message")}, {"app", Value("lunavexa")}}),
              Value::dictionary({{std::string(kPasteboardTypeUTF8PlainText), Value("second")}})});
    lv::Pasteboard::pasteboardWithName("lv.test.memory", true)->setString("in memory only");
    EXPECT_TRUE(FileManager::defaultManager().fileExistsAtPath(lv::Pasteboard::filePath("lv.test/board 1")));

    ASSERT_EQ(runChild("Pasteboard.ChildReadsAndAnswers", scope.rootPath()), 0);
    // The child's answer, seen by this process's boards without reopening them.
    EXPECT_EQ(named->string(), "answer");
    EXPECT_EQ(named->dataForPasteboardType("lv.uid"), std::nullopt);

    named->setPersistent(false);  // back into memory, its file gone
    EXPECT_EQ(named->string(), "answer");
    EXPECT_FALSE(FileManager::defaultManager().fileExistsAtPath(lv::Pasteboard::filePath("lv.test/board 1")));
    lv::Pasteboard::resetPasteboards();
    EXPECT_EQ(lv::Pasteboard::pasteboardWithName("lv.test/board 1", false), nullptr);
}

// The second process of the test above; skipped when run on its own.
TEST(Pasteboard, ChildReadsAndAnswers) {
    const char* root = std::getenv(kChildRoot);
    if (!root) GTEST_SKIP() << "runs as the second process of PersistentBoardsReachASecondProcess";
    ASSERT_TRUE(Sandbox::setRoot(root));
    auto named = lv::Pasteboard::pasteboardWithName("lv.test/board 1", false);
    ASSERT_NE(named, nullptr);
    EXPECT_TRUE(named->isPersistent());
    EXPECT_EQ(named->dataForPasteboardType("lv.uid"), (Bytes{0, 1, 2, 0xff}));
    const Array items = lv::Pasteboard::generalPasteboard()->items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0]["transfer"], Value::data("message"));
    EXPECT_EQ(items[1][kPasteboardTypeUTF8PlainText], Value("second"));
    EXPECT_EQ(lv::Pasteboard::generalPasteboard()->string(), std::nullopt);  // the first item has no text
    EXPECT_EQ(lv::Pasteboard::pasteboardWithName("lv.test.memory", false), nullptr);
    named->setString("answer");
}

}  // namespace
}  // namespace lv::test
