// Lifetime of process-wide state. Worker threads are not joined at exit, so every static a worker can
// reach is made once with `new` and never destroyed (`static auto& x = *new T(...)`); the clang builds
// refuse any static with an exit-time destructor (-Wexit-time-destructors). A thread_local value ends
// with its own thread, which no other thread reaches: `LV_PER_THREAD(declaration)` declares one
// without that warning.
//
// Threads: a declaration helper only; no state.
#pragma once

#if defined(__clang__)
#define LV_PER_THREAD(...)                                                                   \
    _Pragma("clang diagnostic push") _Pragma("clang diagnostic ignored \"-Wexit-time-destructors\"") \
        __VA_ARGS__ _Pragma("clang diagnostic pop")
#else
#define LV_PER_THREAD(...) __VA_ARGS__
#endif
