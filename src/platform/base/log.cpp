#include "platform/base/log.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "platform/base/clock.h"
#include "platform/base/terminal_text.h"

namespace lv {

struct LogCapture::State {
    mutable std::mutex mutex;
    std::vector<std::string> lines;
};

namespace {

// Worker threads may still log while the process exits, so nothing here is ever destroyed.
struct Captures {
    std::mutex mutex;
    std::vector<LogCapture*> list;
};
Captures& captures() {
    static auto* instance = new Captures;
    return *instance;
}

std::string processName() {
    char buffer[256];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return "lunavexa";
    std::string path(buffer, static_cast<std::size_t>(n));
    return path.substr(path.rfind('/') + 1);
}

}  // namespace

void logLine(std::string_view message) {
    {
        auto& shared = captures();
        std::lock_guard lock(shared.mutex);
        if (!shared.list.empty()) {
            shared.list.back()->append(std::string(message));
            return;
        }
    }
    static const std::string& name = *new std::string(processName());
    const double now = currentTimeSince1970();
    const std::time_t seconds = static_cast<std::time_t>(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    const int millis = static_cast<int>((now - static_cast<double>(seconds)) * 1000);
    std::string line = std::string(stamp) + "." + (millis < 100 ? (millis < 10 ? "00" : "0") : "") +
                       std::to_string(millis) + " " + name + "[" + std::to_string(::getpid()) + ":" +
                       std::to_string(::syscall(SYS_gettid)) + "] ";
    // Logged texts carry what services sent (error details, header values): nothing in them may
    // steer the terminal or forge a line of its own.
    line += terminalText(message);
    line += '\n';
    // One write per line keeps lines from different threads whole.
    std::fwrite(line.data(), 1, line.size(), stderr);
}

LogCapture::LogCapture() : state_(new State) {
    auto& shared = captures();
    std::lock_guard lock(shared.mutex);
    shared.list.push_back(this);
}

LogCapture::~LogCapture() {
    {
        auto& shared = captures();
        std::lock_guard lock(shared.mutex);
        shared.list.erase(std::remove(shared.list.begin(), shared.list.end(), this), shared.list.end());
    }
    delete state_;
}

void LogCapture::append(std::string line) {
    std::lock_guard lock(state_->mutex);
    state_->lines.push_back(std::move(line));
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(state_->mutex);
    return state_->lines;
}

bool LogCapture::contains(std::string_view fragment) const { return count(fragment) > 0; }

std::size_t LogCapture::count(std::string_view fragment) const {
    std::lock_guard lock(state_->mutex);
    return static_cast<std::size_t>(std::count_if(state_->lines.begin(), state_->lines.end(), [&](const std::string& l) {
        return l.find(fragment) != std::string::npos;
    }));
}

void LogCapture::clear() {
    std::lock_guard lock(state_->mutex);
    state_->lines.clear();
}

}  // namespace lv
