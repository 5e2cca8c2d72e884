// Files: the file manager (existence, directories, removal, moves, copies, attributes, listings) and
// whole-file reads and writes of data, atomic (temporary file, flush, rename) when asked. Failures
// are errors in the platform's Cocoa domain with the underlying POSIX error beneath them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/error.h"
#include "platform/base/object.h"
#include "platform/base/value.h"

namespace lv {

// File attribute keys and values (attributesOfItemAtPath, setAttributes).
inline constexpr std::string_view kFileSize = "NSFileSize";                          // number (bytes)
inline constexpr std::string_view kFileCreationDate = "NSFileCreationDate";          // date (see below)
inline constexpr std::string_view kFileModificationDate = "NSFileModificationDate";  // date
inline constexpr std::string_view kFileType = "NSFileType";                          // one of the types below
inline constexpr std::string_view kFilePosixPermissions = "NSFilePosixPermissions";  // number
inline constexpr std::string_view kFileProtectionKey = "NSFileProtectionKey";
inline constexpr std::string_view kFileTypeRegular = "NSFileTypeRegular";
inline constexpr std::string_view kFileTypeDirectory = "NSFileTypeDirectory";
inline constexpr std::string_view kFileTypeSymbolicLink = "NSFileTypeSymbolicLink";
inline constexpr std::string_view kFileTypeUnknown = "NSFileTypeUnknown";
inline constexpr std::string_view kFileProtectionNone = "NSFileProtectionNone";
inline constexpr std::string_view kFileProtectionComplete = "NSFileProtectionComplete";
inline constexpr std::string_view kFileProtectionCompleteUntilFirstUserAuthentication =
    "NSFileProtectionCompleteUntilFirstUserAuthentication";

// Cocoa-domain file error codes.
inline constexpr std::int64_t kFileNoSuchFileError = 4;
inline constexpr std::int64_t kFileReadUnknownError = 256;
inline constexpr std::int64_t kFileReadNoPermissionError = 257;
inline constexpr std::int64_t kFileReadInvalidFileNameError = 258;
inline constexpr std::int64_t kFileReadCorruptFileError = 259;
inline constexpr std::int64_t kFileReadNoSuchFileError = 260;
inline constexpr std::int64_t kFileReadTooLargeError = 263;
inline constexpr std::int64_t kFileWriteUnknownError = 512;
inline constexpr std::int64_t kFileWriteNoPermissionError = 513;
inline constexpr std::int64_t kFileWriteInvalidFileNameError = 514;
inline constexpr std::int64_t kFileWriteFileExistsError = 516;
inline constexpr std::int64_t kFileWriteOutOfSpaceError = 640;
inline constexpr std::int64_t kFileWriteVolumeReadOnlyError = 642;

// Extra user-info keys of move and copy errors.
inline constexpr std::string_view kSourceFilePathErrorKey = "NSSourceFilePathErrorKey";
inline constexpr std::string_view kDestinationFilePathErrorKey = "NSDestinationFilePath";

// The file manager. Creation dates: Linux file systems keep no settable creation date, so the
// creation date reported here is the modification time, and setting the creation date sets the
// modification time (files are written once, atomically, so the two agree). The file-protection
// attribute is accepted and has no effect. Stateless and safe to use from any thread.
class FileManager : public Object {
public:
    static FileManager& defaultManager();

    // True when anything exists at the path (symbolic links are followed); *isDirectory tells whether
    // it is a directory.
    bool fileExistsAtPath(std::string_view path, bool* isDirectory = nullptr) const;
    bool isReadableFileAtPath(std::string_view path) const;
    bool isWritableFileAtPath(std::string_view path) const;

    // Without intermediates the parent must exist (kFileNoSuchFileError otherwise) and nothing may
    // exist at the path (kFileWriteFileExistsError). With intermediates missing parents are made and an
    // existing directory is success. Attributes as setAttributes accepts them.
    bool createDirectoryAtPath(std::string_view path, bool withIntermediateDirectories, const Dictionary& attributes,
                               Ref<Error>* error);
    // Writes the contents (empty when none) atomically, replacing a file that exists, then applies the
    // attributes. True on success.
    bool createFileAtPath(std::string_view path, std::span<const std::uint8_t> contents, const Dictionary& attributes);
    // The bytes of a regular file, or nothing.
    std::optional<Bytes> contentsAtPath(std::string_view path) const;

