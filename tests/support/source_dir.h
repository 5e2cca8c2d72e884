// The source tree a test reads its fixtures from: LV_TEST_SOURCE_DIR when CTest sets it, else the tree
// the test binary was built from (a binary run by hand). Included only by test binaries (lv_test
// defines LV_TEST_DEFAULT_SOURCE_DIR for each).
// Thread rule: reads the environment; call it where nothing changes the environment at the same time.
#pragma once

#include <cstdlib>
#include <string>

namespace lv::test {

inline std::string sourceRoot() {
    const char* fromEnvironment = std::getenv("LV_TEST_SOURCE_DIR");
    return fromEnvironment ? fromEnvironment : LV_TEST_DEFAULT_SOURCE_DIR;
}

}  // namespace lv::test
