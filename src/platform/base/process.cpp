#include "platform/base/process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <unistd.h>

#include <filesystem>

namespace lv::process {

std::terminate_handler setTerminateHook(std::terminate_handler hook) { return std::set_terminate(hook); }

bool installSignalHandler(int signal, SignalHandler handler) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_ONSTACK;
    return sigaction(signal, &action, nullptr) == 0;
}

namespace {

// One thread's alternate stack: set up once, switched off and freed when the thread ends.
class AlternateStack {
public:
    AlternateStack() {
        stack_t current {};
        if (::sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) {
            present_ = true;  // the thread has one already (a runtime's own)
            return;
        }
        memory_ = static_cast<char*>(std::malloc(kSize));
        if (!memory_) return;
        stack_t stack {};
        stack.ss_sp = memory_;
        stack.ss_size = kSize;
        stack.ss_flags = 0;
        if (::sigaltstack(&stack, nullptr) == 0) {
            present_ = owned_ = true;
        } else {
            std::free(memory_);
            memory_ = nullptr;
        }
    }
    ~AlternateStack() {
        if (!owned_) return;
        stack_t off {};
        off.ss_flags = SS_DISABLE;
        ::sigaltstack(&off, nullptr);
        std::free(memory_);
    }
    AlternateStack(const AlternateStack&) = delete;
    AlternateStack& operator=(const AlternateStack&) = delete;
    bool present() const { return present_; }

private:
    static constexpr std::size_t kSize = 64 * 1024;
    char* memory_ = nullptr;
    bool present_ = false;
    bool owned_ = false;
};

}  // namespace

bool ensureAlternateSignalStack() {
    // Kept under a thread key: its destructor switches the stack off and frees it as the thread ends
    // (the main thread's lives as long as the process).
    static const pthread_key_t key = [] {
        pthread_key_t made {};
        ::pthread_key_create(&made, [](void* stack) { delete static_cast<AlternateStack*>(stack); });
        return made;
    }();
    auto* stack = static_cast<AlternateStack*>(::pthread_getspecific(key));
    if (!stack) {
        stack = new AlternateStack;
        ::pthread_setspecific(key, stack);
    }
    return stack->present();
}

void restoreDefaultSignal(int signal) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

bool signalHandlerIs(int signal, SignalHandler handler) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) != 0) return false;
    return (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == handler;
}

namespace {

struct ImageWalk {
    MainImageFacts facts;
    bool found = false;
};

// Reads the build-id from a PT_NOTE segment: notes of (namesz, descsz, type), name and desc padded to 4.
void readBuildId(const ElfW(Phdr)& header, ElfW(Addr) bias, std::vector<std::uint8_t>& out) {
    const auto* at = reinterpret_cast<const std::uint8_t*>(bias + header.p_vaddr);
    std::size_t remaining = header.p_memsz;
    auto pad4 = [](std::size_t n) { return (n + 3) & ~std::size_t{3}; };
    while (remaining >= sizeof(ElfW(Nhdr))) {
        ElfW(Nhdr) note;
        std::memcpy(&note, at, sizeof note);
        const std::size_t size = sizeof note + pad4(note.n_namesz) + pad4(note.n_descsz);
        if (size > remaining) return;
        const auto* name = at + sizeof note;
        if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 && std::memcmp(name, "GNU", 4) == 0) {
            const auto* desc = name + pad4(note.n_namesz);
            out.assign(desc, desc + note.n_descsz);
            return;
        }
        at += size;
        remaining -= size;
    }
}

int firstObject(struct dl_phdr_info* info, std::size_t, void* data) {
    auto& walk = *static_cast<ImageWalk*>(data);
    bool haveLoad = false;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const auto& header = info->dlpi_phdr[i];
        if (header.p_type == PT_LOAD && !haveLoad) {
            haveLoad = true;
            walk.facts.firstLoadVaddr = header.p_vaddr;
            walk.facts.headerAddress = info->dlpi_addr + header.p_vaddr - header.p_offset;
        } else if (header.p_type == PT_NOTE && walk.facts.buildId.empty()) {
            readBuildId(header, info->dlpi_addr, walk.facts.buildId);
        }
    }
    if (haveLoad) {
        ElfW(Ehdr) elf;
        std::memcpy(&elf, reinterpret_cast<const void*>(walk.facts.headerAddress), sizeof elf);
        if (std::memcmp(elf.e_ident, ELFMAG, SELFMAG) == 0) {
            walk.facts.machine = elf.e_machine;
            walk.found = true;
        }
    }
    return 1;  // the main program is the first object; stop there
}

}  // namespace

std::optional<MainImageFacts> mainImageFacts() {
    ImageWalk walk;
    dl_iterate_phdr(firstObject, &walk);
    if (!walk.found) return std::nullopt;
    std::error_code error;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return std::nullopt;
    walk.facts.path = path.string();
    return walk.facts;
}

std::vector<std::string> backtraceLines(int skip) {
    void* frames[128];
    const int count = ::backtrace(frames, 128);
    std::vector<std::string> lines;
    char** symbols = ::backtrace_symbols(frames, count);
    if (!symbols) return lines;
    for (int i = skip + 1; i < count; ++i) lines.emplace_back(symbols[i]);
    std::free(symbols);
    return lines;
}

void prepareBacktrace() {
    void* frame[1];
    ::backtrace(frame, 1);
}

SignalSafeFile::SignalSafeFile(const char* path) {
    // Never through a link planted at the path: it would cut and fill the file it points to.
    fd_ = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
}

SignalSafeFile::~SignalSafeFile() {
    if (fd_ >= 0) ::close(fd_);
}

void SignalSafeFile::write(const char* bytes, std::size_t length) {
    while (fd_ >= 0 && length > 0) {
        const ssize_t written = ::write(fd_, bytes, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        bytes += written;
        length -= static_cast<std::size_t>(written);
    }
}

void SignalSafeFile::write(const char* text) { write(text, std::strlen(text)); }

void SignalSafeFile::writeBacktrace() {
    if (fd_ < 0) return;
    void* frames[128];
    const int count = ::backtrace(frames, 128);
    ::backtrace_symbols_fd(frames, count, fd_);
}

}  // namespace lv::process
