// The lunavexa program as processes against the content stand-in with replies a real or faulty service
// can send: two processes on one home (refreshing one category, first starts on a new home), items
// missing their page's selector or their identifier, long date texts, control characters in texts,
// replies without an item list; the store read with the sqlite3 command.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>

#include "lunavexa_fixture.h"
#include "platform/dispatch/run_loop.h"

namespace lv::test {
namespace {

class LunavexaReplies : public LunavexaProcess {
protected:
    // Refreshes the page `times` times on a reply of the items, each printing the count line `shown`;
    // then the entity holds `rows` rows and the selector query prints `stored`.
    void refreshOn(const std::string& page, const std::string& action, const std::string& body, int times,
                   const std::string& shown, const std::string& entity, const std::string& rows, const std::string& selector,
                   const std::string& stored) {
        SCOPED_TRACE(page);
        tools::ContentBehaviour custom;
        custom.customBody = body;
        service.setBehaviour(action, custom);
        for (int refresh = 0; refresh < times; ++refresh) {
            Outcome result = run(page);
            ASSERT_EQ(result.code, 0) << result.err;
            EXPECT_NE(result.out.find(shown), std::string::npos) << result.out;
        }
        EXPECT_EQ(sqlite("SELECT count(*) FROM " + entity), rows);
        EXPECT_EQ(sqlite(selector), stored);
        service.resetBehaviours();
    }
};

// {"mItems": [...]} with the items given as JSON texts.
std::string reply(const std::vector<std::string>& items) {
    std::string body = "{\"mItems\": [";
    for (std::size_t i = 0; i < items.size(); ++i) body += (i ? "," : "") + items[i];
    return body + "]}";
}

std::string newsItem(const std::string& id, const std::string& category, const std::string& title) {
    return "{\"msgId\": \"" + id + "\", \"cat_name\": \"" + category + "\", \"title\": \"" + title +
           "\", \"update_time\": \"2015-03-05 09:07:02\"}";
}

// Several programs at once, each with output files of its own.
struct Running {
    TempDir outputs;
    std::unique_ptr<RunningLunavexa> program;
};

std::vector<Outcome> runTogether(const std::vector<std::string>& argumentLists) {
    std::vector<std::unique_ptr<Running>> running;
    for (const std::string& arguments : argumentLists) {
        auto entry = std::make_unique<Running>();
        entry->program = std::make_unique<RunningLunavexa>(entry->outputs, arguments);
        running.push_back(std::move(entry));
    }
    std::vector<Outcome> outcomes;
    for (auto& entry : running) outcomes.push_back(entry->program->finish());
    return outcomes;
}

// Items that lack their page's selector belong to the page the reply answers; an item with nothing the
// model reads is skipped. Refreshing again replaces them: nothing piles up where no page shows it.
TEST_F(LunavexaReplies, ItemsWithoutTheirPagesSelectorJoinThePageTheReplyAnswers) {
    struct Case {
        std::string page;
        std::string action;
        std::vector<std::string> items;  // two storable items and two that hold nothing
        std::string selector;            // the stored selector of every row, as sqlite3 prints it
        std::string entity;
    };
    const std::vector<std::string> empty{"{}", "{\"unknown\": 1}"};
    auto with = [&](std::vector<std::string> items) {
        items.insert(items.end(), empty.begin(), empty.end());
        return items;
    };
    const std::vector<Case> cases{
        {"news --cat ent", "newsList", with({"{\"msgId\": \"1\", \"title\": \"a\"}", "{\"msgId\": \"2\", \"title\": \"b\"}"}),
         "SELECT DISTINCT cat_name FROM News", "News"},
        {"shop --store beauty --type new", "taobao",
         with({"{\"t_id\": \"1\", \"name\": \"a\"}", "{\"t_id\": \"2\", \"name\": \"b\", \"type\": null}"}),
         "SELECT DISTINCT store || '/' || type FROM Taobao", "Taobao"},
        {"drama --type tv --ended yes", "video", with({"{\"entryId\": \"1\", \"titleCn\": \"a\"}", "{\"entryId\": \"2\", \"type\": \"tv\"}"}),
         "SELECT DISTINCT type || '/' || is_end FROM Teleplay", "Teleplay"},
        {"chart --site melon", "rank", with({"{\"rank\": 1, \"title\": \"a\"}", "{\"rank\": 2, \"title\": \"b\"}"}),
         "SELECT DISTINCT sid FROM Toptenz", "Toptenz"},
        {"feed --gap hot", "microblog", with({"{\"idstr\": \"1\", \"text\": \"a\"}", "{\"idstr\": \"2\", \"text\": \"b\"}"}),
         "SELECT DISTINCT type FROM Microblog", "Microblog"},
        {"video --type teach", "video", with({"{\"link\": \"l1\", \"title\": \"a\"}", "{\"link\": \"l2\", \"title\": \"b\"}"}),
         "SELECT DISTINCT type FROM Video", "Video"},
    };
    const std::map<std::string, std::string> selectors{{"News", "ent\n"},    {"Taobao", "beauty/new\n"}, {"Teleplay", "tv/yes\n"},
                                                       {"Toptenz", "4\n"},   {"Microblog", "hot\n"},     {"Video", "teach\n"}};
    for (const Case& c : cases) {
        refreshOn(c.page, c.action, reply(c.items), 3, ": 4 in the reply, 2 rows shown", c.entity, "2\n", c.selector,
                  selectors.at(c.entity));
    }
    // A reply of items that hold nothing is no reply to store: the page keeps its rows.
    tools::ContentBehaviour nothing;
    nothing.customBody = reply(empty);
    service.setBehaviour("newsList", nothing);
    Outcome result = run("news --cat ent");
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(sqlite("SELECT count(*) FROM News"), "2\n");
}

// Items naming another page belong to the page the reply answers, which shows them and clears them on
// its next refresh; a chart site without a number is no page, and its reply stores nothing.
TEST_F(LunavexaReplies, ItemsNamingAnotherPageJoinThePageTheReplyAnswers) {
    struct Case {
        std::string page, action;
        std::vector<std::string> items;  // three storable items, each naming another page
        std::string selector;            // the query of the stored selectors
        std::string stored, entity;      // every row's selector, as sqlite3 prints it
    };
    const std::vector<Case> cases{
        {"news --cat ent", "newsList",
         {R"({"msgId": "1", "cat_name": "zz", "title": "a"})", R"({"msgId": "2", "cat_name": 5, "title": "b"})",
          R"({"msgId": "3", "cat_name": "ENT", "title": "c"})"},
         "SELECT DISTINCT cat_name FROM News", "ent\n", "News"},
        {"chart --site melon", "rank",
         {R"({"rank": 1, "sid": 1, "title": "a"})", R"({"rank": 2, "sid": 4.5, "title": "b"})",
          R"({"rank": 3, "sid": "4", "title": "c"})"},
         "SELECT DISTINCT sid FROM Toptenz", "4\n", "Toptenz"},
        {"shop --store beauty --type new", "taobao",
         {R"({"t_id": "1", "store": "fashion"})", R"({"t_id": "2", "type": "hot"})", R"({"t_id": "3", "store": 1, "type": []})"},
         "SELECT DISTINCT store || '/' || type FROM Taobao", "beauty/new\n", "Taobao"},
        {"drama --type tv --ended yes", "video",
         {R"({"entryId": "1", "is_end": "no"})", R"({"entryId": "2", "is_end": true})", R"({"entryId": "3", "type": "movie"})"},
         "SELECT DISTINCT type || '/' || is_end FROM Teleplay", "tv/yes\n", "Teleplay"},
        {"feed --gap hot", "microblog",
         {R"({"idstr": "1", "type": "new"})", R"({"idstr": "2", "type": "HOT"})", R"({"idstr": "3", "type": 0})"},
         "SELECT DISTINCT type FROM Microblog", "hot\n", "Microblog"},
        {"video --type teach", "video",
         {R"({"link": "l1", "type": "live"})", R"({"link": "l2", "type": "teach "})", R"({"link": "l3", "type": false})"},
         "SELECT DISTINCT type FROM Video", "teach\n", "Video"},
    };
    for (const Case& c : cases) {
        refreshOn(c.page, c.action, reply(c.items), 2, ": 3 in the reply, 3 rows shown", c.entity, "3\n", c.selector, c.stored);
    }
    tools::ContentBehaviour melon;
    melon.customBody = reply({R"({"rank": 9, "sid": 4, "title": "elsewhere"})"});
    service.setBehaviour("rank", melon);
    Outcome noSite = run("chart --site billboard");
    ASSERT_EQ(noSite.code, 0) << noSite.err;
    EXPECT_NE(noSite.err.find("names no page; nothing of its reply is stored"), std::string::npos) << noSite.err;
    EXPECT_EQ(sqlite("SELECT count(*) FROM Toptenz"), "3\n");
}

// Without an identifier each news item is its own record, and no item is looked up one by one.
TEST_F(LunavexaReplies, NewsItemsWithoutIdentifierAreEachTheirOwnRow) {
    std::vector<std::string> items;
    for (int i = 0; i < 2000; ++i) {
        items.push_back("{\"cat_name\": \"ent\", \"title\": \"t" + std::to_string(i) + "\"}");
    }
    items.push_back(newsItem("7", "ent", "with id"));
    items.push_back(newsItem("7", "ent", "same id again"));
    items.push_back("{\"cat_name\": \"ent\", \"msgId\": null, \"title\": \"null id\"}");
    tools::ContentBehaviour custom;
    custom.customBody = reply(items);
    service.setBehaviour("newsList", custom);
    Outcome result = run("news --cat ent");
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(sqlite("SELECT count(*), count(msgId), count(DISTINCT title) FROM News"), "2002|1|2002\n");
    EXPECT_EQ(sqlite("SELECT title FROM News WHERE msgId = '7'"), "with id\n");
}

// A date text longer than any its pattern matches is no date, and is not parsed: the padded texts
// below are read by the pattern parser as dates, each at the cost of a long scan.
TEST_F(LunavexaReplies, LongDateTextsAreNoDates) {
    const std::string padded = std::string(200000, '0') + "2015-03-05 09:07:02";
    tools::ContentBehaviour custom;
    custom.customBody = reply({"{\"msgId\": \"1\", \"cat_name\": \"ent\", \"title\": \"long\", \"update_time\": \"" + padded +
                                   "\", \"createTime\": \"" + padded + "\"}",
                               newsItem("2", "ent", "short")});
    service.setBehaviour("newsList", custom);
    Outcome result = run("news --cat ent");
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(sqlite("SELECT msgId, update_time IS NULL, createTime IS NULL FROM News ORDER BY msgId"), "1|1|1\n2|0|1\n");
}

// Integers no 64-bit type holds are decimals: a count of them is refused (the item alone), a price
// keeps every digit; the shop page shows only the rows of its type and store.
TEST_F(LunavexaReplies, NumbersPastADoubleKeepTheirDigitsAndTheShopShowsItsTypeAndStore) {
    tools::ContentBehaviour custom;
    custom.customBody = reply({
        "{\"t_id\": \"1\", \"name\": \"a\", \"price\": 12345678901234567890.12, \"saleCount\": 5}",
        "{\"t_id\": \"2\", \"name\": \"b\", \"saleCount\": -9223372036854775809}",
        "{\"t_id\": \"3\", \"name\": \"c\", \"commentCount\": 18446744073709551616}",
        "{\"t_id\": \"4\", \"name\": \"d\", \"price\": 0.1000000000000000055511151231257827}",
    });
    service.setBehaviour("taobao", custom);
    Outcome result = run("shop --store beauty --type new");
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(sqlite("SELECT t_id, price, saleCount FROM Taobao ORDER BY t_id"),
              "1|12345678901234567890.12|5\n4|0.1000000000000000055511151231257827|\n");
    // Rows of the other type, and of the other store, are not the page's.
    sqlite("INSERT INTO Taobao (_pk, t_id, store, type, name) VALUES (90, '90', 'beauty', 'hot', 'other type'),"
           " (91, '91', 'fashion', 'new', 'other store');");
    service.resetBehaviours();
    tools::ContentBehaviour nothingNewer;
    nothingNewer.body = tools::ContentBehaviour::Body::Null;
    service.setBehaviour("taobao", nothingNewer);
    Outcome shown = run("shop --store beauty --type new");
    ASSERT_EQ(shown.code, 0) << shown.err;
    EXPECT_EQ(shown.out.find("other"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("2 rows shown"), std::string::npos) << shown.out;
    Outcome hot = run("shop --store beauty --type hot");
    EXPECT_NE(hot.out.find("\tother type\t"), std::string::npos) << hot.out;
    EXPECT_NE(hot.out.find("1 rows shown"), std::string::npos) << hot.out;
}

// The drama page shows the rows of its type and ending only.
TEST_F(LunavexaReplies, TheDramaPageShowsItsTypeAndEnding) {
    tools::ContentBehaviour nothingNewer;
    nothingNewer.body = tools::ContentBehaviour::Body::Null;
    service.setBehaviour("video", nothingNewer);
    ASSERT_EQ(run("drama --type tv --ended no").code, 0);
    sqlite("INSERT INTO Teleplay (_pk, type, is_end, titleCn) VALUES (1, 'tv', 'no', 'running'), (2, 'tv', 'yes', 'ended'),"
           " (3, 'movie', 'no', 'film');");
    struct Case {
        std::string page;
        std::string shown;
    };
    for (const Case& c : {Case{"drama --type tv --ended no", "running"}, Case{"drama --type tv --ended yes", "ended"},
                          Case{"drama --type movie --ended no", "film"}}) {
        SCOPED_TRACE(c.page);
        Outcome result = run(c.page);
        ASSERT_EQ(result.code, 0) << result.err;
        EXPECT_NE(result.out.find("\t" + c.shown + "\n"), std::string::npos) << result.out;
        EXPECT_NE(result.out.find("1 rows shown"), std::string::npos) << result.out;
    }
}

// Service text reaches the terminal with every control character escaped, NUL included, and the
// whole row printed; offline commands print the same way.
TEST_F(LunavexaReplies, ControlCharactersInTextsArePrintedEscaped) {
    tools::ContentBehaviour custom;
    custom.customBody = reply({newsItem("1", "ent", R"(a\u001b]0;owned\u0007b\bc\u0000d\u007fe\u0085f\u009bg\\h\ti\nj)")});
    service.setBehaviour("newsList", custom);
    Outcome result = run("news --cat ent");
    ASSERT_EQ(result.code, 0) << result.err;
    const std::string row = "\n1\tent\ta\\x1b]0;owned\\x07b\\x08c\\x00d\\x7fe\\u0085f\\u009bg\\\\h\\ti\\nj\t";
    EXPECT_NE(result.out.find(row), std::string::npos) << result.out;
    Outcome show = run("show News", 1);
    ASSERT_EQ(show.code, 0) << show.err;
    EXPECT_NE(show.out.find(row), std::string::npos) << show.out;
    for (const Outcome* outcome : {&result, &show}) {
        EXPECT_EQ(outcome->out.find('\x1b'), std::string::npos);
        EXPECT_EQ(outcome->out.find('\0'), std::string::npos);
    }
}

// Bidirectional controls and the line and paragraph separators are escaped in cells as the C0 and C1
// controls are: they would reorder the row's other columns or split it on a Unicode-aware reader.
TEST_F(LunavexaReplies, BidiControlsAndLineSeparatorsInTextsArePrintedEscaped) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {R"(\u202e)", R"(\u202e)"}, {R"(\u202a\u202b\u202c\u202d)", R"(\u202a\u202b\u202c\u202d)"},
        {R"(\u2066\u2067\u2068\u2069)", R"(\u2066\u2067\u2068\u2069)"}, {R"(\u200e\u200f\u061c)", R"(\u200e\u200f\u061c)"},
        {R"(\u2028)", R"(\u2028)"}, {R"(\u2029)", R"(\u2029)"}, {R"(\u4e2d\u2027)", "\xe4\xb8\xad\xe2\x80\xa7"}};
    std::vector<std::string> items;
    for (std::size_t i = 0; i < cases.size(); ++i) items.push_back(newsItem(std::to_string(i + 1), "ent", "a" + cases[i].first + "b"));
    tools::ContentBehaviour custom;
    custom.customBody = reply(items);
    service.setBehaviour("newsList", custom);
    Outcome result = run("news --cat ent");
    ASSERT_EQ(result.code, 0) << result.err;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].first);
        EXPECT_NE(result.out.find("\n" + std::to_string(i + 1) + "\tent\ta" + cases[i].second + "b\t"), std::string::npos)
            << result.out;
    }
    for (const char* raw : {"\xe2\x80\xae", "\xe2\x80\xa8", "\xe2\x80\xa9", "\xe2\x81\xa6", "\xe2\x80\x8f"}) {
        EXPECT_EQ(result.out.find(raw), std::string::npos);
    }
}

