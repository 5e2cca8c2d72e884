// The records read from bytes in memory (unpackBytes, and a memory buffer's protocol) against the
// general road (a transport that is not a memory buffer: the protocol's own reads, each field looked
// up in the record's table): the same records, the same fields set, the same errors, the same
// partial record after a failing read and the same bytes left unread, for truncated, changed and
// hostile input. And packBytes' memory writer against the protocol's own writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <map>
#include <string>
#include <vector>

#include "analytics/envelope_record.h"
#include "analytics/log_records.h"
#include "analytics/pack_cases.h"

namespace lv {
namespace {

using test::hexBytes;
using ByteStream = test::StreamTransport;

// What a read leaves: the record (even after a failure), the error, and the bytes not read.
template <class R>
struct Outcome {
    R record;
    std::string error;
    std::uint64_t unread = 0;
};

template <class R>
Outcome<R> readGeneral(const Bytes& bytes) {
    Outcome<R> out;
    ByteStream stream(bytes);
    TPKBinaryProtocol protocol(stream);
    try {
        out.record.read(protocol);
    } catch (const TPKException& e) {
        out.error = e.description();
    }
    out.unread = stream.bytesRemaining();
    return out;
}

template <class R>
Outcome<R> readMemoryBuffer(const Bytes& bytes) {
    Outcome<R> out;
    TPKMemoryBuffer buffer(bytes);
    TPKBinaryProtocol protocol(buffer);
    try {
        out.record.read(protocol);
    } catch (const TPKException& e) {
        out.error = e.description();
    }
    out.unread = buffer.bytesRemaining();
    return out;
}

template <class R>
Outcome<R> readUnpacked(const Bytes& bytes) {
    Outcome<R> out;
    try {
        out.record = unpackBytes<R>(bytes);
    } catch (const TPKException& e) {
        out.error = e.description();
    }
    return out;
}

// Equal records; a record holding a NaN double is not equal to itself, so such records are
// compared by their bytes.
template <class R>
bool sameRecord(const R& a, const R& b) {
    if (a == b) return true;
    return !(a == a) && !(b == b) && packBytes(a) == packBytes(b);
}

// Every cut of the bytes and, at every position, the byte changed four ways.
std::vector<Bytes> variants(const Bytes& bytes) {
    std::vector<Bytes> out;
    for (std::size_t n = 0; n < bytes.size(); ++n) out.emplace_back(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        for (std::uint8_t to : {std::uint8_t(bytes[i] ^ 0xFF), std::uint8_t(0x00), std::uint8_t(0x7F), std::uint8_t(bytes[i] + 1)}) {
            Bytes changed = bytes;
            changed[i] = to;
            out.push_back(std::move(changed));
        }
    }
    return out;
}

template <class R>
void expectSameOnEveryVariant(const R& record, const char* what) {
    const Bytes bytes = packBytes(record);
    int failures = 0, errors = 0;
    for (const Bytes& input : variants(bytes)) {
        const Outcome<R> general = readGeneral<R>(input);
        const Outcome<R> buffered = readMemoryBuffer<R>(input);
        const Outcome<R> unpacked = readUnpacked<R>(input);
        errors += !general.error.empty();
        const bool same = buffered.error == general.error && sameRecord(buffered.record, general.record) &&
                          buffered.unread == general.unread && unpacked.error == general.error &&
                          (!general.error.empty() || sameRecord(unpacked.record, general.record));
        if (!same && ++failures <= 3) {
            ADD_FAILURE() << what << ": input of " << input.size() << " bytes: general \"" << general.error << "\" ("
                          << general.unread << " unread), memory buffer \"" << buffered.error << "\" (" << buffered.unread
                          << " unread), unpacked \"" << unpacked.error << "\"";
        }
    }
    EXPECT_EQ(failures, 0) << what;
    EXPECT_GT(errors, 0) << what;  // the variants do reach the errors
}

TEST(PackReader, EveryVariantReadsAsTheGeneralRoadReadsIt) {
    expectSameOnEveryVariant(test::everyFieldLogEntry(), "log entry");
    expectSameOnEveryVariant(test::nestedLogEntry(), "nested log entry");
    expectSameOnEveryVariant(test::everyFieldResponse(), "response");
    expectSameOnEveryVariant(test::tenFieldEnvelope(), "envelope");
    TPKIdTracking tracking = *test::everyFieldLogEntry().id_tracking();
    expectSameOnEveryVariant(tracking, "id tracking");
}

// Fixed cases, with the outcome each must have (not only the same as the general road's).
TEST(PackReader, HostileAndOddInput) {
    std::string deepStructs;
    for (int i = 0; i < 70; ++i) deepStructs += "0C 00 09 ";  // unknown field 9, a struct, 70 deep
    struct Case {
        const char* what;
        std::string hex;
        std::string outcome;  // the error, or the record's code and message
    } cases[] = {
        {"empty", "", "TTransportException: Not enough bytes remain in buffer"},
        {"header cut after its type", "08", "TTransportException: Not enough bytes remain in buffer"},
        {"header cut in its id", "08 00", "TTransportException: Not enough bytes remain in buffer"},
        {"code cut", "08 00 01 00 00 00", "TTransportException: Not enough bytes remain in buffer"},
        {"text count past the end", "0B 00 02 00 00 00 05 x a x b 00", "TTransportException: Not enough bytes remain in buffer"},
        {"text count -1", "0B 00 02 FF FF FF FF 00", "TTransportException: Not enough bytes remain in buffer"},
        {"text count 2^31-1", "0B 00 02 7F FF FF FF 00", "TTransportException: Not enough bytes remain in buffer"},
        {"text not UTF-8", "08 00 01 00 00 00 07 | 0B 00 02 00 00 00 02 C3 28 | 00", "code 7, message set to nothing"},
        {"text with an encoded surrogate", "0B 00 02 00 00 00 03 ED A0 80 | 00", "code unset, message set to nothing"},
        {"empty text", "0B 00 02 00 00 00 00 | 00", "code unset, message \"\""},
        {"later text replaces", "0B 00 02 00 00 00 01 x a | 0B 00 02 00 00 00 01 x b | 00", "code unset, message \"b\""},
        {"not UTF-8 after text", "0B 00 02 00 00 00 01 x a | 0B 00 02 00 00 00 01 FF | 00", "code unset, message set to nothing"},
        {"code as text is skipped", "0B 00 01 00 00 00 01 x a | 00", "code unset, message unset"},
        {"message as i32 is skipped", "08 00 02 00 00 00 01 | 00", "code unset, message unset"},
        {"skipped text need not be UTF-8", "0B 00 09 00 00 00 01 FF | 08 00 01 00 00 00 03 | 00", "code 3, message unset"},
        {"every skipped kind", "02 00 09 01 | 03 00 09 01 | 04 00 09 00 00 00 00 00 00 00 00 | 06 00 09 00 01 |"
         "0A 00 09 00 00 00 00 00 00 00 01 | 0E 00 09 08 00 00 00 01 00 00 00 01 | 0D 00 09 08 0B 00 00 00 01 00 00 00 01 00 00 00 00 |"
         "08 00 01 00 00 00 04 | 00", "code 4, message unset"},
        {"unknown type code is passed over", "01 00 09 | 08 00 01 00 00 00 05 | 00", "code 5, message unset"},
        {"skipped list of type 7", "0F 00 09 07 00 00 00 01 00", "TProtocolException: Invalid container element type 7"},
        {"skipped map of key type 1", "0D 00 09 01 08 00 00 00 01 00", "TProtocolException: Invalid container element type 1"},
        {"skipped list longer than its bytes", "0F 00 09 08 00 00 00 03 00 00 00 01 00",
         "TProtocolException: Container size 3 is larger than the bytes that remain"},
        {"skipped text count past the end", "0B 00 09 00 00 00 09 00", "TTransportException: Not enough bytes remain in buffer"},
        {"structs 70 deep", deepStructs, "TProtocolException: Nesting deeper than 64 levels"},
        {"imprint map of key type 1", "0C 00 03 0D 00 01 01 0C 00 00 00 01 00 00",
         "TProtocolException: Invalid container element type 1"},
        {"imprint map value type 16", "0C 00 03 0D 00 01 0B 10 00 00 00 01 00 00",
         "TProtocolException: Invalid container element type 16"},
        {"imprint map longer than its bytes", "0C 00 03 0D 00 01 0B 0C 00 00 01 00 00 00",
         "TProtocolException: Container size 256 is larger than the bytes that remain"},
        {"imprint map key not UTF-8", "0C 00 03 0D 00 01 0B 0C 00 00 00 01 00 00 00 01 FE 00 00 00",
         "TProtocolException: Map key is not UTF-8 text"},
        {"imprint map key cut", "0C 00 03 0D 00 01 0B 0C 00 00 00 01 00 00 00 09 x a 00 00",
         "TTransportException: Not enough bytes remain in buffer"},
        {"imprint map with a negative count", "0C 00 03 0D 00 01 0B 0C FF FF FF FF 00 | 08 00 01 00 00 00 06 | 00",
         "code 6, message unset"},
    };
    for (const auto& c : cases) {
        const Bytes bytes = hexBytes(c.hex);
        const Outcome<TPKResponse> got = readUnpacked<TPKResponse>(bytes);
        std::string outcome = got.error;
        if (outcome.empty()) {
            const TPKResponse& r = got.record;
            outcome = "code " + (r.resp_codeIsSet() ? std::to_string(r.resp_code()) : std::string("unset")) + ", message " +
                      (!r.msgIsSet() ? std::string("unset") : r.msg() ? "\"" + *r.msg() + "\"" : std::string("set to nothing"));
        }
        EXPECT_EQ(outcome, c.outcome) << c.what;
        const Outcome<TPKResponse> general = readGeneral<TPKResponse>(bytes);
        EXPECT_EQ(general.error, got.error) << c.what;
        if (got.error.empty()) {
            EXPECT_TRUE(got.record == general.record) << c.what;
        }
    }
}

// A failing read leaves the record's earlier fields read and the failing one as it was, in place
// or not: a fresh field stays unset and empty, a field already read keeps its value.
TEST(PackReader, FailingReadLeavesTheRecordAsTheGeneralRoadDoes) {
    const std::string imprint = "0C 00 03 0D 00 01 0B 0C 00 00 00 01 00 00 00 01 x a 0B 00 01 00 00 00 01 x b 00 00 ";
    struct Case {
        const char* what;
        std::string hex;
        bool codeSet;
        bool imprintSet;
        std::size_t properties;  // in the imprint, when it holds one
        std::uint64_t unread;
    } cases[] = {
        {"imprint cut in its value", "08 00 01 00 00 00 01 | 0C 00 03 0D 00 01 0B 0C 00 00 00 01 00 00 00 01 x a 0B 00 01 00 00 00 05 x b",
         true, false, 0, 1},
        {"second imprint cut", "08 00 01 00 00 00 01 | " + imprint + "| 0C 00 03 0D 00 01 0B 0C 00 00 00 02 00 00 00 01 x c 00 00 00 00 02 x d",
         true, true, 1, 1},
        {"imprint then a cut code", imprint + "| 08 00 01 00 00", false, true, 1, 2},
    };
    for (const auto& c : cases) {
        const Bytes bytes = hexBytes(c.hex);
        const Outcome<TPKResponse> general = readGeneral<TPKResponse>(bytes);
        const Outcome<TPKResponse> buffered = readMemoryBuffer<TPKResponse>(bytes);
        for (const auto* got : {&general, &buffered}) {
            EXPECT_FALSE(got->error.empty()) << c.what;
            EXPECT_EQ(got->record.resp_codeIsSet(), c.codeSet) << c.what;
            EXPECT_EQ(got->record.imprintIsSet(), c.imprintSet) << c.what;
            EXPECT_EQ(got->record.imprint().has_value(), c.imprintSet) << c.what;
            if (got->record.imprint()) {
                EXPECT_EQ(got->record.imprint()->property()->size(), c.properties) << c.what;
            }
            EXPECT_EQ(got->unread, c.unread) << c.what;
        }
        EXPECT_TRUE(buffered.record == general.record) << c.what;
    }
}

// Records read one after another from one memory buffer, each from where the last one stopped.
TEST(PackReader, ReadsRecordsInTurnFromOneBuffer) {
    TPKMemoryBuffer buffer;
    TPKBinaryProtocol protocol(buffer);
    // Enough records that the buffer drops the bytes already read on the way.
    for (int i = 0; i < 40; ++i) {
        test::everyFieldLogEntry().write(protocol);
        test::everyFieldResponse().write(protocol);
    }
    for (int i = 0; i < 40; ++i) {
        TPKUALogEntry entry;
        entry.read(protocol);
        EXPECT_TRUE(entry == test::everyFieldLogEntry()) << i;
        TPKResponse response;
        response.read(protocol);
        EXPECT_TRUE(response == test::everyFieldResponse()) << i;
    }
    EXPECT_EQ(buffer.bytesRemaining(), 0u);
}

// A long list with elements of different sizes: room is estimated from those read, and every
// element is read whatever the estimate.
TEST(PackReader, LongListsOfUnevenElements) {
    std::vector<TPKEvent> events;
    for (int i = 0; i < 3000; ++i) {
        TPKEvent event;
        event.setName(std::string(static_cast<std::size_t>(i < 1500 ? 1 : 40), 'n'));
        if (i % 7 == 0) event.setTs(i);
        events.push_back(std::move(event));
    }
    TPKInstantMsg message;
    message.setEvents(events);
    const TPKInstantMsg back = unpackBytes<TPKInstantMsg>(packBytes(message));
    EXPECT_TRUE(back == message);
    EXPECT_EQ(back.events()->size(), 3000u);
}

// packBytes writes with its memory writer; the protocol on a stream writes each value through the
// transport. Both must give the same bytes, for records of every shape.
template <class R>
Bytes writtenThroughStream(const R& record) {
    ByteStream stream;
    TPKBinaryProtocol protocol(stream);
    record.write(protocol);
    return stream.bytes();
}

TEST(PackWriter, GivesTheProtocolsBytes) {
    auto event = [](std::map<std::string, TPKPropertyValue> properties) {
        TPKEvent e;
        e.setName("a name longer than fifteen bytes"), e.setProperties(std::move(properties)), e.setAcc(-1);
        return e;
    };
    TPKPropertyValue text, number, nothing;
    text.setString_value("v"), number.setLong_value(INT64_MIN), nothing.setString_value(std::nullopt);
    TPKInstantMsg shapes;
    shapes.setId(""), shapes.setErrors(std::vector<TPKError>{});
    shapes.setEvents(std::vector{event({}), event({{"k", text}}), event({{"a", text}, {"b", number}, {"c", nothing}}),
                                 event({{"", nothing}})});
    TPKSession session;
    session.setPages(std::vector<TPKPage>(3)), session.setLocations(std::vector{makeLocation(-0.0, 1e300, -1)});
    TPKUALogEntry entry;
    entry.setInstant_msgs(std::vector{shapes}), entry.setSessions(std::vector{session, TPKSession{}});
    entry.setGroup_info(std::map<std::string, std::int32_t>{{"x", 1}, {"y", INT32_MIN}});
    struct Case {
        const char* what;
        Bytes packed, streamed;
    } cases[] = {
        {"empty entry", packBytes(TPKUALogEntry{}), writtenThroughStream(TPKUALogEntry{})},
        {"every field", packBytes(test::everyFieldLogEntry()), writtenThroughStream(test::everyFieldLogEntry())},
        {"nested", packBytes(test::nestedLogEntry()), writtenThroughStream(test::nestedLogEntry())},
        {"maps of 0, 1 and 3 entries, empty texts, set to nothing", packBytes(entry), writtenThroughStream(entry)},
        {"response", packBytes(test::everyFieldResponse()), writtenThroughStream(test::everyFieldResponse())},
        {"envelope", packBytes(test::tenFieldEnvelope()), writtenThroughStream(test::tenFieldEnvelope())},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.packed, c.streamed) << c.what;
        EXPECT_GT(c.packed.size(), 0u) << c.what;
        EXPECT_EQ(c.packed.capacity(), c.packed.size()) << c.what;  // counted exactly: one buffer, never grown
    }
    // Read back and written again: the same bytes (a field set to nothing is not written, so it reads back unset).
    EXPECT_EQ(packBytes(unpackBytes<TPKUALogEntry>(packBytes(entry))), packBytes(entry));
}

// Records of varied shapes: empty lists and maps, fields set to nothing or set and unset, long
// texts and keys, many elements and entries. packBytes must give the protocol's bytes, in one buffer
// of exactly their size (the count the memory writer makes room from is exact).
TEST(PackWriter, VariedRecordsGiveTheProtocolsBytes) {
    auto property = [](int i) {
        TPKPropertyValue v;
        if (i % 3 != 1) v.setString_value(std::string(static_cast<std::size_t>(i % 40), static_cast<char>('a' + i % 26)));
        if (i % 3 != 0) v.setLong_value(-i);
        if (i % 7 == 0) v.setString_value(std::nullopt);
        return v;
    };
    auto manyProperties = [&](int n, std::size_t keyLength) {
        std::map<std::string, TPKPropertyValue> m;
        for (int i = 0; i < n; ++i) m.emplace(std::to_string(i) + std::string(keyLength, 'k'), property(i));
        return m;
    };
    TPKEvent bare;  // nothing set
    TPKEvent nothing;
    nothing.setName(std::nullopt), nothing.setProperties(std::nullopt), nothing.setTs(0);
    TPKEvent unset;
    unset.setName("gone"), unset.setProperties(manyProperties(2, 1)), unset.setAcc(3);
    unset.unsetName(), unset.unsetProperties();
    TPKEvent emptyMap;
    emptyMap.setName(""), emptyMap.setProperties(std::map<std::string, TPKPropertyValue>{}), emptyMap.setDuration(INT64_MAX);
    TPKEvent longTexts;
    longTexts.setName(std::string(100000, 'n')), longTexts.setProperties(manyProperties(1, 70000));
    TPKEvent manyEntries;
    manyEntries.setName("many"), manyEntries.setProperties(manyProperties(300, 3)), manyEntries.setAcc(INT32_MIN);
    std::vector<TPKEvent> events{bare, nothing, unset, emptyMap, longTexts, manyEntries};
    for (int i = 0; i < 2000; ++i) {
        TPKEvent e;
        e.setName(std::string(static_cast<std::size_t>(i % 300), 'e'));
        if (i % 2) e.setProperties(manyProperties(i % 4, static_cast<std::size_t>(i % 5)));
        if (i % 5) e.setTs(i);
        events.push_back(std::move(e));
    }
    TPKInstantMsg message;
    message.setId(std::string(5000, 'i')), message.setErrors(std::vector<TPKError>(40)), message.setEvents(events);
    TPKInstantMsg emptyLists;
    emptyLists.setErrors(std::vector<TPKError>{}), emptyLists.setEvents(std::vector<TPKEvent>{});
    TPKInstantMsg toNothing;
    toNothing.setId(std::nullopt), toNothing.setErrors(std::nullopt), toNothing.setEvents(std::nullopt);
    TPKSession pagesToNothing;
    pagesToNothing.setPages(std::nullopt), pagesToNothing.setLocations(std::vector<TPKLocation>{});
    std::vector<TPKSession> sessions{pagesToNothing, TPKSession{}};
    for (int s = 0; s < 200; ++s) {
        TPKSession session;
        session.setId("s" + std::to_string(s)), session.setStart_time(s);
        std::vector<TPKPage> pages(static_cast<std::size_t>(s % 6));
        for (auto& page : pages) page.setPage_name(std::string(static_cast<std::size_t>(s), 'p')), page.setDuration(-s);
        session.setPages(std::move(pages));
        sessions.push_back(std::move(session));
    }
    std::map<std::string, std::int32_t> groups;
    for (int g = 0; g < 100; ++g) groups.emplace(std::string(static_cast<std::size_t>(g), 'g'), g * 1000);
    TPKImprint imprint;
    imprint.setProperty(std::map<std::string, TPKImprintValue>{}), imprint.setChecksum(std::nullopt);
    TPKIdTracking tracking;
    tracking.setSnapshots(std::map<std::string, TPKIdSnapshot>{{"a", TPKIdSnapshot{}}, {"b", TPKIdSnapshot{}}, {"c", TPKIdSnapshot{}}});
    tracking.setJournals(std::vector<TPKIdJournal>(500));
    TPKAppInfo app;
    app.setKey(std::nullopt), app.setVersion(""), app.setVersion_index(0);

    TPKUALogEntry large;
    large.setInstant_msgs(std::vector{message, emptyLists, toNothing, TPKInstantMsg{}});
    large.setSessions(sessions), large.setGroup_info(groups), large.setImprint(imprint), large.setId_tracking(tracking);
    large.setApp_info(app), large.setActive_user(TPKActiveUser{});
    TPKUALogEntry emptyContainers;
    emptyContainers.setInstant_msgs(std::vector<TPKInstantMsg>{}), emptyContainers.setSessions(std::vector<TPKSession>{});
    emptyContainers.setGroup_info(std::map<std::string, std::int32_t>{});
    TPKUALogEntry setToNothing;
    setToNothing.setInstant_msgs(std::nullopt), setToNothing.setSessions(std::nullopt), setToNothing.setGroup_info(std::nullopt);
    setToNothing.setClient_stats(std::nullopt), setToNothing.setApp_info(std::nullopt), setToNothing.setImprint(std::nullopt);
    TPKUALogEntry setAndUnset = test::everyFieldLogEntry();
    setAndUnset.unsetInstant_msgs(), setAndUnset.unsetApp_info(), setAndUnset.unsetGroup_info(), setAndUnset.unsetMisc_info();

    const struct {
        const char* what;
        TPKUALogEntry entry;
    } cases[] = {
        {"long texts and keys, thousands of events, hundreds of map entries", large},
        {"empty lists and maps", emptyContainers},
        {"fields set to nothing", setToNothing},
        {"every field, some then unset", setAndUnset},
    };
    for (const auto& c : cases) {
        const Bytes packed = packBytes(c.entry);
        EXPECT_EQ(packed, writtenThroughStream(c.entry)) << c.what;
        EXPECT_EQ(packed.capacity(), packed.size()) << c.what;
        EXPECT_EQ(c.entry.packedSize(), packed.size()) << c.what;
    }
    for (const TPKEvent& e : {bare, nothing, unset, emptyMap, longTexts, manyEntries}) {
        const Bytes packed = packBytes(e);
        EXPECT_EQ(packed, writtenThroughStream(e));
        EXPECT_EQ(packed.capacity(), packed.size());
    }
}

}  // namespace
}  // namespace lv
