#include "analytics/tally_utility.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>

#include "platform/base/clock.h"
#include "platform/security/aes.h"
#include "platform/storage/bundle.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/path.h"
#include "platform/storage/sandbox.h"

namespace lv {
namespace {

constexpr std::string_view kEnvelopeSuffix = "_envelope.log";
constexpr std::uint8_t kEnvelopeIV[16] = {0x7c, 0x41, 0xe0, 0xb9, 0x5a, 0x2d, 0x38, 0xf6,
                                          0xc1, 0x9e, 0x04, 0xb7, 0xd2, 0x85, 0x3a, 0x6f};


std::string hiddenCacheFile(std::string_view suffix) {
    std::string name = "." + Bundle::mainBundle()->bundleIdentifier();
    name += suffix;
    return path::appendingPathComponent(TallyUtility::cacheDirectory(), name);
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

}  // namespace

bool TallyUtility::isExistAtPath(std::string_view path) { return FileManager::defaultManager().fileExistsAtPath(path); }

bool TallyUtility::makeAbsDir(std::string_view path) {
    return FileManager::defaultManager().createDirectoryAtPath(path, false, Dictionary(), nullptr);
}

bool TallyUtility::saveData(std::span<const std::uint8_t> data, std::string_view path) {
    // The folder may have been removed since it was made (a cleaner of the caches folder).
    const std::string folder = path::deletingLastPathComponent(path);
    if (!folder.empty() && !isExistAtPath(folder)) makeAbsDir(folder);
    return writeToFile(data, path, kDataWritingAtomic | kDataWritingWithoutOverwriting, nullptr);
}

void TallyUtility::removeFile(std::string_view path) {
    const std::string target(path);
    if (!target.empty()) ::unlink(target.c_str());
}

std::string TallyUtility::cacheDirectory() { return cachesDirectory(); }

std::string TallyUtility::tallyDirectory() {
    // Made once per sandbox (tests and the app's start may choose a new root).
    static std::mutex mutex;
    static std::uint64_t generation = 0;
    static std::string& folder = *new std::string;  // never destroyed: workers may ask during exit
    std::lock_guard lock(mutex);
    if (folder.empty() || generation != Sandbox::generation()) {
        generation = Sandbox::generation();
        folder = path::appendingPathComponent(cacheDirectory(), ".tally");
        if (!isExistAtPath(folder)) makeAbsDir(folder);
    }
    return folder;
}

std::string TallyUtility::cacheFilePath() { return hiddenCacheFile("_tallyCache.plist"); }
std::string TallyUtility::bgCacheFilePath() { return hiddenCacheFile("_tallybgCache.plist"); }
std::string TallyUtility::envelopeFilePath() { return hiddenCacheFile("_tally_envelope.log"); }

std::string TallyUtility::cacheJournalPath() { return hiddenCacheFile("_tallyCache.journal"); }

std::string TallyUtility::cacheFoldPath() { return hiddenCacheFile("_tallyCacheFold.plist"); }

std::string TallyUtility::cacheLedgerPath() {
    return path::appendingPathComponent(tallyDirectory(), ".tallyCacheSent.plist");
}

std::string TallyUtility::cacheLockPath() { return hiddenCacheFile("_tallyCache.lock"); }

std::string TallyUtility::pendingEnvelopePath(std::string_view envelopePath) {
    return path::appendingPathComponent(path::deletingLastPathComponent(envelopePath),
                                        "." + path::lastPathComponent(envelopePath));
}

std::string TallyUtility::exchangeIdentityPath() {
    return path::appendingPathComponent(tallyDirectory(), "exchangeIdentity.json");
}

std::vector<std::string> TallyUtility::itemsInAbsDir(std::string_view folder) {
    std::vector<std::string> items;
    auto names = FileManager::defaultManager().contentsOfDirectoryAtPath(folder, nullptr);
    if (!names) return items;
    for (const auto& name : *names) {
        if (!name.empty() && name[0] != '.') items.push_back(path::appendingPathComponent(folder, name));
    }
    return items;
}

std::vector<std::string> TallyUtility::envelopeFiles() {
    auto items = itemsInAbsDir(tallyDirectory());
    std::erase_if(items, [](const std::string& item) {
        struct stat info {};
        return !endsWith(path::lastPathComponent(item), kEnvelopeSuffix) || ::lstat(item.c_str(), &info) != 0 || !S_ISREG(info.st_mode);
    });
    return items;
}

void TallyUtility::sortFileWithCreatedTime(std::vector<std::string>& paths) {
    // Each date is read once, before sorting: a file removed or re-dated meanwhile cannot make the
    // order inconsistent.
    struct Entry {
        double created;
        std::string path;
    };
    std::vector<Entry> entries;
    entries.reserve(paths.size());
    for (auto& item : paths) {
        double created = std::numeric_limits<double>::infinity();
        if (auto attributes = FileManager::defaultManager().attributesOfItemAtPath(item, nullptr)) {
            if (const Date* date = attributes->get(kFileCreationDate).date()) created = date->since1970();
        }
        entries.push_back({created, std::move(item)});
    }
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.created != b.created) return a.created < b.created;
        return a.path < b.path;
    });
    for (std::size_t i = 0; i < entries.size(); ++i) paths[i] = std::move(entries[i].path);
}

std::string TallyUtility::generateEnvelopeFileNameWithTS(std::string_view ts) {
    std::string name(ts);
    name += kEnvelopeSuffix;
    return path::appendingPathComponent(tallyDirectory(), name);
}

double TallyUtility::durationNowWith1970TimeInterval(double since1970) { return currentTimeSince1970() - since1970; }

std::optional<Bytes> TallyUtility::AES128EncryptData(std::span<const std::uint8_t> data,
                                                     std::span<const std::uint8_t> key) {
    return aes128CBCEncrypt(key, kEnvelopeIV, data, AESPadding::PKCS7);
}

std::optional<Bytes> TallyUtility::AES128DecryptData(std::span<const std::uint8_t> data,
                                                     std::span<const std::uint8_t> key) {
    return aes128CBCDecrypt(key, kEnvelopeIV, data, AESPadding::PKCS7);
}


}  // namespace lv
