// The page loads of the command: the request with the shown rows' time cursor, the page view and the
// tab event, and what the screen then shows.
#include "app/detail/page_loads.h"

#include <cstdio>
#include <map>

#include "app/app_delegate.h"
#include "content/api_processor.h"
#include "content/constants.h"
#include "content/date_string.h"
#include "content/launch_glue.h"
#include "platform/base/terminal_text.h"
#include "platform/data/context.h"
#include "platform/data/fetch_request.h"
#include "platform/data/managed_object.h"
#include "platform/data/predicate.h"
#include "platform/dispatch/queue.h"
#include "platform/ui/application.h"
#include "store/contexts.h"

namespace lv::app_detail {

namespace {

struct EntityPage {
    std::string entity;
    std::vector<std::string> columns;
    std::vector<std::string> sortKeys;  // ascending unless prefixed with '-'
};

const std::map<std::string, EntityPage>& entityPages() {
    static const auto* pages = new std::map<std::string, EntityPage>{
        {"News", {"News", {"msgId", "cat_name", "title", "update_time"}, {"-update_time", "msgId"}}},
        {"Toptenz", {"Toptenz", {"sid", "rank", "title", "artist"}, {"sid", "rank"}}},
        {"Taobao", {"Taobao", {"t_id", "store", "type", "name", "price"}, {"t_id"}}},
        {"Microblog", {"Microblog", {"sortWeight", "idstr", "screenName", "text"}, {"sortWeight"}}},
        {"Video", {"Video", {"sortWeight", "type", "title", "playCount"}, {"type", "sortWeight"}}},
        {"Teleplay", {"Teleplay", {"sortWeight", "type", "is_end", "titleCn"}, {"type", "is_end", "sortWeight"}}},
        {"Novel", {"Novel", {"nid", "title", "author"}, {"nid"}}},
    };
    return *pages;
}

enum class Screen { TopMusic, News, Market, Media, Live };

// One page load: its screen, the rows that show the page, the request.
struct PageLoad {
    std::string command;
    Screen screen = Screen::News;
    std::string action;  // the request's "action": the label of the "newsTab" event
    EntityPage page;
    Ref<Predicate> predicate;  // the page's filter; none: every row of the entity
    std::string site;          // the chart site, whose date style the cursor takes
    std::function<void(std::optional<Date>, APISuccessBlock, APIFailureBlock)> request;
    bool isCheck = false;  // the chart-update check: stores nothing, answers "has_new"
};

Ref<Predicate> filter(const char* format, std::vector<Value> arguments) {
    return Predicate::parse(format, arguments, nullptr);
}

PageLoad makeLoad(const PageRequest& request) {
    const auto& pages = entityPages();
    auto processor = APIProcessor::sharedAPIProcessor();
    const std::vector<std::string>& v = request.values;
    PageLoad load;
    load.command = request.command;
    const std::string& command = request.command;
    if (command == "news") {
        load = {command, Screen::News, "newsList", pages.at("News"), filter("cat_name = %@", {Value(v[0])}), {},
                [processor, c = v[0]](auto time, auto ok, auto f) { processor->loadNewsWithCatname(c, time, ok, f); }};
    } else if (command == "chart" || command == "check-update") {
        Value sid = Value(Constants::siteIdMap())[v[0]];
        Ref<Predicate> predicate =
            sid.isNil() ? Predicate::falsePredicate() : filter("sid = %@", {Value(sid.longLongValue())});
        load = {command, Screen::TopMusic, command == "chart" ? "rank" : "checkUpdate", pages.at("Toptenz"), predicate,
                v[0], nullptr, command == "check-update"};
        if (load.isCheck) {
            load.request = [processor, s = v[0]](auto time, auto ok, auto f) {
                processor->checkToptenzUpdateWithSite(s, time, ok, f);
            };
        } else {
            load.request = [processor, s = v[0]](auto time, auto ok, auto f) { processor->loadToptenzWithSite(s, time, ok, f); };
        }
    } else if (command == "shop") {
        load = {command, Screen::Market, "taobao", pages.at("Taobao"),
                filter("type = %@ AND store = %@", {Value(v[1]), Value(v[0])}), {},
                [processor, s = v[0], t = v[1]](auto time, auto ok, auto f) { processor->loadTaobaoWithStore(s, t, time, ok, f); }};
    } else if (command == "feed") {
        load = {command, Screen::Live, "microblog", pages.at("Microblog"), filter("type = %@", {Value(v[0])}), {},
                [processor, g = v[0]](auto time, auto ok, auto f) { processor->loadMicroblogWithGap(g, time, ok, f); }};
    } else if (command == "video") {
        load = {command, Screen::Live, "video", pages.at("Video"), filter("type = %@", {Value(v[0])}), {},
                [processor, t = v[0]](auto time, auto ok, auto f) { processor->loadVideoWithType(t, time, ok, f); }};
    } else if (command == "drama") {
        load = {command, Screen::Media, "video", pages.at("Teleplay"),
                filter("type = %@ AND is_end = %@", {Value(v[0]), Value(v[1])}), {},
                [processor, t = v[0], e = v[1] == "yes"](auto time, auto ok, auto f) {
                    processor->loadMediaWithType(t, e, time, ok, f);
                }};
    } else {  // novel: the novel list is one category, every stored novel shows
        load = {command, Screen::Live, "novel", pages.at("Novel"), nullptr, {},
                [processor, t = v[0]](auto time, auto ok, auto f) { processor->loadNovelsWithTitle(t, time, ok, f); }};
    }
    return load;
}

// The screen object the tab container holds, for its class name.
std::string screenClassName(Screen screen) {
    auto delegate = std::dynamic_pointer_cast<AppDelegate>(Application::sharedApplication()->delegate());
    if (!delegate) return {};
    switch (screen) {
    case Screen::TopMusic: return delegate->topMusicViewController()->className();
    case Screen::News: return delegate->newsViewController()->className();
    case Screen::Market: return delegate->marketViewController()->className();
    case Screen::Media: return delegate->mediaViewController()->className();
    case Screen::Live: return delegate->liveViewController()->className();
    }
    return {};
}

// Loads running per screen: the page view begins with the first and ends with the last (main thread).
std::map<std::string, int>& runningLoads() {
    static auto* loads = new std::map<std::string, int>;
    return *loads;
}

std::string cell(const Value& value) { return cellText(value); }

// The page's rows from the default context, in the page's order; nothing (after an error line) when
// they cannot be read.
std::optional<Array> fetchRows(const EntityPage& page, const Ref<Predicate>& predicate) {
    Ref<ManagedObjectContext> context = RS_defaultContext();
    if (!context) {
        printErrorLine("reading " + page.entity + " failed: no store");
        return std::nullopt;
    }
    FetchRequest request(page.entity);
    if (predicate) request.setPredicate(predicate);
    std::vector<SortDescriptor> sorts;
    for (const std::string& key : page.sortKeys) {
        const bool descending = key[0] == '-';
        sorts.push_back(SortDescriptor::make(descending ? key.substr(1) : key, !descending));
    }
    request.setSortDescriptors(std::move(sorts));
    Ref<Error> error;
    std::optional<Array> rows = context->executeFetchRequest(request, &error);
    if (!rows) {
        printErrorLine("reading " + page.entity + " failed: " + (error ? error->description() : "unknown error"));
    }
    return rows;
}

void printRows(const EntityPage& page, const Array& rows) {
    std::string header;
    for (const std::string& column : page.columns) header += (header.empty() ? "" : "\t") + column;
    std::printf("%s\n", header.c_str());
    for (const Value& row : rows) {
        auto record = row.objectAs<ManagedObject>();
        std::string line;
        for (std::size_t i = 0; i < page.columns.size(); ++i) {
            if (i) line += '\t';
            line += record ? cell(record->valueForKey(page.columns[i])) : "-";
        }
        printLine(line);
    }
}

// The time cursor of the page: the newest update time among the rows it shows.
std::optional<Date> newestUpdateTime(const Array& rows) {
    std::optional<Date> newest;
    for (const Value& row : rows) {
        auto record = row.objectAs<ManagedObject>();
        if (!record) continue;
        const Value time = record->valueForKey("update_time");
        if (const Date* date = time.date(); date && (!newest || *newest < *date)) newest = *date;
    }
    return newest;
}

void endLoad(const std::string& screenName) {
    if (--runningLoads()[screenName] == 0) {
        runningLoads().erase(screenName);
        AnalyticsHelper::endLogPageView(screenName);
    }
}

}  // namespace

std::string cellText(const Value& value) {
    if (value.isNilOrNull()) return "-";
    return terminalText(value.isDate() ? DateString::dateAllPart(*value.date()) : value.stringValue());
}

void printLine(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

void printErrorLine(const std::string& text) {
    const std::string line = "lunavexa: " + terminalText(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

const std::vector<std::string>* pageOptions(const std::string& command) {
    static const auto* options = new std::map<std::string, std::vector<std::string>>{
        {"news", {"--cat"}},   {"chart", {"--site"}}, {"check-update", {"--site"}}, {"shop", {"--store", "--type"}},
        {"feed", {"--gap"}},   {"video", {"--type"}}, {"drama", {"--type", "--ended"}}, {"novel", {"--title"}}};
    auto found = options->find(command);
    return found == options->end() ? nullptr : &found->second;
}

std::string checkPageValues(const PageRequest& request) {
    if (request.command == "drama" && request.values.size() == 2 && request.values[1] != "yes" &&
        request.values[1] != "no") {
        return "--ended takes yes or no";
    }
    return {};
}

bool isEntityName(const std::string& entity) { return entityPages().count(entity) > 0; }

std::optional<int> showEntity(const std::string& entity) {
    auto found = entityPages().find(entity);
    if (found == entityPages().end()) return std::nullopt;
    std::optional<Array> rows = fetchRows(found->second, nullptr);
    if (!rows) return 1;
    printRows(found->second, *rows);
    return 0;
}

void playPage(const PageRequest& request, std::function<void(int)> done) {
    auto load = std::make_shared<PageLoad>(makeLoad(request));
    const std::string screenName = screenClassName(load->screen);
    if (runningLoads()[screenName]++ == 0) AnalyticsHelper::beginLogPageView(screenName);
    if (load->screen == Screen::News || load->screen == Screen::Live) AnalyticsHelper::event("newsTab", load->action);

    std::optional<Array> shown = fetchRows(load->page, load->predicate);
    const std::optional<Date> cursor = shown ? newestUpdateTime(*shown) : std::nullopt;
    printErrorLine("loading " + load->command + " (time=" + APIProcessor::timeCursor(cursor, load->site) + ")");

    auto finish = [load, screenName, done](bool ok, const Value& items, const Ref<Error>& error) {
        Queue::main()->async([=] {
            int code = 0;
            if (!ok) {
                printErrorLine(load->command + " request failed: " +
                               (error ? error->description() : "the reply has no item list"));
                code = 1;
            }
            std::optional<Array> rows = fetchRows(load->page, load->predicate);
            if (rows) {
                printRows(load->page, *rows);
            } else {
                code = 1;
            }
            if (ok && load->isCheck) {
                const Value first = items.isArray() && items.count() > 0 ? items.array()[0] : Value();
                printLine("has_new\t" + cell(first.isDictionary() ? first["has_new"] : Value()));
            }
            if (ok && !load->isCheck && items.isNull()) std::printf("toast\t%s\n", kUpToDateToast);
            if (ok && rows) {
                std::printf("%s · %s: %zu in the reply%s, %zu rows shown\n", DateString::dateChineseStyle(Date::now()).c_str(),
                            load->command.c_str(), items.isArray() ? items.count() : std::size_t{0},
                            load->isCheck ? " (not stored)" : "", rows->size());
            }
            std::fflush(stdout);
            endLoad(screenName);
            done(code);
        });
    };
    // A reply without an item list ({"error": "service busy"}) changed nothing: a failed load.
    load->request(cursor, [finish](const Value& items) { finish(!items.isNil(), items, nullptr); },
                  [finish](const Ref<Error>& error) { finish(false, Value(), error); });
}

}  // namespace lv::app_detail
