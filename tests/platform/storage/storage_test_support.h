// Shared helpers of the storage tests: a fresh sandbox per test, and running this test binary again
// as a second process for the tests that need one.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/storage/sandbox.h"
#include "platform/storage/user_defaults.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace lv::test {

inline Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Sandbox::setRoot(root_.path().string()));
        UserDefaults::resetStandardUserDefaults();
    }
    void TearDown() override { UserDefaults::resetStandardUserDefaults(); }

    std::string rootPath() const { return root_.path().string(); }

    TempDir root_;
};

// Payload readings that do not dereference a null pointer when the value has another kind.
inline std::optional<NumberKind> kindOf(const Value& v) {
    const Number* n = v.number();
    return n ? std::optional<NumberKind>(n->kind()) : std::nullopt;
}
inline double since1970(const Value& v) {
    const Date* d = v.date();
    return d ? d->since1970() : std::nan("");
}
inline bool isNaNDecimal(const Value& v) {
    const Decimal* d = v.decimal();
    return d && d->isNaN();
}

}  // namespace lv::test
