// The page commands of the lunavexa program, each played as its screen plays it, as processes against
// the content stand-in (its request log) and the log-service stand-in: the time cursor of the shown
// rows, the up-to-date toast, offline rows, the feed's filter, has_new, run's page lines, page views
// and the "newsTab" event; the store read with the sqlite3 command.
#include <filesystem>
#include <fstream>
#include <regex>

#include "analytics/upload_protocol.h"
#include "analytics_service.h"
#include "content/launch_glue.h"
#include "lunavexa_fixture.h"
#include "platform/dispatch/run_loop.h"
#include "support/scoped_env.h"

namespace lv::test {
namespace {

using LunavexaPages = LunavexaProcess;

constexpr const char* kToastLine = "toast\t当前数据已经是最新的！\n";

// The "time" value of a form body, still escaped as sent.
std::string timeOf(const std::string& body) {
    const auto at = body.find("time=");
    if (at == std::string::npos) return "<none>";
    const auto end = body.find('&', at);
    return body.substr(at + 5, end == std::string::npos ? std::string::npos : end - at - 5);
}

TEST_F(LunavexaPages, ASecondLoadOfEveryListPageSendsTheNewestTimeOfItsRows) {
    struct Case {
        std::string page;  // the command with its options
        std::string action;
        std::string cursor;  // the second load's "time", as sent
        bool toast;          // the stand-in has nothing newer than the cursor
    };
    const std::vector<Case> cases{
        {"news --cat ent", "newsList", "2015-03-05%2009%3A07%3A02", true},
        {"chart --site melon", "rank", "2015-03-05%2009%3A00%3A00", true},
        {"chart --site naver", "rank", "2015-3-5%2009%3A00%3A00", true},
        // A day cursor: the service counts the day's items as newer and sends them again.
        {"chart --site hanteo_day", "rank", "2015-03-05", false},
        {"shop --store beauty --type new", "taobao", "2015-03-05%2009%3A07%3A02", true},
        {"feed --gap hot", "microblog", "2015-03-05%2009%3A07%3A02", true},
        {"video --type teach", "video", "2015-03-05%2009%3A07%3A02", true},
        {"drama --type tv --ended no", "video", "2015-03-05%2022%3A00%3A00", true},
        // One novel has no update time: it reads as the time of mapping, so the cursor is "now".
        {"novel --title love", "novel", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.page);
        service.clearRequests();
        Outcome first = run(c.page);
        ASSERT_EQ(first.code, 0) << first.err;
        EXPECT_EQ(first.out.find("toast\t"), std::string::npos);
        Outcome second = run(c.page);
        ASSERT_EQ(second.code, 0) << second.err;
        const auto bodies = bodiesOf(c.action);
        ASSERT_EQ(bodies.size(), 2u);
        EXPECT_EQ(timeOf(bodies[0]), "") << "a first load of an empty page";
        if (c.cursor.empty()) {
            EXPECT_TRUE(std::regex_match(timeOf(bodies[1]), std::regex(R"(\d{4}-\d\d-\d\d%20\d\d%3A\d\d%3A\d\d)")))
                << bodies[1];
        } else {
            EXPECT_EQ(timeOf(bodies[1]), c.cursor);
        }
        // Nothing newer: the rows stay and the screen's toast shows, once.
        EXPECT_EQ(occurrences(second.out, kToastLine), c.toast ? 1u : 0u) << second.out;
        const std::size_t rowsLine = second.out.find(" rows shown");
        EXPECT_NE(rowsLine, std::string::npos);
        if (c.toast) {
            EXPECT_EQ(lines(first.out), lines(second.out) - 1) << first.out << second.out;
        }
    }
    // The chart-update check asks from the chart's newest row and prints what it answers.
    service.clearRequests();
    Outcome check = run("check-update --site melon");
    ASSERT_EQ(check.code, 0) << check.err;
    ASSERT_EQ(bodiesOf("checkUpdate").size(), 1u);
    EXPECT_EQ(timeOf(bodiesOf("checkUpdate")[0]), "2015-03-05%2009%3A00%3A00");
    EXPECT_NE(check.out.find("\nhas_new\t1\n"), std::string::npos) << check.out;
    EXPECT_EQ(sqlite("SELECT count(*) FROM Toptenz WHERE sid = 4"), "4\n");
}

TEST_F(LunavexaPages, AFailedLoadPrintsTheStoredRowsAfterItsError) {
    ASSERT_EQ(run("news --cat ent").code, 0);
    Outcome offline = run("news --cat ent", 1);
    EXPECT_EQ(offline.code, 1);
    EXPECT_NE(offline.err.find("lunavexa: news request failed: "), std::string::npos) << offline.err;
    EXPECT_EQ(offline.out.rfind("msgId\tcat_name\ttitle\tupdate_time\n", 0), 0u) << offline.out;
    EXPECT_EQ(lines(offline.out), 6u) << offline.out;
    EXPECT_EQ(occurrences(offline.out, "\t-\t") + occurrences(offline.out, "\tent\t"), 5u);
    EXPECT_EQ(offline.out.find("rows shown"), std::string::npos);
    // An empty page offline: the error, then the page's header alone.
    Outcome empty = run("shop --store beauty --type new", 1);
    EXPECT_EQ(empty.code, 1);
    EXPECT_EQ(empty.out, "t_id\tstore\ttype\tname\tprice\n");
}

TEST_F(LunavexaPages, TheFeedShowsItsOwnGapAndVideosReplaceTheirOwnType) {
    ASSERT_EQ(run("feed --gap hot").code, 0);
    Outcome other = run("feed --gap new");
    ASSERT_EQ(other.code, 0) << other.err;
    EXPECT_EQ(sqlite("SELECT type, count(*) FROM Microblog GROUP BY type ORDER BY type"), "hot|3\nnew|3\n");
    EXPECT_NE(other.out.find(", 3 rows shown"), std::string::npos) << other.out;
    EXPECT_EQ(lines(other.out), 5u) << other.out;

    // The service sends the whole list whatever the cursor: each load replaces the type's videos.
    ASSERT_EQ(run("video --type teach").code, 0);
    tools::ContentBehaviour whole;
    whole.customBody = service.replyFor({{"action", "video"}, {"type", "dance"}, {"time", ""}});
    service.setBehaviour("video", whole);
    for (int load = 1; load <= 3; ++load) {
        SCOPED_TRACE(load);
        Outcome dance = run("video --type dance");
        ASSERT_EQ(dance.code, 0) << dance.err;
        EXPECT_EQ(sqlite("SELECT type, count(*) FROM Video GROUP BY type ORDER BY type"), "dance|3\nteach|3\n");
        EXPECT_NE(dance.out.find(", 3 rows shown"), std::string::npos) << dance.out;
    }
}

// run: two news loads back to back (the first cancelled, the second lands), the chart and the feed
// after a barrier line, then a resign and an activation, which uploads the closed session.
TEST_F(LunavexaPages, RunPlaysPageLinesAsScreensWithTheirPageViewsAndEvents) {
    tools::AnalyticsService analytics{AnalyticsHelper::kAppKey, "primary"};
    tools::AnalyticsService fallback{AnalyticsHelper::kAppKey, "fallback"};
    ASSERT_TRUE(analytics.start());
    ASSERT_TRUE(fallback.start());
    tools::ContentBehaviour slow;
    slow.delaySeconds = 1.2;  // the news and chart pages stay on screen over a second: their views count
    service.setBehaviour("newsList", slow);
    service.setBehaviour("rank", slow);
    RunningLunavexa program(dir, commonOptions() + " --network on --map " + std::string(upload_protocol::kLogHost) +
                                     "=127.0.0.1:" + std::to_string(analytics.port()) + " --map " +
                                     std::string(upload_protocol::kLogFallbackHost) + "=127.0.0.1:" +
                                     std::to_string(fallback.port()) + " run");
    ASSERT_TRUE(program.started());
    program.write("news ent\nnews ent\nmemory-warning\nchart melon\nmemory-warning\nfeed hot\nresign\nactivate\n");
    auto sessionUploaded = [&] {
        for (const auto& upload : analytics.uploads()) {
            if (upload.entry && upload.entry->sessions() && !upload.entry->sessions()->empty()) return true;
        }
        return false;
    };
    EXPECT_TRUE(runMainUntil(sessionUploaded, 30)) << slurp(dir.file("err"));
    program.write("terminate\n");
    Outcome result = program.finish();
    ASSERT_EQ(result.code, 0) << result.err;

    // The second news load cancelled the first, which showed the stored (still no) rows.
    EXPECT_EQ(occurrences(result.err, "lunavexa: news request failed: "), 1u) << result.err;
    EXPECT_EQ(occurrences(result.err, "Code=-999"), 1u) << result.err;
    EXPECT_EQ(occurrences(result.out, "msgId\tcat_name\ttitle\tupdate_time\n"), 2u) << result.out;
    EXPECT_NE(result.out.find("news: 6 in the reply, 5 rows shown"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("chart: 5 in the reply, 4 rows shown"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("feed: 3 in the reply, 3 rows shown"), std::string::npos) << result.out;
    // The first request may be cancelled before it is even sent.
    EXPECT_GE(bodiesOf("newsList").size(), 1u);
    EXPECT_LE(bodiesOf("newsList").size(), 2u);
    EXPECT_EQ(sqlite("SELECT count(*) FROM News"), "5\n");
    // No push service on this machine: said once, as progress, never as an error.
    EXPECT_EQ(occurrences(result.err, "remote notifications are not supported on this device"), 1u) << result.err;
    EXPECT_EQ(result.err.find("Error: Error Domain=NSCocoaErrorDomain Code=3010"), std::string::npos) << result.err;

    // The uploaded session: the news screen's page view and the tab events of the news and lifestyle
    // screens, labelled with their page's action (the chart screen sends none).
    std::vector<std::pair<std::string, std::int64_t>> pages;
    std::vector<std::string> events;
    for (const auto& upload : analytics.uploads()) {
        if (!upload.entry) continue;
        for (const auto& session : upload.entry->sessions().value_or(std::vector<TPKSession>{})) {
            for (const auto& page : session.pages().value_or(std::vector<TPKPage>{})) {
                pages.emplace_back(page.page_name().value_or(""), page.duration());
            }
        }
        for (const auto& message : upload.entry->instant_msgs().value_or(std::vector<TPKInstantMsg>{})) {
            for (const auto& event : message.events().value_or(std::vector<TPKEvent>{})) {
                const auto properties = event.properties().value_or(std::map<std::string, TPKPropertyValue>{});
                const auto label = properties.find(event.name().value_or(""));
                events.push_back(event.name().value_or("") + ":" +
                                 (label == properties.end() ? "" : label->second.string_value().value_or("")));
            }
        }
    }
    for (const char* screen : {"NewsViewController", "TopMusicViewController"}) {
        auto page = std::find_if(pages.begin(), pages.end(), [&](const auto& p) { return p.first == screen; });
        ASSERT_NE(page, pages.end()) << screen;
        EXPECT_GE(page->second, 1000) << screen;
    }
    std::sort(events.begin(), events.end());
    EXPECT_EQ(events, (std::vector<std::string>{"newsTab:microblog", "newsTab:newsList", "newsTab:newsList"}));
}

}  // namespace
}  // namespace lv::test

namespace lv::test {
namespace {

// Load 1 in Los Angeles, the service publishes "2015-03-05 20:00:00", load 2 in Seoul: the cursor is
// still the newest text received, so the new item comes.
TEST_F(LunavexaPages, AZoneChangeBetweenLoadsKeepsTheCursorOnTheServicesNewestText) {
    const std::string fixtures = dir.file("fixtures");
    std::filesystem::copy(sourceDirectory() + "/tools/content-service/fixtures", fixtures);
    tools::ContentService publishing{fixtures};
    ASSERT_TRUE(publishing.start());
    {
        ScopedEnv zone("TZ", "America/Los_Angeles");
        Outcome first = run("news --cat ent", publishing.port());
        ASSERT_EQ(first.code, 0) << first.err;
    }
    std::string news = slurp(fixtures + "/newsList.json");
    news.insert(news.find('[') + 1, R"({"cat_name": "ent", "msgId": "1099", "title": "new", "update_time": "2015-03-05 20:00:00"},)");
    std::ofstream(fixtures + "/newsList.json", std::ios::binary | std::ios::trunc) << news;
    ScopedEnv zone("TZ", "Asia/Seoul");
    Outcome second = run("news --cat ent", publishing.port());
    ASSERT_EQ(second.code, 0) << second.err;
    std::vector<std::string> bodies;
    for (const auto& request : publishing.requests()) {
        if (request.body.rfind("action=newsList&", 0) == 0) bodies.push_back(request.body);
    }
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_EQ(timeOf(bodies[1]), "2015-03-05%2009%3A07%3A02");
    EXPECT_NE(second.out.find("1099\tent\tnew\t"), std::string::npos) << second.out;
    publishing.stop();
}

}  // namespace
}  // namespace lv::test
