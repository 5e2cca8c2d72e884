#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "content/logger.h"
#include "platform/base/format.h"

namespace lv {
namespace {

// A message is written when its level, compared unsigned, reaches its area's level or else the common
// one (1 by default).
TEST(Logger, ThresholdsComparedUnsignedAreaLevelsOverTheCommonOne) {
    constexpr std::int32_t kNone = INT32_MIN;
    struct Row { std::int32_t common, area, level; bool written; };
    const Row rows[] = {
        {1, kNone, 0, false},  {1, kNone, 1, true},   {1, kNone, 6, true}, {7, kNone, 6, false}, {7, kNone, 7, true},
        {7, kNone, 8, true},   {1, kNone, -1, true},  {7, kNone, -1, true}, {-1, kNone, 7, false}, {-1, kNone, -1, true},
        {0, kNone, 0, true},   {7, 0, 0, true},       {7, 9, 8, false},    {7, 9, 9, true},       {1, 3, 2, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(format("common %d area %d level %d", row.common, row.area, row.level));
        Logger logger;
        if (row.common != 1) logger.setLogLevel(row.common);
        if (row.area != kNone) logger.setLogLevel(row.area, "area");
        LogCapture capture;
        logger.nLog(row.level, "area", "f", "m");
        EXPECT_EQ(capture.lines().size(), row.written ? 1u : 0u);
        EXPECT_EQ(logger.shouldLog(row.level, "area"), row.written);
    }
}

// Counts how often it is described, to show that a dropped message is never formatted.
class Counted : public Object {
public:
    std::string description() const override {
        ++count;
        return "counted";
    }
    mutable std::atomic<int> count{0};
};

// The line: level, area, function, formatted message; a dropped message is never formatted. Areas are
// keyed by their description: the number 5 and the text "5" are one area.
TEST(Logger, LineFormatAndAreaKeys) {
    Logger logger;
    auto counted = makeRef<Counted>();
    LogCapture capture;
    logger.nLog(7, "net", "APIProcessor::loadNews", "loaded %d items from %@", 12, Value("ent"));
    logger.nLog(0, "a", "f", "%@", counted);
    EXPECT_EQ(counted->count.load(), 0);
    logger.nLog(1, "a", "f", "%@", counted);
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"7 net APIProcessor::loadNews loaded 12 items from ent", "1 a f counted"}));
    logger.setLogLevel(3, Value(5));
    EXPECT_EQ(logger.logLevelForArea("5"), 3);
    EXPECT_FALSE(logger.logLevelForArea("other").has_value());
}

TEST(Logger, UsableFromManyThreads) {
    Logger logger;
    LogCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&logger, t] {
            const std::string area = format("area%d", t);
            for (int i = 0; i < 50; ++i) {
                logger.setLogLevel(i % 2 == 0 ? 0 : 100, area);
                logger.setLogLevel(i % 3 == 0 ? 1 : 100, "shared");
                logger.nLog(50, area, "f", "m");
                logger.nLog(50, "shared", "f", "m");
            }
            logger.setLogLevel(0, area);
            logger.nLog(5, area, "f", "last");
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(capture.count("last"), 4u);
    for (int t = 0; t < 4; ++t) EXPECT_EQ(logger.logLevelForArea(format("area%d", t)), 0);
}

}  // namespace
}  // namespace lv
