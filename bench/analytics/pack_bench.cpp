// Writing and reading a log entry of 5,000 events and 100 sessions through the Pack records, beside
// an inline big-endian writer and reader of plain structs that give the same bytes. Prints the
// ratios records / inline codec.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "analytics/log_records.h"
#include "support/ratio_reporter.h"
#include "platform/base/value.h"

namespace {

using namespace lv;

constexpr int kEvents = 5000;
constexpr int kSessions = 100;
constexpr int kPages = 5;

// Each struct has a constructor of its own, so that an element made in place in its list is not
// first filled with zeros (value-initialization) before its members are set.
struct PlainEvent {
    PlainEvent() {}
    PlainEvent(std::string n, std::string p, std::int64_t d, std::int64_t t, std::int32_t a)
        : name(std::move(n)), property(std::move(p)), duration(d), ts(t), acc(a) {}
    std::string name, property;
    std::int64_t duration = 0, ts = 0;
    std::int32_t acc = 0;
};
struct PlainPage {
    PlainPage() {}
    PlainPage(std::string n, std::int64_t d) : name(std::move(n)), duration(d) {}
    std::string name;
    std::int64_t duration = 0;
};
struct PlainSession {
    PlainSession() {}
    PlainSession(std::string i, std::int64_t s, std::int64_t e, std::int64_t d)
        : id(std::move(i)), start(s), end(e), duration(d) {}
    std::string id;
    std::int64_t start = 0, end = 0, duration = 0;
    std::vector<PlainPage> pages;
};
struct PlainEntry {
    std::string messageId;
    std::vector<PlainEvent> events;
    std::vector<PlainSession> sessions;
};

PlainEntry makePlain() {
    PlainEntry entry;
    entry.messageId = "7D3C0A9B4E2F18C6A5B0D9E8F7162534";
    for (int i = 0; i < kEvents; ++i) {
        entry.events.emplace_back("newsTab", "page" + std::to_string(i % 37), i * 10, 1700000000000 + i, 1);
    }
    for (int s = 0; s < kSessions; ++s) {
        PlainSession session("session" + std::to_string(s), 1700000000000 + s, 1700000060000 + s, 60000);
        for (int p = 0; p < kPages; ++p) session.pages.emplace_back("ScreenController" + std::to_string(p), 12000);
        entry.sessions.push_back(session);
    }
    return entry;
}

TPKUALogEntry makeRecord(const PlainEntry& plain) {
    std::vector<TPKEvent> events;
    for (const auto& e : plain.events) {
        TPKPropertyValue value;
        value.setString_value(e.property);
        TPKEvent event;
        event.setName(e.name);
        event.setProperties(std::map<std::string, TPKPropertyValue>{{"label", value}});
        event.setDuration(e.duration), event.setAcc(e.acc), event.setTs(e.ts);
        events.push_back(std::move(event));
    }
    TPKInstantMsg message;
    message.setId(plain.messageId);
    message.setEvents(std::move(events));
    std::vector<TPKSession> sessions;
    for (const auto& s : plain.sessions) {
        TPKSession session;
        session.setId(s.id), session.setStart_time(s.start), session.setEnd_time(s.end), session.setDuration(s.duration);
        std::vector<TPKPage> pages;
        for (const auto& p : s.pages) {
            TPKPage page;
            page.setPage_name(p.name), page.setDuration(p.duration);
            pages.push_back(std::move(page));
        }
        session.setPages(std::move(pages));
        sessions.push_back(std::move(session));
    }
    TPKUALogEntry entry;
    entry.setInstant_msgs(std::vector{message});
    entry.setSessions(std::move(sessions));
    return entry;
}

// The inline codec: the same bytes, written and read directly. The writer runs twice over the
// entry: once counting the bytes, then writing them into a buffer of that size (one allocation, no
// capacity check per byte).
struct Count {
    std::size_t size = 0;
    void u8(std::uint8_t) { ++size; }
    void be(std::uint64_t, int n) { size += static_cast<std::size_t>(n); }
    void raw(const std::string& s) { size += s.size(); }
};
struct Fill {
    std::uint8_t* at;
    void u8(std::uint8_t v) { *at++ = v; }
    // One store of the byte-swapped value's last n bytes.
    void be(std::uint64_t v, int n) {
        const std::uint64_t swapped = __builtin_bswap64(v << (64 - 8 * n));
        std::memcpy(at, &swapped, static_cast<std::size_t>(n));
        at += n;
    }
    void raw(const std::string& s) {
        std::memcpy(at, s.data(), s.size());
        at += s.size();
    }
};

template <class Sink>
struct Out {
    Sink& sink;
    void u8(std::uint8_t v) { sink.u8(v); }
    void be(std::uint64_t v, int n) { sink.be(v, n); }
    void field(std::uint8_t type, std::int16_t id) { u8(type), be(static_cast<std::uint16_t>(id), 2); }
    void str(const std::string& s) {
        be(s.size(), 4);
        sink.raw(s);
    }
};

template <class Sink>
void emitInline(Sink& sink, const PlainEntry& entry) {
    static const std::string kLabel = "label";
    Out<Sink> o{sink};
    o.field(15, 6), o.u8(12), o.be(1, 4);
    o.field(11, 1), o.str(entry.messageId);
    o.field(15, 3), o.u8(12), o.be(entry.events.size(), 4);
    for (const auto& e : entry.events) {
        o.field(11, 1), o.str(e.name);
        o.field(13, 2), o.u8(11), o.u8(12), o.be(1, 4), o.str(kLabel);
        o.field(11, 1), o.str(e.property), o.u8(0);
        o.field(10, 3), o.be(static_cast<std::uint64_t>(e.duration), 8);
        o.field(8, 4), o.be(static_cast<std::uint32_t>(e.acc), 4);
        o.field(10, 5), o.be(static_cast<std::uint64_t>(e.ts), 8);
        o.u8(0);
    }
    o.u8(0);
    o.field(15, 7), o.u8(12), o.be(entry.sessions.size(), 4);
    for (const auto& s : entry.sessions) {
        o.field(11, 1), o.str(s.id);
        o.field(10, 2), o.be(static_cast<std::uint64_t>(s.start), 8);
        o.field(10, 3), o.be(static_cast<std::uint64_t>(s.end), 8);
        o.field(10, 4), o.be(static_cast<std::uint64_t>(s.duration), 8);
        o.field(15, 5), o.u8(12), o.be(s.pages.size(), 4);
        for (const auto& p : s.pages) {
            o.field(11, 1), o.str(p.name);
            o.field(10, 2), o.be(static_cast<std::uint64_t>(p.duration), 8);
            o.u8(0);
        }
        o.u8(0);
    }
    o.u8(0);
}

Bytes writeInline(const PlainEntry& entry) {
    Count count;
    emitInline(count, entry);
    Bytes bytes(count.size);
    Fill fill{bytes.data()};
    emitInline(fill, entry);
    return bytes;
}

struct In {
    const Bytes& b;
    std::size_t pos = 0;
    // A big-endian value of n bytes: one load and a byte swap.
    std::uint64_t be(int n) {
        std::uint64_t v = 0;
        std::memcpy(&v, b.data() + pos, static_cast<std::size_t>(n));
        pos += static_cast<std::size_t>(n);
        return __builtin_bswap64(v) >> (64 - 8 * n);
    }
    std::uint8_t u8() { return b[pos++]; }
    std::string_view view() {
        auto n = static_cast<std::size_t>(be(4));
        const std::string_view text(reinterpret_cast<const char*>(b.data() + pos), n);
        pos += n;
        return text;
    }
    // The text into a fresh string; text that is not UTF-8 stays empty.
    void str(std::string& into) {
        const std::string_view text = view();
        if (lv::isWellFormedUtf8(text)) {
            std::destroy_at(&into);  // empty: nothing to free
            std::construct_at(&into, text);
        }
    }
    // Reads a field header; false at the stop byte.
    bool field(std::uint8_t& type, std::int16_t& id) {
        type = u8();
        if (type == 0) return false;
        id = static_cast<std::int16_t>(be(2));
        return true;
    }
};

// Each element is filled in place in its list; the "label" key is checked, not kept (the struct's
// field stands for it).
PlainEntry readInline(const Bytes& bytes) {
    In in{bytes};
    PlainEntry entry;
    std::uint8_t t;
    std::int16_t id;
    while (in.field(t, id)) {
        in.u8();
        auto count = in.be(4);
        if (id == 7) entry.sessions.reserve(count);
        for (std::uint64_t i = 0; i < count; ++i) {
            if (id == 6) {
                while (in.field(t, id)) {
                    if (id == 1) {
                        in.str(entry.messageId);
                        continue;
                    }
                    in.u8();
                    auto events = in.be(4);
                    entry.events.reserve(entry.events.size() + events);
                    for (std::uint64_t k = 0; k < events; ++k) {
                        PlainEvent& e = entry.events.emplace_back();
                        while (in.field(t, id)) {
                            if (id == 1) in.str(e.name);
                            if (id == 2) {
                                in.u8(), in.u8(), in.be(4);
                                benchmark::DoNotOptimize(lv::isWellFormedUtf8(in.view()));
                                while (in.field(t, id)) in.str(e.property);
                            }
                            if (id == 3) e.duration = static_cast<std::int64_t>(in.be(8));
                            if (id == 4) e.acc = static_cast<std::int32_t>(in.be(4));
                            if (id == 5) e.ts = static_cast<std::int64_t>(in.be(8));
                        }
                    }
                }
                id = 6;
            } else {
                PlainSession& s = entry.sessions.emplace_back();
                while (in.field(t, id)) {
                    if (id == 1) in.str(s.id);
                    if (id == 2) s.start = static_cast<std::int64_t>(in.be(8));
                    if (id == 3) s.end = static_cast<std::int64_t>(in.be(8));
                    if (id == 4) s.duration = static_cast<std::int64_t>(in.be(8));
                    if (id == 5) {
                        in.u8();
                        auto pages = in.be(4);
                        s.pages.reserve(pages);
                        for (std::uint64_t k = 0; k < pages; ++k) {
                            PlainPage& p = s.pages.emplace_back();
                            while (in.field(t, id)) {
                                if (id == 1) in.str(p.name);
                                if (id == 2) p.duration = static_cast<std::int64_t>(in.be(8));
                            }
                        }
                    }
                }
                id = 7;
            }
        }
    }
    return entry;
}

const PlainEntry& plain() {
    static const PlainEntry entry = makePlain();
    return entry;
}
const TPKUALogEntry& record() {
    static const TPKUALogEntry entry = makeRecord(plain());
    return entry;
}
const Bytes& encoded() {
    static const Bytes bytes = writeInline(plain());
    return bytes;
}

void WriteRecords(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(packBytes(record()));
}
BENCHMARK(WriteRecords)->Unit(benchmark::kMillisecond);

void WriteInline(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(writeInline(plain()));
}
BENCHMARK(WriteInline)->Unit(benchmark::kMillisecond);

void ReadRecords(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(unpackBytes<TPKUALogEntry>(encoded()));
}
BENCHMARK(ReadRecords)->Unit(benchmark::kMillisecond);

void ReadInline(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(readInline(encoded()));
}
BENCHMARK(ReadInline)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    const PlainEntry back = readInline(encoded());
    if (packBytes(record()) != encoded() || !(unpackBytes<TPKUALogEntry>(encoded()) == record()) ||
        back.events.size() != plain().events.size() || back.sessions.size() != plain().sessions.size() ||
        back.events.back().property != plain().events.back().property) {
        std::fprintf(stderr, "the two codecs disagree\n");
        return 1;
    }
    std::printf("log entry of %d events and %d sessions: %zu bytes\n", kEvents, kSessions, encoded().size());
    lv::bench::RatioReporter reporter;
    reporter.runRounds();
    reporter.printRatio("WriteRecords", "WriteInline", "2x");
    reporter.printRatio("ReadRecords", "ReadInline", "3x");
    benchmark::Shutdown();
    return 0;
}
