// A loopback HTTP server for the image loading tests: a PNG, a JPEG, a 404 with a PNG body, an HTML
// page, and a PNG held back until the test releases it; it counts the requests per path.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/base/value.h"

namespace httplib {
class Server;
}

namespace lv::test {

class ImageServer {
public:
    ImageServer();
    ~ImageServer();
    ImageServer(const ImageServer&) = delete;
    ImageServer& operator=(const ImageServer&) = delete;

    std::string url(const std::string& path) const;
    int requests(const std::string& path) const;
    // "/held.png" answers only after release().
    void release();

    const Bytes png;   // 6 × 4 RGBA
    const Bytes jpeg;  // 10 × 8
    const Bytes otherPNG;  // 3 × 3, served as "/held.png"

private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable released_;
    bool isReleased_ = false;
    std::map<std::string, int> requests_;
};

}  // namespace lv::test