// Service text in error details (an item's text where a number belongs, a Content-Type) reaches
// standard error escaped as cells are, in the skipped item's log line and in the failure line.
TEST_F(LunavexaReplies, ControlCharactersInServiceTextsAreWrittenEscapedToStandardError) {
    struct Case {
        const char* name;
        std::string text;     // in a JSON string
        std::string escaped;  // as the lines show it
    };
    const std::vector<Case> cases{
        {"OSC 52, the clipboard", R"(\u001b]52;c;b3duZWQ=\u0007)", R"(\x1b]52;c;b3duZWQ=\x07)"},
        {"OSC 0, the window title", R"(\u001b]0;owned\u001b\\)", R"(\x1b]0;owned\x1b\\)"},
        {"CSI 2J, clear screen", R"(\u001b[2J\u001b[H)", R"(\x1b[2J\x1b[H)"},
        {"BEL", R"(\u0007\u0007)", R"(\x07\x07)"},
        {"C1 CSI", R"(\u009b2J\u009d0;owned\u009c)", R"(\u009b2J\u009d0;owned\u009c)"},
        {"bidi override and a forged line", R"(\u202e\n2015-03-05 lunavexa[1:1] ok)", R"(\u202e\n2015-03-05 lunavexa[1:1] ok)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tools::ContentBehaviour custom;
        custom.customBody = reply({R"({"sid": 4, "rank": ")" + c.text + R"(", "title": "t", "update_time": "2015-03-05 09:00:00"})"});
        service.setBehaviour("rank", custom);
        Outcome result = run("chart --site melon");
        EXPECT_EQ(result.code, 1) << result.err;
        const std::size_t failed = result.err.find("lunavexa: chart request failed: ");
        ASSERT_NE(failed, std::string::npos) << result.err;
        EXPECT_NE(result.err.find(c.escaped, failed), std::string::npos) << result.err;
        EXPECT_GE(occurrences(result.err, c.escaped), 2u) << "the skipped item's log line too:\n" << result.err;
        for (const char* raw : {"\x1b", "\x07", "\xc2\x9b", "\xc2\x9c", "\xc2\x9d", "\xe2\x80\xae"}) {
            EXPECT_EQ(result.err.find(raw), std::string::npos) << result.err;
        }
        EXPECT_EQ(result.err.find("\n2015-03-05 lunavexa[1:1]"), std::string::npos) << result.err;
    }

    // A Content-Type's bytes, raw in the header: ESC, BEL and an 8-bit CSI that is no UTF-8.
    tools::ContentBehaviour hostileType;
    hostileType.contentType = "text/x\x1b[2j\x07\x9b" "2j";  // lower case: the type is compared so, and ends at a ";"
    service.setBehaviour("rank", hostileType);
    Outcome typed = run("chart --site melon");
    EXPECT_EQ(typed.code, 1) << typed.err;
    EXPECT_NE(typed.err.find(R"(text/x\x1b[2j\x07\x9b2j)"), std::string::npos) << typed.err;
    for (const char* raw : {"\x1b", "\x07", "\x9b"}) EXPECT_EQ(typed.err.find(raw), std::string::npos) << typed.err;
}

// A reply without an item list changed nothing: a failed load, the cached rows printed after the error.
// An empty list empties the page without the toast, which is only for "nothing newer".
TEST_F(LunavexaReplies, RepliesWithoutAnItemListFailAndAnEmptyListIsNoToast) {
    ASSERT_EQ(run("news --cat ent").code, 0);
    const std::string stored = sqlite("SELECT count(*) FROM News");
    tools::ContentBehaviour busy;
    busy.customBody = "{\"error\": \"service busy\"}";
    service.setBehaviour("newsList", busy);
    Outcome failed = run("news --cat ent");
    EXPECT_EQ(failed.code, 1);
    EXPECT_NE(failed.err.find("lunavexa: news request failed: the reply has no item list"), std::string::npos) << failed.err;
    EXPECT_EQ(failed.out.find("in the reply"), std::string::npos) << failed.out;
    EXPECT_EQ(sqlite("SELECT count(*) FROM News"), stored);

    tools::ContentBehaviour empty;
    empty.body = tools::ContentBehaviour::Body::EmptyList;
    service.setBehaviour("newsList", empty);
    Outcome emptied = run("news --cat ent");
    ASSERT_EQ(emptied.code, 0) << emptied.err;
    EXPECT_EQ(emptied.out.find("toast\t"), std::string::npos) << emptied.out;
    EXPECT_NE(emptied.out.find("news: 0 in the reply, 0 rows shown"), std::string::npos) << emptied.out;
    EXPECT_EQ(sqlite("SELECT count(*) FROM News"), "0\n");
}

// A global option given twice is refused as a command option given twice is; --map alone repeats.
TEST_F(LunavexaReplies, RepeatedGlobalOptionsAreRefused) {
    const std::string other = dir.file("other-home");
    const std::vector<std::string> repeated{"launch --home " + quoted(other), "launch --network on --network off",
                                            "--machine a --machine b launch",
                                            "launch --bundle " + quoted(sourceDirectory() + "/bundle")};
    for (const std::string& arguments : repeated) {
        SCOPED_TRACE(arguments);
        Outcome result = run(arguments);
        EXPECT_EQ(result.code, 2);
        EXPECT_NE(result.err.find(" is given twice (see lunavexa --help)\n"), std::string::npos) << result.err;
        EXPECT_TRUE(result.out.empty());
    }
    EXPECT_FALSE(std::filesystem::exists(other));
    Outcome maps = run("launch --map a.invalid:80=127.0.0.1:1 --map b.invalid:80=127.0.0.1:1");
    EXPECT_EQ(maps.code, 0) << maps.err;
}

// Makes folders read-only for this process for the scope: by mode, or for root (whom modes do not stop)
// by the immutable attribute; `made` is false when neither can.
class ReadOnlyFolders {
public:
    explicit ReadOnlyFolders(std::vector<std::string> folders) : folders_(std::move(folders)) {
        for (const std::string& folder : folders_) {
            const std::string command = ::geteuid() == 0 ? "chattr +i " + quoted(folder) + " 2>/dev/null"
                                                          : "chmod a-w " + quoted(folder);
            if (std::system(command.c_str()) != 0 || ::access(folder.c_str(), W_OK) == 0) made = false;
        }
    }
    ~ReadOnlyFolders() {
        for (const std::string& folder : folders_) {
            const std::string command = ::geteuid() == 0 ? "chattr -i " + quoted(folder) + " 2>/dev/null"
                                                          : "chmod u+w " + quoted(folder);
            [[maybe_unused]] const int status = std::system(command.c_str());
        }
    }
    ReadOnlyFolders(const ReadOnlyFolders&) = delete;
    ReadOnlyFolders& operator=(const ReadOnlyFolders&) = delete;
    bool made = true;

private:
    std::vector<std::string> folders_;
};

// show and settings only read: a home, or a store folder, this process cannot write is read all the same.
TEST_F(LunavexaReplies, ShowAndSettingsReadAHomeTheyCannotWrite) {
    ASSERT_EQ(run("news --cat ent").code, 0);
    const std::string rows = run("show News", 1).out;
    ASSERT_EQ(lines(rows), 6u) << rows;
    const std::string settings = run("settings", 1).out;
    for (const std::vector<std::string>& folders :
         {std::vector<std::string>{storeFolder()},
          std::vector<std::string>{home(), home() + "/Documents", home() + "/Library", storeFolder()}}) {
        SCOPED_TRACE(folders.size());
        ReadOnlyFolders readOnly(folders);
        if (!readOnly.made) GTEST_SKIP() << "folders cannot be made read-only here";
        Outcome show = run("show News", 1);
        EXPECT_EQ(show.code, 0) << show.err;
        EXPECT_EQ(show.out, rows);
        Outcome shownSettings = run("settings", 1);
        EXPECT_EQ(shownSettings.code, 0) << shownSettings.err;
        EXPECT_EQ(shownSettings.out, settings);
        // A command that writes still says it cannot.
        EXPECT_EQ(run("news --cat ent").code, 1);
    }
    EXPECT_EQ(sqlite("PRAGMA integrity_check; SELECT count(*) FROM News;"), "ok\n5\n");
}

// show and settings only read: on a missing home (a mistyped path) they say so and make nothing.
TEST_F(LunavexaReplies, ShowAndSettingsOnAMissingHomeFailAndMakeNothing) {
    for (const std::string command : {"show News", "settings"}) {
        SCOPED_TRACE(command);
        Outcome result = run(command, 1);
        EXPECT_EQ(result.code, 1);
        EXPECT_EQ(result.err, "lunavexa: the home folder " + home() + " does not exist\n");
        EXPECT_TRUE(result.out.empty()) << result.out;
        EXPECT_FALSE(std::filesystem::exists(home()));
    }
}

TEST_F(LunavexaReplies, TwoCommandsRefreshingOneCategoryLeaveOneReplyOfIt) {
    struct Case {
        std::string page;
        std::string action;
        std::string count;  // the category's rows
    };
    const std::vector<Case> cases{
        {"news --cat ent", "newsList", "SELECT count(*), count(DISTINCT msgId) FROM News WHERE cat_name = 'ent'"},
        {"chart --site melon", "rank", "SELECT count(*), count(DISTINCT rank) FROM Toptenz WHERE sid = 4"},
        {"video --type teach", "video", "SELECT count(*), count(DISTINCT link) FROM Video WHERE type = 'teach'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.page);
        ASSERT_EQ(run(c.page).code, 0);
        const std::string alone = sqlite(c.count);
        ASSERT_NE(alone.rfind("0|", 0), 0u) << alone;
        // Both processes get their reply at the same moment, on an empty category and then on a full one.
        for (int round = 0; round < 3; ++round) {
            SCOPED_TRACE(round);
            if (round == 0) sqlite("DELETE FROM News; DELETE FROM Toptenz; DELETE FROM Video;");
            tools::ContentBehaviour together;
            together.together = 2;
            service.setBehaviour(c.action, together);
            for (const Outcome& outcome : runTogether({commonOptions() + " " + c.page, commonOptions() + " " + c.page})) {
                EXPECT_EQ(outcome.code, 0) << outcome.err;
            }
            EXPECT_EQ(sqlite(c.count), alone);
        }
        service.resetBehaviours();
    }
}

TEST_F(LunavexaReplies, CommandsStartedTogetherOnANewHomeAllSucceed) {
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        const std::string home = dir.file("new-home-" + std::to_string(round));
        const std::string options = "--home " + quoted(home) + " --bundle " + quoted(sourceDirectory() + "/bundle") +
                                    " --service " + std::to_string(service.port());
        // An empty folder: show only reads and makes no home, so the folder is there; all in it is
        // made by the commands at once.
        std::filesystem::create_directory(home);
        const auto outcomes = runTogether({options + " launch", options + " launch", options + " news --cat ent",
                                           options + " show News"});
        for (const Outcome& outcome : outcomes) {
            EXPECT_EQ(outcome.code, 0) << outcome.err;
            EXPECT_EQ(outcome.err.find("damaged"), std::string::npos) << outcome.err;
        }
        EXPECT_EQ(sqlite("PRAGMA integrity_check; SELECT count(*) FROM _lv_metadata;",
                         home + "/Library/Application Support/lunavexa/lunavexa.sqlite"),
                  "ok\n4\n");
    }
}

}  // namespace
}  // namespace lv::test
