#include "platform/ui/image_server.h"

#include "platform/ui/image_fixtures.h"

namespace lv::test {

Bytes ImageServer::png(std::uint32_t side) {
    return makePNG(side, side, 8, 6, [](std::uint32_t x, std::uint32_t y) { return patternPixel(x, y, true); });
}

ImageServer::ImageServer() {
    server_.Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
        std::unique_lock lock(mutex_);
        ++requests_[req.path];
        accept_ = req.get_header_value("Accept");
        released_.wait(lock, [&] { return isReleased_ || !req.path.starts_with("/held"); });
        lock.unlock();
        if (req.path == "/endless") {
            res.set_chunked_content_provider("image/png", [this](std::size_t, httplib::DataSink& sink) {
                static constexpr std::uint64_t kMost = 256ull * 1024 * 1024;
                Bytes piece(64 * 1024, 0);
                const Bytes head = png(3);
                std::copy(head.begin(), head.begin() + 16, piece.begin());  // the signature and IHDR's start
                for (std::uint64_t sent = 0; sent < kMost; sent += piece.size()) {
                    if (!sink.write(reinterpret_cast<const char*>(piece.data()), piece.size())) {
                        endlessAbandoned_.fetch_add(1);
                        return false;
                    }
                    endlessSent_.fetch_add(piece.size());
                }
                sink.done();
                return true;
            });
            return;
        }
        if (req.path == "/padded") {
            const Bytes padded = padPNG(png(3), std::stoul(req.get_param_value("bytes")));
            res.set_content(std::string(padded.begin(), padded.end()), "image/png");
            return;
        }
        const Bytes image = req.path.ends_with(".jpg") ? makeJPEG(10, 8, JPEGKind::RGB)
                                                       : png(req.has_param("size") ? std::stoul(req.get_param_value("size")) : 3);
        res.status = req.path.starts_with("/missing") ? 404 : 200;
        if (req.path == "/page") {
            res.set_content("<html><body>not an image</body></html>", "text/html");
        } else {
            res.set_content(req.path == "/bad" ? "no image" : std::string(image.begin(), image.end()),
                            req.path.ends_with(".jpg") ? "image/jpeg" : "image/png");
        }
    });
    server_.new_task_queue = [] { return new httplib::ThreadPool(32); };  // room beside held requests
    // One request per connection, so stopping never waits for an idle kept-alive connection.
    server_.set_keep_alive_max_count(1);
    server_.set_tcp_nodelay(true);  // a reply's body is not held back for the client's delayed acknowledgement
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::yield();
}

ImageServer::~ImageServer() {
    release();
    server_.stop();
    thread_.join();
}

std::string ImageServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

int ImageServer::requests(const std::string& path) {
    std::lock_guard lock(mutex_);
    return requests_[path];
}

std::string ImageServer::accept() {
    std::lock_guard lock(mutex_);
    return accept_;
}

void ImageServer::release() {
    std::lock_guard lock(mutex_);
    isReleased_ = true;
    released_.notify_all();
}

}  // namespace lv::test
