// The URL engine thread over libcurl's multi interface.
#include "platform/net/detail/engine.h"

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <thread>
#include <vector>

#include "platform/dispatch/thread.h"
#include "platform/net/detail/cookie_share.h"
#include "platform/net/detail/engine_internal.h"
#include "platform/net/errors.h"
#include "platform/net/host_map.h"
#include "platform/security/crypto_library.h"

namespace lv::net_detail {

namespace {

[[maybe_unused]] const bool kEngineCryptoKept = keepCryptoLibraryForProcess();  // before any other OpenSSL use

std::string trimmed(std::string_view s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    return std::string(s);
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

// Whether a Content-Length value (a single length, or a list of one length repeated) agrees with what
// the head declared so far; the first agreeing value is kept.
bool agreeingLength(Transfer& t, std::string_view value) {
    std::optional<std::string> length;
    while (true) {
        const auto comma = value.find(',');
        const std::string item = trimmed(value.substr(0, comma));
        if (item.empty() || item.find_first_not_of("0123456789") != std::string::npos) return false;
        const std::string digits = item.find_first_not_of('0') == std::string::npos ? "0" : item.substr(item.find_first_not_of('0'));
        if (length && *length != digits) return false;
        length = digits;
        if (comma == std::string_view::npos) break;
        value.remove_prefix(comma + 1);
    }
    if (t.declaredLength && *t.declaredLength != *length) return false;
    t.declaredLength = length;
    return true;
}

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const std::size_t n = size * count;
    std::string_view line(data, n);
    t->lastActivity = EngineClock::now();
    t->replySeen = true;
    if (line.rfind("HTTP/", 0) == 0) {
        // A new response head (after a 100 Continue or an authentication round of libcurl's own).
        const auto space = line.find(' ');
        t->status = space == std::string_view::npos ? 0 : std::atoi(std::string(line.substr(space + 1, 3)).c_str());
        t->responseHeaders = HTTPHeaders();
        t->received = 0;
        t->wireReceived = 0;
        t->retaken = 0;
        t->headersDone = false;
        t->lastHeaderName.clear();
        t->decoderMade = false;
        t->decoder.reset();
        t->declaredLength.reset();
        return n;
    }
    if (line == "\r\n" || line == "\n") {
        t->headersDone = true;
        return n;
    }
    if ((line[0] == ' ' || line[0] == '\t') && !t->lastHeaderName.empty()) {
        const std::string value = t->responseHeaders.value(t->lastHeaderName).value_or("");
        t->responseHeaders.set(t->lastHeaderName, value.empty() ? trimmed(line) : value + " " + trimmed(line));
        return n;
    }
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) return n;
    // Stored under the name without the white space some servers put before the colon, so that
    // every look-up ("Content-Encoding", "Location", ...) finds the field the server sent.
    t->lastHeaderName = trimmed(line.substr(0, colon));
    if (t->lastHeaderName.empty()) return n;
    const std::string value = trimmed(line.substr(colon + 1));
    // libcurl frames the body by a length field only when its name ends at the colon; one written
    // "Content-Length :" framed nothing, so it is not the reply's length either.
    const bool spacedName = t->lastHeaderName.size() != colon;
    if (spacedName && equalsIgnoringCase(t->lastHeaderName, "Content-Length")) {
        t->lastHeaderName.clear();
        return n;
    }
    if (equalsIgnoringCase(t->lastHeaderName, "Content-Length") && !agreeingLength(*t, value)) {
        // Two readers of this reply could find its end in different places: refuse it.
        t->abortCode = URLErrorBadServerResponse;
        t->abortDetail = "reply declares conflicting lengths";
        return 0;
    }
    t->responseHeaders.add(t->lastHeaderName, value);
    return n;
}

std::size_t onRead(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    BodyPump::State state;
    const std::size_t n = t->spec.bodyPump->take(reinterpret_cast<std::uint8_t*>(buffer), size * count, state);
    switch (state) {
        case BodyPump::State::Data:
            t->lastActivity = EngineClock::now();
            t->bodyTaken += static_cast<curl_off_t>(n);
            return n;
        case BodyPump::State::Waiting:
            t->sendPaused = true;
            return CURL_READFUNC_PAUSE;
        case BodyPump::State::End:
            t->pumpEnded = true;
            return 0;
        case BodyPump::State::Short:
        case BodyPump::State::Long:
            // libcurl closes a connection whose request it could not complete.
            t->abortCode = URLErrorNetworkConnectionLost;
            return CURL_READFUNC_ABORT;
        case BodyPump::State::Failed:
            t->abortError = t->spec.bodyPump->streamError();
            if (!t->abortError) t->abortCode = URLErrorNetworkConnectionLost;
            return CURL_READFUNC_ABORT;
    }
    return CURL_READFUNC_ABORT;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t sent) {
    auto* t = static_cast<Transfer*>(user);
    t->uploaded = std::max(t->uploaded, sent);
    if (t->spec.bodyPump) sent = std::min(sent, t->bodyTaken);
    if (sent > t->lastSent) {
        t->lastActivity = EngineClock::now();
        std::int64_t expected = -1;
        if (t->spec.body) expected = static_cast<std::int64_t>(t->spec.body->size());
        if (t->spec.bodyPump) expected = t->spec.bodyPump->expectedLength();
        t->listener->transferSentBodyData(sent - t->lastSent, sent, expected);
        t->lastSent = sent;
    }
    return 0;
}

// Methods whose repetition has the effect of one request, which a transport may send again.
bool idempotent(std::string_view method) {
    return method == "GET" || method == "HEAD" || method == "OPTIONS" || method == "PUT" || method == "DELETE";
}

// Whether the last attempt handed libcurl the whole body (a request without one always is).
bool sentInFull(const Transfer& t) {
    if (t.spec.bodyPump) {
        const std::int64_t expected = t.spec.bodyPump->expectedLength();
        return t.pumpEnded || (expected >= 0 && t.bodyTaken >= expected);
    }
    if (t.spec.body) return t.uploaded >= static_cast<curl_off_t>(t.spec.body->size());
    return true;
}

// The presented chain of the connection's TLS session, leaf first.
std::vector<Ref<Certificate>> peerChain(CURL* easy) {
    std::vector<Ref<Certificate>> chain;
    curl_tlssessioninfo* info = nullptr;
    if (curlLibrary().easy_getinfo(easy, CURLINFO_TLS_SSL_PTR, &info) != CURLE_OK || !info ||
        info->backend != CURLSSLBACKEND_OPENSSL || !info->internals) {
        return chain;
    }
    STACK_OF(X509)* presented = SSL_get_peer_cert_chain(static_cast<SSL*>(info->internals));
    for (int i = 0; presented && i < sk_X509_num(presented); ++i) {
        unsigned char* der = nullptr;
        const int length = i2d_X509(sk_X509_value(presented, i), &der);
        if (length <= 0) continue;
        if (auto certificate = Certificate::createWithData(std::span<const std::uint8_t>(der, static_cast<std::size_t>(length)))) {
            chain.push_back(std::move(certificate));
        }
        OPENSSL_free(der);
    }
    return chain;
}

// Runs after the connection is set up or reused (TLS handshake included) and before the request is
// sent: the server's trust is judged here for every transfer, so a kept-alive connection is judged again.
int onPrereq(void* user, char*, char*, int, int) {
    auto* t = static_cast<Transfer*>(user);
    if (t->requestStarted && !t->replySeen && !idempotent(t->spec.method) && sentInFull(*t)) {
        // libcurl is about to send again a request that went out whole on a kept-alive connection the
        // server then closed without a reply: the server may have acted on it, so fail instead.
        t->abortCode = URLErrorNetworkConnectionLost;
        t->abortDetail = "connection closed after the request was sent; not sent again";
        return CURL_PREREQFUNC_ABORT;
    }
    t->requestStarted = true;
    t->replySeen = false;
    char* scheme = nullptr;
    curlLibrary().easy_getinfo(t->easy, CURLINFO_SCHEME, &scheme);
    if (!scheme || (std::string_view(scheme) != "https" && std::string_view(scheme) != "HTTPS")) return CURL_PREREQFUNC_OK;
    auto trust = Trust::create(peerChain(t->easy), {Policy::SSL(true, t->host)});
    if (!trust) {
        t->abortCode = URLErrorSecureConnectionFailed;
        t->abortDetail = "no server certificate";
        return CURL_PREREQFUNC_ABORT;
    }
    auto answer = TransferFlow::TrustAnswer::Evaluate;
    if (t->spec.askTrust) {
        t->flow->resetTrust();
        t->listener->transferNeedsTrustDecision(trust);
        t->listener->flush();
        // The engine waits here: the consumer's thread answers without waiting on the engine.
        answer = t->flow->awaitTrust(t->spec.timeout);
        t->lastActivity = EngineClock::now();
    }
    switch (answer) {
        case TransferFlow::TrustAnswer::Accept:
            return CURL_PREREQFUNC_OK;
        case TransferFlow::TrustAnswer::Evaluate: {
            TrustResult result = TrustResult::Invalid;
            if (trust->evaluate(&result) == kSecSuccess &&
                (result == TrustResult::Unspecified || result == TrustResult::Proceed)) {
                return CURL_PREREQFUNC_OK;
            }
            t->abortCode = URLErrorServerCertificateUntrusted;
            t->abortDetail = trust->lastVerifyErrorString();
            return CURL_PREREQFUNC_ABORT;
        }
        case TransferFlow::TrustAnswer::Cancel:
            t->abortCode = URLErrorUserCancelledAuthentication;
            t->abortDetail = "server trust challenge cancelled";
            return CURL_PREREQFUNC_ABORT;
        case TransferFlow::TrustAnswer::Pending:
            break;
    }
    t->abortCode = URLErrorTimedOut;
    t->abortDetail = "no answer to the server trust challenge";
    return CURL_PREREQFUNC_ABORT;
}

// Whether the text is an HTTP token: one or more of the letters, digits and "!#$%&'*+-.^_`|~".
bool isToken(std::string_view name) {
    constexpr std::string_view marks("!#$%&'*+-.^_`|~");
    if (name.empty()) return false;
    for (const char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && marks.find(c) == std::string_view::npos) return false;
    }
    return true;
}

}  // namespace

