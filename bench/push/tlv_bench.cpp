// Encoding and decoding 10,000 reconnect replies of 20 push messages each through the reflective
// records, beside a hand-written codec of plain structs that gives the same bytes, and memcpy of those
// bytes as the floor. Prints the ratios records / struct codec.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/base/big_endian.h"
#include "platform/base/format.h"
#include "support/ratio_reporter.h"
#include "platform/base/value.h"
#include "push/wire_records.h"

namespace {

using namespace lv;

constexpr int kReplies = 10000;
constexpr int kMessages = 20;

struct PushMsg {
    std::uint32_t msgId = 0, accessId = 0, busiMsgId = 0;
    std::string title, content;
    std::uint32_t type = 0;
    std::string appPkgName;
    std::uint32_t timestamp = 0, multiPkg = 0;
    std::string date;
    std::uint32_t serverTime = 0;
    std::int32_t ttl = 0;
};

struct ReconnectRsp {
    std::uint32_t confVersion = 0;
    bool hasList = false;
    std::vector<PushMsg> messages;
    std::int64_t timeUs = 0;
};

// The hand-written codec: the same encoding rules, written for these two layouts only. The writer
// runs twice over a reply: once counting its bytes, then writing them into a buffer of that size.
struct Count {
    std::size_t size = 0;
    void push_back(std::uint8_t) { ++size; }
    void bigEndian(std::uint64_t, int width) { size += static_cast<std::size_t>(width); }
    void append(const std::string& s) { size += s.size(); }
};
struct Fill {
    std::uint8_t* at;
    void push_back(std::uint8_t v) { *at++ = v; }
    // The low `width` bytes of v (0, 1, 2, 4 or 8), most significant first, in one store.
    void bigEndian(std::uint64_t v, int width) {
        storeBig(at, v, static_cast<unsigned>(width));
        at += width;
    }
    void append(const std::string& s) {
        std::memcpy(at, s.data(), s.size());
        at += s.size();
    }
};

template <class Sink>
class StructWriter {
public:
    explicit StructWriter(Sink& out) : out_(out) {}
    void head(int tag, int type) {
        if (tag < 15) {
            out_.push_back(static_cast<std::uint8_t>(tag << 4 | type));
        } else {
            out_.push_back(static_cast<std::uint8_t>(0xF0 | type));
            out_.push_back(static_cast<std::uint8_t>(tag));
        }
    }
    void integer(std::int64_t v, int tag) {
        const int width = v == 0                             ? 0
                          : v >= -128 && v <= 127            ? 1
                          : v >= -32768 && v <= 32767        ? 2
                          : v >= INT32_MIN && v <= INT32_MAX ? 4
                                                             : 8;
        head(tag, width == 0 ? 12 : width == 1 ? 0 : width == 2 ? 1 : width == 4 ? 2 : 3);
        out_.bigEndian(static_cast<std::uint64_t>(v), width);
    }
    void text(const std::string& s, int tag) {
        if (s.size() <= 255) {
            head(tag, 6);
            out_.push_back(static_cast<std::uint8_t>(s.size()));
        } else {
            head(tag, 7);
            out_.bigEndian(s.size(), 4);
        }
        out_.append(s);
    }
    void message(const PushMsg& m) {
        integer(m.msgId, 0), integer(m.accessId, 1), integer(m.busiMsgId, 2), text(m.title, 3), text(m.content, 4);
        integer(m.type, 5), text(m.appPkgName, 6), integer(m.timestamp, 7), integer(m.multiPkg, 8), text(m.date, 9);
        integer(m.serverTime, 10), integer(m.ttl, 11);
    }
    void reply(const ReconnectRsp& r) {
        integer(r.confVersion, 0);
        if (r.hasList) {
            head(1, 9);
            integer(static_cast<std::int64_t>(r.messages.size()), 0);
            for (const PushMsg& m : r.messages) {
                head(0, 10);
                message(m);
                out_.push_back(0x0B);
            }
        }
        integer(r.timeUs, 2);
    }

private:
    Sink& out_;
};

Bytes encodeStruct(const ReconnectRsp& reply) {
    Count count;
    StructWriter(count).reply(reply);
    Bytes bytes(count.size);
    Fill fill{bytes.data()};
    StructWriter(fill).reply(reply);
    return bytes;
}

class StructReader {
public:
    explicit StructReader(std::span<const std::uint8_t> in) : in_(in) {}
    bool ok() const { return ok_; }
    bool at(int tag, int* type) {
        if (pos_ >= in_.size()) return false;
        int t = in_[pos_] >> 4;
        *type = in_[pos_] & 15;
        std::size_t length = 1;
        if (t == 15) {
            if (pos_ + 1 >= in_.size()) return ok_ = false;
            t = in_[pos_ + 1];
            length = 2;
        }
        if (t != tag) return false;
        pos_ += length;
        return true;
    }
    std::int64_t payload(int type) {
        static constexpr int kWidth[] = {1, 2, 4, 8};
        if (type == 12) return 0;
        if (type > 3 || pos_ + kWidth[type] > in_.size()) return ok_ = false;
        // One load of the width's bytes, read as the signed integer of that width.
        const std::uint8_t* at = in_.data() + pos_;
        pos_ += static_cast<std::size_t>(kWidth[type]);
        switch (type) {
            case 0: return static_cast<std::int8_t>(loadBig<1>(at));
            case 1: return static_cast<std::int16_t>(loadBig<2>(at));
            case 2: return static_cast<std::int32_t>(loadBig<4>(at));
            default: return static_cast<std::int64_t>(loadBig<8>(at));
        }
    }
    template <class T>
    void integer(int tag, T& out) {
        int type;
        if (at(tag, &type)) out = static_cast<T>(payload(type));
    }
    void text(int tag, std::string& out) {
        int type;
        if (!at(tag, &type)) return;
        const std::size_t n = static_cast<std::size_t>(payload(type == 6 ? 0 : 2)) & (type == 6 ? 0xFF : 0xFFFFFFFF);
        if (pos_ + n > in_.size()) {
            ok_ = false;
            return;
        }
        const std::string_view bytes(reinterpret_cast<const char*>(in_.data() + pos_), n);
        if (lv::isWellFormedUtf8(bytes))
            out.assign(bytes);
        else
            out.clear();
        pos_ += n;
    }
    void message(PushMsg& m) {
        integer(0, m.msgId), integer(1, m.accessId), integer(2, m.busiMsgId), text(3, m.title), text(4, m.content);
        integer(5, m.type), text(6, m.appPkgName), integer(7, m.timestamp), integer(8, m.multiPkg), text(9, m.date);
        integer(10, m.serverTime), integer(11, m.ttl);
        if (pos_ < in_.size() && in_[pos_] == 0x0B)
            ++pos_;
        else
            ok_ = false;
    }
    void reply(ReconnectRsp& r) {
        integer(0, r.confVersion);
        int type;
        if (at(1, &type)) {
            r.hasList = true;
            std::int64_t count = 0;
            if (at(0, &type)) count = payload(type);
            // Reserved from the count, bounded by what the bytes can hold (a message takes at least two).
            if (count > 0) r.messages.reserve(static_cast<std::size_t>(std::min<std::int64_t>(count, static_cast<std::int64_t>((in_.size() - pos_) / 2))));
            for (std::int64_t i = 0; i < count && ok_; ++i) {
                if (!at(0, &type) || type != 10) {
                    ok_ = false;
                    break;
                }
                message(r.messages.emplace_back());
            }
        }
        integer(2, r.timeUs);
    }

private:
    std::span<const std::uint8_t> in_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

PushMsg sampleMessage(int reply, int i) {
    PushMsg m;
    m.msgId = static_cast<std::uint32_t>(reply * kMessages + i);
    m.accessId = 2290150000u;
    m.busiMsgId = m.msgId * 7;
    m.title = format("防弹少年团新专辑首周销量突破百万张 %d", i);
    m.content = format("据韩国媒体报道，该组合将于本月底发布新单曲，并在首尔举办粉丝见面会。(%d)", reply);
    m.type = 1;
    m.appPkgName = "com.lunavexa.app";
    m.timestamp = 1400000000u + static_cast<std::uint32_t>(i);
    m.date = "2015-03-05";
    m.serverTime = 1400000000u;
    m.ttl = 86400;
    return m;
}

const std::vector<ReconnectRsp>& structs() {
    static const std::vector<ReconnectRsp> replies = [] {
        std::vector<ReconnectRsp> out(kReplies);
        for (int r = 0; r < kReplies; ++r) {
            out[r].confVersion = 3;
            out[r].hasList = true;
            for (int i = 0; i < kMessages; ++i) out[r].messages.push_back(sampleMessage(r, i));
            out[r].timeUs = 1400000000000000LL + r;
        }
        return out;
    }();
    return replies;
}

const std::vector<Ref<PNWireReconnectRsp>>& records() {
    static const std::vector<Ref<PNWireReconnectRsp>> replies = [] {
        std::vector<Ref<PNWireReconnectRsp>> out;
        for (const ReconnectRsp& s : structs()) {
            auto reply = PNWireReconnectRsp::object();
            reply->setTlv_confVersion(s.confVersion);
            Array list;
            for (const PushMsg& m : s.messages) {
                auto message = PNWirePushMsg::object();
                message->setTlv_msgId(m.msgId);
                message->setTlv_accessId(m.accessId);
                message->setTlv_busiMsgId(m.busiMsgId);
                message->setTlv_title(m.title);
                message->setTlv_content(m.content);
                message->setTlv_type(m.type);
                message->setTlv_appPkgName(m.appPkgName);
                message->setTlv_timestamp(m.timestamp);
                message->setTlv_multiPkg(m.multiPkg);
                message->setTlv_date(m.date);
                message->setTlv_serverTime(m.serverTime);
                message->setTlv_ttl(m.ttl);
                list.push_back(Value(message));
            }
            reply->setTlv_appOfflinePushMsgList(Value(std::move(list)));
            reply->setTlv_timeUs(s.timeUs);
            out.push_back(reply);
        }
        return out;
    }();
    return replies;
}

const std::vector<Bytes>& encoded() {
    static const std::vector<Bytes> bytes = [] {
        std::vector<Bytes> out;
        for (const ReconnectRsp& s : structs()) out.push_back(encodeStruct(s));
        return out;
    }();
    return bytes;
}

std::size_t totalBytes() {
    std::size_t n = 0;
    for (const Bytes& b : encoded()) n += b.size();
    return n;
}

void EncodeRecords(benchmark::State& state) {
    for (auto _ : state) {
        for (const auto& reply : records()) {
            Bytes bytes = reply->toData();
            benchmark::DoNotOptimize(bytes.data());
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * totalBytes()));
}
BENCHMARK(EncodeRecords)->Unit(benchmark::kMillisecond);

void EncodeStructs(benchmark::State& state) {
    for (auto _ : state) {
        for (const ReconnectRsp& reply : structs()) {
            Bytes bytes = encodeStruct(reply);
            benchmark::DoNotOptimize(bytes.data());
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * totalBytes()));
}
BENCHMARK(EncodeStructs)->Unit(benchmark::kMillisecond);

void DecodeRecords(benchmark::State& state) {
    for (auto _ : state) {
        for (const Bytes& bytes : encoded()) {
            auto reply = PNWireReconnectRsp::fromData(bytes);
            benchmark::DoNotOptimize(reply.get());
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * totalBytes()));
}
BENCHMARK(DecodeRecords)->Unit(benchmark::kMillisecond);

void DecodeStructs(benchmark::State& state) {
    for (auto _ : state) {
        for (const Bytes& bytes : encoded()) {
            ReconnectRsp reply;
            StructReader reader(bytes);
            reader.reply(reply);
            benchmark::DoNotOptimize(reply.messages.data());
            if (!reader.ok()) state.SkipWithError("struct decode failed");
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * totalBytes()));
}
BENCHMARK(DecodeStructs)->Unit(benchmark::kMillisecond);

void MemcpyFloor(benchmark::State& state) {
    for (auto _ : state) {
        for (const Bytes& bytes : encoded()) {
            Bytes copy(bytes.begin(), bytes.end());  // one allocation and one copy, nothing zeroed first
            benchmark::DoNotOptimize(copy.data());
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * totalBytes()));
}
BENCHMARK(MemcpyFloor)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    // Both codecs must give the same bytes, the records must read them back, and the struct reader
    // must read back what the struct writer writes again byte for byte.
    for (std::size_t i = 0; i < records().size(); i += 997) {
        ReconnectRsp decoded;
        StructReader reader(encoded()[i]);
        reader.reply(decoded);
        if (records()[i]->toData() != encoded()[i] || !PNWireReconnectRsp::fromData(encoded()[i]) || !reader.ok() ||
            encodeStruct(decoded) != encoded()[i]) {
            std::fprintf(stderr, "the two codecs disagree on reply %zu\n", i);
            return 1;
        }
    }
    std::printf("%d replies of %d messages: %zu bytes\n", kReplies, kMessages, totalBytes());
    lv::bench::RatioReporter reporter;
    reporter.runRounds();
    reporter.printRatio("EncodeRecords", "EncodeStructs", "3x");
    reporter.printRatio("DecodeRecords", "DecodeStructs", "4x");
    reporter.printRatio("EncodeStructs", "MemcpyFloor", "-");
    benchmark::Shutdown();
    return 0;
}
