// Making one envelope file from 5,000 cached events and 50 sessions (build, serialise, deflate,
// encrypt, wrap, write) beside the raw floor in the same binary: a hand-written encoder of the same
// log-entry bytes, compress2, EVP AES-128-CBC, a hand-written envelope and one flushed file moved
// under its name.
// Prints the ratio envelope writer / raw floor.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "analytics/tally_app.h"
#include "analytics/tally_envelope.h"
#include "analytics/tally_pack.h"
#include "analytics/tally_utility.h"
#include "analytics/upload_protocol.h"
#include "platform/base/big_endian.h"
#include "platform/security/aes.h"
#include "platform/security/digest.h"
#include "platform/storage/sandbox.h"
#include "support/ratio_reporter.h"

namespace {

using namespace lv;
namespace protocol = upload_protocol;

constexpr int kEvents = 5000;
constexpr int kSessions = 50;

class CachedEngine final : public TallyPackEngine {
public:
    CachedEngine() {
        for (int i = 0; i < kEvents; ++i) {
            auto event = makeRef<TLYEvent>();
            event->session_id = "7D3C0A9B4E2F18C6A5B0D9E8F7162534";
            event->event_id = "newsTab";
            event->label = "page" + std::to_string(i % 37);
            event->ts = 1700000000 + i * 0.25;
            event->acc = 1;
            event->du = i;
            events_.push_back(event);
        }
        for (int s = 0; s < kSessions; ++s) {
            auto end = makeRef<TLYTerminate>(60);
            end->session_id = "session" + std::to_string(s);
            end->ts = 1700000100 + s;
            end->pageViews = {Value::array({"ChartScreen", 12}), Value::array({"NewsScreen", 30})};
            terminates_.push_back(end);
        }
    }
    std::vector<Ref<TLYEvent>> events() const override { return events_; }
    std::vector<Ref<TLYError>> errors() const override { return {}; }
    std::vector<Ref<TLYEkv>> ekv() const override { return {}; }
    std::vector<Ref<TLYTerminate>> terminates() const override { return terminates_; }
    void removeInstanceMsgs() override {}
    void removeSessions() override {}
    void buildDummySession() override {}
    void removeCacheData() override {}
    std::size_t removeOldestEvents(std::size_t) override { return 0; }
    std::string wrapperType() const override { return {}; }
    std::string wrapperVersion() const override { return {}; }
    std::int32_t defcon() const override { return 0; }
    void setDefcon(std::int32_t) override {}
    std::int32_t latency() const override { return 0; }
    bool bDisguisedLatency() const override { return false; }
    double elapsedTimeFromPost() const override { return -1; }