// The description of the first header field that cannot go out as given: a name or value holding CR,
// LF or NUL would end the field early and let the rest pass as header lines or a request of its own; a
// name that is not a token ("Host: x", "X A", an empty one) would be read as another field or none.
// Nothing when every field is sound.
std::optional<std::string> refusedHeaderField(const HTTPHeaders& headers) {
    constexpr std::string_view breaks("\r\n\0", 3);
    for (const auto& [name, value] : headers.fields()) {
        if (name.find_first_of(breaks) != std::string::npos || value.find_first_of(breaks) != std::string::npos) {
            std::string shown;
            for (const char c : name) {
                if (c == '\r') shown += "\\r";
                else if (c == '\n') shown += "\\n";
                else if (c == '\0') shown += "\\0";
                else shown += c;
            }
            return "Header field \"" + shown + "\" contains CR, LF or NUL; the request was not sent.";
        }
        if (!isToken(name)) return "Header field name \"" + name + "\" is not a token; the request was not sent.";
    }
    return std::nullopt;
}

Ref<Error> refusedHeaderError(const std::string& description) {
    Dictionary info;
    info.set(std::string(kLocalizedDescriptionKey), Value(description));
    return Error::make(std::string(kURLErrorDomain), URLErrorBadURL, std::move(info));
}

