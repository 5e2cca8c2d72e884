#include "app/lunavexa_command.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/app_delegate.h"
#include "app/microblog_commands.h"
#include "content/api_processor.h"
#include "content/constants.h"
#include "content/date_string.h"
#include "content/property_persistance.h"
#include "content/reachability.h"
#include "content/rest_api_helper.h"
#include "platform/data/context.h"
#include "platform/data/fetch_request.h"
#include "platform/data/managed_object.h"
#include "platform/data/predicate.h"
#include "platform/dispatch/queue.h"
#include "platform/net/host_map.h"
#include "platform/security/trust.h"
#include "platform/net/reachability.h"
#include "platform/storage/bundle.h"
#include "platform/storage/sandbox.h"
#include "platform/ui/device.h"
#include "store/contexts.h"
#include "store/persistence.h"
#include "store/record_stack.h"

#ifndef LV_DEFAULT_BUNDLE
#define LV_DEFAULT_BUNDLE "bundle"
#endif

namespace lv {

namespace {

constexpr const char* kUsage = R"(usage: lunavexa [options] COMMAND [ARGS]

Runs the app headless: launches it (window, store, video switch, tab set), plays one screen's part, then
resigns and terminates. Results go to standard output, progress and errors to standard error.

options:
  --home DIR            the app's home folder: Documents/LNPreferences.plist holds the settings,
                        "Library/Application Support/lunavexa/lunavexa.sqlite" the store;
                        default: $LV_HOME, else ./lunavexa-home
  --bundle DIR          the app's resources (Info.plist, lunavexa.lvmodel, tab images)
  --map NAME=HOST:PORT  send connections for NAME to HOST:PORT (repeatable; HOST must be 127.0.0.1 for the
                        stand-in); port 0 keeps the original port
  --service PORT        shorthand: the content host and the network probe host to 127.0.0.1:PORT
  --trust FILE          also trust the certificates of this PEM file (the social-API stand-in's root)
  --device-token HEX    the token the system answers notification registration with (default: none,
                        so registration fails as on a machine without a push service)
  --machine NAME        the device's machine name (default: this machine's, e.g. x86_64)
  --network on|off      what the system reports about the network (default: this machine's routes)
  --help                this text

commands (each launches first and waits until a tab set is installed):
  launch                               print the tab set and the settings
  news --cat C                         load news of category C
  chart --site S                       load the chart of site S
  check-update --site S                ask whether the chart of site S changed
  shop --store S --type T              load the shop items of store S and type T
  feed --gap G                         load the microblog feed
  video --type T                       load the videos of type T
  drama --type T --ended yes|no        load the dramas of type T
  novel --title T                      load the novels
  run                                  read control lines from standard input until "terminate"
  login                                log in to Microblog (the web authorisation page) and print the user
  share --text T --image FILE          post the text with the picture, as the share screen does
  logout                               revoke the Microblog login and clear it from the settings
  open-url URL                         another program opens the URL in the app
offline commands (no launch, no request):
  show ENTITY                          print the stored rows of News, Toptenz, Taobao, Microblog, Video,
                                       Teleplay or Novel
  settings                             print the settings file's values

exit codes: 0 success, 1 failure (request, store, home folder), 2 usage
)";

struct Page {
    std::string entity;
    std::vector<std::string> columns;
    std::vector<std::string> sortKeys;  // ascending unless prefixed with '-'
};

const std::map<std::string, Page>& entityPages() {
    static const auto& pages = *new std::map<std::string, Page>{
        {"News", {"News", {"msgId", "cat_name", "title", "update_time"}, {"-update_time", "msgId"}}},
        {"Toptenz", {"Toptenz", {"sid", "rank", "title", "artist"}, {"sid", "rank"}}},
        {"Taobao", {"Taobao", {"t_id", "store", "type", "name", "price"}, {"t_id"}}},
        {"Microblog", {"Microblog", {"sortWeight", "idstr", "screenName", "text"}, {"sortWeight"}}},
        {"Video", {"Video", {"sortWeight", "type", "title", "playCount"}, {"type", "sortWeight"}}},
        {"Teleplay", {"Teleplay", {"sortWeight", "type", "is_end", "titleCn"}, {"type", "is_end", "sortWeight"}}},
        {"Novel", {"Novel", {"nid", "title", "author"}, {"nid"}}},
    };
    return pages;
}

struct Options {
    std::string home;
    std::string bundle = LV_DEFAULT_BUNDLE;
    std::string command;
    std::optional<Bytes> deviceToken;
    std::map<std::string, std::string> arguments;  // "--cat" → "C"
    std::vector<std::string> positional;
};

int usage(const std::string& message) {
    std::fprintf(stderr, "lunavexa: %s\n(see lunavexa --help)\n", message.c_str());
    return 2;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "lunavexa: %s\n", message.c_str());
    return 1;
}

bool mapHost(const std::string& spec) {
    auto equals = spec.find('=');
    auto colon = spec.rfind(':');
    if (equals == std::string::npos || colon == std::string::npos || colon < equals) return false;
    std::string name = spec.substr(0, equals);
    std::string host = spec.substr(equals + 1, colon - equals - 1);
    char* end = nullptr;
    long port = std::strtol(spec.c_str() + colon + 1, &end, 10);
    if (name.empty() || host.empty() || *end != '\0' || port < 0 || port > 65535) return false;
    HostMap::set(name, host, static_cast<int>(port));
    return true;
}

std::string cell(const Value& value) {
    if (value.isNilOrNull()) return "-";
    std::string text = value.isDate() ? DateString::dateAllPart(*value.date()) : value.stringValue();
    for (char& c : text) {
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    }
    return text;
}

// Prints the stored rows of the entity (those the predicate selects) from the default context.
std::optional<std::size_t> printRows(const Page& page, const Ref<Predicate>& predicate) {
    Ref<ManagedObjectContext> context = RS_defaultContext();
    if (!context) return std::nullopt;
    FetchRequest request(page.entity);
    if (predicate) request.setPredicate(predicate);
    std::vector<SortDescriptor> sorts;
    for (const std::string& key : page.sortKeys) {
        bool descending = key[0] == '-';
        sorts.push_back(SortDescriptor::make(descending ? key.substr(1) : key, !descending));
    }
    request.setSortDescriptors(std::move(sorts));
    Ref<Error> error;
    std::optional<Array> rows = context->executeFetchRequest(request, &error);
    if (!rows) {
        std::fprintf(stderr, "lunavexa: reading %s failed: %s\n", page.entity.c_str(),
                     error ? error->description().c_str() : "unknown error");
        return std::nullopt;
    }
    std::string header;
    for (const std::string& column : page.columns) header += (header.empty() ? "" : "\t") + column;
    std::printf("%s\n", header.c_str());
    for (const Value& row : *rows) {
        auto record = row.objectAs<ManagedObject>();
        std::string line;
        for (std::size_t i = 0; i < page.columns.size(); ++i) {
            if (i) line += '\t';
            line += record ? cell(record->valueForKey(page.columns[i])) : "-";
        }
        std::printf("%s\n", line.c_str());
    }
    return rows->size();
}

// Checks the store file before the stack opens it: a file that is not SQLite is set aside (renamed) and
// reported; nothing is deleted.
std::optional<std::string> setAsideDamagedStore() {
    std::filesystem::path store = RS_urlForStoreName("lunavexa.sqlite");
    std::error_code ec;
    if (!std::filesystem::exists(store, ec)) return std::nullopt;
    std::ifstream in(store, std::ios::binary);
    char header[16] = {};
    in.read(header, sizeof header);
    if (in.gcount() == sizeof header && std::string(header, sizeof header) == std::string("SQLite format 3\0", 16)) {
        return std::nullopt;
    }
    std::filesystem::path aside = store;
    aside += ".damaged-" + std::to_string(static_cast<long long>(Date::now().since1970()));
    std::filesystem::rename(store, aside, ec);
    return "the store file " + store.string() + " is damaged; kept aside as " + aside.string() +
           (ec ? " (rename failed: " + ec.message() + ")" : "");
}

bool prepareHome(const std::string& home, std::string& problem) {
    std::error_code ec;
    std::filesystem::create_directories(home, ec);
    if (ec || ::access(home.c_str(), W_OK) != 0) {
        problem = "the home folder " + home + " is not writable";
        return false;
    }
    Ref<Error> error;
    if (!Sandbox::setRoot(home, &error)) {
        problem = "the home folder " + home + " cannot be used: " + (error ? error->description() : "");
        return false;
    }
    std::filesystem::create_directories(RS_applicationDocumentsDirectory(), ec);
    if (ec || ::access(RS_applicationDocumentsDirectory().c_str(), W_OK) != 0) {
        problem = "the home folder " + home + " is not writable";
        return false;
    }
    return true;
}

void printSettings() {
    auto settings = makeRef<LNPreferences>();
    PropertyPersistance::setPersistanceOn(*settings);
    const std::vector<std::pair<const char*, Value>> fields{
        {"appVersion", settings->appVersion()},   {"appBuild", settings->appBuild()},
        {"hideVideos", settings->hideVideos()},   {"checkUpdate", settings->checkUpdate()},
        {"mbltoken", settings->mbltoken()},       {"mblCurrentUserID", settings->mblCurrentUserID()},
        {"mblUsername", settings->mblUsername()}, {"mblExpireDate", settings->mblExpireDate()}};
    for (const auto& [name, value] : fields) std::printf("%s\t%s\n", name, cell(value).c_str());
}

// One page load: which request, and which rows show the page afterwards.
struct PageLoad {
    Page page;
    Ref<Predicate> predicate;
    std::function<void(APISuccessBlock, APIFailureBlock)> request;
    bool storesNothing = false;
};

std::optional<PageLoad> pageLoad(const Options& options, std::string& problem) {
    auto argument = [&](const char* name) -> std::optional<std::string> {
        auto it = options.arguments.find(name);
        if (it == options.arguments.end()) {
            problem = options.command + " needs " + name;
            return std::nullopt;
        }
        return it->second;
    };
    auto processor = APIProcessor::sharedAPIProcessor();
    const auto& pages = entityPages();
    Ref<Error> error;
    const std::string& command = options.command;
    if (command == "news") {
        auto cat = argument("--cat");
        if (!cat) return std::nullopt;
        return PageLoad{pages.at("News"), Predicate::format("cat_name == %@", &error, Value(*cat)),
                        [processor, c = *cat](auto s, auto f) { processor->loadNewsWithCatname(c, std::nullopt, s, f); }};
    }
    if (command == "chart" || command == "check-update") {
        auto site = argument("--site");
        if (!site) return std::nullopt;
        Value sid = Value(Constants::siteIdMap())[*site];
        Ref<Predicate> predicate =
            sid.isNil() ? Predicate::falsePredicate() : Predicate::format("sid == %@", &error, Value(sid.longLongValue()));
        if (command == "chart") {
            return PageLoad{pages.at("Toptenz"), predicate, [processor, s = *site](auto ok, auto f) {
                                processor->loadToptenzWithSite(s, std::nullopt, ok, f);
                            }};
        }
        return PageLoad{pages.at("Toptenz"), predicate,
                        [processor, s = *site](auto ok, auto f) {
                            processor->checkToptenzUpdateWithSite(s, std::nullopt, ok, f);
                        },
                        true};
    }
    if (command == "shop") {
        auto store = argument("--store");
        if (!store) return std::nullopt;
        auto type = argument("--type");
        if (!type) return std::nullopt;
        return PageLoad{pages.at("Taobao"),
                        Predicate::format("store == %@ AND type == %@", &error, Value(*store), Value(*type)),
                        [processor, s = *store, t = *type](auto ok, auto f) {
                            processor->loadTaobaoWithStore(s, t, std::nullopt, ok, f);
                        }};
    }
    if (command == "feed") {
        auto gap = argument("--gap");
        if (!gap) return std::nullopt;
        return PageLoad{pages.at("Microblog"), nullptr, [processor, g = *gap](auto ok, auto f) {
                            processor->loadMicroblogWithGap(g, std::nullopt, ok, f);
                        }};
    }
    if (command == "video") {
        auto type = argument("--type");
        if (!type) return std::nullopt;
        return PageLoad{pages.at("Video"), Predicate::format("type == %@", &error, Value(*type)),
                        [processor, t = *type](auto ok, auto f) { processor->loadVideoWithType(t, std::nullopt, ok, f); }};
    }
    if (command == "drama") {
        auto type = argument("--type");
        if (!type) return std::nullopt;
        auto ended = argument("--ended");
        if (!ended) return std::nullopt;
        if (*ended != "yes" && *ended != "no") {
            problem = "--ended takes yes or no";
            return std::nullopt;
        }
        return PageLoad{pages.at("Teleplay"),
                        Predicate::format("type == %@ AND is_end == %@", &error, Value(*type), Value(*ended)),
                        [processor, t = *type, e = *ended == "yes"](auto ok, auto f) {
                            processor->loadMediaWithType(t, e, std::nullopt, ok, f);
                        }};
    }
    if (command == "novel") {
        auto title = argument("--title");
        if (!title) return std::nullopt;
        return PageLoad{pages.at("Novel"), nullptr, [processor, t = *title](auto ok, auto f) {
                            processor->loadNovelsWithTitle(t, std::nullopt, ok, f);
                        }};
    }
    problem = "unknown command \"" + command + "\"";
    return std::nullopt;
}

int exitCode = 0;

void terminateApp() {
    Queue::main()->async([] { Application::sharedApplication()->terminate(); });
}

// Runs the page load once the tab set is installed; prints the rows and the refresh line, then ends.
void runPage(const PageLoad& load, const std::string& command) {
    auto finish = [load, command](bool ok, const Value& items, const Ref<Error>& error) {
        Queue::main()->async([=] {
            if (!ok) {
                exitCode = fail(command + " request failed: " +
                                (error ? error->description() : std::string("no reply")));
            } else {
                std::optional<std::size_t> shown = printRows(load.page, load.predicate);
                if (!shown) {
                    exitCode = 1;
                } else {
                    std::printf("%s · %s: %zu in the reply%s, %zu rows shown\n",
                                DateString::dateChineseStyle(Date::now()).c_str(), command.c_str(),
                                items.isArray() ? items.count() : std::size_t{0},
                                load.storesNothing ? " (not stored)" : "", *shown);
                }
            }
            std::fflush(stdout);
            terminateApp();
        });
    };
    std::fprintf(stderr, "lunavexa: loading %s\n", command.c_str());
    load.request([finish](const Value& items) { finish(true, items, nullptr); },
                 [finish](const Ref<Error>& error) { finish(false, Value(), error); });
}

int parse(int argc, char** argv, Options& options) {
    const char* envHome = std::getenv("LV_HOME");
    options.home = envHome ? envHome : "lunavexa-home";
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (options.command.empty() && arg.rfind("--", 0) == 0) {
            const char* value = next();
            if (!value) return usage(arg + " needs a value");
            if (arg == "--home") {
                options.home = value;
            } else if (arg == "--bundle") {
                options.bundle = value;
            } else if (arg == "--map") {
                if (!mapHost(value)) return usage("--map takes NAME=HOST:PORT");
            } else if (arg == "--trust") {
                if (!TrustAnchors::addPEMFile(value)) return usage(std::string("no certificate in ") + value);
            } else if (arg == "--service") {
                std::string port = value;
                std::string contentHost = *URL::URLWithString(RestAPIHelper::kContentServiceBaseURL)->host();
                if (!mapHost(contentHost + "=127.0.0.1:" + port) ||
                    !mapHost(std::string(CheckNetwork::kProbeHost) + "=127.0.0.1:" + port)) {
                    return usage("--service takes a port");
                }
            } else if (arg == "--device-token") {
                const std::string hex = value;
                if (hex.empty() || hex.size() % 2 != 0 ||
                    hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                    return usage("--device-token takes hexadecimal digits, two per byte");
                }
                Bytes token;
                for (std::size_t at = 0; at < hex.size(); at += 2) {
                    token.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(at, 2), nullptr, 16)));
                }
                options.deviceToken = token;
            } else if (arg == "--machine") {
                DeviceFacts facts = DeviceFacts::current();
                facts.machineName = value;
                DeviceFacts::set(facts);
            } else if (arg == "--network") {
                const std::string network = value;
                if (network != "on" && network != "off") return usage("--network takes on or off");
                NetworkReachability::setFlagsOverride(network == "on" ? kReachabilityFlagsReachable : 0);
            } else {
                return usage("unknown option " + arg);
            }
        } else if (options.command.empty()) {
            options.command = arg;
        } else if (arg.rfind("--", 0) == 0) {
            const char* value = next();
            if (!value) return usage(arg + " needs a value");
            options.arguments[arg] = value;
        } else {
            options.positional.push_back(arg);
        }
    }
    if (options.command.empty()) return usage("no command given");
    return -1;
}

}  // namespace

