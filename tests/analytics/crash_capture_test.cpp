#include <gtest/gtest.h>

#include <signal.h>
#include <sys/utsname.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <thread>

#include "analytics/crash_capture.h"
#include "analytics/tally_event.h"
#include "analytics/tally_utility.h"
#include "platform/base/clock.h"
#include "engine_test_support.h"
#include "platform/base/error.h"
#include "platform/base/log.h"
#include "platform/base/process.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/property_list.h"
#include "support/temp_dir.h"

namespace lv {
namespace {

using test::drainMain;
using test::relaunch;

// ---- Texts and image facts ----

TEST(CrashCapture, ReportTextsAndSignalNames) {
    const CrashException exception("name", "boom", {}, {});
    const std::string text = crashText(exception, {"0 a", "1 b"});
    EXPECT_EQ(text, "boom\n(null)\n((\n\t0 a\n\t1 b\n)");
    const Dictionary facts{{"cpu_arch", Value("arm64")},
                           {"slide_address", Value("0x0000000000001000")},
                           {"image_name", Value("app")},
                           {"image_base_address", Value("0x0000000100000000")}};
    EXPECT_EQ(crashReport("T", facts),
              "T\n\ndSYM UUID: (null)\nCPU Type: arm64\nSlide Address: 0x0000000000001000\nBinary Image: app\n"
              "Base Address: 0x0000000100000000\n");
    EXPECT_EQ(TallyUncaughtExceptionHandler::signalName(11), "SIGSEGV");
    EXPECT_EQ(TallyUncaughtExceptionHandler::signalName(10), "SIGBUS");
    EXPECT_EQ(TallyUncaughtExceptionHandler::signals().size(), 6u);

    struct Cpu {
        std::int32_t type, subtype;
        const char* name;
    } cpus[] = {{7, 3, "i386"},        {0x01000007, 3, "x86_64"}, {0x0100000c, 0, "arm64"}, {12, 6, "armv6"},
                {12, 9, "armv7"},     {12, 11, "armv7s"},         {12, 5, "arm-unknown"},   {18, 0, "powerpc"},
                {99, 0, "???"}};
    for (const auto& c : cpus) EXPECT_EQ(cpuArchName(c.type, c.subtype), c.name);
    const std::uint8_t id[] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(uuidText(id), "01234567-89AB-CDEF-0001-020304050607");
    EXPECT_FALSE(uuidText(std::span(id, 15)));
}

void put32(Bytes& bytes, std::size_t at, std::uint32_t value) { std::memcpy(bytes.data() + at, &value, 4); }
void put64(Bytes& bytes, std::size_t at, std::uint64_t value) { std::memcpy(bytes.data() + at, &value, 8); }

TEST(CrashCapture, MachOHeadersAreWalkedAsBytes) {
    // 64-bit: a __PAGEZERO segment, the __TEXT segment, a UUID command, a UUID of the wrong size.
    Bytes header(32 + 72 + 72 + 24 + 28, 0);
    put32(header, 0, 0xfeedfacf);
    put32(header, 4, 0x0100000c);
    put32(header, 16, 4);
    std::size_t at = 32;
    for (const char* name : {"__PAGEZERO", "__TEXT"}) {
        put32(header, at, 0x19);
        put32(header, at + 4, 72);
        std::memcpy(header.data() + at + 8, name, std::strlen(name));
        put64(header, at + 24, std::string_view(name) == "__TEXT" ? 0x100000000ULL : 0);
        at += 72;
    }
    put32(header, at, 0x1b);
    put32(header, at + 4, 24);
    for (int i = 0; i < 16; ++i) header[at + 8 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(0xa0 + i);
    at += 24;
    put32(header, at, 0x1b);
    put32(header, at + 4, 28);
    const auto facts = machOImageFacts(header, 0x104000000ULL, "app");
    ASSERT_TRUE(facts);
    EXPECT_EQ(facts->get("slide_address"), Value("0x0000000100000000"));
    EXPECT_EQ(facts->get("image_base_address"), Value("0x0000000104000000"));
    EXPECT_EQ(facts->get("binary_uuid"), Value("A0A1A2A3-A4A5-A6A7-A8A9-AAABACADAEAF"));
    EXPECT_EQ(facts->get("cpu_arch"), Value("arm64"));

    // 32-bit ARMv7 without a UUID command; the command count reaches past the bytes.
    Bytes small(28 + 56, 0);
    put32(small, 0, 0xfeedface);
    put32(small, 4, 12);
    put32(small, 8, 9);
    put32(small, 16, 9);
    put32(small, 28, 0x1);
    put32(small, 32, 56);
    std::memcpy(small.data() + 36, "__TEXT", 6);
    put32(small, 52, 0x4000);
    const auto armFacts = machOImageFacts(small, 0x4000, "app");
    ASSERT_TRUE(armFacts);
    EXPECT_EQ(armFacts->get("slide_address"), Value("0x00004000"));
    EXPECT_FALSE(armFacts->contains("binary_uuid"));
    EXPECT_EQ(armFacts->get("cpu_arch"), Value("armv7"));

    TallyApp::sharedInstance()->setLogEnabledFlag(true);
    LogCapture capture;
    Bytes bad(32, 0);
    put32(bad, 0, 0x7f454c46);
    EXPECT_FALSE(machOImageFacts(bad, 0, "app"));
    EXPECT_TRUE(capture.contains("Invalid Mach-O header magic value: 7f454c46"));
    TallyApp::sharedInstance()->setLogEnabledFlag(false);
}

TEST(CrashCapture, TheTestProgramsOwnImageFacts) {
    const auto facts = mainProgramImageFacts();
    ASSERT_TRUE(facts);
    EXPECT_EQ(facts->get("image_name"), Value("lv_analytics_engine_tests"));
    EXPECT_TRUE(std::regex_match(facts->get("image_base_address").string(), std::regex("0x[0-9a-f]{16}")));
    EXPECT_TRUE(std::regex_match(facts->get("slide_address").string(), std::regex("0x[0-9a-f]{16}")));
    utsname name{};
    ::uname(&name);
    if (std::string(name.machine) == "x86_64") {
        EXPECT_EQ(facts->get("cpu_arch"), Value("x86_64"));
    }
    if (const Value* uuid = facts->find("binary_uuid")) {
        EXPECT_TRUE(std::regex_match(uuid->string(), std::regex("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}")));
    }
}

// ---- Filing and death ----

class CrashCaptureLaunch : public test::EngineLaunchIn<test::CrashSandbox> {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        appVersion_ = "2.0";
        EngineLaunchIn::SetUp();
        TallyApp::setCrashReportEnabled(true);
    }
    // The crash reports a next launch reads from the archive; the archive then goes, as once its items
    // are in an envelope file.
    static std::vector<std::string> archivedErrors() {
        std::vector<std::string> contexts;
        // A next launch: its defaults are read from the file a child process may have written.
        UserDefaults::resetStandardUserDefaults();
        relaunch();
        TallyInternal::sharedInstance()->loadCache();
        for (const auto& item : TallyInternal::sharedInstance()->errors()) {
            contexts.push_back(std::dynamic_pointer_cast<TLYError>(item)->context);
        }
        TallyInternal::sharedInstance()->removeCacheData();
        TallyUtility::removeFile(TallyUtility::cacheFilePath());
        return contexts;
    }
};

using CrashCaptureDeathTest = CrashCaptureLaunch;

TEST_F(CrashCaptureLaunch, SwitchingOffAndOnInstallsOnceAndObservesOnce) {
    beginFirstSession();
    TallyApp::setCrashReportEnabled(false);
    TallyApp::setCrashReportEnabled(true);
    TallyApp::setCrashReportEnabled(true);
    EXPECT_TRUE(crashHandlersInstalled());
    EXPECT_TRUE(TallyApp::sharedInstance()->appCrashedHandlerInstalled());
    NotificationCenter::defaultCenter()->post(std::string(kTallyCrashCatchNotification),
                                              makeRef<CrashException>("n", "once", Dictionary{}, std::vector<std::string>{"f"}));
    const auto errors = archivedErrors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(errors[0].starts_with("once\n(null)\n((\n\tf\n)\n\ndSYM UUID: ")) << errors[0];
    EXPECT_TRUE(TallySession::sharedInstance()->sessionStatus() == 0);

    // Off: the handlers stay, nothing is filed.
    TallyApp::setCrashReportEnabled(false);
    NotificationCenter::defaultCenter()->post(std::string(kTallyCrashCatchNotification),
                                              makeRef<CrashException>("n", "off", Dictionary{}, std::vector<std::string>{}));
    EXPECT_TRUE(crashHandlersInstalled());
    EXPECT_TRUE(archivedErrors().empty());
    TallyApp::setCrashReportEnabled(true);
}

TEST_F(CrashCaptureLaunch, WithoutImageFactsTheReportIsFiledAndTheSessionClosed) {
    beginFirstSession();
    engine()->setErrorSupportInfoDictionary({});
    TallyApp::sharedInstance()->setLogEnabledFlag(true);
    LogCapture capture;
    NotificationCenter::defaultCenter()->post(std::string(kTallyCrashCatchNotification),
                                              makeRef<CrashException>("n", "text", Dictionary{}, std::vector<std::string>{"f"}));
    TallyApp::sharedInstance()->setLogEnabledFlag(false);
    EXPECT_TRUE(capture.contains("TLYLOG: Read binary image info failed!"));
    EXPECT_EQ(TallySession::sharedInstance()->sessionStatus(), 2);
    EXPECT_TRUE(TallySession::sharedInstance()->appCrashed());
    const auto errors = archivedErrors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "text\n(null)\n((\n\tf\n)\n\ndSYM UUID: (null)\nCPU Type: (null)\nSlide Address: (null)\nBinary Image: (null)\n"
                         "Base Address: (null)\n");
}

TEST_F(CrashCaptureDeathTest, ANewProcessReadsTheArchiveBeforeItMakesAnyItem) {
    test::setNetwork(false);  // offline: nothing leaves the caches for an envelope
    EXPECT_EXIT(
        {
            beginFirstSession();
            TallyEvent::event(Value("archived"));
            drainMain();
            TallySession::sharedInstance()->appInactivate(nullptr);
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    // A fresh process whose first work is the session begin that reads the archive.
    EXPECT_EXIT(
        {
            beginFirstSession();
            std::_Exit(static_cast<int>(engine()->events().size() * 10 + engine()->terminates().size()));
        },
        ::testing::ExitedWithCode(11), "");
}

TEST_F(CrashCaptureDeathTest, AFatalSignalLeavesAReportTheNextLaunchFiles) {
    EXPECT_EXIT(
        {
            beginFirstSession();
            ::raise(SIGSEGV);
        },
        ::testing::KilledBySignal(SIGSEGV), "");
    ASSERT_TRUE(TallyUtility::isExistAtPath(crashReportPath()));

    beginFirstSession();  // the next launch's session begin files it
    EXPECT_FALSE(TallyUtility::isExistAtPath(crashReportPath()));
    ASSERT_EQ(engine()->errors().size(), 1u);
    const std::string context = std::dynamic_pointer_cast<TLYError>(engine()->errors()[0])->context;
    EXPECT_TRUE(context.starts_with("Application received signal SIGSEGV\n(null)\n((\n\t")) << context;
    EXPECT_NE(context.find("\nCPU Type: "), std::string::npos);
    EXPECT_NE(context.find("\nBinary Image: lv_analytics_engine_tests\n"), std::string::npos) << context;
    TallySession::sharedInstance()->appInactivate(nullptr);
    EXPECT_EQ(archivedErrors().size(), 1u);
}

// Faults as a bug makes them, not by raise(): a store through a null pointer, an integer division by
// zero. The sanitizers' own checks are off here, so the hardware fault is what happens.
__attribute__((no_sanitize("undefined"))) void storeThroughNull() {
    volatile int* volatile target = nullptr;
    *target = 1;
}
__attribute__((no_sanitize("undefined"))) void divideByZero() {
    volatile int dividend = 7;  // a constant dividend lets the compiler divide without the instruction
    volatile int zero = 0;
    volatile int quotient = dividend / zero;
    (void)quotient;
}

// A recursion without end: the stack overflows and the fault comes with no stack left to run on.
__attribute__((noinline, no_sanitize("undefined"))) int recurse(int depth) {
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    volatile int next = depth + 1;
    if (next < 0) return 0;  // never: depth only grows
    return recurse(next) + frame[0];
}
void overflowStack() { recurse(0); }

// What the session the signal ended filed in the caches the next launch reads.
struct Filed {
    std::vector<std::string> events;
    std::size_t errors = 0;
    double errorTs = 0;
    std::string errorContext, errorSession;
    std::size_t terminates = 0;
    double terminateTs = 0, duration = -1;
    std::string terminateSession;
    Array pages;
};

Filed filedAfterRelaunch() {
    Filed filed;
    const auto engine = TallyInternal::sharedInstance();
    for (const auto& item : engine->events()) filed.events.push_back(std::dynamic_pointer_cast<TLYEvent>(item)->event_id);
    filed.errors = engine->errors().size();
    if (filed.errors == 1) {
        const auto error = std::dynamic_pointer_cast<TLYError>(engine->errors()[0]);
        filed.errorTs = error->ts;
        filed.errorContext = error->context;
        filed.errorSession = error->session_id;
    }
    filed.terminates = engine->terminates().size();
    if (filed.terminates == 1) {
        const auto end = std::dynamic_pointer_cast<TLYTerminate>(engine->terminates()[0]);
        filed.terminateTs = end->ts;
        filed.duration = end->duration;
        filed.terminateSession = end->session_id;
        filed.pages = end->pageViews;
    }
    return filed;
}

// One fault per test: a death test's child runs the test up to its own death statement.
class FatalSignal : public CrashCaptureLaunch {
protected:
    struct Case {
        const char* name;
        int signal;
        void (*fault)();
    };
    void crashesThenRelaunches(const Case& c) {
        // The product's default: a resign's work is queued, so only the batch writes keep the events.
        TallyApp::sharedInstance()->setBackgroundTaskEnabledFlag(true);
        const double before = currentTimeSince1970();
        EXPECT_EXIT(
            {
                beginFirstSession();
                TallyEvent::logPageView(Value("Screen"), 3);
                for (const char* id : {"one", "two", "three"}) TallyEvent::event(Value(id), Value("label"));
                drainMain();
                c.fault();
            },
            ::testing::KilledBySignal(c.signal), "");
        const double after = currentTimeSince1970();
        ASSERT_TRUE(TallyUtility::isExistAtPath(crashReportPath()));

        UserDefaults::resetStandardUserDefaults();
        relaunch();
        test::setNetwork(false);  // the next launch keeps what it filed in its caches, to be looked at
        beginFirstSession();
        test::setNetwork(true);
        const Filed filed = filedAfterRelaunch();
        EXPECT_EQ(filed.events, (std::vector<std::string>{"one", "two", "three"}));
        ASSERT_EQ(filed.errors, 1u);
        EXPECT_TRUE(filed.errorContext.starts_with(std::string("Application received signal ") + c.name + "\n(null)\n((\n\t"))
            << filed.errorContext;
        // The crash's own time, not the relaunch's.
        EXPECT_GE(filed.errorTs, before);
        EXPECT_LE(filed.errorTs, after);
        // The crashed session, closed at that time with its page, under its own id.
        ASSERT_EQ(filed.terminates, 1u);
        EXPECT_EQ(filed.terminateTs, filed.errorTs);
        EXPECT_GE(filed.duration, 0);
        EXPECT_LE(filed.duration, after - before);
        EXPECT_EQ(filed.terminateSession, filed.errorSession);
        EXPECT_FALSE(filed.terminateSession.empty());
        EXPECT_NE(filed.terminateSession, engine()->sessionID());
        EXPECT_EQ(Value(filed.pages), Value(Array{Value::array({Value("Screen"), Value(3)})}));
        // Filed once, and on disk at once.
        EXPECT_FALSE(TallyUtility::isExistAtPath(crashReportPath()));
        relaunch();
        engine()->loadCache();
        EXPECT_EQ(engine()->errors().size(), 1u);
        EXPECT_EQ(engine()->events().size(), 3u);
    }
};
using FatalSignalDeathTest = FatalSignal;

TEST_F(FatalSignalDeathTest, SegmentationFaultKeepsTheEventsAndTheSessionAndCarriesTheCrashTime) {
    crashesThenRelaunches({"SIGSEGV", SIGSEGV, storeThroughNull});
}

TEST_F(FatalSignalDeathTest, ArithmeticFaultKeepsTheEventsAndTheSessionAndCarriesTheCrashTime) {
    crashesThenRelaunches({"SIGFPE", SIGFPE, divideByZero});
}

// The handler runs on the thread's alternate stack: an overflowed stack still leaves its report.
TEST_F(FatalSignalDeathTest, StackOverflowKeepsTheEventsAndTheSessionAndCarriesTheCrashTime) {
    crashesThenRelaunches({"SIGSEGV", SIGSEGV, overflowStack});
}

TEST_F(CrashCaptureDeathTest, ASignalReportFromAnotherVersionIsDropped) {
    EXPECT_EXIT(
        {
            beginFirstSession();
            ::raise(SIGBUS);
        },
        ::testing::KilledBySignal(SIGBUS), "");
    TallyApp::sharedInstance()->setAppVersionText("2.1");
    beginFirstSession();
    EXPECT_TRUE(engine()->errors().empty());
    EXPECT_FALSE(TallyUtility::isExistAtPath(crashReportPath()));
}

// A link planted at the report's path: the handler does not write through it (the file it points to
// keeps its bytes), and the next launch removes the link unread.
TEST_F(CrashCaptureDeathTest, ALinkAtTheReportsPathIsNeitherWrittenNorRead) {
    test::TempDir outside;
    const std::string target = outside.file("precious");
    { std::ofstream(target) << "precious"; }
    EXPECT_EXIT(
        {
            beginFirstSession();
            std::filesystem::create_symlink(target, crashReportPath());
            ::raise(SIGSEGV);
        },
        ::testing::KilledBySignal(SIGSEGV), "");
    EXPECT_EQ(dataWithContentsOfFile(target), (Bytes{'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
    ASSERT_TRUE(std::filesystem::is_symlink(crashReportPath()));
    beginFirstSession();
    EXPECT_TRUE(engine()->errors().empty());
    EXPECT_FALSE(std::filesystem::is_symlink(crashReportPath()));
    EXPECT_EQ(dataWithContentsOfFile(target), (Bytes{'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
}

TEST_F(CrashCaptureDeathTest, AnUncaughtExceptionOnAWorkerArchivesThenAborts) {
    EXPECT_EXIT(
        {
            beginFirstSession();
            std::thread([] { Exception::raise("BadState", "worker failed", {}); }).detach();
            runMainUntil([] { return false; }, 3);
            std::_Exit(0);  // not reached: the handler ends the process
        },
        ::testing::KilledBySignal(SIGABRT), "");
    const auto errors = archivedErrors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(errors[0].starts_with("worker failed\n(null)\n((\n\t")) << errors[0];
    EXPECT_EQ(TallyConfig::configureWithKey("TLYAppVersion"), Value("2.0"));
}

TEST_F(CrashCaptureDeathTest, TheSignalExceptionEndsByItsSignal) {
    EXPECT_EXIT(
        {
            beginFirstSession();
            TallyUncaughtExceptionHandler handler;
            handler.handleException(makeRef<CrashException>(std::string(kSignalExceptionName), "signal",
                                                            Dictionary{{std::string(kSignalKey), Value(11)}},
                                                            std::vector<std::string>{}));
        },
        ::testing::KilledBySignal(SIGSEGV), "");
    EXPECT_EQ(archivedErrors().size(), 1u);
}

}  // namespace
}  // namespace lv
