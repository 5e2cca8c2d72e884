#include <cstdlib>

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

}  // namespace
}  // namespace lv::test
