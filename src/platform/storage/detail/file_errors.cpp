#include "platform/storage/detail/file_errors.h"

#include <cerrno>
#include <cstring>

#include "platform/base/format.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/path.h"

namespace lv::detail {

Ref<Error> posixError(int e) {
    char buffer[256];
    const char* text = ::strerror_r(e, buffer, sizeof buffer);
    return Error::make(std::string(kPOSIXErrorDomain), e,
                       {{std::string(kLocalizedDescriptionKey),
                         format("The operation couldn\u2019t be completed. %s", text)}});
}

Ref<Error> fileError(std::int64_t code, std::string_view path, int e, std::string description) {
    Dictionary info;
    info.set(std::string(kFilePathErrorKey), std::string(path));
    info.set(std::string(kLocalizedDescriptionKey), std::move(description));
    if (e != 0) info.set(std::string(kUnderlyingErrorKey), Value(posixError(e)));
    return Error::make(std::string(kCocoaErrorDomain), code, std::move(info));
}

std::int64_t readErrorCode(int e) {
    switch (e) {
        case ENOENT: case ENOTDIR: return kFileReadNoSuchFileError;
        case EACCES: case EPERM: return kFileReadNoPermissionError;
        case ENAMETOOLONG: return kFileReadInvalidFileNameError;
        default: return kFileReadUnknownError;
    }
}

std::int64_t writeErrorCode(int e) {
    switch (e) {
        case ENOENT: case ENOTDIR: return kFileNoSuchFileError;
        case EACCES: case EPERM: return kFileWriteNoPermissionError;
        case ENAMETOOLONG: return kFileWriteInvalidFileNameError;
        case EEXIST: return kFileWriteFileExistsError;
        case ENOSPC: case EDQUOT: case EFBIG: return kFileWriteOutOfSpaceError;
        case EROFS: return kFileWriteVolumeReadOnlyError;
        default: return kFileWriteUnknownError;
    }
}

std::string readFailureDescription(std::string_view filePath, std::int64_t code) {
    const std::string name = path::lastPathComponent(filePath);
    switch (code) {
        case kFileReadNoSuchFileError:
            return format("The file \u201c%@\u201d couldn\u2019t be opened because there is no such file.", name);
        case kFileReadNoPermissionError:
            return format("The file \u201c%@\u201d couldn\u2019t be opened because you don\u2019t have permission to view it.",
                          name);
        default: return format("The file \u201c%@\u201d couldn\u2019t be opened.", name);
    }
}

std::string writeFailureDescription(std::string_view filePath, std::int64_t code) {
    const std::string name = path::lastPathComponent(filePath);
    const std::string folder = path::lastPathComponent(path::deletingLastPathComponent(filePath));
    switch (code) {
        case kFileWriteFileExistsError:
            return format("The file \u201c%@\u201d couldn\u2019t be saved in the folder \u201c%@\u201d because a file with "
                          "the same name already exists.",
                          name, folder);
        case kFileWriteNoPermissionError:
            return format("You don\u2019t have permission to save the file \u201c%@\u201d in the folder \u201c%@\u201d.",
                          name, folder);
        case kFileWriteOutOfSpaceError:
            return format("The file \u201c%@\u201d couldn\u2019t be saved because there isn\u2019t enough space.", name);
        case kFileNoSuchFileError:
            return format("The folder \u201c%@\u201d doesn\u2019t exist.", folder);
        default: return format("The file \u201c%@\u201d couldn\u2019t be saved in the folder \u201c%@\u201d.", name, folder);
    }
}

}  // namespace lv::detail