void Engine::Impl::finishWithResult(Transfer& t, CURLcode result) {
    if (result == CURLE_OK && t.decoder && t.decoder->started() && !t.decoder->complete()) {
        // The reply ended where its framing said, but its compressed body had not: a short body
        // must not pass as the whole one.
        finish(t.id, URLErrorCannotDecodeContentData, nullptr, t.decoder->problem());
        return;
    }
    int code = urlErrorCodeForCurlResult(result);
    Ref<Error> streamError;
    if (result != CURLE_OK && t.abortError) streamError = t.abortError;
    std::string detail = result == CURLE_OK ? "" : curlLibrary().easy_strerror(result);
    if (result != CURLE_OK && t.abortCode) {
        code = t.abortCode;
        if (!t.abortDetail.empty()) detail = t.abortDetail;
    }
    finish(t.id, streamError ? 0 : code, streamError, std::move(detail));
}

int urlErrorCodeForCurlResult(int result) {
    switch (static_cast<CURLcode>(result)) {
        case CURLE_OK: return 0;
        case CURLE_URL_MALFORMAT: return URLErrorBadURL;
        case CURLE_NOT_BUILT_IN: return URLErrorUnsupportedURL;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY: return URLErrorCannotFindHost;
        case CURLE_COULDNT_CONNECT:
        case CURLE_INTERFACE_FAILED:
        case CURLE_NO_CONNECTION_AVAILABLE:
        case CURLE_PROXY:
        case CURLE_QUIC_CONNECT_ERROR: return URLErrorCannotConnectToHost;
        case CURLE_OPERATION_TIMEDOUT: return URLErrorTimedOut;
        case CURLE_GOT_NOTHING:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_PARTIAL_FILE:
        case CURLE_UPLOAD_FAILED:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
        case CURLE_HTTP3:
        case CURLE_UNRECOVERABLE_POLL:
        // libcurl wanted to send a streamed body again (a kept-alive connection closed under it).
        case CURLE_SEND_FAIL_REWIND: return URLErrorNetworkConnectionLost;
        // Only http and https reach libcurl, so an unsupported protocol is a reply without a status line.
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_HTTP_RETURNED_ERROR:
        case CURLE_RANGE_ERROR:
        case CURLE_BAD_DOWNLOAD_RESUME:
        // A challenge libcurl could not answer, as the server wrote it.
        case CURLE_AUTH_ERROR:
        // What the engine meets as "out of memory" is a reply line past the size libcurl will hold.
        case CURLE_OUT_OF_MEMORY: return URLErrorBadServerResponse;
        case CURLE_TOO_MANY_REDIRECTS: return URLErrorHTTPTooManyRedirects;
        case CURLE_BAD_CONTENT_ENCODING: return URLErrorCannotDecodeContentData;
        case CURLE_FILESIZE_EXCEEDED: return URLErrorDataLengthExceedsMaximum;
        case CURLE_READ_ERROR: return URLErrorRequestBodyStreamExhausted;
        case CURLE_ABORTED_BY_CALLBACK: return URLErrorCancelled;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CLIENTCERT:
        case CURLE_USE_SSL_FAILED: return URLErrorSecureConnectionFailed;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS: return URLErrorServerCertificateUntrusted;
        // The engine's own misuse of libcurl, a callback's refusal (which carries its own code), and
        // the other protocols' results have no platform counterpart.
        default: return URLErrorUnknown;
    }
}

