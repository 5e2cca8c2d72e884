#include "platform/storage/file_manager.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <new>
#include <system_error>

#include "platform/base/format.h"
#include "platform/storage/detail/file_errors.h"
#include "platform/storage/detail/write_temporaries.h"
#include "platform/storage/sandbox.h"
#include "platform/storage/path.h"

namespace lv {

namespace fs = std::filesystem;
using detail::fileError;

namespace {

// The process's file-creation mask, read once without changing it.
mode_t processUmask() {
    static const mode_t mask = [] {
        std::ifstream status("/proc/self/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
        }
        return static_cast<mode_t>(022);
    }();
    return mask;
}

Date dateOf(const struct timespec& t) {
    return Date::fromSince1970(static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9);
}

struct timespec timespecOf(const Date& date) {
    const double since1970 = date.since1970();
    double whole = std::floor(since1970);
    long nanos = std::lround((since1970 - whole) * 1e9);
    if (nanos >= 1000000000L) {
        whole += 1;
        nanos -= 1000000000L;
    }
    struct timespec t{};
    t.tv_sec = static_cast<time_t>(whole);
    t.tv_nsec = nanos;
    return t;
}

bool writeAll(int fd, std::span<const std::uint8_t> data, int& e) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            e = errno;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool fail(Ref<Error>* error, std::int64_t code, std::string_view path, int e, std::string description) {
    setError(error, fileError(code, path, e, std::move(description)));
    return false;
}

bool writeFailure(Ref<Error>* error, std::string_view path, int e) {
    const auto code = detail::writeErrorCode(e);
    return fail(error, code, path, e, detail::writeFailureDescription(path, code));
}

std::string quotedName(std::string_view p) { return "\u201c" + path::lastPathComponent(p) + "\u201d"; }

bool copyTree(const std::string& from, const std::string& to, int& e) {
    std::error_code ec;
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
    if (ec) e = ec.value();
    return !ec;
}

}  // namespace

FileManager& FileManager::defaultManager() {
    static const Ref<FileManager>& manager = *new Ref<FileManager>(makeRef<FileManager>());  // never destroyed
    return *manager;
}

bool FileManager::fileExistsAtPath(std::string_view path, bool* isDirectory) const {
    struct stat st{};
    if (path.empty() || ::stat(std::string(path).c_str(), &st) != 0) return false;
    if (isDirectory) *isDirectory = S_ISDIR(st.st_mode);
    return true;
}

bool FileManager::isReadableFileAtPath(std::string_view path) const {
    return !path.empty() && ::access(std::string(path).c_str(), R_OK) == 0;
}

bool FileManager::isWritableFileAtPath(std::string_view path) const {
    return !path.empty() && ::access(std::string(path).c_str(), W_OK) == 0;
}

bool FileManager::createDirectoryAtPath(std::string_view path, bool withIntermediateDirectories,
                                        const Dictionary& attributes, Ref<Error>* error) {
    const std::string target(path);
    if (target.empty()) return writeFailure(error, path, ENOENT);
    if (withIntermediateDirectories) {
        std::error_code ec;
        fs::create_directories(target, ec);
        if (ec) return writeFailure(error, path, ec.value());
        bool isDirectory = false;
        if (!fileExistsAtPath(target, &isDirectory) || !isDirectory) return writeFailure(error, path, EEXIST);
    } else if (::mkdir(target.c_str(), 0777) != 0) {
        return writeFailure(error, path, errno);
    }
    return attributes.empty() || setAttributes(attributes, path, error);
}

bool FileManager::createFileAtPath(std::string_view path, std::span<const std::uint8_t> contents,
                                   const Dictionary& attributes) {
    if (!writeToFile(contents, path, kDataWritingAtomic, nullptr)) return false;
    return attributes.empty() || setAttributes(attributes, path, nullptr);
}

std::optional<Bytes> FileManager::contentsAtPath(std::string_view path) const {
    return dataWithContentsOfFile(path, nullptr);
}

bool FileManager::removeItemAtPath(std::string_view path, Ref<Error>* error) {
    const std::string target(path);
    struct stat st{};
    if (target.empty() || ::lstat(target.c_str(), &st) != 0) {
        const int e = target.empty() ? ENOENT : errno;
        return fail(error, e == ENOENT ? kFileNoSuchFileError : detail::writeErrorCode(e), path, e,
                    format("%@ couldn\u2019t be removed.", quotedName(path)));
    }
    std::error_code ec;
    fs::remove_all(target, ec);
    if (ec) {
        const auto code = ec.value() == EACCES || ec.value() == EPERM ? kFileWriteNoPermissionError
                                                                        : detail::writeErrorCode(ec.value());
        return fail(error, code, path, ec.value(),
                    format("%@ couldn\u2019t be removed because you don\u2019t have permission to access it.",
                           quotedName(path)));
    }
    return true;
}

bool FileManager::moveItemAtPath(std::string_view source, std::string_view destination, Ref<Error>* error) {
    const std::string from(source), to(destination);
    auto failWith = [&](std::int64_t code, int e, std::string description) {
        Dictionary info;
        info.set(std::string(kSourceFilePathErrorKey), from);
        info.set(std::string(kDestinationFilePathErrorKey), to);
        info.set(std::string(kFilePathErrorKey), from);
        info.set(std::string(kLocalizedDescriptionKey), std::move(description));
        if (e != 0) info.set(std::string(kUnderlyingErrorKey), Value(detail::posixError(e)));
        setError(error, Error::make(std::string(kCocoaErrorDomain), code, std::move(info)));
        return false;
    };
    const std::string toFolder = quotedName(path::deletingLastPathComponent(to));
    struct stat st{};
    if (from.empty() || ::lstat(from.c_str(), &st) != 0) {
        return failWith(kFileNoSuchFileError, ENOENT,
                        format("%@ couldn\u2019t be moved to %@ because either the former doesn\u2019t exist, or the "
                               "folder containing the latter doesn\u2019t exist.",
                               quotedName(from), toFolder));
    }
    const std::string existsText = format(
        "%@ couldn\u2019t be moved to %@ because an item with the same name already exists.", quotedName(from), toFolder);
    if (to.empty()) return failWith(kFileNoSuchFileError, ENOENT, format("%@ couldn\u2019t be moved.", quotedName(from)));
    int rc = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && errno == EINVAL) {
        // The file system cannot rename without replacing: check first, then rename.
        if (::lstat(to.c_str(), &st) == 0) return failWith(kFileWriteFileExistsError, EEXIST, existsText);
        rc = ::rename(from.c_str(), to.c_str());
    }
    if (rc == 0) return true;
    int e = errno;
    if (e == EEXIST) return failWith(kFileWriteFileExistsError, e, existsText);
    if (e == EXDEV) {
        if (copyTree(from, to, e)) {
            std::error_code ec;
            fs::remove_all(from, ec);
            return true;
        }
    }
    return failWith(e == ENOENT ? kFileNoSuchFileError : detail::writeErrorCode(e), e,
                    format("%@ couldn\u2019t be moved to %@.", quotedName(from), toFolder));
}

