// TLS through the engine: certificate checks against the system anchors plus anchors added from a PEM
// file, with the host map keeping the original name for the check.
#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <thread>

#include "platform/net/errors.h"
#include "platform/net/host_map.h"
#include "recorder.h"
#include "support/temp_dir.h"

namespace lv {
namespace {

// A self-signed P-256 certificate for "localhost" and 127.0.0.1, valid for a day; written as PEM.
void writeCertificate(const std::string& certPath, const std::string& keyPath) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -60);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
    for (const auto& [nid, value] : {std::pair{NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1"},
                                     std::pair{NID_basic_constraints, "critical,CA:TRUE"}}) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
        X509_add_ext(cert, extension, -1);
        X509_EXTENSION_free(extension);
    }
    X509_sign(cert, key, EVP_sha256());
    FILE* out = std::fopen(certPath.c_str(), "w");
    PEM_write_X509(out, cert);
    std::fclose(out);
    out = std::fopen(keyPath.c_str(), "w");
    PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(out);
    X509_free(cert);
    EVP_PKEY_free(key);
}

TEST(Tls, AnchorsFromPEMAndHostNames) {
    test::TempDir dir;
    writeCertificate(dir.file("cert.pem"), dir.file("key.pem"));
    // A server of its own per run (a new port, so no kept-alive connection skips the check).
    httplib::SSLServer server(dir.file("cert.pem").c_str(), dir.file("key.pem").c_str());
    server.set_keep_alive_timeout(1);
    server.Get("/hello", [](const httplib::Request&, httplib::Response& res) { res.set_content("secure", "text/plain"); });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { server.listen_after_bind(); });
    while (!server.is_running()) std::this_thread::yield();

    const std::string local = "https://localhost:" + std::to_string(port) + "/hello";
    TrustAnchors::clear();
    const auto untrusted = test::load(test::requestFor(local));
    EXPECT_EQ(untrusted->error ? untrusted->error->code() : 0, URLErrorServerCertificateUntrusted);

    ASSERT_TRUE(TrustAnchors::addPEMFile(dir.file("cert.pem")));
    HostMap::set("secure.example:443", "127.0.0.1", port);
    const auto wrongName = test::load(test::requestFor("https://secure.example/hello"));
    EXPECT_EQ(wrongName->error ? wrongName->error->code() : 0, URLErrorServerCertificateUntrusted);
    EXPECT_EQ(wrongName->error ? wrongName->error->userInfo().get(kURLErrorFailingURLStringErrorKey) : Value(),
              Value("https://secure.example/hello"));
    HostMap::set("localhost:443", "127.0.0.1", port);
    const auto trusted = test::load(test::requestFor("https://localhost/hello"));
    EXPECT_EQ(trusted->bodyText(), "secure");
    HostMap::clear();
    TrustAnchors::clear();
    server.stop();
    serving.join();
}

}  // namespace
}  // namespace lv
