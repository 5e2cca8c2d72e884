// Error domains, codes and user-info keys of the mapping layer, and the object that carries a caught
// exception inside an error's user info.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/base/error.h"
#include "platform/base/object.h"

namespace lv {

// Failures of the JSON adapter (and of the key-path lookup, which reports code 3).
inline constexpr std::string_view JMJSONAdapterErrorDomain = "JMJSONAdapterErrorDomain";
inline constexpr std::int64_t JMJSONAdapterErrorExceptionThrown = 1;
inline constexpr std::int64_t JMJSONAdapterErrorNoClassFound = 2;
inline constexpr std::int64_t JMJSONAdapterErrorInvalidJSONDictionary = 3;
inline constexpr std::string_view JMJSONAdapterThrownExceptionErrorKey = "JMJSONAdapterThrownException";

// Failures while a model validates or sets its values.
inline constexpr std::string_view JMModelErrorDomain = "JMModelErrorDomain";
inline constexpr std::int64_t JMModelErrorExceptionThrown = 1;
inline constexpr std::string_view JMModelThrownExceptionErrorKey = "JMModelThrownException";

// Failures of value transformers.
inline constexpr std::string_view JMTransformerErrorHandlingErrorDomain = "JMTransformerErrorHandlingErrorDomain";
inline constexpr std::int64_t JMTransformerErrorHandlingErrorInvalidInput = 1;
inline constexpr std::string_view JMTransformerErrorHandlingInputValueErrorKey =
    "JMTransformerErrorHandlingInputValueErrorKey";

// A caught exception held as an object, so that an error's user info can carry it. Its description is
// the exception's description (its reason).
class JMException : public Object {
public:
    explicit JMException(Exception exception) : exception_(std::move(exception)) {}

    const Exception& exception() const { return exception_; }
    const std::string& name() const { return exception_.name(); }
    const std::string& reason() const { return exception_.reason(); }

    std::string description() const override { return exception_.description(); }

private:
    Exception exception_;
};

// The exception being handled, as an Exception: itself when it is one, else a generic one carrying
// what() as its reason. Call only inside a catch block.
Exception currentException();

// +[NSError jm_modelErrorWithException:]: "JMModelErrorDomain" code 1 with the exception's description,
// its reason and the exception itself under "JMModelThrownException".
Ref<Error> jm_modelErrorWithException(const Exception& exception);

}  // namespace lv