Engine& Engine::shared() {
    static auto* engine = new Engine;
    return *engine;
}

Engine::Engine() : impl_(new Impl) {
    cookieShare();  // loads and sets up libcurl first, on this thread
    impl_->multi = curlLibrary().multi_init();
    curlLibrary().multi_setopt(impl_->multi, CURLMOPT_MAXCONNECTS, Engine::kIdleConnections);
    Thread::detachNew([impl = impl_] { impl->run(); }, "URLLoader");
}

std::uint64_t Engine::add(TransferSpec spec, std::shared_ptr<TransferListener> listener,
                          std::shared_ptr<TransferFlow> flow) {
    const std::uint64_t id = impl_->nextId.fetch_add(1);
    auto shared = std::make_shared<TransferSpec>(std::move(spec));
    if (shared->bodyPump) shared->bodyPump->setReadyHandler([this, id] { bodyReady(id); });
    impl_->post([impl = impl_, id, shared, listener = std::move(listener), flow = std::move(flow)]() mutable {
        impl->start(id, std::move(*shared), std::move(listener), std::move(flow));
    });
    return id;
}

void Engine::wakeup() {
    impl_->nudge();
}

void Engine::bodyReady(std::uint64_t id) {
    impl_->post([impl = impl_, id] {
        const auto found = impl->transfers.find(id);
        if (found == impl->transfers.end() || !found->second->sendPaused) return;
        found->second->sendPaused = false;
        found->second->lastActivity = EngineClock::now();
        if (const CURLcode result = impl->updatePause(*found->second); result != CURLE_OK) {
            impl->finishWithResult(*found->second, result);
        }
    });
}