    // Removes a file, link or directory (with its contents). Nothing at the path: kFileNoSuchFileError.
    bool removeItemAtPath(std::string_view path, Ref<Error>* error);
    // Moves (renames) an item. A missing source: kFileNoSuchFileError; an existing destination:
    // kFileWriteFileExistsError (nothing is replaced). Works across file systems.
    bool moveItemAtPath(std::string_view source, std::string_view destination, Ref<Error>* error);
    // Copies a file or a directory tree; the same errors as moveItemAtPath.
    bool copyItemAtPath(std::string_view source, std::string_view destination, Ref<Error>* error);

    // kFileSize, kFileCreationDate, kFileModificationDate, kFileType, kFilePosixPermissions of the item
    // (a symbolic link itself is described). Nothing at the path: kFileReadNoSuchFileError.
    std::optional<Dictionary> attributesOfItemAtPath(std::string_view path, Ref<Error>* error) const;
    // Applies kFileCreationDate / kFileModificationDate (both set the modification time; when both are
    // given the modification date wins), kFilePosixPermissions, and accepts kFileProtectionKey as a
    // no-op. Other keys are ignored.
    bool setAttributes(const Dictionary& attributes, std::string_view path, Ref<Error>* error);

    // The names of the directory's entries (hidden ones included, "." and ".." excluded), sorted by
    // name. Not a directory or missing: an error (kFileReadNoSuchFileError when missing).
    std::optional<std::vector<std::string>> contentsOfDirectoryAtPath(std::string_view path, Ref<Error>* error) const;

    std::string currentDirectoryPath() const;
    // The shared container of the identifier: <ubiquity root>/<identifier>, made on first use, when
    // Sandbox::ubiquityRoot() names a folder; nothing without one, for an identifier that is not one
    // plain path component (empty, ".", "..", or holding "/" or NUL), or when the folder cannot be made.
    std::optional<std::string> URLForUbiquityContainerIdentifier(std::string_view identifier) const;
};

// An advisory lock (flock) on "<folder>/.<file name>.lock", taken by the constructor (waiting for
// another holder) and given up by the destructor: processes on one home take turns on one
// read-merge-write of the file. The lock file is made 0600 and never followed as a link; without one
// (a folder that cannot be written) the scope goes on unlocked.
class FileTurn {
public:
    explicit FileTurn(std::string_view path);
    ~FileTurn();
    FileTurn(const FileTurn&) = delete;
    FileTurn& operator=(const FileTurn&) = delete;

private:
    int fd_ = -1;
};

// Whole-file data reads and writes.
using DataWritingOptions = unsigned;
inline constexpr DataWritingOptions kDataWritingAtomic = 1;
inline constexpr DataWritingOptions kDataWritingWithoutOverwriting = 2;
// The file is made readable and writable by its owner only (mode 0600).
inline constexpr DataWritingOptions kDataWritingFileProtectionComplete = 0x20000000;

// The contents of a regular file. Missing: kFileReadNoSuchFileError; unreadable: the Cocoa read error
// matching the cause (a directory: kFileReadUnknownError over EISDIR). Anything else but a regular
// file (a device, a FIFO, a socket, also behind a symbolic link) is refused with
// kFileReadCorruptFileError, never read, so a device that never ends or a FIFO without a writer
// cannot exhaust memory or hang the caller.
std::optional<Bytes> dataWithContentsOfFile(std::string_view path, Ref<Error>* error = nullptr);
// The same for a file that is small by nature: one longer than maxLength bytes (also one that grows
// past it while being read) is refused with kFileReadTooLargeError, without reading it whole.
std::optional<Bytes> dataWithContentsOfFile(std::string_view path, std::size_t maxLength, Ref<Error>* error);
// Whether the error is one of the two refusals above: the path holds something no reader of a file
// should take (the readers keep it aside as damaged).
bool isUnfitFileError(const Ref<Error>& error);
// Writes the bytes. kDataWritingAtomic: into a temporary file beside the target, flushed to disk and
// renamed over the target, so the target holds either the old or the new bytes whatever happens. The
// temporary is ".<name>.lvtmp-<pid>-XXXXXX"; the first atomic write into a folder in a process removes
// those whose writer has ended (a writer killed mid-write leaves its temporary), never other files.
// kDataWritingWithoutOverwriting: fails with kFileWriteFileExistsError when anything exists at the
// path (checked and created in one step). New files get mode 0666 less the process's umask, or 0600
// with kDataWritingFileProtectionComplete.
bool writeToFile(std::span<const std::uint8_t> data, std::string_view path, DataWritingOptions options,
                 Ref<Error>* error);
// writeToFile:atomically: — true on success.
bool writeToFile(std::span<const std::uint8_t> data, std::string_view path, bool atomically);
inline bool writeToFile(std::string_view text, std::string_view path, bool atomically) {
    return writeToFile(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), path, atomically);
}

}  // namespace lv
