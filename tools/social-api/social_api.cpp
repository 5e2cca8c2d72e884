#include "social_api.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <cstdio>

#include "support/endless_body.h"

namespace lv::tools {

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;

Key makeKey() { return Key(EVP_EC_gen("P-256"), &EVP_PKEY_free); }

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    if (X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str())) {
        X509_add_ext(cert, extension, -1);
        X509_EXTENSION_free(extension);
    }
}

// A certificate for the name, signed by the issuer's key (self-signed without an issuer).
Cert makeCertificate(EVP_PKEY* key, const std::string& commonName, const std::string& altNames, X509* issuer,
                     EVP_PKEY* issuerKey, long serial) {
    Cert cert(X509_new(), &X509_free);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 7L * 86400);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
    X509* signer = issuer ? issuer : cert.get();
    if (altNames.empty()) {
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert.get(), signer, NID_subject_alt_name, altNames);
        addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
    }
    addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    if (!X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256())) return Cert(nullptr, &X509_free);
    return cert;
}

std::string md5Hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr);
    std::string hex;
    char buffer[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(buffer, sizeof buffer, "%02x", digest[i]);
        hex += buffer;
    }
    return hex;
}

std::string randomHex(std::size_t bytes) {
    std::vector<unsigned char> data(bytes);
    RAND_bytes(data.data(), static_cast<int>(data.size()));
    std::string hex;
    char buffer[3];
    for (unsigned char byte : data) {
        std::snprintf(buffer, sizeof buffer, "%02x", byte);
        hex += buffer;
    }
    return hex;
}

std::string jsonText(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string errorBody(const std::string& error, int code) {
    return "{\"error\":" + jsonText(error) + ",\"error_code\":" + std::to_string(code) + "}";
}

std::string param(const SocialRequest& request, const std::string& name) {
    auto it = request.params.find(name);
    return it == request.params.end() ? std::string() : it->second;
}

}  // namespace

struct SocialApi::Certificates {
    Key rootKey{nullptr, &EVP_PKEY_free};
    Cert root{nullptr, &X509_free};
    Key leafKey{nullptr, &EVP_PKEY_free};
    Cert leaf{nullptr, &X509_free};
};

SocialApi::SocialApi() = default;

SocialApi::~SocialApi() { stop(); }

bool SocialApi::start(int httpsPort, int httpPort, const std::string& host) {
    auto certificates = std::make_unique<Certificates>();
    certificates->rootKey = makeKey();
    certificates->leafKey = makeKey();
    if (!certificates->rootKey || !certificates->leafKey) return false;
    certificates->root = makeCertificate(certificates->rootKey.get(), "Social API stand-in root", {}, nullptr, nullptr, 1);
    if (!certificates->root) return false;
    certificates->leaf = makeCertificate(certificates->leafKey.get(), host, "DNS:" + host + ",IP:127.0.0.1",
                                         certificates->root.get(), certificates->rootKey.get(), 2);
    if (!certificates->leaf) return false;
    certificates_ = std::move(certificates);

    secure_ = std::make_unique<httplib::SSLServer>(certificates_->leaf.get(), certificates_->leafKey.get());
    plain_ = std::make_unique<httplib::Server>();
    for (httplib::Server* server : {static_cast<httplib::Server*>(secure_.get()), plain_.get()}) {
        server->set_keep_alive_timeout(1);
        server->set_tcp_nodelay(true);  // no small-segment delay between a reply's header and body
        server->set_read_timeout(30);
        server->set_write_timeout(30);
    }
    install(*secure_, true);
    install(*plain_, false);
    httpsPort_ = httpsPort ? (secure_->bind_to_port("127.0.0.1", httpsPort) ? httpsPort : -1)
                           : secure_->bind_to_any_port("127.0.0.1");
    httpPort_ = httpPort ? (plain_->bind_to_port("127.0.0.1", httpPort) ? httpPort : -1)
                         : plain_->bind_to_any_port("127.0.0.1");
    if (httpsPort_ <= 0 || httpPort_ <= 0) {
        secure_.reset();
        plain_.reset();
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        stopping_ = false;
    }
    secureThread_ = std::thread([this] { secure_->listen_after_bind(); });
    plainThread_ = std::thread([this] { plain_->listen_after_bind(); });
    while (!secure_->is_running() || !plain_->is_running()) std::this_thread::yield();
    return true;
}

void SocialApi::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stopped_.notify_all();
    if (secure_) secure_->stop();
    if (plain_) plain_->stop();
    if (secureThread_.joinable()) secureThread_.join();
    if (plainThread_.joinable()) plainThread_.join();
}

std::string SocialApi::rootCertificatePEM() const {
    if (!certificates_) return {};
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, certificates_->root.get());
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<std::size_t>(length));
    BIO_free(bio);
    return pem;
}

