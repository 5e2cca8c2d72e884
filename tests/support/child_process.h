// Runs this test binary again as a second process, for tests where persistence across processes or a
// process that dies mid-way is the point.
#pragma once

#include <map>
#include <string>

namespace lv::test {

// Runs this test binary with the gtest filter and the extra environment; returns its exit status
// (-1 when it could not be started or did not exit normally).
int runThisBinary(const std::string& filter, const std::map<std::string, std::string>& environment);

}  // namespace lv::test
