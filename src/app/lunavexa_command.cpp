#include "app/lunavexa_command.h"

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/app_delegate.h"
#include "app/detail/page_loads.h"
#include "app/detail/store_check.h"
#include "app/microblog_commands.h"
#include "content/property_persistance.h"
#include "analytics/upload_protocol.h"
#include "content/reachability.h"
#include "content/rest_api_helper.h"
#include "platform/base/process.h"
#include "platform/dispatch/queue.h"
#include "platform/net/host_map.h"
#include "platform/net/preload.h"
#include "platform/net/reachability.h"
#include "platform/security/trust.h"
#include "platform/storage/bundle.h"
#include "platform/storage/sandbox.h"
#include "platform/ui/control_channel.h"
#include "platform/ui/device.h"
#include "store/persistence.h"
#include "store/record_stack.h"

#ifndef LV_DEFAULT_BUNDLE
#define LV_DEFAULT_BUNDLE "bundle"
#endif

namespace lv {

namespace {

using app_detail::PageRequest;

std::string usageText() {
    return std::string(R"(usage: lunavexa [options] COMMAND [ARGS] [options]

Runs the app headless: launches it (window, store, video switch, tab set), plays one screen's part, then
resigns and terminates. Results go to standard output, progress and errors to standard error. Options
may stand before or after the command; an unknown option or an extra word is refused (exit 2).

options:
  --home DIR            the app's home folder: Documents/LNPreferences.plist holds the settings,
                        "Library/Application Support/lunavexa/lunavexa.sqlite" the store;
                        default: $LV_HOME, else ./lunavexa-home
  --bundle DIR          the app's resources (Info.plist, lunavexa.lvmodel, tab images); default:
                        )") + LV_DEFAULT_BUNDLE + R"(
  --map NAME=HOST:PORT  send connections for NAME to HOST:PORT (repeatable; HOST must be 127.0.0.1 for the
                        stand-in); port 0 keeps the original port
  --service PORT        shorthand: the content host, the network probe host and (unless --map sends them
                        elsewhere) the analytics log hosts to 127.0.0.1:PORT
  --trust FILE          also trust the certificates of this PEM file (the social-API stand-in's root)
  --device-token HEX    the token the system answers notification registration with. Without one,
                        registration fails as on a machine without a push service: one progress line
                        says so, and it is no error
  --machine NAME        the device's machine name the clients see (default: this machine's, e.g. x86_64).
                        "x86_64", "i386" and "i586" make the device a simulator: the push client then
                        stands a fixed simulator token in for the stored one, so every launch unregisters
                        the device and registers it again, and analytics reports the access "WiFi".
                        A phone's name (e.g. iPhone7,2) keeps the stored token
  --network on|off      what the system reports about the network (default: this machine's routes)
  --help                this text

commands (each launches first and waits until a tab set is installed):
  launch                               print the tab set and the settings
  news --cat C                         the news of category C (news screen)
  chart --site S                       the chart of site S (chart screen)
  check-update --site S                ask whether the chart of site S changed; prints has_new
  shop --store S --type T              the shop items of store S and type T (shop screen)
  feed --gap G                         the microblog feed G (lifestyle screen)
  video --type T                       the videos of type T (lifestyle screen)
  drama --type T --ended yes|no        the dramas of type T (drama screen)
  novel --title T                      the novels (lifestyle screen)
  run                                  read page and control lines from standard input (below)
  login                                log in to Microblog (the web authorisation page) and print the user
  share --text T --image FILE          post the text with the picture, as the share screen does
  logout                               revoke the Microblog login and clear it from the settings
  open-url URL                         another program opens the URL in the app
offline commands (no launch, no request):
  show ENTITY                          print the stored rows of News, Toptenz, Taobao, Microblog, Video,
                                       Teleplay or Novel
  settings                             print the settings file's values

A page command plays its screen. It asks for the items newer than the rows the page shows: "time" is
the newest update_time among them in the service's date style for the action and site
("2015-03-05 09:07:02"; chart naver "2015-3-5 09:07:02", chart hanteo_day "2015-03-05"), and empty
when the page shows no row. Then it prints the page's rows from the store and the refresh line; a reply
with nothing newer ("mItems": null) adds "toast<TAB>当前数据已经是最新的！". After a failed request the
error goes to standard error and the stored rows are printed all the same (exit 1). The screen's page
view (its class name) goes to analytics; the news and lifestyle screens also send the event "newsTab"
labelled with the page's action (newsList, microblog, video, novel).

run takes lines in order. A page line is a page command with its values in order, e.g. "news ent",
"chart naver", "shop beauty new", "drama tv no" (the last value takes the rest of the line); it starts
at once, so a second load cancels the first while it runs (reported as that load's failure, -999).
Control lines (activate, resign, background, terminate, open-url URL, remote-notification JSON,
local-notification, memory-warning, tap-alert N, expire-background-tasks) wait until the loads started
before them have ended. End of input leaves the app running until "terminate" or a signal; run exits 0.

A store file that is damaged (not SQLite, failing SQLite's integrity check, cut short, or made by a
model this one cannot migrate) is renamed aside ("lunavexa.sqlite.damaged-<seconds>", its -wal and
-shm files beside it), said on standard error, and the command goes on with an empty store.

exit codes: 0 success, 1 failure (request, store, home folder), 2 usage, 129, 130 and 143 when SIGHUP,
SIGINT or SIGTERM ended it (after the app's resign and terminate)
)";
}

struct Options {
    std::string home;
    std::string bundle = LV_DEFAULT_BUNDLE;
    std::string command;
    std::optional<Bytes> deviceToken;
    std::map<std::string, std::string> arguments;  // "--cat" → "C"
    std::vector<std::string> positional;
    bool networkOff = false;  // --network off
};

int usage(const std::string& message) {
    app_detail::printErrorLine(message + " (see lunavexa --help)");
    return 2;
}

int fail(const std::string& message) {
    app_detail::printErrorLine(message);
    return 1;
}


// The offline commands only read: a home that exists is enough, writable or not.
bool prepareHomeForReading(const std::string& home, std::string& problem) {
    std::error_code ec;
    if (!std::filesystem::is_directory(home, ec)) {
        problem = "the home folder " + home + " does not exist";
        return false;
    }
    Ref<Error> error;
    if (!Sandbox::setRoot(home, &error)) {
        problem = "the home folder " + home + " cannot be used: " + (error ? error->description() : "");
        return false;
    }
    return true;
}

bool writable(const std::filesystem::path& path) { return ::access(path.c_str(), W_OK) == 0; }

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
    for (const auto& [name, value] : fields) app_detail::printLine(std::string(name) + "\t" + app_detail::cellText(value));
}

int exitCode = 0;

void terminateApp() {
    Queue::main()->async([] { Application::sharedApplication()->terminate(); });
}

// ---- arguments ----

// The options a command takes besides the global ones, and how many plain words.
bool commandShape(const std::string& command, std::vector<std::string>& options, std::size_t& words) {
    words = 0;
    options.clear();
    if (const auto* page = app_detail::pageOptions(command)) {
        options = *page;
        return true;
    }
    if (command == "share") {
        options = {"--text", "--image"};
        return true;
    }
    if (command == "show" || command == "open-url") {
        words = 1;
        return true;
    }
    return command == "launch" || command == "run" || command == "login" || command == "logout" ||
           command == "settings";
}

// A global option with its value; false (with the usage problem) when the value is not one.
bool applyGlobal(const std::string& option, const std::string& value, Options& options, std::string& problem) {
    if (option == "--home") {
        options.home = value;
    } else if (option == "--bundle") {
        options.bundle = value;
    } else if (option == "--map") {
        if (!HostMap::setFromText(value)) problem = "--map takes NAME=HOST:PORT";
    } else if (option == "--trust") {
        if (!TrustAnchors::addPEMFile(value)) problem = "no certificate in " + value;
    } else if (option == "--service") {
        std::string contentHost = *URL::URLWithString(RestAPIHelper::kContentServiceBaseURL)->host();
        if (!HostMap::setFromText(contentHost + "=127.0.0.1:" + value) ||
            !HostMap::setFromText(std::string(CheckNetwork::kProbeHost) + "=127.0.0.1:" + value)) {
            problem = "--service takes a port";
        }
        // The analytics log hosts stay on this machine too (a --map of its own wins): a world of
        // stand-ins never waits at exit for a name lookup of the outside network.
        for (std::string_view logHost : {upload_protocol::kLogHost, upload_protocol::kLogFallbackHost}) {
            if (problem.empty() && !HostMap::lookup(logHost, 80)) HostMap::setFromText(std::string(logHost) + "=127.0.0.1:" + value);
        }
    } else if (option == "--device-token") {
        if (value.empty() || value.size() % 2 != 0 || value.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            problem = "--device-token takes hexadecimal digits, two per byte";
        } else {
            Bytes token;
            for (std::size_t at = 0; at < value.size(); at += 2) {
                token.push_back(static_cast<std::uint8_t>(std::stoi(value.substr(at, 2), nullptr, 16)));
            }
            options.deviceToken = token;
        }
    } else if (option == "--machine") {
        DeviceFacts facts = DeviceFacts::current();
        facts.machineName = value;
        DeviceFacts::set(facts);
    } else if (option == "--network") {
        if (value != "on" && value != "off") {
            problem = "--network takes on or off";
        } else {
            NetworkReachability::setFlagsOverride(value == "on" ? kReachabilityFlagsReachable : 0);
            options.networkOff = value == "off";
        }
    }
    return problem.empty();
}

// Returns the exit code when the program ends here (help, usage), -1 to go on.
int parse(int argc, char** argv, Options& options) {
    static const auto& globals = *new std::set<std::string>{"--home",  "--bundle",       "--map",     "--service",
                                                            "--trust", "--device-token", "--machine", "--network"};
    const char* envHome = std::getenv("LV_HOME");
    options.home = envHome ? envHome : "lunavexa-home";
    std::vector<std::string> args(argv + 1, argv + argc);
    for (const std::string& arg : args) {
        if (arg == "--help" || arg == "-h") {
            std::fputs(usageText().c_str(), stdout);
            return 0;
        }
    }
    std::vector<std::string> commandOptions;
    std::set<std::string> globalsGiven;  // --map alone may be repeated (one name per mapping)
    std::size_t words = 0;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.rfind("-", 0) == 0 && arg.size() > 1) {
            const bool global = globals.count(arg) > 0;
            const bool own = !options.command.empty() &&
                             std::find(commandOptions.begin(), commandOptions.end(), arg) != commandOptions.end();
            if (!global && !own) {
                return usage(options.command.empty() ? "unknown option " + arg
                                                     : "unknown option " + arg + " for " + options.command);
            }
            if (i + 1 >= args.size()) return usage(arg + " needs a value");
            const std::string& value = args[++i];
            if (global) {
                if (arg != "--map" && !globalsGiven.insert(arg).second) return usage(arg + " is given twice");
                std::string problem;
                if (!applyGlobal(arg, value, options, problem)) return usage(problem);
            } else if (!options.arguments.emplace(arg, value).second) {
                return usage(arg + " is given twice");
            }
        } else if (options.command.empty()) {
            options.command = arg;
            if (!commandShape(arg, commandOptions, words)) return usage("unknown command \"" + arg + "\"");
        } else if (options.positional.size() < words) {
            options.positional.push_back(arg);
        } else {
            return usage("unexpected word \"" + arg + "\" after " + options.command);
        }
    }
    if (options.command.empty()) return usage("no command given");
    for (const std::string& option : commandOptions) {
        if (!options.arguments.count(option)) return usage(options.command + " needs " + option);
    }
    if (options.positional.size() < words) {
        return usage(options.command == "show" ? "show takes one of News, Toptenz, Taobao, Microblog, Video, Teleplay, Novel"
                                               : options.command + " takes one URL");
    }
    return -1;
}

std::optional<PageRequest> pageRequest(const Options& options) {
    const auto* names = app_detail::pageOptions(options.command);
    if (!names) return std::nullopt;
    PageRequest request{options.command, {}};
    for (const std::string& name : *names) request.values.push_back(options.arguments.at(name));
    return request;
}

// ---- run: page lines and control lines from standard input ----

// Main thread only. Lines run in order; a page line starts at once, a control line waits for the
// loads started before it; nothing runs before the tab set is installed.
struct RunLines {
    bool ready = false;
    int loadsRunning = 0;
    std::deque<std::string> waiting;
};

RunLines& runLines() {
    static auto* lines = new RunLines;
    return *lines;
}

std::vector<std::string> splitLine(const std::string& line, std::size_t maxWords) {
    std::vector<std::string> words;
    std::size_t at = line.find_first_not_of(" \t\r");
    while (at != std::string::npos && words.size() + 1 < maxWords) {
        const std::size_t end = line.find_first_of(" \t\r", at);
        words.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end == std::string::npos ? end : line.find_first_not_of(" \t\r", end);
    }
    if (at != std::string::npos) {
        std::string rest = line.substr(at);
        rest.erase(rest.find_last_not_of(" \t\r") + 1);
        words.push_back(rest);
    }
    return words;
}

void drainRunLines() {
    RunLines& state = runLines();
    while (state.ready && !state.waiting.empty()) {
        const std::string line = state.waiting.front();
        const std::vector<std::string> first = splitLine(line, 2);
        const auto* names = first.empty() ? nullptr : app_detail::pageOptions(first[0]);
        if (!names) {
            if (state.loadsRunning > 0) return;  // a control line waits for the loads before it
            state.waiting.pop_front();
            ControlChannel::execute(line);
            // The next line runs in a later turn, after what this one queued on the main queue.
            Queue::main()->async([] { drainRunLines(); });
            return;
        }
        state.waiting.pop_front();
        std::vector<std::string> words = splitLine(line, names->size() + 1);
        PageRequest request{words[0], std::vector<std::string>(words.begin() + 1, words.end())};
        std::string problem = request.values.size() == names->size() ? app_detail::checkPageValues(request)
                                                                     : request.command + " takes " +
                                                                           std::to_string(names->size()) + " value(s)";
        if (!problem.empty()) {
            app_detail::printErrorLine("run: \"" + line + "\": " + problem);
            continue;
        }
        ++state.loadsRunning;
        app_detail::playPage(request, [](int) {
            --runLines().loadsRunning;
            drainRunLines();
        });
    }
}

void takeRunLine(std::string line) {
    const std::size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos || line[start] == '#') return;
    runLines().waiting.push_back(std::move(line));
    drainRunLines();
}

// Reads standard input on a thread of its own; each line goes to the main queue.
void listenForRunLines() { ControlChannel::listen(STDIN_FILENO, false, takeRunLine, "lv.run-lines"); }

}  // namespace

