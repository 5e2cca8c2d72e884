#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app_test_support.h"
#include "platform/storage/file_manager.h"
#include "support/child_process.h"

namespace lv::test {
namespace {

constexpr const char* kChildRoot = "LV_PASTEBOARD_CHILD_ROOT";

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

    ASSERT_EQ(runThisBinary("Pasteboard.ChildReadsAndAnswers", {{kChildRoot, scope.rootPath()}}), 0);
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

// A board's file that is no board (a sparse terabyte, a FIFO) reads as an empty board: no hang, no
// exhaustion, no exception.
TEST(Pasteboard, AFileThatIsNoBoardReadsEmpty) {
    AppScope scope;
    for (const char* kind : {"sparse", "fifo"}) {
        SCOPED_TRACE(kind);
        lv::Pasteboard::resetPasteboards();
        const std::string file = lv::Pasteboard::filePath("lv.test.odd");
        std::filesystem::create_directories(std::filesystem::path(file).parent_path());
        std::filesystem::remove(file);
        if (std::string(kind) == "sparse") {
            ASSERT_TRUE(writeToFile(std::string_view("bplist00"), file, false));
            ASSERT_EQ(::truncate(file.c_str(), 1LL << 40), 0);
        } else {
            ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
        }
        auto board = lv::Pasteboard::pasteboardWithName("lv.test.odd", false);
        ASSERT_NE(board, nullptr);
        EXPECT_TRUE(board->items().empty());
    }
}

constexpr const char* kAppenderFd = "LV_PASTEBOARD_APPENDER_FD";
constexpr int kAppends = 60;

void appendItems(const std::string& who) {
    Ref<lv::Pasteboard> board = lv::Pasteboard::pasteboardWithName("lv.test.shared", true);
    board->setPersistent(true);
    for (int i = 0; i < kAppends; ++i) {
        board->updateItems([&](Array& items) {
            items.push_back(Value(who + std::to_string(i)));
            return true;
        });
    }
}

// Two processes add items to one board at the same time: every item of both is kept.
TEST(Pasteboard, UpdatesFromTwoProcessesAreAllKept) {
    AppScope scope;
    PipedChild child = startThisBinaryWithPipe("Pasteboard.DISABLED_Appender", {{kChildRoot, scope.rootPath()}},
                                               kAppenderFd, false);
    ASSERT_GT(child.pid, 0);
    char ready = 0;
    ASSERT_EQ(::read(child.readFd, &ready, 1), 1);
    ::close(child.readFd);
    appendItems("parent ");
    int status = -1;
    ASSERT_EQ(::waitpid(child.pid, &status, 0), child.pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const Array items = lv::Pasteboard::pasteboardWithName("lv.test.shared", false)->items();
    EXPECT_EQ(items.size(), 2u * kAppends);
    for (const char* who : {"parent ", "child "}) {
        EXPECT_EQ(std::count_if(items.begin(), items.end(), [&](const Value& v) { return v.string().starts_with(who); }),
                  kAppends);
    }
}

// The second process of the test above.
TEST(Pasteboard, DISABLED_Appender) {
    const char* root = std::getenv(kChildRoot);
    const char* fd = std::getenv(kAppenderFd);
    ASSERT_TRUE(root && fd);
    ASSERT_TRUE(Sandbox::setRoot(root));
    ASSERT_EQ(::write(std::atoi(fd), "R", 1), 1);
    appendItems("child ");
}

}  // namespace
}  // namespace lv::test
