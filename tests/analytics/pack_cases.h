// Golden records shared by the unit tests and the file writer the Python reader checks.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <string>
#include <string_view>

#include "analytics/envelope_record.h"
#include "analytics/log_records.h"
#include "analytics/pack_protocol.h"

namespace lv::test {

// A transport that is not a memory buffer, so the protocol reads and writes through it call by call
// (the general road the memory buffer's direct one must agree with).
class StreamTransport final : public TPKTransport {
public:
    explicit StreamTransport(Bytes bytes = {}) : bytes_(std::move(bytes)) {}
    std::int32_t readAll(std::uint8_t* buffer, std::int32_t offset, std::int32_t length) override {
        if (length < 0 || static_cast<std::uint64_t>(length) > bytesRemaining()) {
            TPKTransportException::raise(std::string(kNotEnoughBytesReason));
        }
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(read_), length, buffer + offset);
        read_ += static_cast<std::size_t>(length);
        return length;
    }
    void write(const std::uint8_t* buffer, std::uint32_t offset, std::uint32_t length) override {
        bytes_.insert(bytes_.end(), buffer + offset, buffer + offset + length);
    }
    std::uint64_t bytesRemaining() const override { return bytes_.size() - read_; }
    const Bytes& bytes() const { return bytes_; }

private:
    Bytes bytes_;
    std::size_t read_ = 0;
};

// Hexadecimal text to bytes; blanks and '|' are ignored, 'x' quotes the next non-blank character.
inline Bytes hexBytes(std::string_view text) {
    Bytes out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == ' ' || c == '|' || c == '\n') continue;
        if (c == 'x') {
            while (text[i + 1] == ' ') ++i;
            out.push_back(static_cast<std::uint8_t>(text[++i]));
            continue;
        }
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
        ++i;
    }
    return out;
}

inline TLYEnvelope tenFieldEnvelope() {
    return TLYEnvelope("V1.0", "k", "s", 7, 1000, 3, Bytes{1, 2}, "g", "c", 1);
}

// Instant message "s1" with no errors and one event "e" whose property "k" holds the number 5;
// group "g" → 2.
inline TPKUALogEntry nestedLogEntry() {
    TPKPropertyValue value;
    value.setLong_value(5);
    TPKEvent event;
    event.setName("e");
    event.setProperties(std::map<std::string, TPKPropertyValue>{{"k", value}});
    TPKInstantMsg message;
    message.setId("s1");
    message.setErrors(std::vector<TPKError>{});
    message.setEvents(std::vector<TPKEvent>{event});
    TPKUALogEntry entry;
    entry.setInstant_msgs(std::vector<TPKInstantMsg>{message});
    entry.setGroup_info(std::map<std::string, std::int32_t>{{"g", 2}});
    return entry;
}

// A log entry with every field of every record set, each to a value of its own, so that a field
// written under another field's id shows in the independent reader's tree.
inline TPKUALogEntry everyFieldLogEntry() {
    TPKClientStats stats;
    stats.setSuccessful_requests(101), stats.setFailed_requests(102), stats.setLast_request_spent_ms(103);
    TPKAppInfo app;
    app.setKey("app.key"), app.setVersion("app.version"), app.setVersion_index(203);
    app.setPackage_name("app.package"), app.setSdk_type(205), app.setSdk_version("app.sdk");
    app.setChannel("app.channel"), app.setWrapper_type("app.wrapper"), app.setWrapper_version("app.wrapperv");
    app.setVertical_type(210);
    TPKDeviceInfo device;
    device.setDevice_id("d.id"), device.setIdmd5("d.md5"), device.setMac_address("d.mac");
    device.setDevice_uid("d.uid"), device.setModel("d.model"), device.setCpu("d.cpu"), device.setOs("d.os");
    device.setOs_version("d.osv"), device.setResolution(makeResolution(1136, 640));
    device.setDevice_board("d.board"), device.setDevice_brand("d.brand"), device.setDevice_manutime(314);
    device.setDevice_manufacturer("d.maker"), device.setDevice_manuid("d.makerid"), device.setDevice_name("d.name");
    TPKMiscInfo misc;
    misc.setTime_zone(-5), misc.setLanguage("m.lang"), misc.setCountry("m.country"), misc.setLatitude(52.5);
    misc.setLongitude(-0.25), misc.setCarrier("m.carrier"), misc.setLatency(407), misc.setDisplay_name("m.name");
    misc.setAccess_type(409), misc.setAccess_subtype("m.sub");
    TPKActivateMsg activate;
    activate.setTs(1700000000000);
    TPKPropertyValue both;
    both.setString_value("p.text"), both.setLong_value(-7);
    TPKEvent event;
    event.setName("ev"), event.setProperties(std::map<std::string, TPKPropertyValue>{{"k", both}});
    event.setDuration(603), event.setAcc(604), event.setTs(605);
    TPKError error;
    error.setTs(701), error.setContext("err.context"), error.setSource(703);
    TPKInstantMsg message;
    message.setId("im"), message.setErrors(std::vector{error}), message.setEvents(std::vector{event});
    TPKPage page;
    page.setPage_name("page"), page.setDuration(802);
    TPKSession session;
    session.setId("se"), session.setStart_time(902), session.setEnd_time(903), session.setDuration(904);
    session.setPages(std::vector{page}), session.setLocations(std::vector{makeLocation(1.5, 2.5, 906)});
    TPKImprintValue codex;
    codex.setValue("iv.value"), codex.setTs(1002), codex.setGuid("iv.guid");
    TPKImprint imprint;
    imprint.setProperty(std::map<std::string, TPKImprintValue>{{"codex", codex}});
    imprint.setVersion(1102), imprint.setChecksum("im.sum");
    TPKIdSnapshot snapshot;
    snapshot.setIdentity("snap.id"), snapshot.setTs(1202), snapshot.setVersion(1203);
    TPKIdJournal journal;
    journal.setDomain("j.domain"), journal.setOld_id("j.old"), journal.setNew_id("j.new"), journal.setTs(1304);
    TPKIdTracking tracking;
    tracking.setSnapshots(std::map<std::string, TPKIdSnapshot>{{"mac", snapshot}});
    tracking.setJournals(std::vector{journal}), tracking.setChecksum("t.sum");
    TPKActiveUser user;
    user.setProvider("u.provider"), user.setPuid("u.puid");
    TPKLatent latent;
    latent.setLatency(1501), latent.setInterval(1502);
    TPKControlPolicy policy;
    policy.setLatent(latent);
    TPKUALogEntry entry;
    entry.setClient_stats(stats), entry.setApp_info(app), entry.setDevice_info(device), entry.setMisc_info(misc);
    entry.setActivate_msg(activate), entry.setInstant_msgs(std::vector{message});
    entry.setSessions(std::vector{session}), entry.setImprint(imprint), entry.setId_tracking(tracking);
    entry.setActive_user(user), entry.setControl_policy(policy);
    entry.setGroup_info(std::map<std::string, std::int32_t>{{"g", 1601}});
    return entry;
}

// The server's reply with every field set.
inline TPKResponse everyFieldResponse() {
    TPKImprintValue value;
    value.setValue("r.value"), value.setTs(3), value.setGuid("r.guid");
    TPKImprint imprint;
    imprint.setProperty(std::map<std::string, TPKImprintValue>{{"tlyid", value}});
    imprint.setVersion(4), imprint.setChecksum("r.sum");
    TPKResponse response;
    response.setResp_code(2000), response.setMsg("ok"), response.setImprint(imprint);
    return response;
}

}  // namespace lv::test
