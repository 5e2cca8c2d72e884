// Crash capture: an uncaught exception (through the terminate hook) or a fatal signal becomes a
// crash report with the facts of the app's executable image, filed as an error item in the engine,
// with the session closed and the caches archived before the process dies as it would have.
//
// - An uncaught exception: TallyUncaughtExceptionHandler::handleException runs on the main thread
//   (from another thread the failing thread waits for it at most 5 s), posts "TallyCrashCatch" (the
//   engine's saveCrashInfo files the report), then the process ends by SIGABRT, or by the signal named
//   under "UncaughtExceptionHandlerSignalKey" for an exception named
//   "UncaughtExceptionHandlerSignalExceptionName".
// - A fatal signal: the handler only writes a report head kept ready (app version, session id, the
//   running session's start and finished pages, image facts), the crash time, "Application received
//   signal <name>" and the stack to ".tally/.crash_report", restores the default action and raises
//   the signal again. The next session begin closes the crashed session at the crash time and files
//   the report, stamped with that time, under the same app version; the events recorded before are in
//   the cache archive, which follows the caches while a session runs.
//
// Threads: installing runs once per process from any thread; the signal handler runs on the faulting
// thread and uses system calls only; the report head is rebuilt on the main thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/object.h"
#include "platform/base/value.h"

namespace lv {

inline constexpr std::string_view kTallyCrashCatchNotification = "TallyCrashCatch";
inline constexpr std::string_view kSignalExceptionName = "UncaughtExceptionHandlerSignalExceptionName";
inline constexpr std::string_view kSignalKey = "UncaughtExceptionHandlerSignalKey";
inline constexpr std::string_view kAddressesKey = "UncaughtExceptionHandlerAddressesKey";

// The exception a crash carries through "TallyCrashCatch".
class CrashException : public Object {
public:
    CrashException(std::string exceptionName, std::string exceptionReason, Dictionary exceptionUserInfo,
                   std::vector<std::string> stack)
        : name(std::move(exceptionName)), reason(std::move(exceptionReason)), userInfo(std::move(exceptionUserInfo)),
          callStackSymbols(std::move(stack)) {}
    std::string name;
    std::string reason;
    Dictionary userInfo;
    std::vector<std::string> callStackSymbols;  // empty: take the stack with backtrace()
};

class TallyUncaughtExceptionHandler : public Object {
public:
    // Signal number -> name: 6 SIGABRT, 10 SIGBUS, 8 SIGFPE, 4 SIGILL, 11 SIGSEGV, 5 SIGTRAP.
    static const std::vector<std::pair<int, std::string>>& signals();
    static std::string signalName(int signal);
    static std::vector<std::string> backtrace(const CrashException& exception);

    // Main thread: pump the run loop, uninstall, post "TallyCrashCatch", wait 1 s, then end the
    // process. Never returns.
    [[noreturn]] void handleException(const Ref<CrashException>& exception);
    void validateAndSaveCriticalApplicationData(const Ref<CrashException>& exception);
};

// Installs the terminate hook, the signal handlers (6, 4, 11, 8, 10) and reads the image facts; only
// the first call of the process does anything.
void TLYInstallCrashHandlers();
bool crashHandlersInstalled();
// The installing half of the crash-capture switch: installs once and toggles the engine's
// observation of "TallyCrashCatch".
void crashCaptureSwitched(bool enabled);
class TallyInternal;
// Rebuilds the report head the signal handler writes from the engine's session id, image facts and
// finished pages and the session's state and start (after any of them changes); nothing before the
// handlers are installed. Main thread.
void refreshSignalReportHead(const TallyInternal& engine);
// Where the signal handler writes: "<caches>/.tally/.crash_report".
std::string crashReportPath();

// Image facts: "image_name", "image_base_address", "slide_address", "binary_uuid" (when known),
// "cpu_arch".
std::string cpuArchName(std::int32_t cpuType, std::int32_t cpuSubtype);
// The CPU type and subtype that stand for an ELF machine number.
std::pair<std::int32_t, std::int32_t> cpuTypeForElfMachine(std::uint16_t machine);
// 8-4-4-4-12 upper-case text of the first 16 bytes; nothing when fewer.
std::optional<std::string> uuidText(std::span<const std::uint8_t> bytes);
// The facts of this process's main program, from its ELF image.
std::optional<Dictionary> mainProgramImageFacts();
// The facts of a Mach-O header given as bytes, as the image-added callback works them out; nothing
// (after its log line) for a bad magic.
std::optional<Dictionary> machOImageFacts(std::span<const std::uint8_t> header, std::uint64_t headerAddress,
                                          std::string_view imageName);

// The crash text: "<reason>\n<addresses>\n(" + "\n\t<line>" per line + "\n)".
std::string crashText(const CrashException& exception, const std::vector<std::string>& stack);
// The report around a crash text, with the facts (absent ones print "(null)").
std::string crashReport(std::string_view crashText, const Dictionary& facts);

}  // namespace lv
