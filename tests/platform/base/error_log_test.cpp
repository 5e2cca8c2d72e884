#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/base/clock.h"
#include "platform/base/error.h"
#include "platform/base/log.h"
#include "platform/base/terminal_text.h"

namespace lv {
namespace {

TEST(ErrorValues, LocalizedReadersFallBackAsThePlatformDoes) {
    auto bare = Error::make(std::string(kURLErrorDomain), -999);
    EXPECT_EQ(bare->localizedDescription(), "The operation couldn\u2019t be completed. (NSURLErrorDomain error -999.)");
    EXPECT_FALSE(bare->hasLocalizedDescription());
    EXPECT_EQ(bare->localizedFailureReason(), "");
    EXPECT_EQ(bare->description(),
              "Error Domain=NSURLErrorDomain Code=-999 \"The operation couldn\u2019t be completed. (NSURLErrorDomain "
              "error -999.)\"");

    auto inner = Error::make("Inner", 1);
    Dictionary info{{std::string(kLocalizedDescriptionKey), "bad"},
                    {std::string(kLocalizedFailureReasonErrorKey), "because"},
                    {std::string(kUnderlyingErrorKey), Value(inner)}};
    auto outer = Error::make("Outer", 2, info);
    EXPECT_EQ(outer->localizedDescription(), "bad");
    EXPECT_EQ(outer->localizedFailureReason(), "because");
    EXPECT_EQ(outer->underlyingError(), inner);
    EXPECT_TRUE(outer->isEqual(*Error::make("Outer", 2, info)));
    EXPECT_FALSE(outer->isEqual(*Error::make("Outer", 3, info)));
}

TEST(ExceptionValues, CarryNameReasonAndDetails) {
    try {
        Exception::raise(std::string(kInvalidArgumentException), "nope", {{"k", 1}});
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.name(), "NSInvalidArgumentException");
        EXPECT_EQ(e.reason(), "nope");
        EXPECT_STREQ(e.what(), "nope");
        EXPECT_EQ(e.userInfo().get("k").intValue(), 1);
    }
}

TEST(Logging, CaptureTakesLinesFromEveryThreadAndNests) {
    LogCapture outer;
    log("outer %d", 1);
    {
        LogCapture inner;
        std::thread([] { log("from %@", Value("worker")); }).join();
        EXPECT_EQ(inner.lines(), std::vector<std::string>{"from worker"});
    }
    log("outer %d", 2);
    EXPECT_EQ(outer.lines(), (std::vector<std::string>{"outer 1", "outer 2"}));
    EXPECT_EQ(outer.count("outer"), 2u);
}

// Malformed UTF-8 is escaped byte by byte, a sequence cut at the end of the text included; the
// characters around it, and well-formed text of every length, are kept.
TEST(Logging, TerminalTextEscapesEveryMalformedByte) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"plain \u4e2d\U0001f600 text", "plain \u4e2d\U0001f600 text"},
        {"a\x9b" "2Jb", R"(a\x9b2Jb)"},                    // an 8-bit CSI alone
        {"\xc0\xaf", R"(\xc0\xaf)"},                    // overlong
        {"\xed\xa0\x80", R"(\xed\xa0\x80)"},          // a surrogate
        {"x\xe2\x80", R"(x\xe2\x80)"},                  // cut at the end
        {"\xf4\x90\x80\x80", R"(\xf4\x90\x80\x80)"},  // past U+10FFFF
        {"\xc2\x85\xc2\xa0\xe2\x80\xaf", "\\u0085\xc2\xa0\xe2\x80\xaf"},  // NEL; no-break spaces kept
        {std::string("\0\x7f\r", 3), R"(\x00\x7f\r)"},
    };
    for (const auto& [text, shown] : cases) EXPECT_EQ(terminalText(text), shown) << shown;
    LogCapture logs;
    log("%@", std::string("\x1b[2J"));
    EXPECT_EQ(logs.lines(), std::vector<std::string>{"\x1b[2J"}) << "the capture takes the message as logged";
}

TEST(Clock, OverrideDrivesDates) {
    {
        ScopedClock fixed([] { return 1425517622.0; });
        EXPECT_EQ(Date::now().since1970(), 1425517622.0);
        EXPECT_DOUBLE_EQ(Date::fromSince1970(1425517632.0).sinceNow(), 10.0);
    }
    EXPECT_GT(Date::now().since1970(), 1.7e9);
}

}  // namespace
}  // namespace lv