void Engine::Impl::configure(Transfer& t, const Address& address) {
    CURL* e = t.easy;
    const TransferSpec& s = t.spec;
    curlLibrary().easy_setopt(e, CURLOPT_URL, s.url.c_str());
    curlLibrary().easy_setopt(e, CURLOPT_PRIVATE, &t);
    curlLibrary().easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curlLibrary().easy_setopt(e, CURLOPT_PROXY, "");
    curlLibrary().easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curlLibrary().easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curlLibrary().easy_setopt(e, CURLOPT_HEADERFUNCTION, onHeader);
    curlLibrary().easy_setopt(e, CURLOPT_HEADERDATA, &t);
    curlLibrary().easy_setopt(e, CURLOPT_WRITEFUNCTION, onReplyBody);
    curlLibrary().easy_setopt(e, CURLOPT_WRITEDATA, &t);
    const auto ms = static_cast<long>(s.timeout * 1000);
    if (ms > 0) curlLibrary().easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, ms);

    if (address.host) {
        t.host = *address.host;
        // Looked up at launch, not when the transfer arrived: a transfer that waited for room uses
        // the host map as it is when its connection is made.
        if (const auto target = HostMap::lookup(t.host, address.port)) {
            const std::string entry =
                t.host + ":" + std::to_string(address.port) + ":" + target->host + ":" + std::to_string(target->port);
            t.connectTo = curlLibrary().slist_append(nullptr, entry.c_str());
            curlLibrary().easy_setopt(e, CURLOPT_CONNECT_TO, t.connectTo);
        }
    }
    // Trust is decided in the pre-request step, not by libcurl; no TLS session reuse, because a
    // resumed session carries no peer chain.
    curlLibrary().easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 0L);
    curlLibrary().easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L);
    curlLibrary().easy_setopt(e, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    curlLibrary().easy_setopt(e, CURLOPT_PREREQFUNCTION, onPrereq);
    curlLibrary().easy_setopt(e, CURLOPT_PREREQDATA, &t);
    if (s.handleCookies) {
        curlLibrary().easy_setopt(e, CURLOPT_SHARE, cookieShare());
        curlLibrary().easy_setopt(e, CURLOPT_COOKIEFILE, "");  // turns the cookie engine on
    } else {
        curlLibrary().easy_setopt(e, CURLOPT_SHARE, static_cast<CURLSH*>(nullptr));
    }

    const bool hasBody = s.body.has_value() || s.bodyPump != nullptr;
    for (const auto& [name, value] : s.headers.fields()) {
        // The body's framing is the engine's: libcurl writes the body's real length (or chunks a body
        // of unknown length). A caller's value could end the body early and let the rest pass as a
        // request of its own on the kept-alive connection.
        if (equalsIgnoringCase(name, "Content-Length") || equalsIgnoringCase(name, "Transfer-Encoding")) continue;
        const std::string line = value.empty() ? name + ";" : name + ": " + value;
        t.headerList = curlLibrary().slist_append(t.headerList, line.c_str());
    }
    // Suppress what libcurl would add on its own but the platform does not send.
    if (!s.headers.contains("Expect")) t.headerList = curlLibrary().slist_append(t.headerList, "Expect:");
    if (hasBody && !s.headers.contains("Content-Type")) t.headerList = curlLibrary().slist_append(t.headerList, "Content-Type:");
    curlLibrary().easy_setopt(e, CURLOPT_HTTPHEADER, t.headerList);
    if (!s.headers.contains("Accept-Encoding")) {
        // Compressed replies are asked for and decoded here rather than by libcurl, which hands on a
        // compressed body that stops short, or lacks its check trailer, as if it were whole.
        curlLibrary().easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
        curlLibrary().easy_setopt(e, CURLOPT_HTTP_CONTENT_DECODING, 0L);
        t.decodeBody = true;
    }

    if (hasBody) {
        curlLibrary().easy_setopt(e, CURLOPT_POST, 1L);
        if (s.body) {
            static const char empty[] = "";
            curlLibrary().easy_setopt(e, CURLOPT_POSTFIELDS, s.body->empty() ? empty : reinterpret_cast<const char*>(s.body->data()));
            curlLibrary().easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(s.body->size()));
        } else {
            curlLibrary().easy_setopt(e, CURLOPT_READFUNCTION, onRead);
            curlLibrary().easy_setopt(e, CURLOPT_READDATA, &t);
            curlLibrary().easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(s.bodyPump->expectedLength()));
        }
        if (s.method != "POST") curlLibrary().easy_setopt(e, CURLOPT_CUSTOMREQUEST, s.method.c_str());
        curlLibrary().easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
        curlLibrary().easy_setopt(e, CURLOPT_XFERINFOFUNCTION, onProgress);
        curlLibrary().easy_setopt(e, CURLOPT_XFERINFODATA, &t);
    } else if (s.method == "HEAD") {
        curlLibrary().easy_setopt(e, CURLOPT_NOBODY, 1L);
    } else if (s.method == "POST") {
        curlLibrary().easy_setopt(e, CURLOPT_POST, 1L);
        curlLibrary().easy_setopt(e, CURLOPT_POSTFIELDS, "");
        curlLibrary().easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
    } else {
        curlLibrary().easy_setopt(e, CURLOPT_HTTPGET, 1L);
        if (s.method != "GET") curlLibrary().easy_setopt(e, CURLOPT_CUSTOMREQUEST, s.method.c_str());
    }
    if (s.user) {
        curlLibrary().easy_setopt(e, CURLOPT_USERNAME, s.user->c_str());
        curlLibrary().easy_setopt(e, CURLOPT_PASSWORD, s.password.value_or("").c_str());
        curlLibrary().easy_setopt(e, CURLOPT_HTTPAUTH, s.digest ? CURLAUTH_DIGEST : CURLAUTH_BASIC);
    }
}

