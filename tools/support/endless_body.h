// A reply body that never ends, for clients that must bound what they read: "{" then JSON white space,
// 64 KiB a write, up to 256 MiB unless the client hangs up first.
//
// Threads: set on the server's thread that answers; the body is written there too.
#pragma once

#include <httplib.h>

#include <cstddef>
#include <functional>
#include <string>
#include <utility>

namespace lv::tools {

// `abandoned` runs on the server's thread when the client goes before the end.
inline void setEndlessJsonBody(httplib::Response& response, const std::string& type, std::function<void()> abandoned) {
    response.set_chunked_content_provider(type, [abandoned = std::move(abandoned)](std::size_t, httplib::DataSink& sink) {
        static constexpr std::size_t kMost = 256u * 1024 * 1024;
        std::string piece(64 * 1024, ' ');
        piece[0] = '{';
        for (std::size_t sent = 0; sent < kMost; sent += piece.size()) {
            if (!sink.write(piece.data(), piece.size())) {
                abandoned();
                return false;
            }
            piece[0] = ' ';
        }
        sink.done();
        return true;
    });
}

}  // namespace lv::tools
