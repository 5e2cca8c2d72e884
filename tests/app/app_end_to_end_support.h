// The whole app against stand-ins on 127.0.0.1 for one test: fresh defaults and device facts, the
// push client's database in the test's sandbox, the content stand-in behind the content and probe
// hosts, and a reachable network. The test adds its own services before registering the app.
#pragma once

#include "app/app_delegate.h"
#include "content/content_test_support.h"
#include "content/launch_glue.h"
#include "content/reachability.h"
#include "content/rest_api_helper.h"
#include "content_service.h"
#include "platform/net/host_map.h"
#include "platform/net/reachability.h"
#include "platform/storage/user_defaults.h"
#include "platform/ui/device.h"
#include "push/push_sqlite.h"

namespace lv::test {

class AppEndToEnd : public AppStack {
protected:
    // The device's machine name decides the access type the clients report.
    void startStack(const std::string& machineName) {
        UserDefaults::resetStandardUserDefaults();
        DeviceFacts facts = DeviceFacts::machineDefaults();
        facts.machineName = machineName;
        DeviceFacts::set(facts);
        PNSqlite::getInstance().closeDB();  // the push client's database opens in this test's sandbox
        PNSqlite::getInstance().initDB();
        ASSERT_TRUE(content.start());
        HostMap::set(*URL::URLWithString(RestAPIHelper::kContentServiceBaseURL)->host(), "127.0.0.1", content.port());
        HostMap::set(CheckNetwork::kProbeHost, "127.0.0.1", content.port());
        NetworkReachability::setFlagsOverride(kReachabilityFlagsReachable);
        Application::resetSharedApplication();
    }
    void TearDown() override {
        PNSqlite::getInstance().taskQueue()->sync([] {});
        PNSqlite::getInstance().closeDB();
        delegate.reset();
        NetworkReachability::setFlagsOverride(std::nullopt);
        HostMap::clear();
        content.stop();
        AppStack::TearDown();
        Application::resetSharedApplication();
        DeviceFacts::reset();
    }

    tools::ContentService content{sourceDirectory() + "/tools/content-service/fixtures"};
    Ref<AppDelegate> delegate;
};

}  // namespace lv::test
