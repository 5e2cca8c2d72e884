// The lunavexa program's Microblog commands as a separate process against the content-service and
// social-API stand-ins on 127.0.0.1.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "content/content_test_support.h"
#include "content_service.h"
#include "platform/dispatch/run_loop.h"
#include "program_run.h"
#include "social_api.h"

namespace lv::test {
namespace {

class MicroblogCommand : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(content.start());
        ASSERT_TRUE(social.start());
        std::ofstream(dir.file("root.pem")) << social.rootCertificatePEM();
    }
    void TearDown() override {
        social.stop();
        content.stop();
    }
    Outcome run(const std::string& arguments) { return runLunavexa(dir, options(content.port()) + " " + arguments); }
    std::string options(int contentPort) const {
        return "--home " + quoted(dir.file("home")) + " --bundle " +
                                    quoted(sourceDirectory() + "/bundle") + " --service " +
                                    std::to_string(contentPort) + " --trust " + quoted(dir.file("root.pem")) +
                                    " --map api.microblog.invalid:443=127.0.0.1:" + std::to_string(social.httpsPort()) +
                                    " --map api.microblog.invalid:80=127.0.0.1:" + std::to_string(social.httpPort());
    }

    TempDir dir;
    tools::ContentService content{sourceDirectory() + "/tools/content-service/fixtures"};
    tools::SocialApi social;
};

TEST_F(MicroblogCommand, LoginShareAndLogoutPlayTheScreens) {
    Outcome login = run("login");
    ASSERT_EQ(login.code, 0) << login.err;
    EXPECT_EQ(login.out, std::string("login\t") + tools::SocialApi::kUserID + "\t" + tools::SocialApi::kScreenName + "\n");

    std::ofstream(dir.file("chart.jpg"), std::ios::binary) << std::string("\xFF\xD8\xFF\xD9", 4);
    Outcome share = run("share --text '岚朵 & 排行' --image " + quoted(dir.file("chart.jpg")));
    ASSERT_EQ(share.code, 0) << share.err;
    EXPECT_EQ(share.out, "toast\t微博发布成功！\n");
    auto uploads = social.requestsTo("/2/statuses/upload.json");
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].params.at("status"), "岚朵 & 排行");
    EXPECT_EQ(uploads[0].params.at("access_token"), social.requestsTo("/2/users/show.json")[0].params.at("access_token"));

    Outcome logout = run("logout");
    ASSERT_EQ(logout.code, 0) << logout.err;
    EXPECT_EQ(social.requestsTo("/oauth2/revokeoauth2").size(), 1u);
    // Logged out: the next share logs in first.
    Outcome again = run("share --text again --image " + quoted(dir.file("chart.jpg")));
    ASSERT_EQ(again.code, 0) << again.err;
    EXPECT_EQ(social.requestsTo("/oauth2/authorize").size(), 2u);
}

// A login or logout the settings could not keep (a folder in the settings file's place) fails with
// one line, never a success line over settings that did not change.
TEST_F(MicroblogCommand, ALoginOrLogoutTheSettingsCannotKeepFails) {
    ASSERT_EQ(run("launch").code, 0);
    const std::string file = dir.file("home") + "/Documents/LNPreferences.plist";
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    for (const char* command : {"login", "logout"}) {
        Outcome outcome = run(command);
        EXPECT_EQ(outcome.code, 1) << command;
        EXPECT_NE(outcome.err.find(std::string("the ") + command + " could not be saved in the settings"), std::string::npos)
            << outcome.err;
        EXPECT_NE(outcome.out.rfind(command, 0), 0u) << outcome.out;  // no success line
    }
}

// The name comes from the service: control characters in it are printed escaped.
TEST_F(MicroblogCommand, TheLoginLinePrintsTheServicesNameEscaped) {
    tools::SocialBehaviour named;
    named.customBody = std::string("{\"id\":") + tools::SocialApi::kUserID + ",\"idstr\":\"" + tools::SocialApi::kUserID +
                       "\",\"name\":\"a\\u001b[2Jb\\u0007\",\"screen_name\":\"a\\u001b[2Jb\\u0007\"}";
    social.setBehaviour("/2/users/show.json", named);
    Outcome login = run("login");
    ASSERT_EQ(login.code, 0) << login.err;
    EXPECT_EQ(login.out, std::string("login\t") + tools::SocialApi::kUserID + "\ta\\x1b[2Jb\\x07\n");
}

// A launch whose video configuration fails after another process logged in saves its video switch into
// the settings as they are then: the login stays.
TEST_F(MicroblogCommand, ALaunchSavingLateKeepsTheLoginOfAnotherProcess) {
    tools::ContentService held{sourceDirectory() + "/tools/content-service/fixtures"};
    ASSERT_TRUE(held.start());
    tools::ContentBehaviour late;
    late.together = 2;  // the reply waits for a second request, which never comes
    held.setBehaviour("videoConfig", late);
    TempDir outputs;
    RunningLunavexa page(outputs, options(held.port()) + " news --cat ent");
    ASSERT_TRUE(page.started());
    ASSERT_TRUE(runMainUntil(
        [&] {
            for (const auto& request : held.requests()) {
                if (request.query.find("action=videoConfig") != std::string::npos) return true;
            }
            return false;
        },
        30));
    Outcome login = run("login");
    ASSERT_EQ(login.code, 0) << login.err;
    held.stop();  // the held request fails: the page command's launch sets the video switch and saves
    EXPECT_EQ(page.finish().code, 1);
    Outcome settings = run("settings");
    EXPECT_NE(settings.out.find("\nmblCurrentUserID\t" + std::string(tools::SocialApi::kUserID) + "\n"), std::string::npos)
        << settings.out;
    EXPECT_NE(settings.out.find("\nmblUsername\t" + std::string(tools::SocialApi::kScreenName) + "\n"), std::string::npos);
    EXPECT_EQ(settings.out.find("\nmbltoken\t-\n"), std::string::npos) << settings.out;
    EXPECT_NE(settings.out.find("\nhideVideos\t1\n"), std::string::npos) << settings.out;
}

TEST_F(MicroblogCommand, RefusedLoginAndForeignURLsFail) {
    tools::SocialBehaviour deny;
    deny.deny = true;
    social.setBehaviour("/oauth2/authorize", deny);
    Outcome login = run("login");
    EXPECT_EQ(login.code, 1);
    EXPECT_NE(login.err.find("the login was refused"), std::string::npos) << login.err;
    Outcome other = run("open-url https://example.invalid/response?id=1");
    EXPECT_EQ(other.code, 1);
    EXPECT_EQ(other.out, "open-url\tnot handled\n");
    Outcome own = run("open-url 'mbl4827150396://response?id=unknown'");
    EXPECT_EQ(own.code, 0);
    EXPECT_EQ(own.out, "open-url\thandled\n");
    EXPECT_EQ(run("share --text x").code, 2);
}

}  // namespace
}  // namespace lv::test