void Engine::Impl::release(Transfer& t) {
    if (const auto count = runningPerKey.find(t.gateKey); count != runningPerKey.end() && --count->second <= 0) runningPerKey.erase(count);
    curlLibrary().multi_remove_handle(multi, t.easy);
    curlLibrary().slist_free_all(t.headerList);
    curlLibrary().slist_free_all(t.connectTo);
    t.headerList = nullptr;
    t.connectTo = nullptr;
    if (spareHandles.size() < kSpareHandles) {
        // The cookie engine's list of files to read lives outside the options a reset clears: empty
        // it first (shared cookies stay in the share).
        curlLibrary().easy_setopt(t.easy, CURLOPT_COOKIEFILE, static_cast<char*>(nullptr));
        curlLibrary().easy_reset(t.easy);
        spareHandles.push_back(t.easy);
    } else {
        curlLibrary().easy_cleanup(t.easy);
    }
    t.easy = nullptr;
}

void Engine::Impl::finish(std::uint64_t id, int code, Ref<Error> streamError, std::string detail) {
    const auto found = transfers.find(id);
    if (found == transfers.end()) return;
    std::unique_ptr<Transfer> t = std::move(found->second);
    transfers.erase(found);
    if (code == 0 && !streamError) t->postResponse();
    if (t->spec.bodyPump) t->spec.bodyPump->cancel();
    release(*t);
    t->listener->transferCompleted(code, std::move(streamError), std::move(detail));
    admitWaiting();
}

void Engine::Impl::run() {
    for (;;) {
        std::vector<std::function<void()>> pending;
        {
            std::lock_guard lock(mutex);
            pending.swap(commands);
            // Read-modify-write: this turn then sees whatever a wake-up's sender did before it.
            attention.exchange(false);
        }
        for (auto& command : pending) command();

        int running = 0;
        curlLibrary().multi_perform(multi, &running);
        int queued = 0;
        while (CURLMsg* message = curlLibrary().multi_info_read(multi, &queued)) {
            if (message->msg != CURLMSG_DONE) continue;
            Transfer* t = nullptr;
            curlLibrary().easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &t);
            finishWithResult(*t, message->data.result);
        }

        // Flow control and idle time-outs.
        const auto now = EngineClock::now();
        std::vector<std::uint64_t> timedOut;
        std::vector<std::uint64_t> overdue;
        std::vector<std::pair<std::uint64_t, CURLcode>> refused;
        for (auto& [id, t] : transfers) {
            if (t->recvPaused && !t->flow->held.load() && t->flow->undelivered.load() < Engine::kResumeBelow) {
                t->recvPaused = false;
                t->flow->paused.store(false);
                t->lastActivity = now;
                if (const CURLcode result = updatePause(*t); result != CURLE_OK) {
                    refused.emplace_back(id, result);
                    continue;
                }
            }
            if (t->spec.deadline && now > *t->spec.deadline) {
                overdue.push_back(id);
                continue;
            }
            if (t->recvPaused) continue;  // waiting for the consumer is not idleness
            const auto idle = std::chrono::duration<double>(now - t->lastActivity).count();
            if (t->spec.timeout > 0 && idle > t->spec.timeout) timedOut.push_back(id);
        }
        for (const auto& [id, result] : refused) finishWithResult(*transfers.at(id), result);
        for (const auto id : timedOut) finish(id, URLErrorTimedOut, nullptr, "idle time-out");
        for (const auto id : overdue) finish(id, URLErrorTimedOut, nullptr, "resource time-out");
        expireWaiting(now);
        for (auto& [id, t] : transfers) t->listener->flush();

        long wait = 100;
        long curlWait = -1;
        curlLibrary().multi_timeout(multi, &curlWait);
        if (curlWait >= 0 && curlWait < wait) wait = curlWait;
        if (wait > 0) {
            const auto began = EngineClock::now();
            if (spinForEvents()) continue;
            awake.store(false);
            if (attention.load()) {
                awake.store(true);
                continue;
            }
            int ready = 0;
            curlLibrary().multi_poll(multi, nullptr, 0, static_cast<int>(wait), &ready);
            awake.store(true);
            if (ready > 0 || attention.load(std::memory_order_acquire)) spinBudget.missed(EngineClock::now() - began);
        } else {
            curlLibrary().multi_poll(multi, nullptr, 0, 0, nullptr);
        }
    }
}

}  // namespace lv::net_detail
