// A test fixture with the social-API stand-in reached through the host map (its root trusted), a fresh
// sandbox (for the transfer pasteboard), the app bundle, a fresh application object and a fresh client.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "microblog/microblog_message.h"
#include "microblog/microblog_sdk.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/net/cookie_storage.h"
#include "platform/net/host_map.h"
#include "platform/security/certificate.h"
#include "platform/security/trust.h"
#include "platform/storage/bundle.h"
#include "platform/storage/sandbox.h"
#include "platform/ui/application.h"
#include "platform/ui/pasteboard.h"
#include "social_api.h"
#include "support/source_dir.h"
#include "support/temp_dir.h"

namespace lv::test {

inline std::string projectDirectory() {
    return sourceRoot();
}

class SocialApiFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Sandbox::setRoot(home.path().string()));
        Pasteboard::resetPasteboards();
        Bundle::setMainBundlePath(projectDirectory() + "/bundle");
        ASSERT_TRUE(api.start());
        HostMap::set(std::string(kMicroblogSocialAPIHost) + ":443", "127.0.0.1", api.httpsPort());
        HostMap::set(std::string(kMicroblogSocialAPIHost) + ":80", "127.0.0.1", api.httpPort());
        TrustAnchors::clear();
        TrustAnchors::addCertificate(Certificate::createWithData(api.rootCertificateDER()));
        Application::resetSharedApplication();
        MicroblogSDK::reset();
        MicroblogSDK::registerApp(kAppKey);
    }
    void TearDown() override {
        drain();
        MicroblogSDK::reset();
        Application::resetSharedApplication();
        api.stop();
        HostMap::clear();
        TrustAnchors::clear();
        HTTPCookieStorage::shared().removeAllCookies();
        Pasteboard::resetPasteboards();
    }
    // Runs what the main queue holds (twice over, for work that queues more).
    static void drain() {
        for (int round = 0; round < 3; ++round) {
            bool done = false;
            Queue::main()->async([&] { done = true; });
            ASSERT_TRUE(runMainUntil([&] { return done; }, 10.0));
        }
    }

    static constexpr const char* kAppKey = "4827150396";
    TempDir home;
    tools::SocialApi api;
};

}  // namespace lv::test
