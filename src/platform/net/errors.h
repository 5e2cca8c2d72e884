// Error codes of the URL error domain ("NSURLErrorDomain") and the errors the URL engine reports.
// Any thread.
#pragma once

#include <string>

#include "platform/base/error.h"
#include "platform/net/url.h"

namespace lv {

enum URLErrorCode : int {
    URLErrorUnknown = -1,
    URLErrorCancelled = -999,
    URLErrorBadURL = -1000,
    URLErrorTimedOut = -1001,
    URLErrorUnsupportedURL = -1002,
    URLErrorCannotFindHost = -1003,
    URLErrorCannotConnectToHost = -1004,
    URLErrorNetworkConnectionLost = -1005,
    URLErrorHTTPTooManyRedirects = -1007,
    URLErrorResourceUnavailable = -1008,
    URLErrorBadServerResponse = -1011,
    URLErrorUserCancelledAuthentication = -1012,
    URLErrorCannotDecodeContentData = -1015,
    URLErrorRequestBodyStreamExhausted = -1021,
    URLErrorDataLengthExceedsMaximum = -1103,
    URLErrorSecureConnectionFailed = -1200,
    URLErrorServerCertificateUntrusted = -1202,
    URLErrorCannotCreateFile = -3000,
    URLErrorCannotWriteToFile = -3003,
};

// An error of the URL domain with its description and the failing URL under the platform's keys
// ("NSErrorFailingURLKey" holds the URL object, "NSErrorFailingURLStringKey" its text); the
// underlying error, when given, goes under "NSUnderlyingError".
Ref<Error> makeURLError(int code, const Ref<URL>& failingURL, Ref<Error> underlying = nullptr);
// The platform's description text of a URL error code ("cancelled", "The request timed out.", …).
std::string URLErrorDescription(int code);
// The same error with the failing URL added when it has none (stream errors passed through).
Ref<Error> withFailingURL(const Ref<Error>& error, const Ref<URL>& failingURL);

}  // namespace lv
