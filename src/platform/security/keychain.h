// The keychain: generic-password items keyed by service and account, each holding data and an
// accessibility attribute. Items live in one binary property-list file of mode 0600 in the sandbox
// ("Library/Keychains/keychain.plist"), rewritten atomically on every change, so they survive launches
// and a writer killed mid-save leaves the previous items. No encryption at rest. Locked; any thread.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/value.h"
#include "platform/security/status.h"

namespace lv {

// Accessibility attribute values.
inline constexpr std::string_view kSecAttrAccessibleAfterFirstUnlock = "kSecAttrAccessibleAfterFirstUnlock";
inline constexpr std::string_view kSecAttrAccessibleWhenUnlocked = "kSecAttrAccessibleWhenUnlocked";
inline constexpr std::string_view kSecAttrAccessibleAlways = "kSecAttrAccessibleAlways";

class Keychain {
public:
    // Adds the item; kSecDuplicateItem when one with this service and account exists, kSecIO when the
    // file cannot be written.
    static int addGenericPassword(std::string_view service, std::string_view account, const Bytes& data,
                                  std::string_view accessible = kSecAttrAccessibleWhenUnlocked);
    // Replaces the item's data and accessibility, or adds the item when there is none, in one write of
    // the file (so a failed write keeps the previous item); kSecIO when the file cannot be written.
    static int replaceGenericPassword(std::string_view service, std::string_view account, const Bytes& data,
                                      std::string_view accessible = kSecAttrAccessibleWhenUnlocked);
    // The item's data in *data; kSecItemNotFound when there is none.
    static int copyGenericPassword(std::string_view service, std::string_view account, Bytes* data);
    // Deletes the item; kSecItemNotFound when there is none.
    static int deleteGenericPassword(std::string_view service, std::string_view account);
    // The item's accessibility attribute, or nothing when there is no such item.
    static std::optional<std::string> accessibility(std::string_view service, std::string_view account);

    // The file of the current sandbox.
    static std::string path();
    // Called after the new file's bytes are written and before it replaces the old one (tests stop a
    // writer there); nothing clears it.
    static void setBeforeReplaceHookForTesting(std::function<void()> hook);
};

}  // namespace lv
