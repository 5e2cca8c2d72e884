#include "analytics/detail/cache_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>

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

// Reads from the offset to the end; answers whether it all came.
bool readFrom(int fd, std::size_t offset, std::size_t length, Bytes& into) {
    into.resize(length);
    std::size_t at = 0;
    while (at < length) {
        const ssize_t got = ::pread(fd, into.data() + at, length - at, static_cast<off_t>(offset + at));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        at += static_cast<std::size_t>(got);
    }
    return true;
}

// Opens a regular file at the path without following a link: -1 with errno ENOENT when nothing is
// there, -1 with another errno when something else is.
int openRegular(const std::string& path, int flags, struct stat& info) {
    const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        if (errno == ENOENT) return -1;
        errno = EINVAL;
        return -1;
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

struct HeldLock {
    int fd = -1;
    int depth = 0;
};
thread_local HeldLock held;

}  // namespace

bool appendJournalRecord(const std::string& path, const Bytes& record, std::size_t* end) {
    if (record.size() > 0xFFFFFFFFu) return false;
    struct stat info {};
    const int fd = openRegular(path, O_WRONLY | O_APPEND | O_CREAT, info);
    if (fd < 0) return false;
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
    if (whole && end) *end = static_cast<std::size_t>(info.st_size) + framed.size();
    ::close(fd);
    return whole;
}

FileRead readCacheFile(const std::string& path, Bytes& into) {
    struct stat info {};
    const int fd = openRegular(path, O_RDONLY, info);
    if (fd < 0) return errno == ENOENT ? FileRead::Absent : FileRead::Damaged;
    const auto length = static_cast<std::size_t>(info.st_size);
    const bool read = length <= kMaxCacheFileBytes && readFrom(fd, 0, length, into);
    ::close(fd);
    return read ? FileRead::Read : FileRead::Damaged;
}

void removeDamaged(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return;
    if (S_ISDIR(info.st_mode)) {
        FileManager::defaultManager().removeItemAtPath(path, nullptr);
    } else {
        ::unlink(path.c_str());
    }
}

void removeFolderAt(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) removeDamaged(path);
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
    struct stat info {};
    const int fd = openRegular(path, O_WRONLY, info);
    if (fd < 0) return false;
    const bool cut = ::ftruncate(fd, static_cast<off_t>(length)) == 0;
    ::close(fd);
    return cut;
}

std::optional<JournalContents> readJournalFrom(const std::string& path, std::size_t offset) {
    struct stat info {};
    const int fd = openRegular(path, O_RDONLY, info);
    if (fd < 0) {
        if (errno == ENOENT && offset == 0) return JournalContents{};
        return std::nullopt;
    }
    const auto length = static_cast<std::size_t>(info.st_size);
    Bytes tail;
    const bool read = length >= offset && length <= kMaxCacheFileBytes && readFrom(fd, offset, length - offset, tail);
    ::close(fd);
    if (!read) return std::nullopt;
    JournalContents contents = readJournal(tail);
    contents.wholeLength += offset;
    contents.fileLength += offset;
    return contents;
}

std::string digestOf(const Bytes& bytes) { return hexString(md5Digest(std::span<const std::uint8_t>(bytes))); }

bool isEnvelopeName(std::string_view name) {
    constexpr std::string_view kSuffix = "_envelope.log";
    if (name.size() <= kSuffix.size() || !name.ends_with(kSuffix)) return false;
    const std::string_view digits = name.substr(0, name.size() - kSuffix.size());
    return digits.find_first_not_of("0123456789") == std::string_view::npos;
}

std::optional<CacheLedger> readLedger(const std::string& path, bool needsEnvelope, bool* damaged) {
    if (damaged) *damaged = false;
    Bytes bytes;
    const FileRead read = readCacheFile(path, bytes);
    if (read != FileRead::Read) {
        if (damaged) *damaged = read == FileRead::Damaged;
        return std::nullopt;
    }
    const Value root = PropertyListSerialization::propertyListWithData(bytes, 0, nullptr, nullptr);
    if (!root.isDictionary() || (needsEnvelope && !(root["envelope"].isString() && isEnvelopeName(root["envelope"].string())))) {
        if (damaged) *damaged = true;
        return std::nullopt;
    }
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
    if (!bytes) return false;
    removeFolderAt(path);
    return writeToFile(*bytes, path, true);
}

CacheLock::CacheLock(const std::string& lockPath) {
    if (held.depth++ > 0) return;
    struct stat info {};
    held.fd = openRegular(lockPath, O_RDWR | O_CREAT, info);
    if (held.fd < 0 && errno != ENOENT) {
        removeDamaged(lockPath);  // a link or a folder there: a lock file of its own instead
        held.fd = openRegular(lockPath, O_RDWR | O_CREAT, info);
    }
    if (held.fd < 0) return;
    int locked = -1;
    do {
        locked = ::flock(held.fd, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        ::close(held.fd);
        held.fd = -1;
    }
}

CacheLock::~CacheLock() {
    if (--held.depth > 0 || held.fd < 0) return;
    ::close(held.fd);  // lets the lock go
    held.fd = -1;
}

std::string CacheLock::token() {
    if (held.fd < 0) return {};
    struct stat info {};
    Bytes bytes;
    if (::fstat(held.fd, &info) != 0 || info.st_size > 64 || !readFrom(held.fd, 0, static_cast<std::size_t>(info.st_size), bytes)) {
        return {};
    }
    return std::string(bytes.begin(), bytes.end());
}

std::string CacheLock::renew() {
    if (held.fd < 0) return {};
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    const std::string made = std::to_string(generator()) + "-" + std::to_string(::getpid());
    if (::ftruncate(held.fd, 0) != 0 || ::pwrite(held.fd, made.data(), made.size(), 0) != static_cast<ssize_t>(made.size())) {
        return {};
    }
    return made;
}

EnvelopeClaim::EnvelopeClaim(const std::string& path) : path_(path) {
    struct stat info {};
    const int fd = openRegular(path, O_RDONLY, info);
    if (fd < 0) return;
    struct stat now {};
    // Locked elsewhere: another worker posts it. Unlinked since it was opened: posted already.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &info) != 0 || info.st_nlink == 0 ||
        ::lstat(path.c_str(), &now) != 0 || now.st_ino != info.st_ino || now.st_dev != info.st_dev ||
        !readFrom(fd, 0, static_cast<std::size_t>(info.st_size), bytes_)) {
        ::close(fd);
        bytes_.clear();
        return;
    }
    fd_ = fd;
}

EnvelopeClaim::~EnvelopeClaim() {
    if (fd_ >= 0) ::close(fd_);
}

void EnvelopeClaim::removeFile() {
    struct stat mine {};
    struct stat now {};
    if (fd_ < 0 || ::fstat(fd_, &mine) != 0 || ::lstat(path_.c_str(), &now) != 0) return;
    if (now.st_ino == mine.st_ino && now.st_dev == mine.st_dev) ::unlink(path_.c_str());
}

}  // namespace lv::analytics_detail
