#include <gtest/gtest.h>

#include <thread>

#include "platform/base/clock.h"
#include "platform/base/error.h"
#include "platform/base/log.h"

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
