// The keychain file: a binary property list holding an array of item dictionaries.
#include "platform/security/keychain.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/storage/file_manager.h"
#include "platform/storage/path.h"
#include "platform/storage/property_list.h"
#include "platform/storage/sandbox.h"
#include "platform/storage/user_defaults.h"

namespace lv {

namespace {

// Item keys in the file, named as the platform names the attributes.
constexpr std::string_view kClassKey = "class";
constexpr std::string_view kGenericPasswordClass = "genp";
constexpr std::string_view kServiceKey = "svce";
constexpr std::string_view kAccountKey = "acct";
constexpr std::string_view kAccessibleKey = "pdmn";
constexpr std::string_view kDataKey = "v_Data";

std::mutex& keychainMutex() {
    static std::mutex mutex;
    return mutex;
}

std::function<void()>& beforeReplaceHook() {
    static std::function<void()>& hook = *new std::function<void()>;  // never destroyed
    return hook;
}

constexpr std::size_t kMaxKeychainBytes = 1 << 20;

Array readItems() {
    // A few items; a file past the bound is no keychain (and is not read whole).
    const auto bytes = dataWithContentsOfFile(Keychain::path(), kMaxKeychainBytes, nullptr);
    if (!bytes) return {};
    Value plist = PropertyListSerialization::propertyListWithData(*bytes, kPropertyListImmutable, nullptr, nullptr);
    return plist.isArray() ? plist.array() : Array();
}

bool matches(const Value& item, std::string_view service, std::string_view account) {
    return item[kClassKey].isString() && item[kClassKey].string() == kGenericPasswordClass &&
           item[kServiceKey].isString() && item[kServiceKey].string() == service && item[kAccountKey].isString() &&
           item[kAccountKey].string() == account;
}

Array::const_iterator findItem(const Array& items, std::string_view service, std::string_view account) {
    for (auto it = items.begin(); it != items.end(); ++it) {
        if (matches(*it, service, account)) return it;
    }
    return items.end();
}

bool writeAll(int fd, const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// A temporary file of mode 0600 beside the keychain, flushed, then renamed over it.
bool writeItems(const Array& items) {
    const auto bytes = PropertyListSerialization::dataWithPropertyList(Value(items), PropertyListFormat::Binary, 0, nullptr);
    if (!bytes) return false;
    const std::string target = Keychain::path();
    const std::string folder = path::deletingLastPathComponent(target);
    if (!FileManager::defaultManager().createDirectoryAtPath(folder, true, {}, nullptr)) return false;
    // Anything but a file in the keychain's place (a folder) would refuse every write: it goes aside.
    struct stat info {};
    if (::lstat(target.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) {
        setAsideDamagedFile(target, "Keychain file is no file");
    }
    std::string temporary = target + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());  // created with mode 0600
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, *bytes) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok && beforeReplaceHook()) beforeReplaceHook()();
    if (ok) ok = ::rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) ::unlink(temporary.c_str());
    return ok;
}

}  // namespace

std::string Keychain::path() {
    return path::appendingPathComponent(path::appendingPathComponent(libraryDirectory(), "Keychains"), "keychain.plist");
}

void Keychain::setBeforeReplaceHookForTesting(std::function<void()> hook) {
    std::lock_guard lock(keychainMutex());
    beforeReplaceHook() = std::move(hook);
}

static Value makeItem(std::string_view service, std::string_view account, const Bytes& data, std::string_view accessible) {
    Dictionary item;
    item.set(std::string(kClassKey), Value(kGenericPasswordClass));
    item.set(std::string(kServiceKey), Value(service));
    item.set(std::string(kAccountKey), Value(account));
    item.set(std::string(kAccessibleKey), Value(accessible));
    item.set(std::string(kDataKey), Value(data));
    return Value(std::move(item));
}

int Keychain::addGenericPassword(std::string_view service, std::string_view account, const Bytes& data,
                                 std::string_view accessible) {
    std::lock_guard lock(keychainMutex());
    Array items = readItems();
    if (findItem(items, service, account) != items.end()) return kSecDuplicateItem;
    items.emplace_back(makeItem(service, account, data, accessible));
    return writeItems(items) ? kSecSuccess : kSecIO;
}

int Keychain::replaceGenericPassword(std::string_view service, std::string_view account, const Bytes& data,
                                     std::string_view accessible) {
    std::lock_guard lock(keychainMutex());
    Array items = readItems();
    const auto found = findItem(items, service, account);
    if (found != items.end()) items.erase(found);
    items.emplace_back(makeItem(service, account, data, accessible));
    return writeItems(items) ? kSecSuccess : kSecIO;
}

int Keychain::copyGenericPassword(std::string_view service, std::string_view account, Bytes* data) {
    std::lock_guard lock(keychainMutex());
    const Array items = readItems();
    const auto found = findItem(items, service, account);
    if (found == items.end()) return kSecItemNotFound;
    if (data) *data = (*found)[kDataKey].bytes();
    return kSecSuccess;
}

int Keychain::deleteGenericPassword(std::string_view service, std::string_view account) {
    std::lock_guard lock(keychainMutex());
    Array items = readItems();
    const auto found = findItem(items, service, account);
    if (found == items.end()) return kSecItemNotFound;
    items.erase(found);
    return writeItems(items) ? kSecSuccess : kSecIO;
}

std::optional<std::string> Keychain::accessibility(std::string_view service, std::string_view account) {
    std::lock_guard lock(keychainMutex());
    const Array items = readItems();
    const auto found = findItem(items, service, account);
    if (found == items.end()) return std::nullopt;
    return (*found)[kAccessibleKey].string();
}

}  // namespace lv
