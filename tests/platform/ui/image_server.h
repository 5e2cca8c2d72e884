// A loopback HTTP server (127.0.0.1) for the image loading tests. Any path answers a square PNG of
// side "size" (3 by default), except: a path ending ".jpg" a 10 × 8 JPEG; "/page" an HTML page; "/bad"
// text as image/png; a path starting "/missing" the PNG with status 404; one starting "/held" only
// after release(). It counts the requests per path and keeps the last Accept field.
#pragma once

#include <httplib.h>

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
};

}  // namespace lv::test
