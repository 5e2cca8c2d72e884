// Locks: a plain mutex, a named recursive lock, and per-object monitors ("synchronized" on any object
// address, recursive per thread).
#pragma once

#include <mutex>
#include <string>
#include <utility>

namespace lv {

// A named lock over a standard mutex (BasicLockable, so std::lock_guard / std::unique_lock work).
template <class Mutex>
class BasicNamedLock {
public:
    BasicNamedLock() = default;
    explicit BasicNamedLock(std::string name) : name_(std::move(name)) {}
    BasicNamedLock(const BasicNamedLock&) = delete;
    BasicNamedLock& operator=(const BasicNamedLock&) = delete;

    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }
    bool tryLock() { return mutex_.try_lock(); }
    bool try_lock() { return mutex_.try_lock(); }

    // Set before the lock is shared between threads.
    const std::string& name() const { return name_; }
    void setName(std::string name) { name_ = std::move(name); }

private:
    Mutex mutex_;
    std::string name_;
};

// Non-recursive mutual exclusion lock.
using Lock = BasicNamedLock<std::mutex>;
// A lock the owning thread may take again while it holds it; released after as many unlocks.
using RecursiveLock = BasicNamedLock<std::recursive_mutex>;

// The monitor of one object, identified by its address: a recursive lock that exists while some
// thread holds or waits for it. Distinct addresses never share a monitor.
class Synchronized {
public:
    explicit Synchronized(const void* object);
    ~Synchronized();
    Synchronized(const Synchronized&) = delete;
    Synchronized& operator=(const Synchronized&) = delete;

    struct Monitor;

private:
    const void* object_;
    Monitor* monitor_;
};

// Runs fn while holding the monitor of the object (a class-wide lock uses the address of a static,
// a lock "on a constant text" the address of that text object).
template <class F>
decltype(auto) synchronized(const void* object, F&& fn) {
    Synchronized scope(object);
    return std::forward<F>(fn)();
}

// One-time initialisation, safe from any thread.
using OnceFlag = std::once_flag;
template <class F>
void once(OnceFlag& flag, F&& fn) {
    std::call_once(flag, std::forward<F>(fn));
}

}  // namespace lv
