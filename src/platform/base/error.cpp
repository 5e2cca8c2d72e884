#include "platform/base/error.h"

#include "platform/base/format.h"

namespace lv {

Error::Error(std::string domain, std::int64_t code, Dictionary userInfo)
    : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

std::string Error::localizedDescription() const {
    const Value& text = userInfo_.get(kLocalizedDescriptionKey);
    if (text.isString()) return text.string();
    return format("The operation couldn\u2019t be completed. (%@ error %ld.)", domain_, code_);
}

bool Error::hasLocalizedDescription() const { return userInfo_.get(kLocalizedDescriptionKey).isString(); }

std::string Error::localizedFailureReason() const { return userInfo_.get(kLocalizedFailureReasonErrorKey).string(); }

std::string Error::localizedRecoverySuggestion() const {
    return userInfo_.get(kLocalizedRecoverySuggestionErrorKey).string();
}

Ref<Error> Error::underlyingError() const { return userInfo_.get(kUnderlyingErrorKey).objectAs<Error>(); }

std::string Error::description() const {
    std::string text = format("Error Domain=%@ Code=%ld \"%@\"", domain_, code_, localizedDescription());
    if (userInfo_.empty()) return text;
    text += " UserInfo=" + addressText(this) + " {";
    bool first = true;
    for (const auto& [key, value] : userInfo_) {
        if (!first) text += ", ";
        first = false;
        text += key + "=" + value.description();
    }
    text += "}";
    return text;
}

bool Error::isEqual(const Object& other) const {
    const auto* error = dynamic_cast<const Error*>(&other);
    return error && error->code_ == code_ && error->domain_ == domain_ && error->userInfo_ == userInfo_;
}

std::size_t Error::hash() const { return std::hash<std::string>{}(domain_) ^ static_cast<std::size_t>(code_); }

Exception::Exception(std::string name, std::string reason, Dictionary userInfo)
    : name_(std::move(name)), reason_(std::move(reason)), userInfo_(std::move(userInfo)) {}

void Exception::raise(std::string name, std::string reason, Dictionary userInfo) {
    throw Exception(std::move(name), std::move(reason), std::move(userInfo));
}

}  // namespace lv
