// The keychain file: items by service and account, mode 0600, atomic replacement.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "platform/security/keychain.h"
#include "platform/storage/sandbox.h"
#include "support/temp_dir.h"

namespace {

// The suite is named Keychain, so the class is reached as Store.
using Store = lv::Keychain;
using lv::Bytes;
using lv::kSecAttrAccessibleAfterFirstUnlock;
using lv::kSecAttrAccessibleWhenUnlocked;
using lv::kSecDuplicateItem;
using lv::kSecItemNotFound;
using lv::kSecSuccess;
using lv::Sandbox;
namespace test = lv::test;

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

class Keychain : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Sandbox::setRoot(dir_.path().string())); }
    test::TempDir dir_;
};

TEST_F(Keychain, ItemsAreKeyedByServiceAndAccount) {
    Bytes data;
    EXPECT_EQ(Store::copyGenericPassword("svc", "svc", &data), kSecItemNotFound);
    EXPECT_EQ(Store::deleteGenericPassword("svc", "svc"), kSecItemNotFound);
    EXPECT_EQ(Store::addGenericPassword("svc", "svc", bytesOf("one"), kSecAttrAccessibleAfterFirstUnlock), kSecSuccess);
    EXPECT_EQ(Store::addGenericPassword("svc", "svc", bytesOf("again")), kSecDuplicateItem);
    EXPECT_EQ(Store::addGenericPassword("svc", "other", bytesOf("two")), kSecSuccess);
    EXPECT_EQ(Store::addGenericPassword("svc.x", "svc", Bytes{}), kSecSuccess);

    const struct {
        const char* service;
        const char* account;
        const char* data;
    } expected[] = {{"svc", "svc", "one"}, {"svc", "other", "two"}, {"svc.x", "svc", ""}};
    for (const auto& e : expected) {
        ASSERT_EQ(Store::copyGenericPassword(e.service, e.account, &data), kSecSuccess) << e.service << "/" << e.account;
        EXPECT_EQ(data, bytesOf(e.data));
    }
    EXPECT_EQ(Store::accessibility("svc", "svc"), std::string(kSecAttrAccessibleAfterFirstUnlock));
    EXPECT_EQ(Store::accessibility("svc", "other"), std::string(kSecAttrAccessibleWhenUnlocked));

    // Delete-then-add replaces one item and leaves the others.
    EXPECT_EQ(Store::deleteGenericPassword("svc", "svc"), kSecSuccess);
    EXPECT_EQ(Store::addGenericPassword("svc", "svc", bytesOf("new")), kSecSuccess);
    ASSERT_EQ(Store::copyGenericPassword("svc", "svc", &data), kSecSuccess);
    EXPECT_EQ(data, bytesOf("new"));
    ASSERT_EQ(Store::copyGenericPassword("svc", "other", &data), kSecSuccess);
    EXPECT_EQ(data, bytesOf("two"));
}

// A folder in the keychain file's place is set aside ("Damaged" beside it): items are stored again.
TEST_F(Keychain, AFolderInTheFilesPlaceIsSetAside) {
    std::filesystem::create_directories(Store::path() + "/inside");
    ASSERT_EQ(Store::addGenericPassword("svc", "acct", bytesOf("secret")), kSecSuccess);
    Bytes data;
    ASSERT_EQ(Store::copyGenericPassword("svc", "acct", &data), kSecSuccess);
    EXPECT_EQ(data, bytesOf("secret"));
    EXPECT_TRUE(std::filesystem::is_regular_file(Store::path()));
    EXPECT_FALSE(std::filesystem::is_empty(dir_.path() / "Library/Keychains/Damaged"));
}

TEST_F(Keychain, FileIsPrivateAndFollowsTheSandbox) {
    ASSERT_EQ(Store::addGenericPassword("svc", "acct", bytesOf("secret")), kSecSuccess);
    EXPECT_EQ(Store::path(), (dir_.path() / "Library/Keychains/keychain.plist").string());
    struct stat info {};
    ASSERT_EQ(::stat(Store::path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // Another sandbox has its own, empty keychain; the first one's items are still there on return.
    test::TempDir other;
    ASSERT_TRUE(Sandbox::setRoot(other.path().string()));
    Bytes data;
    EXPECT_EQ(Store::copyGenericPassword("svc", "acct", &data), kSecItemNotFound);
    ASSERT_TRUE(Sandbox::setRoot(dir_.path().string()));
    ASSERT_EQ(Store::copyGenericPassword("svc", "acct", &data), kSecSuccess);
    EXPECT_EQ(data, bytesOf("secret"));
}

TEST_F(Keychain, WriterKilledMidSaveLeavesTheOldItems) {
    ASSERT_EQ(Store::addGenericPassword("kept", "kept", bytesOf("old")), kSecSuccess);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The new file is written in full, then the process dies before it replaces the old one.
        Store::setBeforeReplaceHookForTesting([] { ::raise(SIGKILL); });
        Store::deleteGenericPassword("kept", "kept");
        Store::addGenericPassword("lost", "lost", Bytes(100000, 7));
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);

    Bytes data;
    ASSERT_EQ(Store::copyGenericPassword("kept", "kept", &data), kSecSuccess);
    EXPECT_EQ(data, bytesOf("old"));
    EXPECT_EQ(Store::copyGenericPassword("lost", "lost", &data), kSecItemNotFound);
    // The abandoned temporary file does not disturb later saves.
    EXPECT_EQ(Store::addGenericPassword("next", "next", bytesOf("x")), kSecSuccess);
    EXPECT_EQ(Store::copyGenericPassword("kept", "kept", &data), kSecSuccess);
}

}  // namespace
