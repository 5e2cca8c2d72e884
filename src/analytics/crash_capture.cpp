#include "analytics/crash_capture.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "analytics/detail/cache_files.h"
#include "analytics/analytics_log.h"
#include "analytics/tally_app.h"
#include "analytics/tally_config.h"
#include "analytics/tally_internal.h"
#include "analytics/tally_session.h"
#include "analytics/tally_utility.h"
#include "analytics/tly_util.h"
#include "platform/base/error.h"
#include "platform/base/format.h"
#include "platform/base/log.h"
#include "platform/base/process.h"
#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/dispatch/thread.h"
#include "platform/storage/file_manager.h"
#include "platform/text/compare.h"

namespace lv {

namespace {

constexpr int kCaughtSignals[] = {SIGABRT, SIGILL, SIGSEGV, SIGFPE, SIGBUS};
constexpr int kRestoredSignals[] = {SIGABRT, SIGILL, SIGSEGV, SIGFPE, SIGBUS, SIGPIPE};
constexpr double kMainThreadWaitSeconds = 5.0;
constexpr double kSettleSeconds = 1.0;
// The crash file: the head (magic, app version, session id, the running session's start or "-",
// the facts, "pages <n>" and n lines "<seconds>\t<name>"), then what the handler adds: the crash time
// "<seconds>.<microseconds>", the reason line and the stack.
constexpr std::string_view kReportMagic = "lvcrash2";
constexpr std::string_view kNoSession = "-";
// Order of the facts in a signal report head.
constexpr std::string_view kHeadFactKeys[] = {"binary_uuid", "cpu_arch", "slide_address", "image_name",
                                              "image_base_address"};

std::atomic<bool> installed{false};
int crashObserverTag;  // its address identifies the engine's "TallyCrashCatch" observation

// The report head the signal handler writes, built in advance: two buffers, the handler reads the
// one the index names, the main thread writes the other and then flips the index.
struct SignalHead {
    char path[4096] = {};
    char text[8192] = {};
    std::size_t length = 0;
};
std::array<SignalHead, 2> signalHeads;
std::atomic<int> activeHead{0};

const char* signalNameC(int signal) {
    switch (signal) {
    case SIGABRT: return "SIGABRT";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGSEGV: return "SIGSEGV";
    case SIGTRAP: return "SIGTRAP";
    default: return "(null)";
    }
}

// "<seconds>.<microseconds>\n" of the wall clock, with no library call but clock_gettime (which is
// async-signal-safe). Answers the length.
std::size_t writeCrashTime(char (&text)[48]) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    char digits[24];
    std::size_t count = 0;
    auto seconds = static_cast<unsigned long long>(now.tv_sec < 0 ? 0 : now.tv_sec);
    do {
        digits[count++] = static_cast<char>('0' + seconds % 10);
        seconds /= 10;
    } while (seconds != 0 && count < sizeof digits);
    std::size_t length = 0;
    while (count > 0) text[length++] = digits[--count];
    text[length++] = '.';
    long micros = now.tv_nsec / 1000;
    for (long scale = 100000; scale > 0; scale /= 10) {
        text[length++] = static_cast<char>('0' + (micros / scale) % 10);
    }
    text[length++] = '\n';
    return length;
}

// Async-signal-safe: writes the prepared head, the crash time, the reason and the stack, then dies by
// the signal.
void signalHandler(int signal) {
    const SignalHead& head = signalHeads[static_cast<std::size_t>(activeHead.load())];
    if (head.path[0] != '\0') {
        process::SignalSafeFile file(head.path);
        file.write(head.text, head.length);
        char time[48];
        file.write(time, writeCrashTime(time));
        file.write("Application received signal ");
        file.write(signalNameC(signal));
        file.write("\n");
        file.writeBacktrace();
    }
    process::restoreDefaultSignal(signal);
    ::raise(signal);
}

void uninstallHandlers() {
    process::setTerminateHook(nullptr);
    for (int signal : kRestoredSignals) process::restoreDefaultSignal(signal);
}

[[noreturn]] void endByAbort() {
    process::restoreDefaultSignal(SIGABRT);
    std::abort();
}

Ref<CrashException> currentCrashException() {
    std::string name = "std::exception";
    std::string reason;
    Dictionary userInfo;
    try {
        if (auto pending = std::current_exception()) std::rethrow_exception(pending);
        reason = "terminate called without an active exception";
    } catch (const Exception& exception) {
        name = exception.name();
        reason = exception.reason();
        userInfo = exception.userInfo();
    } catch (const std::exception& exception) {
        reason = exception.what();
    } catch (...) {
        reason = "unknown exception";
    }
    return makeRef<CrashException>(std::move(name), std::move(reason), std::move(userInfo),
                                   process::backtraceLines(2));
}

void terminateHook() {
    static std::atomic<bool> entered{false};
    if (entered.exchange(true)) endByAbort();
    const auto crash = currentCrashException();
    const auto handler = makeRef<TallyUncaughtExceptionHandler>();
    if (Thread::isMainThread()) handler->handleException(crash);
    // Another thread hands the work to the main thread and waits for it, at most 5 s: the handler
    // ends the process itself; when the main thread never gets to it, the process ends here.
    Queue::main()->async([handler, crash] { handler->handleException(crash); });
    Semaphore::make()->wait(kMainThreadWaitSeconds);
    endByAbort();
}

std::string factOrNull(const Dictionary& facts, std::string_view key) {
    const Value* value = facts.find(key);
    return value && value->isString() ? value->string() : std::string("(null)");
}

std::uint32_t readU32(std::span<const std::uint8_t> bytes, std::size_t at) {
    std::uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

std::uint64_t readU64(std::span<const std::uint8_t> bytes, std::size_t at) {
    std::uint64_t value = 0;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

}  // namespace

// ---- Names, texts and image facts ----

const std::vector<std::pair<int, std::string>>& TallyUncaughtExceptionHandler::signals() {
    static const auto& names = *new std::vector<std::pair<int, std::string>>{
        {6, "SIGABRT"}, {10, "SIGBUS"}, {8, "SIGFPE"}, {4, "SIGILL"}, {11, "SIGSEGV"}, {5, "SIGTRAP"}};
    return names;
}

std::string TallyUncaughtExceptionHandler::signalName(int signal) {
    for (const auto& [number, name] : signals()) {
        if (number == signal) return name;
    }
    return "(null)";
}

std::vector<std::string> TallyUncaughtExceptionHandler::backtrace(const CrashException&) {
    return process::backtraceLines(1);
}

std::string crashText(const CrashException& exception, const std::vector<std::string>& stack) {
    std::string lines = "(";
    for (const auto& line : stack) lines += format("\n\t%@", line);
    lines += "\n)";
    return format("%@\n%@\n(%@", exception.reason, exception.userInfo.get(kAddressesKey), lines);
}

std::string crashReport(std::string_view crashText, const Dictionary& facts) {
    return format("%@\n\ndSYM UUID: %@\nCPU Type: %@\nSlide Address: %@\nBinary Image: %@\nBase Address: %@\n",
                  std::string(crashText), facts.get("binary_uuid"), facts.get("cpu_arch"), facts.get("slide_address"),
                  facts.get("image_name"), facts.get("image_base_address"));
}

std::string cpuArchName(std::int32_t cpuType, std::int32_t cpuSubtype) {
    switch (cpuType) {
    case 7: return "i386";
    case 0x01000007: return "x86_64";
    case 0x0100000c: return "arm64";
    case 12:
        switch (cpuSubtype) {
        case 6: return "armv6";
        case 9: return "armv7";
        case 11: return "armv7s";
        default: return "arm-unknown";
        }
    case 18: return "powerpc";
    default: return "???";
    }
}

std::pair<std::int32_t, std::int32_t> cpuTypeForElfMachine(std::uint16_t machine) {
    switch (machine) {
    case 3: return {7, 3};             // EM_386
    case 62: return {0x01000007, 3};   // EM_X86_64
    case 183: return {0x0100000c, 0};  // EM_AARCH64
    case 40: return {12, 9};           // EM_ARM
    case 20: return {18, 0};           // EM_PPC
    default: return {-1, 0};
    }
}

std::optional<std::string> uuidText(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 16) return std::nullopt;
    std::string text;
    for (std::size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += format("%02X", static_cast<unsigned>(bytes[i]));
    }
    return text;
}

std::optional<Dictionary> mainProgramImageFacts() {
    const auto facts = process::mainImageFacts();
    if (!facts) return std::nullopt;
    Dictionary info;
    const auto slash = facts->path.rfind('/');
    info.set("image_name", Value(slash == std::string::npos ? facts->path : facts->path.substr(slash + 1)));
    info.set("image_base_address", Value(format("0x%016llx", static_cast<unsigned long long>(facts->headerAddress))));
    info.set("slide_address", Value(format("0x%016llx", static_cast<unsigned long long>(facts->firstLoadVaddr))));
    if (auto uuid = uuidText(facts->buildId)) info.set("binary_uuid", Value(*uuid));
    const auto [type, subtype] = cpuTypeForElfMachine(facts->machine);
    info.set("cpu_arch", Value(cpuArchName(type, subtype)));
    return info;
}

std::optional<Dictionary> machOImageFacts(std::span<const std::uint8_t> header, std::uint64_t headerAddress,
                                          std::string_view imageName) {
    if (header.size() < 28) return std::nullopt;
    const std::uint32_t magic = readU32(header, 0);
    std::size_t commandsAt = 0;
    if (magic == 0xfeedface || magic == 0xcefaedfe) {
        commandsAt = 28;
    } else if (magic == 0xfeedfacf || magic == 0xcffaedfe) {
        commandsAt = 32;
    } else {
        TLYAnalyticsLog("Invalid Mach-O header magic value: %x", magic);
        return std::nullopt;
    }
    Dictionary info;
    info.set("image_name", Value(imageName));
    info.set("image_base_address", Value(format("0x%016llx", static_cast<unsigned long long>(headerAddress))));
    const auto cpuType = static_cast<std::int32_t>(readU32(header, 4));
    const auto cpuSubtype = static_cast<std::int32_t>(readU32(header, 8));
    const std::uint32_t commandCount = readU32(header, 16);
    std::optional<std::string> uuid;
    std::size_t at = commandsAt;
    for (std::uint32_t i = 0; i < commandCount && at + 8 <= header.size(); ++i) {
        const std::uint32_t command = readU32(header, at);
        const std::uint32_t size = readU32(header, at + 4);
        if (size < 8 || size > header.size() - at) break;
        const bool textSegment = size >= 32 && std::memcmp(header.data() + at + 8, "__TEXT", 7) == 0;
        if (command == 0x1 && textSegment) {
            info.set("slide_address", Value(format("0x%08x", readU32(header, at + 24))));
        } else if (command == 0x19 && textSegment && size >= 40) {
            info.set("slide_address", Value(format("0x%016llx", static_cast<unsigned long long>(readU64(header, at + 24)))));
        } else if (command == 0x1b && size == 24) {
            uuid = uuidText(header.subspan(at + 8, 16));
        }
        at += size;
    }
    if (uuid) info.set("binary_uuid", Value(*uuid));
    info.set("cpu_arch", Value(cpuArchName(cpuType, cpuSubtype)));
    return info;
}

// ---- Installing ----

std::string crashReportPath() { return TallyUtility::tallyDirectory() + "/.crash_report"; }

// One line of the head: no line ends or tabs inside.
std::string headField(std::string text) {
    std::replace_if(text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r' || c == '\t'; }, ' ');
    return text;
}

void refreshSignalReportHead(const TallyInternal& engine) {
    if (!installed.load()) return;
    const Dictionary& facts = engine.errorSupportInfo();
    const auto session = TallySession::sharedInstance();
    const bool running = session->sessionStatus() == 1;
    std::string text = std::string(kReportMagic) + "\n" + headField(TLYUtil::appVersionString()) + "\n" +
                       headField(engine.sessionID()) + "\n" +
                       (running ? format("%.6f", session->lastLaunchTime()) : std::string(kNoSession)) + "\n";
    for (auto key : kHeadFactKeys) text += headField(factOrNull(facts, key)) + "\n";
    const std::string path = crashReportPath();
    const int next = 1 - activeHead.load();
    SignalHead& head = signalHeads[static_cast<std::size_t>(next)];
    // The finished pages of the running session, as many as the head holds (the crash time, reason
    // and stack follow it in the file, not in the buffer).
    std::string pages;
    std::size_t pageCount = 0;
    if (running) {
        for (const Value& pair : engine.pageItems()) {
            const std::string line =
                format("%lld\t", static_cast<long long>(pair[1].longLongValue())) + headField(pair[0].stringValue()) + "\n";
            if (text.size() + pages.size() + line.size() + 32 > sizeof head.text) break;
            pages += line;
            ++pageCount;
        }
    }
    text += format("pages %zu\n", pageCount) + pages;
    if (path.size() >= sizeof head.path || text.size() > sizeof head.text) return;
    std::memcpy(head.path, path.c_str(), path.size() + 1);
    std::memcpy(head.text, text.data(), text.size());
    head.length = text.size();
    activeHead.store(next);
}

void TLYInstallCrashHandlers() {
    if (installed.exchange(true)) return;
    process::prepareBacktrace();
    process::setTerminateHook(terminateHook);
    for (int signal : kCaughtSignals) process::installSignalHandler(signal, signalHandler);
    // The handler runs on an alternate stack, so a stack overflow is reported too: the installing
    // thread and the main thread get one here (the platform's workers make their own).
    process::ensureAlternateSignalStack();
    const auto facts = mainProgramImageFacts();
    auto apply = [facts] {
        process::ensureAlternateSignalStack();
        if (facts) TallyInternal::setErrorSupportInfo(*facts);
        refreshSignalReportHead(*TallyInternal::sharedInstance());
    };
    if (Thread::isMainThread()) {
        apply();
    } else {
        Queue::main()->async(apply);
    }
}

bool crashHandlersInstalled() {
    return installed.load() && process::signalHandlerIs(SIGSEGV, signalHandler);
}

void TallyInternal::installUncaughtExceptionHandler() { TLYInstallCrashHandlers(); }

void crashCaptureSwitched(bool enabled) {
    auto center = NotificationCenter::defaultCenter();
    center->removeObserver(&crashObserverTag);
    if (!enabled) return;
    TallyInternal::installUncaughtExceptionHandler();
    center->addObserver(&crashObserverTag, kTallyCrashCatchNotification, nullptr,
                        [](const Notification& note) { TallyInternal::sharedInstance()->saveCrashInfo(note); });
}

// ---- Handling ----

void TallyUncaughtExceptionHandler::handleException(const Ref<CrashException>& exception) {
    const auto loop = RunLoop::current();
    for (const auto& mode : loop->allModes()) loop->runMode(mode, steadyAfter(0.001));
    uninstallHandlers();
    validateAndSaveCriticalApplicationData(exception);
    std::this_thread::sleep_for(std::chrono::duration<double>(kSettleSeconds));
    if (exception->name == kSignalExceptionName) ::kill(::getpid(), exception->userInfo.get(kSignalKey).intValue());
    endByAbort();
}

void TallyUncaughtExceptionHandler::validateAndSaveCriticalApplicationData(const Ref<CrashException>& exception) {
    NotificationCenter::defaultCenter()->post(std::string(kTallyCrashCatchNotification), exception);
}

void TallyInternal::saveCrashInfo(const Notification& notification) {
    TallyConfig::setConfigure(Value(TLYUtil::appVersionString()), "TLYAppVersion");
    const auto exception = std::dynamic_pointer_cast<CrashException>(notification.object());
    if (!exception) return;
    const auto stack = exception->callStackSymbols.empty() ? TallyUncaughtExceptionHandler::backtrace(*exception)
                                                           : exception->callStackSymbols;
    error(crashText(*exception, stack));
}

void TallyInternal::error(const std::optional<std::string>& text) {
    if (!text) return;
    if (TallyApp::sharedInstance()->crashReportEnabled()) {
        // Without image facts the report is still filed, its facts printing as "(null)".
        if (errorSupportInfo_.empty()) TLYAnalyticsLog("Read binary image info failed!");
        auto item = makeRef<TLYError>();
        setEventSessionID(*item);
        item->context = crashReport(*text, errorSupportInfo_);
        errors_.push_back(item);
        item->outputUMLog();
    }
    // The session is closed and the caches archived in every case.
    const auto session = TallySession::sharedInstance();
    session->setAppCrashed(true);
    session->appInactivate(nullptr);
}

void TallyInternal::fileSignalCrashReport() {
    const std::string path = crashReportPath();
    // Only a regular file the handler wrote: a link planted there is removed unread.
    Bytes report;
    const analytics_detail::FileRead read = analytics_detail::readCacheFile(path, report);
    if (read == analytics_detail::FileRead::Absent) return;
    analytics_detail::removeDamaged(path);
    if (read != analytics_detail::FileRead::Read) return;
    const std::optional<Bytes> bytes = std::move(report);
    std::vector<std::string> lines;
    std::string line;
    for (const auto byte : *bytes) {
        if (byte == '\n') {
            lines.push_back(std::move(line));
            line.clear();
        } else {
            line += static_cast<char>(byte);
        }
    }
    if (!line.empty()) lines.push_back(std::move(line));
    constexpr std::size_t kFactsAt = 4;
    constexpr std::size_t kPagesAt = kFactsAt + std::size(kHeadFactKeys);
    if (lines.size() <= kPagesAt || lines[0] != kReportMagic || !lines[kPagesAt].starts_with("pages ")) return;
    const auto pageCount = static_cast<std::size_t>(std::max<std::int64_t>(0, readLongLong(lines[kPagesAt].substr(6))));
    const std::size_t crashTimeAt = kPagesAt + 1 + pageCount;
    // The handler wrote at least the crash time and the reason.
    if (lines.size() <= crashTimeAt + 1 || !TallyApp::sharedInstance()->crashReportEnabled()) return;
    const double crashTime = readDouble(lines[crashTimeAt]);
    const std::string& crashedSession = lines[2];

    // The session the signal ended, closed at the crash time, as a crash closes it.
    if (lines[3] != kNoSession) {
        const double seconds = crashTime - readDouble(lines[3]);
        // A session over two hours counts as one hour, as every session does.
        auto item = makeRef<TLYTerminate>(seconds > 7200 ? 3600 : std::max(0.0, seconds));
        item->stampAt(crashTime);
        item->session_id = crashedSession;
        for (std::size_t i = kPagesAt + 1; i < crashTimeAt; ++i) {
            const auto tab = lines[i].find('\t');
            if (tab == std::string::npos) continue;
            item->pageViews.push_back(
                Value::array({Value(lines[i].substr(tab + 1)), Value(static_cast<std::int32_t>(readInt(lines[i].substr(0, tab))))}));
        }
        terminates_.push_back(item);
        item->outputUMLog();
    }

    // The report, only under the app version that crashed, as archived crash reports are.
    if (text::caseInsensitiveCompare(lines[1], TLYUtil::appVersionString()) != 0) return;
    Dictionary facts;
    for (std::size_t i = 0; i < std::size(kHeadFactKeys); ++i) {
        if (lines[kFactsAt + i] != "(null)") facts.set(std::string(kHeadFactKeys[i]), Value(lines[kFactsAt + i]));
    }
    const std::string reason = lines[crashTimeAt + 1];
    std::vector<std::string> stack(lines.begin() + static_cast<std::ptrdiff_t>(crashTimeAt) + 2, lines.end());
    const CrashException exception("signalRaisedException", reason, {}, stack);
    auto item = makeRef<TLYError>();
    item->stampAt(crashTime);
    item->session_id = crashedSession;
    item->context = crashReport(crashText(exception, stack), facts);
    errors_.push_back(item);
    item->outputUMLog();
    // Kept under this version when the caches go to the archive.
    TallyConfig::setConfigure(Value(lines[1]), "TLYAppVersion");
}

}  // namespace lv
