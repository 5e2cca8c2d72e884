#include "platform/dispatch/lock.h"

#include <unordered_map>

namespace lv {

struct Synchronized::Monitor {
    std::recursive_mutex mutex;
    std::size_t users = 0;  // threads holding or waiting; guarded by the table mutex
};

namespace {

struct MonitorTable {
    std::mutex mutex;
    std::unordered_map<const void*, Synchronized::Monitor*> monitors;
};

MonitorTable& table() {
    static MonitorTable* t = new MonitorTable;  // never destroyed: monitors may be used during exit
    return *t;
}

}  // namespace

Synchronized::Synchronized(const void* object) : object_(object) {
    MonitorTable& t = table();
    {
        std::lock_guard<std::mutex> guard(t.mutex);
        Monitor*& m = t.monitors[object];
        if (!m) m = new Monitor;
        ++m->users;
        monitor_ = m;
    }
    monitor_->mutex.lock();
}

Synchronized::~Synchronized() {
    monitor_->mutex.unlock();
    MonitorTable& t = table();
    std::lock_guard<std::mutex> guard(t.mutex);
    if (--monitor_->users == 0) {
        t.monitors.erase(object_);
        delete monitor_;
    }
}

}  // namespace lv
