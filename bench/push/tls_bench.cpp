// 64 MiB one way through TLS: two PNAsyncSockets (our listener's accepted socket as the server) beside
// a blocking SSL_write/SSL_read loop over a loopback socket pair, in the same binary with the same
// self-signed identity. Prints the ratio socket / raw.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <thread>

#include "platform/dispatch/queue.h"
#include "push/async_socket.h"
#include "support/deadline.h"
#include "support/ratio_reporter.h"

namespace {

using namespace lv;

constexpr std::size_t kBulk = 64u << 20;

// A self-signed P-256 identity for "localhost", written as PEM files once per run.
struct Identity {
    std::string certificateFile;
    std::string keyFile;
    static const Identity& shared() {
        static const Identity identity = [] {
            const auto folder = std::filesystem::temp_directory_path() / ("lv-tls-bench-" + std::to_string(::getpid()));
            std::filesystem::create_directories(folder);
            Identity made{(folder / "cert.pem").string(), (folder / "key.pem").string()};
            EVP_PKEY* key = EVP_EC_gen("P-256");
            X509* cert = X509_new();
            X509_set_version(cert, 2);
            ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
            X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
            X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
            X509_set_pubkey(cert, key);
            X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                                       reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
            X509_set_issuer_name(cert, X509_get_subject_name(cert));
            X509_sign(cert, key, EVP_sha256());
            FILE* out = std::fopen(made.certificateFile.c_str(), "w");
            PEM_write_X509(out, cert);
            std::fclose(out);
            out = std::fopen(made.keyFile.c_str(), "w");
            PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
            std::fclose(out);
            X509_free(cert);
            EVP_PKEY_free(key);
            return made;
        }();
        return identity;
    }
};

// Accepts one connection, secures it as the server and reads everything the benchmark sends.
class Server : public PNAsyncSocketDelegate {
public:
    // Like the push client's own delegates, it answers only the messages it implements.
    bool answers(PNAsyncSocketDelegateMethod method) const override {
        return method == PNAsyncSocketDelegateMethod::DidAcceptNewSocket ||
               method == PNAsyncSocketDelegateMethod::DidReadData;
    }
    void didAcceptNewSocket(const Ref<PNAsyncSocket>&, const Ref<PNAsyncSocket>& socket) override {
        accepted = socket;
        socket->startTLS({{std::string(kTlsIsServerKey), Value(true)},
                          {std::string(kTlsCertificateFileKey), Value(Identity::shared().certificateFile)},
                          {std::string(kTlsPrivateKeyFileKey), Value(Identity::shared().keyFile)}});
        ready->signal();
    }
    void didReadData(const Ref<PNAsyncSocket>&, const PNSocketData&, std::int64_t) override { received->signal(); }
    Ref<PNAsyncSocket> accepted;  // on the delegate queue
    Ref<Semaphore> ready = Semaphore::make();
    Ref<Semaphore> received = Semaphore::make();
};

class Client : public PNAsyncSocketDelegate {
public:
    bool answers(PNAsyncSocketDelegateMethod method) const override {
        return method == PNAsyncSocketDelegateMethod::DidSecure;
    }
    void socketDidSecure(const Ref<PNAsyncSocket>&) override { secured->signal(); }
    Ref<Semaphore> secured = Semaphore::make();
};

void BulkTlsSocket(benchmark::State& state) {
    auto server = std::make_shared<Server>();
    const Ref<Queue> serverQueue = Queue::makeSerial("bench server");
    auto listener = PNAsyncSocket::makeWithDelegate(server, serverQueue);
    listener->acceptOnInterface(std::string("127.0.0.1"), 0, nullptr);
    auto client = std::make_shared<Client>();
    auto socket = PNAsyncSocket::makeWithDelegate(client, Queue::makeSerial("bench client"));
    socket->connectToHost("127.0.0.1", listener->localPort(), nullptr);
    socket->startTLS({{std::string(kTlsValidatesCertificateChainKey), Value(false)}});
    Ref<PNAsyncSocket> accepted;
    if (bench::awaitSignal(state, *server->ready, "no connection accepted in time") &&
        bench::awaitSignal(state, *client->secured, "the TLS handshake did not end in time")) {
        serverQueue->sync([&] { accepted = server->accepted; });
        auto bulk = std::make_shared<const Bytes>(kBulk, 0x5A);
        for (auto _ : state) {
            accepted->readDataToLength(kBulk, -1, 0);
            socket->writeData(bulk, -1, 1);
            if (!bench::awaitSignal(state, *server->received, "the data did not arrive in time")) break;
        }
        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBulk));
    }
    socket->disconnect();
    if (accepted) accepted->disconnect();
    listener->disconnect();
}
BENCHMARK(BulkTlsSocket)->Unit(benchmark::kMillisecond);

void BulkTlsRaw(benchmark::State& state) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 1);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const int clientFD = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::connect(clientFD, reinterpret_cast<sockaddr*>(&address), sizeof address);
    const int serverFD = ::accept(listener, nullptr, nullptr);

    SSL_CTX* serverContext = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_file(serverContext, Identity::shared().certificateFile.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(serverContext, Identity::shared().keyFile.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX* clientContext = SSL_CTX_new(TLS_client_method());
    SSL* serverSSL = SSL_new(serverContext);
    SSL* clientSSL = SSL_new(clientContext);
    SSL_set_fd(serverSSL, serverFD);
    SSL_set_fd(clientSSL, clientFD);
    Ref<Semaphore> go = Semaphore::make();
    Ref<Semaphore> received = Semaphore::make();
    bool stop = false;  // written before the last go signal
    std::thread reader([&] {
        SSL_accept(serverSSL);
        std::vector<char> buffer(1u << 16);
        for (;;) {
            go->wait();
            if (stop) break;
            for (std::size_t got = 0; got < kBulk;) {
                std::size_t n = 0;
                if (SSL_read_ex(serverSSL, buffer.data(), buffer.size(), &n) != 1) break;
                got += n;
            }
            received->signal();
        }
    });
    SSL_connect(clientSSL);
    const Bytes bulk(kBulk, 0x5A);
    for (auto _ : state) {
        go->signal();
        for (std::size_t sent = 0; sent < bulk.size();) {
            std::size_t n = 0;
            if (SSL_write_ex(clientSSL, bulk.data() + sent, bulk.size() - sent, &n) != 1) break;
            sent += n;
        }
        if (!bench::awaitSignal(state, *received, "the data did not arrive in time")) break;
    }
    stop = true;
    go->signal();
    ::shutdown(serverFD, SHUT_RDWR);  // ends a read the reader may still be in
    reader.join();
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBulk));
    SSL_free(clientSSL);
    SSL_free(serverSSL);
    SSL_CTX_free(clientContext);
    SSL_CTX_free(serverContext);
    ::close(clientFD);
    ::close(serverFD);
    ::close(listener);
}
BENCHMARK(BulkTlsRaw)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    lv::bench::RatioReporter reporter;
    reporter.runRounds();
    reporter.printRatio("BulkTlsSocket", "BulkTlsRaw", "1.5x");
    benchmark::Shutdown();
    std::filesystem::remove_all(std::filesystem::path(Identity::shared().certificateFile).parent_path());
    return 0;
}
