// Thread-safe list of events for ordering assertions.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace lv::test {

class Recorder {
public:
    void add(std::string event) {
        std::lock_guard<std::mutex> guard(mutex_);
        events_.push_back(std::move(event));
    }
    std::vector<std::string> events() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return events_;
    }
    std::size_t size() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return events_.size();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

}  // namespace lv::test