    std::vector<Ref<TLYEvent>> events_;
    std::vector<Ref<TLYTerminate>> terminates_;
};

struct Out {
    Bytes bytes;
    void u8(std::uint8_t v) { bytes.push_back(v); }
    void be(std::uint64_t v, int n) {
        for (int i = n - 1; i >= 0; --i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void field(std::uint8_t type, std::int16_t id) { u8(type), be(static_cast<std::uint16_t>(id), 2); }
    void str(std::string_view s) {
        be(s.size(), 4);
        bytes.insert(bytes.end(), s.begin(), s.end());
    }
    void append(const Bytes& b) { bytes.insert(bytes.end(), b.begin(), b.end()); }
};

// The entry's start-up fields as written (without the record's stop byte).
Bytes fieldsOf(TPKUALogEntry entry) {
    Bytes bytes = packBytes(entry);
    bytes.pop_back();
    return bytes;
}

struct Fixture {
    std::string root = std::filesystem::temp_directory_path() / ("lv_envelope_bench_" + std::to_string(getpid()));
    std::shared_ptr<CachedEngine> engine;
    Ref<TallyPack> pack;
    Bytes head, tail, signature;

    Fixture() {
        std::filesystem::create_directories(root);
        Sandbox::setRoot(root);
        TallyApp::sharedInstance()->setAppid("9f3b6c2a41e07d58b2c4a6e1");
        TallyApp::sharedInstance()->setEncryptEnabledFlag(true);
        engine = std::make_shared<CachedEngine>();
        pack = makeRef<TallyPack>(engine);
        pack->setActivateMsgFlag();
        TPKUALogEntry start;
        const TPKUALogEntry& entry = pack->UALogEntry();
        start.setClient_stats(TPKClientStats{});
        start.setApp_info(*entry.app_info());
        start.setDevice_info(*entry.device_info());
        start.setMisc_info(*entry.misc_info());
        head = fieldsOf(start);
        TPKUALogEntry end;
        end.setId_tracking(*entry.id_tracking());
        tail = fieldsOf(end);
        TallyEnvelope::sharedInstance()->makeEnvelopeData(*pack);  // makes the signature
        signature = *TallyEnvelope::sharedInstance()->signature();
    }
    ~Fixture() { std::filesystem::remove_all(root); }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

// The log entry's bytes, written twice over: once counting them, then into a buffer of that size
// (one allocation, no capacity check per byte).
struct Count {
    std::size_t size = 0;
    void u8(std::uint8_t) { ++size; }
    void be(std::uint64_t, int n) { size += static_cast<std::size_t>(n); }
    void raw(const std::uint8_t*, std::size_t n) { size += n; }
};
struct Fill {
    std::uint8_t* at;
    void u8(std::uint8_t v) { *at++ = v; }
    // The low n bytes (2, 4 or 8), most significant first, in one store.
    void be(std::uint64_t v, int n) {
        storeBig(at, v, static_cast<unsigned>(n));
        at += n;
    }
    void raw(const std::uint8_t* bytes, std::size_t n) {
        std::memcpy(at, bytes, n);
        at += n;
    }
};

template <class Sink>
void emitEntry(Sink& o, const Fixture& f) {
    auto field = [&](std::uint8_t type, std::int16_t id) { o.u8(type), o.be(static_cast<std::uint16_t>(id), 2); };
    auto str = [&](std::string_view s) {
        o.be(s.size(), 4);
        o.raw(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    };
    o.raw(f.head.data(), f.head.size());
    field(15, 6), o.u8(12), o.be(1, 4);
    field(11, 1), str(f.engine->events_.front()->session_id);
    field(15, 3), o.u8(12), o.be(f.engine->events_.size(), 4);
    for (const auto& e : f.engine->events_) {
        field(11, 1), str(e->event_id);
        field(13, 2), o.u8(11), o.u8(12), o.be(1, 4), str(e->event_id);
        field(11, 1), str(e->label), o.u8(0);
        field(10, 3), o.be(static_cast<std::uint64_t>(e->du), 8);
        field(8, 4), o.be(static_cast<std::uint32_t>(e->acc), 4);
        field(10, 5), o.be(static_cast<std::uint64_t>(static_cast<std::int64_t>(e->ts * 1000)), 8);
        o.u8(0);
    }
    o.u8(0);
    field(15, 7), o.u8(12), o.be(f.engine->terminates_.size(), 4);
    for (const auto& s : f.engine->terminates_) {
        field(11, 1), str(s->session_id);
        field(10, 2), o.be(static_cast<std::uint64_t>(static_cast<std::int64_t>((s->ts - s->duration) * 1000)), 8);
        field(10, 3), o.be(static_cast<std::uint64_t>(static_cast<std::int64_t>(s->ts * 1000)), 8);
        field(10, 4), o.be(static_cast<std::uint64_t>(static_cast<std::int64_t>(s->duration * 1000)), 8);
        field(15, 5), o.u8(12), o.be(s->pageViews.size(), 4);
        for (const auto& p : s->pageViews) {
            field(11, 1), str(p.array()[0].string());
            field(10, 2), o.be(static_cast<std::uint64_t>(std::int64_t{p.array()[1].intValue()} * 1000), 8);
            o.u8(0);
        }
        o.u8(0);
    }
    o.raw(f.tail.data(), f.tail.size());
    o.u8(0);
}

Bytes rawEntry(const Fixture& f) {
    Count count;
    emitEntry(count, f);
    Bytes bytes(count.size);
    Fill fill{bytes.data()};
    emitEntry(fill, f);
    return bytes;
}

Bytes encrypt(const Bytes& plain, const Bytes& key) {
    static const Bytes iv = [] {
        Bytes b;
        for (std::size_t i = 0; i < 32; i += 2) b.push_back(static_cast<std::uint8_t>(std::stoi(std::string("7c41e0b95a2d38f6c19e04b7d2853a6f").substr(i, 2), nullptr, 16)));
        return b;
    }();
    Bytes out(plain.size() + 16);
    int n = 0, m = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key.data(), iv.data());
    EVP_EncryptUpdate(ctx, out.data(), &n, plain.data(), static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + n, &m);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<std::size_t>(n + m));
    return out;
}

Bytes rawEnvelope(const Fixture& f, int serial) {
    const Bytes raw = rawEntry(f);
    Bytes deflated(compressBound(raw.size()));
    uLongf size = deflated.size();
    compress2(deflated.data(), &size, raw.data(), raw.size(), Z_DEFAULT_COMPRESSION);
    deflated.resize(size);
    const Bytes body = encrypt(deflated, md5Digest(f.signature));
    Out o;
    o.bytes.reserve(body.size() + 256);  // the body and the envelope's few short fields
    o.field(11, 1), o.str("V1.0");
    o.field(11, 2), o.str("9f3b6c2a41e07d58b2c4a6e1");
    o.field(11, 3), o.str(protocol::lowerHex(f.signature));
    o.field(8, 4), o.be(static_cast<std::uint32_t>(serial), 4);
    o.field(8, 5), o.be(1700000000, 4);
    o.field(8, 6), o.be(raw.size(), 4);
    o.field(11, 7), o.be(body.size(), 4), o.append(body);
    o.field(11, 8), o.str(protocol::lowerHex(*randomBytes(32)));
    o.field(11, 9), o.str(protocol::lowerHex(md5Digest(body)));
    o.field(8, 10), o.be(1, 4);
    o.u8(0);
    return std::move(o.bytes);
}

void EnvelopeWriter(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        auto envelope = TallyEnvelope::sharedInstance()->makeEnvelopeData(*f.pack);
        if (!envelope) state.SkipWithError("no envelope");
        std::filesystem::remove(TallyEnvelope::sharedInstance()->lastEnvelopePath());
        benchmark::DoNotOptimize(envelope);
    }
}
BENCHMARK(EnvelopeWriter)->Unit(benchmark::kMillisecond);

void RawFloor(benchmark::State& state) {
    Fixture& f = fixture();
    const std::string path = f.root + "/raw_envelope.log";
    const std::string temp = path + ".new";
    int serial = 0;
    for (auto _ : state) {
        const Bytes envelope = rawEnvelope(f, serial++);
        // Saved like the writer's envelope: whole or not at all under its name (a flushed temporary
        // file moved there), and never over an existing file.
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const bool written = fd >= 0 &&
                             ::write(fd, envelope.data(), envelope.size()) == static_cast<ssize_t>(envelope.size()) &&
                             ::fsync(fd) == 0;
        if (fd < 0 || ::close(fd) != 0 || !written ||
            ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) {
            state.SkipWithError("write failed");
            break;
        }
        std::filesystem::remove(path);
    }
}
BENCHMARK(RawFloor)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // The floor writes the same log-entry bytes as the builder.
    Fixture& f = fixture();
    if (f.pack->toData() != rawEntry(f)) {
        std::fprintf(stderr, "the raw floor does not write the builder's bytes\n");
        return 1;
    }
    lv::bench::RatioReporter reporter;
    reporter.runRounds();
    reporter.printRatio("EnvelopeWriter", "RawFloor", "2x");
    benchmark::Shutdown();
    return 0;
}