bool FileManager::copyItemAtPath(std::string_view source, std::string_view destination, Ref<Error>* error) {
    const std::string from(source), to(destination);
    struct stat st{};
    if (from.empty() || ::lstat(from.c_str(), &st) != 0) {
        return fail(error, kFileNoSuchFileError, from, ENOENT,
                    format("The file %@ couldn\u2019t be opened because there is no such file.", quotedName(from)));
    }
    if (::lstat(to.c_str(), &st) == 0) {
        return fail(error, kFileWriteFileExistsError, to, EEXIST,
                    format("%@ couldn\u2019t be copied to %@ because an item with the same name already exists.",
                           quotedName(from), quotedName(path::deletingLastPathComponent(to))));
    }
    int e = 0;
    if (!copyTree(from, to, e)) return writeFailure(error, to, e);
    return true;
}

std::optional<Dictionary> FileManager::attributesOfItemAtPath(std::string_view path, Ref<Error>* error) const {
    struct stat st{};
    if (path.empty() || ::lstat(std::string(path).c_str(), &st) != 0) {
        const int e = path.empty() ? ENOENT : errno;
        const auto code = detail::readErrorCode(e);
        setError(error, fileError(code, path, e, detail::readFailureDescription(path, code)));
        return std::nullopt;
    }
    std::string_view type = kFileTypeUnknown;
    if (S_ISREG(st.st_mode)) type = kFileTypeRegular;
    else if (S_ISDIR(st.st_mode)) type = kFileTypeDirectory;
    else if (S_ISLNK(st.st_mode)) type = kFileTypeSymbolicLink;
    Dictionary attributes;
    attributes.set(std::string(kFileSize), Value(static_cast<std::uint64_t>(st.st_size)));
    attributes.set(std::string(kFileModificationDate), Value(dateOf(st.st_mtim)));
    attributes.set(std::string(kFileCreationDate), Value(dateOf(st.st_mtim)));
    attributes.set(std::string(kFileType), Value(type));
    attributes.set(std::string(kFilePosixPermissions), Value(static_cast<std::uint16_t>(st.st_mode & 07777)));
    return attributes;
}