int lunavexaCommand(int argc, char** argv) {
    Options options;
    if (int code = parse(argc, argv, options); code >= 0) return code;
    if (!std::filesystem::exists(std::filesystem::path(options.bundle) / "Info.plist")) {
        return usage("no Info.plist in the bundle " + options.bundle);
    }
    Bundle::setMainBundlePath(options.bundle);
    registerAppClasses();

    std::string problem;
    std::optional<PageLoad> load;
    const std::string& command = options.command;
    bool offline = command == "show" || command == "settings";
    const bool microblog = isMicroblogCommand(command);
    if (microblog) {
        problem = checkMicroblogArguments(command, options.arguments, options.positional);
        if (!problem.empty()) return usage(problem);
    }
    if (!offline && !microblog && command != "launch" && command != "run") {
        load = pageLoad(options, problem);
        if (!load) return usage(problem);
    }
    if (command == "show" && (options.positional.size() != 1 || !entityPages().count(options.positional[0]))) {
        return usage("show takes one of News, Toptenz, Taobao, Microblog, Video, Teleplay, Novel");
    }
    if (!prepareHome(options.home, problem)) return fail(problem);
    if (auto damaged = setAsideDamagedStore()) return fail(*damaged);

    if (command == "settings") {
        printSettings();
        return 0;
    }
    if (command == "show") {
        RecordStack::setupCoreDataStackWithAutoMigratingSqliteStoreNamed("lunavexa.sqlite");
        if (!RS_defaultPersistentStore()) return fail("the store file cannot be opened");
        auto shown = printRows(entityPages().at(options.positional[0]), nullptr);
        RecordStack::cleanUp();
        return shown ? 0 : 1;
    }

    ApplicationConfiguration configuration;
    configuration.controlInput = command == "run" ? 0 : -1;
    configuration.remoteNotificationToken = options.deviceToken;
    Application::sharedApplication()->setConfiguration(configuration);
    AppDelegate::setTabSetInstalledObserver([load, command, options, microblog](bool full) {
        std::fprintf(stderr, "lunavexa: %s tab set installed\n", full ? "full" : "reduced");
        if (!RS_defaultPersistentStore()) {
            exitCode = fail("the store file " + RS_urlForStoreName("lunavexa.sqlite").string() + " cannot be opened");
            terminateApp();
            return;
        }
        if (load) {
            runPage(*load, command);
        } else if (microblog) {
            runMicroblogCommand(command, options.arguments, options.positional, [](int code) {
                exitCode = code;
                terminateApp();
            });
        } else if (command == "launch") {
            auto delegate = std::dynamic_pointer_cast<AppDelegate>(Application::sharedApplication()->delegate());
            std::string titles;
            for (const auto& screen : delegate->tabBarController()->viewControllers()) {
                titles += (titles.empty() ? "" : " | ") + screen->title();
            }
            std::printf("tabs\t%s\n", titles.c_str());
            printSettings();
            std::fflush(stdout);
            terminateApp();
        }
    });
    int result = appMain(argc, argv);
    AppDelegate::setTabSetInstalledObserver(nullptr);
    if (result != 0) return fail("the app did not start");
    return exitCode;
}

}  // namespace lv
