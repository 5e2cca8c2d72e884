// Cocoa-domain file errors with the POSIX error beneath them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/base/error.h"

namespace lv::detail {

// NSPOSIXErrorDomain error for errno value e, described by strerror.
Ref<Error> posixError(int e);
// A Cocoa error with NSFilePath, the description and, when e is not 0, the POSIX error underneath.
Ref<Error> fileError(std::int64_t code, std::string_view path, int e, std::string description);
// The Cocoa read / write code for an errno value.
std::int64_t readErrorCode(int e);
std::int64_t writeErrorCode(int e);

// Descriptions in the platform's wording.
std::string readFailureDescription(std::string_view path, std::int64_t code);
std::string writeFailureDescription(std::string_view path, std::int64_t code);

}  // namespace lv::detail
