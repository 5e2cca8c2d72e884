// A loopback HTTP server (127.0.0.1) for the image loading tests. Any path answers a square PNG of
// side "size" (3 by default), except: a path ending ".jpg" a 10 × 8 JPEG; "/page" an HTML page; "/bad"
// text as image/png; a path starting "/missing" the PNG with status 404; one starting "/held" only
// after release(); "/padded" the PNG of side 3 padded to "bytes" bytes (padPNG); "/endless" a chunked
// image/png body that never ends (a PNG's first bytes, then zeros, until the client goes away or
// 256 MiB have gone out). It counts the requests per path and keeps the last Accept field.
#pragma once

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "platform/base/value.h"

namespace lv::test {

class ImageServer {
public:
    ImageServer();
    ~ImageServer();
    ImageServer(const ImageServer&) = delete;
    ImageServer& operator=(const ImageServer&) = delete;

    std::string url(const std::string& path) const;
    int requests(const std::string& path);
    std::string accept();
    void release();
    // The endless bodies that ended because the client went away, and the bytes sent in all of them.
    int endlessAbandoned() const { return endlessAbandoned_.load(); }
    std::uint64_t endlessSent() const { return endlessSent_.load(); }
    // The PNG served for side.
    static Bytes png(std::uint32_t side);

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    std::mutex mutex_;
    std::condition_variable released_;
    bool isReleased_ = false;
    std::map<std::string, int> requests_;
    std::string accept_;
    std::atomic<int> endlessAbandoned_{0};
    std::atomic<std::uint64_t> endlessSent_{0};
};

}  // namespace lv::test
