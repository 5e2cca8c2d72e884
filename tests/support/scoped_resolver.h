// Sets a class's method resolver for a scope and puts the one it had back however the scope ends: a
// resolver that captures a test's locals must not outlive them when an assertion ends the test early.
// Tests that use it set and restore on one thread.
#pragma once

#include <utility>

#include "platform/runtime/runtime.h"

namespace lv::test {

class ScopedMethodResolver {
public:
    ScopedMethodResolver(const ClassInfo* cls, HookSide side, MethodResolver resolver)
        : cls_(cls), side_(side), previous_(setMethodResolver(cls, side, std::move(resolver))) {}
    ~ScopedMethodResolver() { setMethodResolver(cls_, side_, previous_); }
    ScopedMethodResolver(const ScopedMethodResolver&) = delete;
    ScopedMethodResolver& operator=(const ScopedMethodResolver&) = delete;

    // The resolver the class had before.
    const MethodResolver& previous() const { return previous_; }

private:
    const ClassInfo* cls_;
    HookSide side_;
    MethodResolver previous_;
};

}  // namespace lv::test
