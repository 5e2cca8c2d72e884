// Failures as values (Error) and the exception that layers raise where they are meant to (Exception).
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "platform/base/object.h"
#include "platform/base/value.h"

namespace lv {

// Error domains the system reports in.
inline constexpr std::string_view kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr std::string_view kPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr std::string_view kURLErrorDomain = "NSURLErrorDomain";

// User-info keys understood by Error's readers.
inline constexpr std::string_view kLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr std::string_view kLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";
inline constexpr std::string_view kLocalizedRecoverySuggestionErrorKey = "NSLocalizedRecoverySuggestion";
inline constexpr std::string_view kUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr std::string_view kFilePathErrorKey = "NSFilePath";
inline constexpr std::string_view kURLErrorKey = "NSURL";
inline constexpr std::string_view kURLErrorFailingURLErrorKey = "NSErrorFailingURLKey";
inline constexpr std::string_view kURLErrorFailingURLStringErrorKey = "NSErrorFailingURLStringKey";

class Error : public Object {
public:
    Error(std::string domain, std::int64_t code, Dictionary userInfo = {});
    static Ref<Error> make(std::string domain, std::int64_t code, Dictionary userInfo = {}) {
        return makeRef<Error>(std::move(domain), code, std::move(userInfo));
    }

    const std::string& domain() const { return domain_; }
    std::int64_t code() const { return code_; }
    const Dictionary& userInfo() const { return userInfo_; }

    // The description entry, or "The operation couldn’t be completed. (<domain> error <code>.)".
    std::string localizedDescription() const;
    // The entry under the key when it is text, otherwise empty (absent).
    std::string localizedFailureReason() const;
    std::string localizedRecoverySuggestion() const;
    bool hasLocalizedDescription() const;
    Ref<Error> underlyingError() const;

    // "Error Domain=<domain> Code=<code> \"<localized description>\" UserInfo=<address> {…}".
    std::string description() const override;
    bool isEqual(const Object& other) const override;
    std::size_t hash() const override;

private:
    std::string domain_;
    std::int64_t code_;
    Dictionary userInfo_;
};

// Stores a new error through an optional out-parameter; convenient for "fill when the caller gave one".
inline void setError(Ref<Error>* out, Ref<Error> error) {
    if (out) *out = std::move(error);
}

// Exception names raised by the platform layer.
inline constexpr std::string_view kInvalidArgumentException = "NSInvalidArgumentException";
inline constexpr std::string_view kUndefinedKeyException = "NSUnknownKeyException";
inline constexpr std::string_view kRangeException = "NSRangeException";
inline constexpr std::string_view kInternalInconsistencyException = "NSInternalInconsistencyException";
inline constexpr std::string_view kGenericException = "NSGenericException";

class Exception : public std::exception {
public:
    Exception(std::string name, std::string reason, Dictionary userInfo = {});

    const std::string& name() const { return name_; }
    const std::string& reason() const { return reason_; }
    const Dictionary& userInfo() const { return userInfo_; }
    // The reason, as the platform describes an exception; a subclass that describes itself otherwise
    // overrides it, so the text follows the exception's class wherever it is caught.
    virtual std::string description() const { return reason_; }
    const char* what() const noexcept override { return reason_.c_str(); }

    [[noreturn]] static void raise(std::string name, std::string reason, Dictionary userInfo = {});

private:
    std::string name_;
    std::string reason_;
    Dictionary userInfo_;
};

}  // namespace lv
