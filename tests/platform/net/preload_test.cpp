// The URL engine's preload as a launch runs it: libcurl and OpenSSL's set-up on workers, waited for
// before exit. OpenSSL reads the system's configuration file during the preload exactly as libcurl's
// own set-up would (here a file of the test's that raises the least TLS version, so that its effect
// shows). A binary of its own, without the loopback servers (whose library sets OpenSSL up when
// loaded): OpenSSL's set-up runs once per process, so nothing may run it before the preload.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <cstdlib>
#include <string>

#include "platform/net/detail/curl_library.h"
#include "platform/net/preload.h"
#include "support/source_dir.h"

namespace lv {
namespace {

int defaultLeastTlsVersion() {
    SSL_CTX* context = SSL_CTX_new(TLS_method());
    const int version = context ? static_cast<int>(SSL_CTX_get_min_proto_version(context)) : -1;
    SSL_CTX_free(context);
    return version;
}

TEST(URLEnginePreload, LoadsLibcurlAndSetsOpenSSLUpFromItsConfigurationFile) {
    ASSERT_FALSE(net_detail::curlLibraryLoaded());
    const std::string configuration = test::sourceRoot() + "/tests/platform/net/preload_openssl.cnf";
    ASSERT_EQ(::setenv("OPENSSL_CONF", configuration.c_str(), 1), 0);

    preloadURLEngine();
    preloadURLEngine();  // once per process
    finishURLEnginePreload();
    EXPECT_TRUE(net_detail::curlLibraryLoaded());
    // From here on nothing reads the file any more (a set-up without it, were the file not read yet,
    // would mark it done): the least version shows what the preload read.
    ASSERT_EQ(OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr), 1);
    EXPECT_EQ(defaultLeastTlsVersion(), TLS1_3_VERSION);
}

}  // namespace
}  // namespace lv
