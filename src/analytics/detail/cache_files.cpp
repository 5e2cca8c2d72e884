#include "analytics/detail/cache_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/base/log.h"
#include "platform/security/digest.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/property_list.h"

namespace lv::analytics_detail {

namespace {

constexpr std::size_t kLengthBytes = 4;

bool writeAll(int fd, const std::uint8_t* bytes, std::size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(fd, bytes, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

bool appendJournalRecord(const std::string& path, const Bytes& record) {
    if (record.size() > 0xFFFFFFFFu) return false;
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        ::close(fd);
        return false;
    }
    Bytes framed;
    framed.reserve(kLengthBytes + record.size());
    const auto length = static_cast<std::uint32_t>(record.size());
    for (int shift = 24; shift >= 0; shift -= 8) framed.push_back(static_cast<std::uint8_t>(length >> shift));
    framed.insert(framed.end(), record.begin(), record.end());
    const bool whole = writeAll(fd, framed.data(), framed.size());
    // A cut record would hide every record appended after it: the file goes back to where it was.
    if (!whole && ::ftruncate(fd, info.st_size) != 0) {
        // Left cut: the reader stops at the cut and the next fold rewrites the archive.
    }
    ::close(fd);
    return whole;
}

JournalContents readJournal(const Bytes& bytes) {
    JournalContents contents;
    contents.fileLength = bytes.size();
    std::size_t at = 0;
    while (bytes.size() - at >= kLengthBytes) {
        std::uint32_t length = 0;
        for (std::size_t i = 0; i < kLengthBytes; ++i) length = (length << 8) | bytes[at + i];
        if (bytes.size() - at - kLengthBytes < length) break;
        const auto begin = bytes.begin() + static_cast<std::ptrdiff_t>(at + kLengthBytes);
        contents.records.emplace_back(begin, begin + static_cast<std::ptrdiff_t>(length));
        at += kLengthBytes + length;
    }
    contents.wholeLength = at;
    return contents;
}

bool truncateFile(const std::string& path, std::size_t length) {
    return ::truncate(path.c_str(), static_cast<off_t>(length)) == 0;
}

std::optional<Bytes> readCacheFile(const std::string& path) {
    Ref<Error> error;
    std::optional<Bytes> bytes = dataWithContentsOfFile(path, kMaxCacheFileBytes, &error);
    if (!bytes && isUnfitFileError(error)) {
        log("Analytics cache file %@ is no cache file, removed: %@", path, error);
        ::unlink(path.c_str());
    }
    return bytes;
}

std::string digestOf(const Bytes& bytes) { return hexString(md5Digest(std::span<const std::uint8_t>(bytes))); }

std::optional<CacheLedger> readLedger(const std::string& path, bool needsEnvelope) {
    const std::optional<Bytes> bytes = dataWithContentsOfFile(path, kMaxCacheFileBytes, nullptr);
    if (!bytes) return std::nullopt;
    const Value root = PropertyListSerialization::propertyListWithData(*bytes, 0, nullptr, nullptr);
    if (!root.isDictionary() || (needsEnvelope && !root["envelope"].isString())) return std::nullopt;
    CacheLedger ledger;
    ledger.archive = root["archive"].isString() ? root["archive"].string() : std::string();
    ledger.journal = root["journal"].isString() ? root["journal"].string() : std::string();
    ledger.envelope = root["envelope"].isString() ? root["envelope"].string() : std::string();
    return ledger;
}

bool writeLedger(const std::string& path, const CacheLedger& ledger) {
    const Value root = Value::dictionary({{"archive", Value(ledger.archive)},
                                          {"journal", Value(ledger.journal)},
                                          {"envelope", Value(ledger.envelope)}});
    const auto bytes = PropertyListSerialization::dataWithPropertyList(root, PropertyListFormat::Binary, 0, nullptr);
    return bytes && writeToFile(*bytes, path, true);
}

}  // namespace lv::analytics_detail