std::vector<unsigned char> SocialApi::rootCertificateDER() const {
    if (!certificates_) return {};
    unsigned char* data = nullptr;
    int length = i2d_X509(certificates_->root.get(), &data);
    if (length <= 0) return {};
    std::vector<unsigned char> der(data, data + length);
    OPENSSL_free(data);
    return der;
}

void SocialApi::setBehaviour(const std::string& path, SocialBehaviour behaviour) {
    std::lock_guard lock(mutex_);
    behaviours_[path] = std::move(behaviour);
}

void SocialApi::resetBehaviours() {
    std::lock_guard lock(mutex_);
    behaviours_.clear();
}

void SocialApi::setExpiresIn(long long seconds) {
    std::lock_guard lock(mutex_);
    expiresIn_ = seconds;
}

void SocialApi::addAccessToken(const std::string& token, const std::string& refreshToken) {
    std::lock_guard lock(mutex_);
    accessTokens_[token] = true;
    if (!refreshToken.empty()) refreshTokens_[refreshToken] = true;
}

std::vector<SocialRequest> SocialApi::requests() const {
    std::lock_guard lock(mutex_);
    return log_;
}

std::vector<SocialRequest> SocialApi::requestsTo(const std::string& path) const {
    std::vector<SocialRequest> matching;
    for (SocialRequest& request : requests()) {
        if (request.path == path) matching.push_back(std::move(request));
    }
    return matching;
}

void SocialApi::clearRequests() {
    std::lock_guard lock(mutex_);
    log_.clear();
}

void SocialApi::setRequestObserver(std::function<void(const SocialRequest&)> observer) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

bool SocialApi::waitUnlessStopped(double seconds) {
    std::unique_lock lock(mutex_);
    return !stopped_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return stopping_; });
}

void SocialApi::install(httplib::Server& server, bool secure) {
    auto handler = [this, secure](const httplib::Request& request, httplib::Response& response) {
        handle(request, response, secure);
    };
    server.Get(".*", handler);
    server.Post(".*", handler);
}

void SocialApi::handle(const httplib::Request& raw, httplib::Response& response, bool secure) {
    SocialRequest request;
    request.method = raw.method;
    request.path = raw.path;
    request.secure = secure;
    auto question = raw.target.find('?');
    if (question != std::string::npos) request.query = raw.target.substr(question + 1);
    request.contentType = raw.get_header_value("Content-Type");
    for (const auto& [name, value] : raw.params) request.params[name] = value;
    for (const auto& [name, file] : raw.files) {
        SocialPart part{file.name, file.filename, file.content_type, file.content.size(), md5Hex(file.content), {}};
        if (file.filename.empty()) {
            part.content = file.content;
            request.params[file.name] = file.content;
        }
        request.parts.push_back(std::move(part));
    }
    SocialBehaviour behaviour;
    std::function<void(const SocialRequest&)> observer;
    {
        std::lock_guard lock(mutex_);
        log_.push_back(request);
        observer = observer_;
        auto it = behaviours_.find(request.path);
        if (it != behaviours_.end()) behaviour = it->second;
    }
    if (observer) observer(request);
    if (behaviour.delaySeconds > 0 && !waitUnlessStopped(behaviour.delaySeconds)) return;
    answer(request, response, behaviour);
    if (behaviour.status) response.status = behaviour.status;
    if (behaviour.errorReply) {
        if (!behaviour.status) response.status = 400;
        response.set_content(errorBody(behaviour.errorReply->first, behaviour.errorReply->second), "application/json");
    }
    if (behaviour.badBody) response.body = "{\"error\": \"truncat";
    if (!behaviour.customBody.empty()) response.body = behaviour.customBody;
    if (!behaviour.contentType.empty()) response.set_header("Content-Type", behaviour.contentType);
    if (behaviour.padTo > response.body.size()) response.body.resize(behaviour.padTo, ' ');
    if (behaviour.endless) {
        const std::string type = response.get_header_value("Content-Type");
        response.body.clear();
        setEndlessJsonBody(response, type, [this] {
            std::lock_guard lock(mutex_);
            ++endlessAbandoned_;
        });
    }
    if (behaviour.closeEarly) {
        auto half = std::make_shared<std::string>(response.body.substr(0, response.body.size() / 2));
        const std::size_t whole = std::max<std::size_t>(response.body.size(), 2);
        const std::string type = response.get_header_value("Content-Type");
        response.body.clear();
        response.set_content_provider(whole, type, [half](std::size_t, std::size_t, httplib::DataSink& sink) {
            sink.write(half->data(), half->size());
            return false;
        });
    }
}

int SocialApi::endlessAbandoned() const {
    std::lock_guard lock(mutex_);
    return endlessAbandoned_;
}