bool FileManager::setAttributes(const Dictionary& attributes, std::string_view path, Ref<Error>* error) {
    const std::string target(path);
    struct stat st{};
    if (target.empty() || ::stat(target.c_str(), &st) != 0) {
        const int e = target.empty() ? ENOENT : errno;
        return fail(error, kFileNoSuchFileError, path, e,
                    format("The file %@ doesn\u2019t exist.", quotedName(path)));
    }
    const Value* date = attributes.find(kFileModificationDate);
    if (!date || !date->isDate()) date = attributes.find(kFileCreationDate);
    if (date && date->isDate()) {
        struct timespec times[2];
        times[0].tv_sec = 0;
        times[0].tv_nsec = UTIME_OMIT;
        times[1] = timespecOf(*date->date());
        if (::utimensat(AT_FDCWD, target.c_str(), times, 0) != 0) return writeFailure(error, path, errno);
    }
    if (const Value* mode = attributes.find(kFilePosixPermissions); mode && mode->isNumeric()) {
        if (::chmod(target.c_str(), static_cast<mode_t>(mode->longLongValue() & 07777)) != 0) {
            return writeFailure(error, path, errno);
        }
    }
    // kFileProtectionKey: there is no data protection here; the attribute is accepted as it is.
    return true;
}

std::optional<std::vector<std::string>> FileManager::contentsOfDirectoryAtPath(std::string_view path,
                                                                              Ref<Error>* error) const {
    DIR* dir = path.empty() ? nullptr : ::opendir(std::string(path).c_str());
    if (!dir) {
        const int e = path.empty() ? ENOENT : errno;
        const auto code = detail::readErrorCode(e);
        setError(error, fileError(code, path, e, detail::readFailureDescription(path, code)));
        return std::nullopt;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        names.emplace_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

std::string FileManager::currentDirectoryPath() const {
    std::error_code ec;
    auto p = fs::current_path(ec);
    return ec ? std::string() : p.string();
}

std::optional<std::string> FileManager::URLForUbiquityContainerIdentifier(std::string_view identifier) const {
    if (identifier.empty() || identifier == "." || identifier == ".." ||
        identifier.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos) {
        return std::nullopt;
    }
    const std::string root = Sandbox::ubiquityRoot();
    if (root.empty()) return std::nullopt;
    const std::string container = path::appendingPathComponent(root, identifier);
    Ref<Error> error;
    if (!FileManager().createDirectoryAtPath(container, true, {}, &error)) return std::nullopt;
    return container;
}

FileTurn::FileTurn(std::string_view path) {
    const std::string folder = path::deletingLastPathComponent(path);
    FileManager::defaultManager().createDirectoryAtPath(folder, true, {}, nullptr);
    fd_ = ::open(path::appendingPathComponent(folder, "." + path::lastPathComponent(path) + ".lock").c_str(),
                 O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    while (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
}

FileTurn::~FileTurn() {
    if (fd_ >= 0) ::close(fd_);  // closing gives the lock up
}

std::optional<Bytes> dataWithContentsOfFile(std::string_view path, std::size_t maxLength, Ref<Error>* error) {
    auto failRead = [&](int e) -> std::optional<Bytes> {
        const auto code = detail::readErrorCode(e);
        setError(error, fileError(code, path, e, detail::readFailureDescription(path, code)));
        return std::nullopt;
    };
    auto refuse = [&](std::int64_t code, int e, const char* why) -> std::optional<Bytes> {
        setError(error, fileError(code, path, e,
                                  format("The file \u201c%@\u201d couldn\u2019t be opened because %s.",
                                         path::lastPathComponent(path), why)));
        return std::nullopt;
    };
    auto notRegular = [&](const struct stat& st) {
        if (S_ISDIR(st.st_mode)) return failRead(EISDIR);
        return refuse(kFileReadCorruptFileError, 0, "it isn\u2019t a regular file");
    };
    if (path.empty()) return failRead(ENOENT);
    const std::string target(path);
    // Looked at before it is opened: opening a device or a FIFO may block or act on it.
    struct stat st{};
    if (::stat(target.c_str(), &st) != 0) return failRead(errno);
    if (!S_ISREG(st.st_mode)) return notRegular(st);
    // Non-blocking, in case it was replaced by a FIFO meanwhile; checked again once open.
    const int fd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return failRead(errno);
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int e = errno;
        ::close(fd);
        return S_ISREG(st.st_mode) ? failRead(e) : notRegular(st);
    }
    const std::size_t size = static_cast<std::size_t>(std::max<off_t>(st.st_size, 0));
    if (size > maxLength) {
        ::close(fd);
        return refuse(kFileReadTooLargeError, EFBIG, "it is too large");
    }
    Bytes bytes;
    try {
        bytes.reserve(size);
    } catch (const std::bad_alloc&) {  // a size no memory holds (a sparse file): refused, not thrown
        ::close(fd);
        return refuse(kFileReadTooLargeError, ENOMEM, "it is too large");
    }
    std::uint8_t buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int e = errno;
            ::close(fd);
            return failRead(e);
        }
        if (n == 0) break;
        if (static_cast<std::size_t>(n) > maxLength - bytes.size()) {  // grew past the bound while read
            ::close(fd);
            return refuse(kFileReadTooLargeError, EFBIG, "it is too large");
        }
        try {
            bytes.insert(bytes.end(), buffer, buffer + n);
        } catch (const std::bad_alloc&) {
            ::close(fd);
            return refuse(kFileReadTooLargeError, ENOMEM, "it is too large");
        }
    }
    ::close(fd);
    return bytes;
}

std::optional<Bytes> dataWithContentsOfFile(std::string_view path, Ref<Error>* error) {
    return dataWithContentsOfFile(path, std::numeric_limits<std::size_t>::max(), error);
}

bool isUnfitFileError(const Ref<Error>& error) {
    return error && error->domain() == kCocoaErrorDomain &&
           (error->code() == kFileReadCorruptFileError || error->code() == kFileReadTooLargeError);
}

bool writeToFile(std::span<const std::uint8_t> data, std::string_view path, DataWritingOptions options,
                 Ref<Error>* error) {
    const std::string target(path);
    if (target.empty()) return writeFailure(error, path, ENOENT);
    const bool protect = (options & kDataWritingFileProtectionComplete) != 0;
    const bool exclusive = (options & kDataWritingWithoutOverwriting) != 0;
    const mode_t mode = protect ? 0600 : (0666 & ~processUmask());

    if ((options & kDataWritingAtomic) == 0) {
        const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC);
        const int fd = ::open(target.c_str(), flags, mode);
        if (fd < 0) return writeFailure(error, path, errno);
        int e = 0;
        bool ok = writeAll(fd, data, e);
        if (ok && protect && ::fchmod(fd, 0600) != 0) ok = false, e = errno;
        if (::close(fd) != 0 && ok) ok = false, e = errno;
        return ok || writeFailure(error, path, e);
    }

    // Atomic: a hidden temporary file in the same folder, flushed, then renamed (or linked, when an
    // existing file must not be replaced) onto the target. Temporaries that writers killed mid-write
    // left in the folder go first.
    std::string folder = path::deletingLastPathComponent(target);
    if (folder.empty()) folder = ".";
    if (exclusive) {
        struct stat st{};
        if (::lstat(target.c_str(), &st) == 0) return writeFailure(error, path, EEXIST);
    }
    detail::removeStaleWriteTemporaries(folder);
    std::string temp = detail::writeTemporaryTemplate(folder, path::lastPathComponent(target));
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return writeFailure(error, path, errno);
    int e = 0;
    bool ok = writeAll(fd, data, e);
    if (ok && ::fsync(fd) != 0) ok = false, e = errno;
    if (ok && ::fchmod(fd, mode) != 0) ok = false, e = errno;
    if (::close(fd) != 0 && ok) ok = false, e = errno;
    if (ok) {
        if (exclusive) {
            if (::link(temp.c_str(), target.c_str()) != 0) ok = false, e = errno;
            ::unlink(temp.c_str());
            return ok || writeFailure(error, path, e);
        }
        if (::rename(temp.c_str(), target.c_str()) != 0) ok = false, e = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return writeFailure(error, path, e);
    }
    return true;
}

bool writeToFile(std::span<const std::uint8_t> data, std::string_view path, bool atomically) {
    return writeToFile(data, path, atomically ? kDataWritingAtomic : 0, nullptr);
}

}  // namespace lv
