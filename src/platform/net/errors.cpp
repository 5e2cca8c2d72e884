// URL-domain errors.
#include "platform/net/errors.h"

namespace lv {

std::string URLErrorDescription(int code) {
    switch (code) {
        case URLErrorCancelled: return "cancelled";
        case URLErrorBadURL: return "unsupported URL";
        case URLErrorTimedOut: return "The request timed out.";
        case URLErrorUnsupportedURL: return "unsupported URL";
        case URLErrorCannotFindHost: return "A server with the specified hostname could not be found.";
        case URLErrorCannotConnectToHost: return "Could not connect to the server.";
        case URLErrorNetworkConnectionLost: return "The network connection was lost.";
        case URLErrorHTTPTooManyRedirects: return "too many HTTP redirects";
        case URLErrorResourceUnavailable: return "resource unavailable";
        case URLErrorBadServerResponse: return "The server returned an invalid or unrecognized response.";
        case URLErrorUserCancelledAuthentication: return "The operation couldn’t be completed.";
        case URLErrorCannotDecodeContentData: return "cannot decode raw data";
        case URLErrorRequestBodyStreamExhausted: return "request body stream exhausted";
        case URLErrorDataLengthExceedsMaximum: return "resource exceeds maximum size";
        case URLErrorSecureConnectionFailed: return "An SSL error has occurred and a secure connection to the server cannot be made.";
        case URLErrorServerCertificateUntrusted: return "The certificate for this server is invalid.";
        case URLErrorCannotCreateFile: return "cannot create file";
        case URLErrorCannotWriteToFile: return "cannot write file";
        default: return "unknown error";
    }
}

namespace {

void addFailingURL(Dictionary& info, const Ref<URL>& url) {
    if (!url) return;
    if (!info.contains(kURLErrorFailingURLErrorKey)) info.set(std::string(kURLErrorFailingURLErrorKey), Value(url));
    if (!info.contains(kURLErrorFailingURLStringErrorKey)) {
        info.set(std::string(kURLErrorFailingURLStringErrorKey), Value(url->absoluteString()));
    }
}

}  // namespace

Ref<Error> makeURLError(int code, const Ref<URL>& failingURL, Ref<Error> underlying) {
    Dictionary info;
    info.set(std::string(kLocalizedDescriptionKey), Value(URLErrorDescription(code)));
    addFailingURL(info, failingURL);
    if (underlying) info.set(std::string(kUnderlyingErrorKey), Value(underlying));
    return Error::make(std::string(kURLErrorDomain), code, std::move(info));
}

Ref<Error> withFailingURL(const Ref<Error>& error, const Ref<URL>& failingURL) {
    if (!error || !failingURL || error->userInfo().contains(kURLErrorFailingURLErrorKey)) return error;
    Dictionary info = error->userInfo();
    addFailingURL(info, failingURL);
    return Error::make(error->domain(), error->code(), std::move(info));
}

}  // namespace lv