std::string SocialApi::grant(const std::string&) {
    // Mutex held by the caller.
    const std::string token = "2.00" + randomHex(12);
    const std::string refresh = "2.10" + randomHex(12);
    accessTokens_[token] = true;
    refreshTokens_[refresh] = true;
    return "{\"access_token\":" + jsonText(token) + ",\"expires_in\":" + std::to_string(expiresIn_) +
           ",\"refresh_token\":" + jsonText(refresh) + ",\"remind_in\":\"" + std::to_string(expiresIn_) +
           "\",\"uid\":\"" + kUserID + "\"}";
}

void SocialApi::answer(const SocialRequest& request, httplib::Response& response, const SocialBehaviour& behaviour) {
    const std::string& path = request.path;
    auto json = [&](int status, const std::string& body) {
        response.status = status;
        response.set_content(body, "application/json");
    };
    auto tokenValid = [&] {
        std::lock_guard lock(mutex_);
        auto it = accessTokens_.find(param(request, "access_token"));
        return it != accessTokens_.end() && it->second;
    };
    // The plain port answers nothing: every address of the service, the token-bearing status link
    // included, is HTTPS.
    if (!request.secure) {
        response.status = 404;
        response.set_content("<html><body>not found</body></html>", "text/html");
        return;
    }
    if (path == "/2/statuses/go") {
        response.set_content("<html><body>status " + param(request, "id") + "</body></html>", "text/html");
        return;
    }
    if (path == "/oauth2/authorize") {
        const std::string redirect = param(request, "redirect_uri");
        if (redirect.empty()) return json(400, errorBody("redirect_uri_mismatch", 21322));
        const char joiner = redirect.find('?') == std::string::npos ? '?' : '&';
        if (behaviour.deny) {
            response.set_redirect(redirect + joiner + "error=access_denied&error_code=21330");
            return;
        }
        std::string code = randomHex(16);
        {
            std::lock_guard lock(mutex_);
            codes_[code] = redirect;
        }
        response.set_redirect(redirect + joiner + "code=" + code);
        return;
    }
    if (path == "/oauth2/default.html") {
        response.set_content("<html><body>authorised</body></html>", "text/html");
        return;
    }
    if (path == "/oauth2/access_token" && request.method == "POST") {
        const std::string type = param(request, "grant_type");
        std::lock_guard lock(mutex_);
        if (type == "authorization_code") {
            auto it = codes_.find(param(request, "code"));
            if (it == codes_.end() || it->second != param(request, "redirect_uri")) {
                response.status = 400;
                response.set_content(errorBody("invalid_grant", 21325), "application/json");
                return;
            }
            codes_.erase(it);
        } else if (type == "refresh_token") {
            auto it = refreshTokens_.find(param(request, "refresh_token"));
            if (it == refreshTokens_.end() || !it->second) {
                response.status = 400;
                response.set_content(errorBody("invalid_grant", 21325), "application/json");
                return;
            }
            it->second = false;
        } else {
            response.status = 400;
            response.set_content(errorBody("unsupported_grant_type", 21328), "application/json");
            return;
        }
        response.set_content(grant(param(request, "client_id")), "application/json");
        return;
    }
    if (path == "/oauth2/revokeoauth2") {
        if (!tokenValid()) return json(401, errorBody("invalid_access_token", 21332));
        {
            std::lock_guard lock(mutex_);
            accessTokens_[param(request, "access_token")] = false;
        }
        return json(200, "{\"result\":\"true\"}");
    }
    const bool upload = path == "/2/statuses/upload.json";
    if ((upload || path == "/2/statuses/update.json") && request.method == "POST") {
        if (!tokenValid()) return json(401, errorBody("auth faild!", 21301));
        if (upload && std::none_of(request.parts.begin(), request.parts.end(),
                                   [](const SocialPart& part) { return part.name == "pic" && !part.filename.empty(); })) {
            return json(400, errorBody("pic is required", 20001));
        }
        std::string id;
        {
            std::lock_guard lock(mutex_);
            id = std::to_string(4000000000000000LL + next_++);
        }
        return json(200, "{\"id\":" + id + ",\"idstr\":\"" + id + "\",\"text\":" + jsonText(param(request, "status")) +
                             ",\"user\":{\"idstr\":\"" + kUserID + "\",\"screen_name\":" + jsonText(kScreenName) + "}}");
    }
    if (path == "/2/users/show.json" && request.method == "GET") {
        if (!tokenValid()) return json(401, errorBody("auth faild!", 21301));
        if (param(request, "uid") != kUserID) return json(400, errorBody("User does not exists!", 20003));
        return json(200, std::string("{\"id\":") + kUserID + ",\"idstr\":\"" + kUserID +
                             "\",\"name\":" + jsonText(kScreenName) + ",\"screen_name\":" + jsonText(kScreenName) + "}");
    }
    json(404, errorBody("Request Api not found!", 10021));
}

}  // namespace lv::tools
