#include "images/image_server.h"

#include <httplib.h>

#include "platform/ui/image_fixtures.h"

namespace lv::test {
namespace {

Bytes pattern(std::uint32_t width, std::uint32_t height) {
    return makePNG(width, height, 8, 6, [](std::uint32_t x, std::uint32_t y) { return patternPixel(x, y, true); });
}

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace

ImageServer::ImageServer()
    : png(pattern(6, 4)), jpeg(makeJPEG(10, 8, JPEGKind::RGB)), otherPNG(pattern(3, 3)),
      server_(std::make_unique<httplib::Server>()) {
    auto count = [this](const httplib::Request& request) {
        std::lock_guard lock(mutex_);
        ++requests_[request.path];
    };
    server_->Get("/image.png", [this, count](const httplib::Request& request, httplib::Response& response) {
        count(request);
        response.set_content(text(png), "image/png");
    });
    server_->Get("/photo.jpg", [this, count](const httplib::Request& request, httplib::Response& response) {
        count(request);
        response.set_content(text(jpeg), "image/jpeg");
    });
    server_->Get("/missing.png", [this, count](const httplib::Request& request, httplib::Response& response) {
        count(request);
        response.status = 404;
        response.set_content(text(png), "image/png");
    });
    server_->Get("/page", [count](const httplib::Request& request, httplib::Response& response) {
        count(request);
        response.set_content("<html><body>not an image</body></html>", "text/html");
    });
    server_->Get("/held.png", [this, count](const httplib::Request& request, httplib::Response& response) {
        count(request);
        std::unique_lock lock(mutex_);
        released_.wait(lock, [this] { return isReleased_; });
        response.set_content(text(otherPNG), "image/png");
    });
    // One request per connection, so stopping never waits for an idle kept-alive connection.
    server_->set_keep_alive_max_count(1);
    port_ = server_->bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (!server_->is_running()) std::this_thread::yield();
}

ImageServer::~ImageServer() {
    release();
    server_->stop();
    thread_.join();
}

std::string ImageServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

int ImageServer::requests(const std::string& path) const {
    std::lock_guard lock(mutex_);
    const auto found = requests_.find(path);
    return found == requests_.end() ? 0 : found->second;
}

void ImageServer::release() {
    {
        std::lock_guard lock(mutex_);
        isReleased_ = true;
    }
    released_.notify_all();
}

}  // namespace lv::test