int lunavexaCommand(int argc, char** argv) {
    Options options;
    if (int code = parse(argc, argv, options); code >= 0) return code;
    // Every launch sends requests (the analytics upload of what the last session left, the video switch,
    // the page or the login): the URL engine's library loads on a worker from the start, so the first
    // request does not wait for the dynamic loader. The offline commands never load it.
    if (options.command != "show" && options.command != "settings" && !options.networkOff) {
        // The crash handlers' unwinder is made ready first: that loads a library too, and would
        // otherwise wait behind the whole load for the loader's lock.
        process::prepareBacktrace();
        preloadURLEngine();
    }
    std::error_code bundleError;  // a link loop is an error here, never an exception
    if (!std::filesystem::exists(std::filesystem::path(options.bundle) / "Info.plist", bundleError)) {
        return usage("no Info.plist in the bundle " + options.bundle);
    }
    Bundle::setMainBundlePath(options.bundle);
    registerAppClasses();

    std::string problem;
    const std::string& command = options.command;
    const std::optional<PageRequest> page = pageRequest(options);
    const bool microblog = isMicroblogCommand(command);
    if (page) {
        problem = app_detail::checkPageValues(*page);
    } else if (microblog) {
        problem = checkMicroblogArguments(command, options.arguments, options.positional);
    } else if (command == "show" && !app_detail::isEntityName(options.positional[0])) {
        problem = "show takes one of News, Toptenz, Taobao, Microblog, Video, Teleplay, Novel";
    }
    if (!problem.empty()) return usage(problem);
    // show and settings send nothing: a missing home (a mistyped path) is an error, never made; one
    // they cannot write is read as it is.
    const bool offline = command == "show" || command == "settings";
    if (offline && !prepareHomeForReading(options.home, problem)) return fail(problem);
    if (!prepareHome(options.home, problem) && !offline) return fail(problem);
    if (command == "settings") {
        printSettings();
        return 0;
    }

    const std::filesystem::path store = RS_urlForStoreName("lunavexa.sqlite");
    app_detail::removeAbandonedStoreCopies();
    std::error_code storeError;
    if (command == "show" && std::filesystem::exists(store, storeError) &&
        (!writable(store.parent_path()) || !writable(store))) {
        std::optional<app_detail::StoreCopy> copy;
        const std::optional<std::filesystem::path> readable = app_detail::copyForReading(store, copy, problem);
        if (!readable) return fail(problem);
        RecordStack::setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(*readable);
        if (!RS_defaultPersistentStore()) return fail("the store file cannot be opened");
        const std::optional<int> shown = app_detail::showEntity(options.positional[0]);
        RecordStack::cleanUp();
        return shown.value_or(1);
    }
    if (auto aside = app_detail::setAsideDamagedStore(store)) {
        if (aside->asidePath.empty()) {
            return fail("the store file " + store.string() + " is damaged (" + aside->reason +
                        ") and cannot be set aside: " + aside->problem);
        }
        app_detail::printErrorLine("the store file " + store.string() + " is damaged (" + aside->reason + "); kept aside as " +
                                   aside->asidePath.string() + "; starting with an empty store");
        if (!aside->problem.empty()) return fail("its journal could not follow it: " + aside->problem);
    }

    if (command == "show") {
        RecordStack::setupCoreDataStackWithAutoMigratingSqliteStoreNamed("lunavexa.sqlite");
        if (!RS_defaultPersistentStore()) return fail("the store file cannot be opened");
        const std::optional<int> shown = app_detail::showEntity(options.positional[0]);
        RecordStack::cleanUp();
        return shown.value_or(1);
    }

    ApplicationConfiguration configuration;
    configuration.controlInput = -1;  // run reads standard input itself (page lines and control lines)
    configuration.remoteNotificationToken = options.deviceToken;
    Application::sharedApplication()->setConfiguration(configuration);
    if (!options.deviceToken) {
        // A machine without a push service answers registration with 3010: expected, said once.
        AppDelegate::setExpectedRegistrationFailure([](const Ref<Error>& error) {
            if (!error || error->domain() != kCocoaErrorDomain || error->code() != 3010) return false;
            static bool said = false;
            if (!said) {
                app_detail::printErrorLine(error->localizedDescription() +
                                           " (no --device-token): notifications are not registered");
                said = true;
            }
            return true;
        });
    }
    if (command == "run") listenForRunLines();
    AppDelegate::setTabSetInstalledObserver([page, command, options, microblog](bool full) {
        app_detail::printErrorLine(std::string(full ? "full" : "reduced") + " tab set installed");
        if (!RS_defaultPersistentStore()) {
            exitCode = fail("the store file " + RS_urlForStoreName("lunavexa.sqlite").string() + " cannot be opened");
            terminateApp();
            return;
        }
        if (page) {
            app_detail::playPage(*page, [](int code) {
                exitCode = code;
                terminateApp();
            });
        } else if (microblog) {
            runMicroblogCommand(command, options.arguments, options.positional, [](int code) {
                exitCode = code;
                terminateApp();
            });
        } else if (command == "run") {
            runLines().ready = true;
            drainRunLines();
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
    AppDelegate::setExpectedRegistrationFailure(nullptr);
    if (result != 0) return fail("the app did not start");
    if (const int signal = applicationMainTerminationSignal()) {
        app_detail::printErrorLine("ended by signal " + std::to_string(signal));
        return 128 + signal;
    }
    return exitCode;
}

}  // namespace lv
