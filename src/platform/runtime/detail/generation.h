// A count of the runtime's changes, for callers that keep what they read from it (class lookups,
// hooks). Thread-safe.
#pragma once

#include <cstdint>

namespace lv {

// Changes whenever a class is registered, a hook is added or a method resolver is set or removed:
// what a caller read from the runtime still holds while it stays the same.
std::uint64_t runtimeGeneration();

}  // namespace lv
