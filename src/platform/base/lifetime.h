// Lifetime of process-wide state. Worker threads are not joined at exit, so every static a worker can
// reach is made once with `new` and never destroyed (`static auto& x = *new T(...)`); the clang builds
// refuse any static with an exit-time destructor (-Wexit-time-destructors).
//
// `PerThread<T>` is a per-thread value for caches and scratch state. A C++ thread_local with a
// destructor registers that destructor on its first use in each thread, and the registration takes
// the dynamic loader's lock, which a library load on another thread holds for milliseconds at a time
// (and, reacquiring it library after library, can hold for a whole load). `PerThread` frees its values
// through a thread-specific key instead, whose first use takes no loader lock: a thread's values when
// it exits (after its C++ thread_local values), the main thread's only with the process. Plain
// thread_local stays for trivially destructible values.
//
// Threads: `get()` returns the calling thread's own value; a `PerThread` itself may be shared.
#pragma once

#include <pthread.h>

#include <cstdlib>

namespace lv {

template <class T>
class PerThread {
public:
    PerThread() {
        if (::pthread_key_create(&key_, &destroy) != 0) std::abort();  // only when the process is out of keys
    }
    PerThread(const PerThread&) = delete;
    PerThread& operator=(const PerThread&) = delete;
    // The key is never deleted: a thread may end, and free its value, after static destruction.
    ~PerThread() = default;

    T& get() {
        void* value = ::pthread_getspecific(key_);
        if (!value) [[unlikely]] {
            value = new T();
            ::pthread_setspecific(key_, value);
        }
        return *static_cast<T*>(value);
    }

private:
    static void destroy(void* value) { delete static_cast<T*>(value); }

    pthread_key_t key_{};
};

}  // namespace lv
