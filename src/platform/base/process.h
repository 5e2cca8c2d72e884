// Process-level hooks for crash capture: the terminate hook, fatal-signal handlers and their default
// restore, facts of the main program's image (from the dynamic loader and /proc/self/exe), the
// current thread's stack as text lines, and a file writer that is safe inside a signal handler.
//
// Threads: installing hooks and reading image facts may be done from any thread; the hooks run on
// the thread that fails. Everything marked async-signal-safe uses only system calls and stack memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lv::process {

// Installs the hook std::terminate calls (an uncaught exception included); answers the previous one.
std::terminate_handler setTerminateHook(std::terminate_handler hook);

using SignalHandler = void (*)(int);
// Installs the handler for the signal (sigaction, the signal blocked while its handler runs). It runs
// on the thread's alternate signal stack when the thread has one, so a stack overflow reaches it.
bool installSignalHandler(int signal, SignalHandler handler);
// Gives the calling thread an alternate signal stack (64 KiB, released when the thread ends) unless
// it has one; answers whether it has one now. Every thread that may overflow its stack and should
// still have its fatal signal handled calls this once.
bool ensureAlternateSignalStack();
// Puts the signal's default action back. Async-signal-safe.
void restoreDefaultSignal(int signal);
// Whether the signal's current handler is this one.
bool signalHandlerIs(int signal, SignalHandler handler);

// Facts of the main program's image, from the dynamic loader's first object and its ELF header.
struct MainImageFacts {
    std::string path;                 // /proc/self/exe resolved
    std::uint64_t headerAddress = 0;  // where the ELF header is mapped
    std::uint64_t firstLoadVaddr = 0; // p_vaddr of the first PT_LOAD segment
    std::uint16_t machine = 0;        // e_machine
    std::vector<std::uint8_t> buildId;  // the GNU build-id note's bytes (empty when none)
};
std::optional<MainImageFacts> mainImageFacts();

// The calling thread's stack, one symbolised line per frame (innermost first), skipping `skip`
// frames of the caller. Loads the unwinder on first use; call once early so a later use from a
// signal handler does not allocate.
std::vector<std::string> backtraceLines(int skip = 0);
void prepareBacktrace();

// A file written from a signal handler: opened, written and closed with system calls only.
class SignalSafeFile {
public:
    // Creates or truncates the file, never through a link; invalid when that fails. Async-signal-safe.
    explicit SignalSafeFile(const char* path);
    ~SignalSafeFile();
    SignalSafeFile(const SignalSafeFile&) = delete;
    SignalSafeFile& operator=(const SignalSafeFile&) = delete;

    bool valid() const { return fd_ >= 0; }
    // Writes all bytes (retrying short writes and EINTR). Async-signal-safe.
    void write(const char* bytes, std::size_t length);
    void write(const char* text);
    // The calling thread's stack, one line per frame, as the unwinder prints it.
    void writeBacktrace();

private:
    int fd_ = -1;
};

}  // namespace lv::process
