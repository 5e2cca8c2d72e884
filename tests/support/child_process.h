// Runs this test binary again as a second process, for tests where persistence across processes or a
// process that dies mid-way is the point.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>

namespace lv::test {

// Runs this test binary with the gtest filter and the extra environment; returns its exit status
// (-1 when it could not be started or did not exit normally).
int runThisBinary(const std::string& filter, const std::map<std::string, std::string>& environment);

// A child of this test binary that reports to its parent through a pipe.
struct PipedChild {
    pid_t pid = -1;   // -1 when it could not be started
    int readFd = -1;  // the pipe's read end, the parent's to close
};

// Starts this test binary on the filter (disabled tests included) with the extra environment; the
// pipe's write end is open in the child under the number found in the variable `pipeVariable`.
// Standard output goes to /dev/null, and standard error too when `quietErrors`.
PipedChild startThisBinaryWithPipe(const std::string& filter, std::map<std::string, std::string> environment,
                                   const std::string& pipeVariable, bool quietErrors);

}  // namespace lv::test
