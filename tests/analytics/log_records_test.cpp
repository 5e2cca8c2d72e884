#include <gtest/gtest.h>

#include <algorithm>

#include "analytics/log_records.h"
#include "analytics/pack_cases.h"

namespace lv {
namespace {

using test::StreamTransport;

using test::hexBytes;

constexpr const char* kNestedLogEntry =
    "0F 00 06 | 0C 00 00 00 01"                          // instant_msgs: one struct
    "  0B 00 01 00 00 00 02 x s x 1"                     //   id "s1"
    "  0F 00 02 0C 00 00 00 00"                          //   errors: empty list, still written
    "  0F 00 03 0C 00 00 00 01"                          //   events: one struct
    "    0B 00 01 00 00 00 01 x e"                       //     name "e"
    "    0D 00 02 0B 0C 00 00 00 01"                     //     properties: string → struct, one
    "      00 00 00 01 x k | 0A 00 02 00 00 00 00 00 00 00 05 00"  // "k" → long_value 5
    "    00"
    "  00"
    "0D 00 0C 0B 08 00 00 00 01 | 00 00 00 01 x g | 00 00 00 02"  // group_info "g" → 2
    "00";

TEST(LogRecords, NestedEntryMatchesGoldenBytes) {
    TPKUALogEntry entry = test::nestedLogEntry();
    EXPECT_EQ(packBytes(entry), hexBytes(kNestedLogEntry));
    EXPECT_EQ(unpackBytes<TPKUALogEntry>(hexBytes(kNestedLogEntry)), entry);
}

TPKUALogEntry fullLogEntry() {
    TPKUALogEntry entry = test::nestedLogEntry();
    TPKClientStats stats;
    stats.setSuccessful_requests(3), stats.setFailed_requests(1), stats.setLast_request_spent_ms(250);
    TPKAppInfo app;
    app.setKey("key"), app.setVersion("1.0"), app.setVersion_index(4), app.setSdk_type(0), app.setChannel("App Store");
    TPKDeviceInfo device;
    device.setModel("x86_64"), device.setResolution(makeResolution(1136, 640)), device.setDevice_manutime(-1);
    TPKMiscInfo misc;
    misc.setTime_zone(-5), misc.setLatitude(52.5), misc.setLongitude(-0.25), misc.setCarrier("");
    TPKActivateMsg activate;
    activate.setTs(1700000000000);
    TPKPage page;
    page.setPage_name("Home"), page.setDuration(3000);
    TPKSession session;
    session.setId("S"), session.setStart_time(1), session.setEnd_time(2), session.setDuration(1000);
    session.setPages(std::vector<TPKPage>{page}), session.setLocations(std::vector{makeLocation(1.5, 2.5, 9)});
    TPKImprintValue codex;
    codex.setValue("1"), codex.setTs(5), codex.setGuid("G");
    TPKImprint imprint;
    imprint.setProperty(std::map<std::string, TPKImprintValue>{{"codex", codex}}), imprint.setVersion(2);
    TPKIdSnapshot snapshot;
    snapshot.setIdentity("02:00:00:00:00:00"), snapshot.setTs(8), snapshot.setVersion(1);
    TPKIdJournal journal;
    journal.setDomain("mc"), journal.setNew_id("n"), journal.setTs(8);
    TPKIdTracking tracking;
    tracking.setSnapshots(std::map<std::string, TPKIdSnapshot>{{"mc", snapshot}});
    tracking.setJournals(std::vector{journal}), tracking.setChecksum("checksum");
    TPKActiveUser user;
    user.setProvider("p"), user.setPuid("u");
    TPKLatent latent;
    latent.setLatency(30), latent.setInterval(60000);
    TPKControlPolicy policy;
    policy.setLatent(latent);
    TPKError error;
    error.setTs(4), error.setContext("trace"), error.setSource(2);
    TPKInstantMsg message = (*entry.instant_msgs())[0];
    message.setErrors(std::vector{error});
    entry.setClient_stats(stats), entry.setApp_info(app), entry.setDevice_info(device), entry.setMisc_info(misc);
    entry.setActivate_msg(activate), entry.setSessions(std::vector{session}), entry.setImprint(imprint);
    entry.setId_tracking(tracking), entry.setActive_user(user), entry.setControl_policy(policy);
    entry.setInstant_msgs(std::vector{message});
    return entry;
}

TEST(LogRecords, FullEntryRoundTrips) {
    TPKUALogEntry entry = fullLogEntry();
    EXPECT_EQ(unpackBytes<TPKUALogEntry>(packBytes(entry)), entry);
    // A list longer than the first room made for it.
    std::vector<TPKEvent> events(3000, (*entry.instant_msgs())[0].events()->at(0));
    for (std::size_t i = 0; i < events.size(); ++i) events[i].setTs(static_cast<std::int64_t>(i));
    TPKInstantMsg message;
    message.setEvents(std::move(events));
    entry.setInstant_msgs(std::vector{message});
    EXPECT_EQ(unpackBytes<TPKUALogEntry>(packBytes(entry)), entry);
}

// The count the writer takes before writing must be the bytes written, field kind by field kind:
// unset fields, text set to nothing, empty lists, maps, nested records, fixed-size values and data.
TEST(LogRecords, CountedSizeIsTheWrittenSize) {
    TPKUALogEntry partial;
    partial.setInstant_msgs(std::vector<TPKInstantMsg>{TPKInstantMsg{}});
    TPKPage unnamed;
    unnamed.setPage_name(std::nullopt);
    TPKSession session;
    session.setPages(std::vector{unnamed});
    partial.setSessions(std::vector{session});
    const auto check = [](const auto& record, std::size_t written) {
        EXPECT_EQ(record.packedSize(), written);
        EXPECT_EQ(packBytes(record).size(), written);
    };
    check(TPKUALogEntry{}, 1);
    check(test::nestedLogEntry(), hexBytes(kNestedLogEntry).size());
    check(partial, 28);
    check(fullLogEntry(), packBytes(fullLogEntry()).size());
    check(test::everyFieldLogEntry(), packBytes(test::everyFieldLogEntry()).size());
    check(test::tenFieldEnvelope(), 81);
    check(test::everyFieldResponse(), packBytes(test::everyFieldResponse()).size());
    // Through a buffer that already holds bytes, then grows past its first room.
    TPKMemoryBuffer buffer(hexBytes("01 02 03"));
    TPKBinaryProtocol protocol(buffer);
    fullLogEntry().write(protocol);
    test::nestedLogEntry().write(protocol);
    Bytes expected = hexBytes("01 02 03");
    for (const Bytes& part : {packBytes(fullLogEntry()), hexBytes(kNestedLogEntry)}) expected.insert(expected.end(), part.begin(), part.end());
    EXPECT_EQ(buffer.getBuffer(), expected);
}

class ForwardingProtocol final : public TPKProtocol {
public:
    explicit ForwardingProtocol(TPKProtocol& inner) : p_(inner) {}
    TPKTransport& transport() override { return p_.transport(); }
    void readMessageBegin(std::string* n, std::uint8_t* t, std::int32_t* s) override { p_.readMessageBegin(n, t, s); }
    void readMessageEnd() override { p_.readMessageEnd(); }
    void readStructBegin() override { p_.readStructBegin(); }
    void readStructEnd() override { p_.readStructEnd(); }
    void readFieldBegin(std::uint8_t* t, std::int16_t* id) override { p_.readFieldBegin(t, id); }
    void readFieldEnd() override { p_.readFieldEnd(); }
    std::optional<std::string> readString() override { return p_.readString(); }
    bool readBool() override { return p_.readBool(); }
    std::uint8_t readByte() override { return p_.readByte(); }
    std::int16_t readI16() override { return p_.readI16(); }
    std::int32_t readI32() override { return p_.readI32(); }
    std::int64_t readI64() override { return p_.readI64(); }
    double readDouble() override { return p_.readDouble(); }
    Bytes readBinary() override { return p_.readBinary(); }
    void readMapBegin(std::uint8_t* k, std::uint8_t* v, std::int32_t* n) override { p_.readMapBegin(k, v, n); }
    void readMapEnd() override { p_.readMapEnd(); }
    void readSetBegin(std::uint8_t* e, std::int32_t* n) override { p_.readSetBegin(e, n); }
    void readSetEnd() override { p_.readSetEnd(); }
    void readListBegin(std::uint8_t* e, std::int32_t* n) override { p_.readListBegin(e, n); }
    void readListEnd() override { p_.readListEnd(); }
    void writeMessageBegin(std::string_view n, std::uint8_t t, std::int32_t s) override { p_.writeMessageBegin(n, t, s); }
    void writeMessageEnd() override { p_.writeMessageEnd(); }
    void writeStructBegin(std::string_view n) override { p_.writeStructBegin(n); }
    void writeStructEnd() override { p_.writeStructEnd(); }
    void writeFieldBegin(std::string_view n, std::uint8_t t, std::int16_t id) override { p_.writeFieldBegin(n, t, id); }
    void writeI32(std::int32_t v) override { p_.writeI32(v); }
    void writeI64(std::int64_t v) override { p_.writeI64(v); }
    void writeI16(std::int16_t v) override { p_.writeI16(v); }
    void writeByte(std::uint8_t v) override { p_.writeByte(v); }
    void writeString(const std::optional<std::string>& v) override { p_.writeString(v); }
    void writeDouble(double v) override { p_.writeDouble(v); }
    void writeBool(bool v) override { p_.writeBool(v); }
    void writeBinary(const std::optional<Bytes>& v) override { p_.writeBinary(v); }
    void writeFieldStop() override { p_.writeFieldStop(); }
    void writeFieldEnd() override { p_.writeFieldEnd(); }
    void writeMapBegin(std::uint8_t k, std::uint8_t v, std::int32_t n) override { p_.writeMapBegin(k, v, n); }
    void writeMapEnd() override { p_.writeMapEnd(); }
    void writeSetBegin(std::uint8_t e, std::int32_t n) override { p_.writeSetBegin(e, n); }
    void writeSetEnd() override { p_.writeSetEnd(); }
    void writeListBegin(std::uint8_t e, std::int32_t n) override { p_.writeListBegin(e, n); }
    void writeListEnd() override { p_.writeListEnd(); }

private:
    TPKProtocol& p_;
};

// The record read, written back, or the exception raised.
template <class Read>
std::string outcome(Read read) {
    try {
        const Bytes written = packBytes(read());
        return "record " + std::string(written.begin(), written.end());
    } catch (const TPKException& e) {
        return e.description();
    }
}

TEST(LogRecords, EveryRoadReadsAndWritesTheSame) {
    const TPKUALogEntry entry = fullLogEntry();
    const Bytes bytes = packBytes(entry);
    StreamTransport stream;
    TPKBinaryProtocol streamed(stream);
    entry.write(streamed);
    EXPECT_EQ(stream.bytes(), bytes);
    TPKMemoryBuffer buffer;
    TPKBinaryProtocol binary(buffer);
    ForwardingProtocol forwarding(binary);
    entry.write(forwarding);
    EXPECT_EQ(buffer.getBuffer(), bytes);

    // Every cut of the entry, and text that is not UTF-8 in a value and in a map key.
    std::vector<Bytes> inputs = {hexBytes("0F 00 07 0C 00 00 00 01 0B 00 01 00 00 00 02 FF FE 00 00"),
                                 hexBytes("0D 00 0C 0B 08 00 00 00 01 00 00 00 01 FF 00 00 00 02 00")};
    for (std::size_t n = 0; n <= bytes.size(); ++n) inputs.emplace_back(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    for (const Bytes& input : inputs) {
        const std::string direct = outcome([&] { return unpackBytes<TPKUALogEntry>(input); });
        EXPECT_EQ(outcome([&] {
                      StreamTransport transport(input);
                      TPKBinaryProtocol protocol(transport);
                      TPKUALogEntry record;
                      record.read(protocol);
                      return record;
                  }),
                  direct)
            << input.size();
        EXPECT_EQ(outcome([&] {
                      TPKMemoryBuffer memory(input);
                      TPKBinaryProtocol protocol(memory);
                      ForwardingProtocol general(protocol);
                      TPKUALogEntry record;
                      record.read(general);
                      return record;
                  }),
                  direct)
            << input.size();
    }
}

TEST(LogRecords, AccessorsMarkSetEvenForNothing) {
    TPKResponse response;
    EXPECT_FALSE(response.msgIsSet());
    response.setMsg(std::nullopt);
    response.setImprint(std::nullopt);
    EXPECT_TRUE(response.msgIsSet());
    EXPECT_TRUE(response.imprintIsSet());
    EXPECT_EQ(packBytes(response), hexBytes("00"));  // set but holding nothing: not written
    response.setMsg("ok");
    response.unsetMsg();
    EXPECT_FALSE(response.msgIsSet());
    EXPECT_EQ(response.msg(), std::nullopt);
    response.setResp_code(0);
    EXPECT_EQ(packBytes(response), hexBytes("08 00 01 00 00 00 00 00"));  // scalars whenever set
}

TEST(LogRecords, ReaderSkipsUnknownAndMistypedFields) {
    struct Case {
        const char* what;
        const char* hex;
        std::int32_t code;
        bool msgSet;
        bool imprintSet;
    } cases[] = {
        {"code, message, imprint with a property", "08 00 01 00 00 00 01 | 0B 00 02 00 00 00 02 x o x k |"
         "0C 00 03 0D 00 01 0B 0C 00 00 00 01 00 00 00 01 x a 0B 00 01 00 00 00 01 x b 00 | 08 00 02 00 00 00 03 00 | 00",
         1, true, true},
        {"code as i64 is skipped", "0A 00 01 00 00 00 00 00 00 00 01 | 00", 0, false, false},
        {"unknown id 9 as struct", "0C 00 09 08 00 01 00 00 00 05 00 | 08 00 01 00 00 00 02 | 00", 2, false, false},
        {"message not UTF-8 is set to nothing", "0B 00 02 00 00 00 01 FF | 00", 0, true, false},
    };
    for (const auto& c : cases) {
        auto response = unpackBytes<TPKResponse>(hexBytes(c.hex));
        EXPECT_EQ(response.resp_code(), c.code) << c.what;
        EXPECT_EQ(response.msgIsSet(), c.msgSet) << c.what;
        EXPECT_EQ(response.imprintIsSet(), c.imprintSet) << c.what;
    }
    auto full = unpackBytes<TPKResponse>(hexBytes(cases[0].hex));
    const auto& value = full.imprint()->property()->at("a");
    EXPECT_EQ(value.value(), "b");
    EXPECT_EQ(full.imprint()->version(), 3);
}

TEST(LogRecords, RecordlessFieldsAreSkipped) {
    // traffic (session 7) and game_events (instant message 4) have no record: skipped whatever they hold.
    auto session = unpackBytes<TPKSession>(hexBytes("0C 00 07 08 00 01 00 00 00 01 00 | 0B 00 01 00 00 00 01 x S | 00"));
    EXPECT_EQ(session.id(), "S");
    auto message = unpackBytes<TPKInstantMsg>(hexBytes("0F 00 04 0C 00 00 00 01 00 | 0B 00 01 00 00 00 01 x M | 00"));
    EXPECT_EQ(message.id(), "M");
    EXPECT_EQ(packBytes(message), hexBytes("0B 00 01 00 00 00 01 x M | 00"));
}

}  // namespace
}  // namespace lv
