// libcurl is mapped into a process only when the process first needs it: work that sends nothing
// leaves it out, and the first transfer loads it and succeeds. A binary of its own, so that no
// earlier test has loaded it; the process's own memory map is the independent witness.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "platform/dispatch/run_loop.h"
#include "platform/net/connection.h"
#include "platform/net/host_map.h"
#include "platform/net/request.h"
#include "platform/net/url.h"
#include "platform/net/url_cache.h"
#include "platform/net/detail/curl_library.h"
#include "platform/net/fixtures.h"

namespace lv {
namespace {

bool libcurlMapped() {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        if (line.find("/libcurl") != std::string::npos) return true;
    }
    return false;
}

class Collector : public URLConnectionDelegate {
public:
    void didReceiveData(URLConnection&, const Bytes& chunk) override { bytes += chunk.size(); }
    void didFinishLoading(URLConnection&) override { finished = true; }
    void didFailWithError(URLConnection&, const Ref<Error>&) override { failed = true; }
    std::size_t bytes = 0;
    bool finished = false;
    bool failed = false;
};

TEST(CurlLoading, NothingBeforeTheFirstTransferLoadsLibcurlAndTheTransferWorks) {
    ASSERT_FALSE(libcurlMapped()) << "libcurl is mapped at start-up";
    // Work that sends nothing: URLs, requests, the host map, a cache lookup.
    const std::string address = test::HttpFixture::shared().url("/bytes/64");
    URLRequest request(URL::URLWithString(address));
    request.setValue("yes", "X-Probe");
    HostMap::set("loading.invalid", "127.0.0.1", 1);
    EXPECT_FALSE(URLCache::shared().cachedResponseForRequest(request));
    HostMap::remove("loading.invalid");
    EXPECT_FALSE(libcurlMapped());
    EXPECT_FALSE(net_detail::curlLibraryLoaded());

    auto collector = std::make_shared<Collector>();
    auto connection = URLConnection::make(request, collector);
    ASSERT_TRUE(runMainUntil([&] { return collector->finished || collector->failed; }, 10));
    EXPECT_TRUE(collector->finished);
    EXPECT_EQ(collector->bytes, 64u);
    EXPECT_TRUE(libcurlMapped());
    EXPECT_TRUE(net_detail::curlLibraryLoaded());
}

}  // namespace
}  // namespace lv
