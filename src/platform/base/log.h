// The system log: one line per call on stderr, with a capture sink for tests.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/base/format.h"

namespace lv {

// Writes one line: "<date> <process>[<pid>:<thread>] <message>" on stderr, the message escaped by
// terminalText (control characters, line ends, bidirectional controls and malformed UTF-8 written
// visibly), or the bare message, as logged, into the innermost active LogCapture.
void logLine(std::string_view message);

template <class... Args>
void log(std::string_view fmt, const Args&... args) {
    logLine(format(fmt, args...));
}

// While alive, takes every logged line (from any thread) instead of stderr. Captures nest.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    bool contains(std::string_view fragment) const;
    std::size_t count(std::string_view fragment) const;
    void clear();

    void append(std::string line);

private:
    struct State;
    State* state_;
};

}  // namespace lv
