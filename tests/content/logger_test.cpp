#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "content/logger.h"
#include "platform/base/format.h"

namespace lv {
namespace {

struct ThresholdRow {
    std::int32_t common;   // setLogLevel; 1 is the default
    std::int32_t level;    // of the message
    bool written;
};

TEST(Logger, CommonThresholdComparedUnsigned) {
    const ThresholdRow rows[] = {
        {1, 0, false}, {1, 1, true},  {1, 6, true},  {7, 6, false}, {7, 7, true}, {7, 8, true},
        {1, -1, true}, {7, -1, true}, {-1, 7, false}, {-1, -1, true}, {0, 0, true},
    };
    for (const ThresholdRow& row : rows) {
        SCOPED_TRACE(format("threshold %d level %d", row.common, row.level));
        Logger logger;
        if (row.common != 1) logger.setLogLevel(row.common);
        LogCapture capture;
        logger.nLog(row.level, "area", "f", "m");
        EXPECT_EQ(capture.lines().size(), row.written ? 1u : 0u);
        EXPECT_EQ(logger.shouldLog(row.level, "area"), row.written);
    }
}

TEST(Logger, LineFormatAndAreaLevelsOverTheCommonOne) {
    Logger logger;
    {
        LogCapture capture;
        logger.nLog(7, "net", "APIProcessor::loadNews", "loaded %d items from %@", 12, Value("ent"));
        EXPECT_EQ(capture.lines(), std::vector<std::string>{"7 net APIProcessor::loadNews loaded 12 items from ent"});
    }
    logger.setLogLevel(7);
    logger.setLogLevel(0, "db");
    logger.setLogLevel(9, "net");
    LogCapture capture;
    logger.nLog(0, "db", "f", "db zero");
    logger.nLog(8, "net", "f", "net eight");
    logger.nLog(9, "net", "f", "net nine");
    logger.nLog(6, "ui", "f", "ui six");
    logger.nLog(7, "ui", "f", "ui seven");
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"0 db f db zero", "9 net f net nine", "7 ui f ui seven"}));
    // Areas are keyed by their description: the number 5 and the text "5" are one area.
    logger.setLogLevel(3, Value(5));
    EXPECT_EQ(logger.logLevelForArea("5"), 3);
    EXPECT_FALSE(logger.logLevelForArea("other").has_value());
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

TEST(Logger, DroppedMessagesAreNotFormatted) {
    Logger logger;
    auto counted = makeRef<Counted>();
    LogCapture capture;
    logger.nLog(0, "a", "f", "%@", counted);
    EXPECT_EQ(counted->count.load(), 0);
    logger.nLog(1, "a", "f", "%@", counted);
    EXPECT_EQ(counted->count.load(), 1);
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"1 a f counted"});
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
