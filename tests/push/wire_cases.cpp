#include "wire_cases.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>

#include "push/tlv_stream.h"

namespace lv::test {

Bytes hexBytes(std::string_view hex) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size();) {
        if (hex[i] == ' ') {
            ++i;
            continue;
        }
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
        i += 2;
    }
    return bytes;
}

Bytes ascii(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

std::string hexText(const Bytes& bytes) {
    std::string out;
    char buffer[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(buffer, sizeof buffer, "%02X", b);
        out += buffer;
    }
    return out;
}

std::vector<std::string> reports(const std::vector<std::string>& lines) {
    static const std::regex reason(R"(exception\.reason= (.+), \d+: assert\((.*)\) fail!)");
    std::vector<std::string> found;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::smatch match;
        if (!std::regex_match(lines[i], match, reason)) continue;
        const bool named = i > 0 && lines[i - 1] == "exception.name= TlvSerializableException";
        found.push_back((named ? "" : "(unnamed) ") + match[1].str() + " " + match[2].str());
    }
    return found;
}

Ref<PNWireRegisterReq> registerRequest() {
    auto request = PNWireRegisterReq::object();
    request->setTlv_accessId(kAccessId);
    request->setTlv_accessKey(std::string(kAccessKey));
    request->setTlv_deviceId("");
    request->setTlv_appCert("");
    request->setTlv_account("acc");
    request->setTlv_deviceType(1);
    auto deviceInfo = PNDeviceInfo::object();
    deviceInfo->setTlv_language("zh-Hans");
    request->setTlv_deviceInfo(deviceInfo);
    request->setTlv_token("tok");
    request->setTlv_keyEncrypted(1);
    auto mutableInfo = PNMutableInfo::object();
    mutableInfo->setTlv_ssid("not found");
    mutableInfo->setTlv_bssid("not found");
    mutableInfo->setTlv_mac("if_nametoindex failure");
    request->setTlv_mutableInfo(mutableInfo);
    request->setTlv_updateAutoTag(2);
    request->setTlv_appVersion("1.0");
    request->setTlv_reserved("{}");
    return request;
}

Ref<PNWireReconnectReq> reconnectRequest() {
    auto request = PNWireReconnectReq::object();
    request->setTlv_token("tok");
    auto mutableInfo = PNMutableInfo::object();
    mutableInfo->setTlv_ssid(Value());
    mutableInfo->setTlv_bssid(Value());
    mutableInfo->setTlv_mac(Value());
    request->setTlv_mutableInfo(mutableInfo);
    request->setTlv_deviceType(1);
    return request;
}

Ref<PNWireUnregisterReq> unregisterRequest() {
    auto appInfo = PNAppInfo::object();
    appInfo->setTlv_accessId(kAccessId);
    appInfo->setTlv_accessKey(std::string(kAccessKey));
    appInfo->setTlv_appCert("");
    appInfo->setTlv_keyEncrypted(1);
    auto unregInfo = PNUnregInfo::object();
    unregInfo->setTlv_appInfo(appInfo);
    unregInfo->setTlv_isUninstall(1);
    unregInfo->setTlv_timestamp(1400000000);
    auto request = PNWireUnregisterReq::object();
    request->setTlv_unregInfo(unregInfo);
    request->setTlv_deviceType(1);
    return request;
}

Ref<PNWireTokenTagReq> tokenTagRequest(std::int32_t flag) {
    auto request = PNWireTokenTagReq::object();
    request->setTlv_accessId(kAccessId);
    request->setTlv_tag("vip");
    request->setTlv_flag(flag);
    return request;
}

Ref<PNWirePushClickReq> clickRequest() {
    auto report = PNWireClickClientReport::object();
    report->setTlv_msgId(0);
    report->setTlv_accessId(kAccessId);
    report->setTlv_broadcastId(12345);
    report->setTlv_timestamp(1400000000);
    report->setTlv_type(1);
    auto request = PNWirePushClickReq::object();
    request->setTlv_msgClickList(Value(Array{Value(report)}));
    return request;
}

namespace {

template <class Write>
Bytes written(Write write) {
    PNTlvOutputStream writer;
    write(writer);
    return *writer.data();
}

const Bytes kAccessIdField = hexBytes("03 00 00 00 00 88 80 EA 70");

// Through the raw setters: an Int4 field whose value (the byte count of what follows) is written
// over its placeholder once known.
Bytes backpatchedLength() {
    PNTlvOutputStream w;
    w.writeTag(0, static_cast<int>(TlvType::Int4));
    const std::int32_t mark = w.cursor();
    w.writeInt4(0);
    w.writeString(Value("abc"), 1, true);
    const std::int32_t end = w.cursor();
    w.setCursor(mark);
    w.writeInt4(end - mark - 4);
    w.setCursor(end);
    return *w.data();
}

// A writer handed a malloc'd buffer that already holds a field goes on after it.
Bytes adoptedBuffer() {
    PNTlvOutputStream w(16);
    const Bytes field = hexBytes("11 01 2C");
    auto* prefix = static_cast<std::uint8_t*>(std::malloc(field.size()));
    std::memcpy(prefix, field.data(), field.size());
    std::free(w.streamBuffer());
    w.setStreamBuffer(prefix);
    w.setStreamSize(static_cast<std::int32_t>(field.size()));
    w.setCursor(static_cast<std::int32_t>(field.size()));
    w.writeString(Value("abc"), 2, true);
    return *w.data();
}

// A record packed into a writer whose buffer the caller then takes over, without a copy.
Bytes detachedRecord(const PNTlvObject& record) {
    PNTlvOutputStream w;
    record.pack(w);
    std::uint8_t* buffer = w.streamBuffer();
    const std::int32_t length = w.cursor();
    w.setStreamBuffer(nullptr);
    w.setCursor(0);
    Bytes out(buffer, buffer + length);
    std::free(buffer);
    return out;
}

// A reply whose list holds a record too long for a writer's first buffer between two short ones.
Ref<PNWireReconnectRsp> replyWithLongMessage(const std::string& longTitle) {
    Array list;
    for (const std::string& title : {std::string("a"), longTitle, std::string("c")}) {
        auto message = PNWirePushMsg::object();
        message->setTlv_title(title);
        list.push_back(Value(message));
    }
    auto reply = PNWireReconnectRsp::object();
    reply->setTlv_appOfflinePushMsgList(Value(std::move(list)));
    return reply;
}

// A message whose fields are all zero or empty but its title, as it stands in a list.
Bytes listedMessage(const Bytes& titleField) {
    return join({hexBytes("0A 0C 1C 2C"), titleField, hexBytes("46 00 5C 66 00 7C 8C 96 00 AC BC 0B")});
}

}  // namespace

std::vector<WireCase> wireCases() {
    std::string hangul;
    for (int i = 0; i < 100; ++i) hangul += "\xE9\x9F\xA9";  // 100 three-byte characters
    const std::string text255(255, 'x');
    const std::string text256(256, 'y');
    const std::string text5000(5000, 'b');
    auto number = [](auto v, int tag) {
        return written([&](PNTlvOutputStream& w) { w.writeNumber(Value(v), tag, true); });
    };
    auto string = [](const std::string& s, int tag) {
        return written([&](PNTlvOutputStream& w) { w.writeString(Value(s), tag, true); });
    };

    return {
        {"int_300_tag1", hexBytes("11 01 2C"), number(300, 1)},
        {"zero_tag3", hexBytes("3C"), number(0, 3)},
        {"minus_one_tag0", hexBytes("00 FF"), number(-1, 0)},
        {"int1_edges", hexBytes("00 80 00 7F"), written([](PNTlvOutputStream& w) {
             w.writeInt(-128, 0);
             w.writeInt(127, 0);
         })},
        {"int2_edges", hexBytes("01 00 80 01 FF 7F 01 7F FF 01 80 00"), written([](PNTlvOutputStream& w) {
             w.writeInt(128, 0);
             w.writeInt(-129, 0);
             w.writeInt(32767, 0);
             w.writeInt(-32768, 0);
         })},
        {"int4_edges", hexBytes("02 00 00 80 00 02 FF FF 7F FF 02 7F FF FF FF 02 80 00 00 00"),
         written([](PNTlvOutputStream& w) {
             w.writeInt(32768, 0);
             w.writeInt(-32769, 0);
             w.writeInt(2147483647, 0);
             w.writeInt(-2147483648LL, 0);
         })},
        {"int8_edges", hexBytes("03 00 00 00 00 80 00 00 00 03 FF FF FF FF 7F FF FF FF"),
         written([](PNTlvOutputStream& w) {
             w.writeInt(2147483648LL, 0);
             w.writeInt(-2147483649LL, 0);
         })},
        {"u32_3e9_tag0", hexBytes("03 00 00 00 00 B2 D0 5E 00"), number(std::uint32_t{3000000000u}, 0)},
        {"u32_max_tag0", hexBytes("03 00 00 00 00 FF FF FF FF"), number(std::uint32_t{4294967295u}, 0)},
        {"one_tag14", hexBytes("E0 01"), number(1, 14)},
        {"one_tag15", hexBytes("F0 0F 01"), number(1, 15)},
        {"one_tag200", hexBytes("F0 C8 01"), number(1, 200)},
        {"bool_true_false", hexBytes("00 01 1C"), written([](PNTlvOutputStream& w) {
             w.writeNumber(Value(true), 0, true);
             w.writeNumber(Value(false), 1, true);
         })},
        {"float_one_tag2", hexBytes("24 3F 80 00 00"), number(1.0f, 2)},
        {"double_one_tag2", hexBytes("25 3F F0 00 00 00 00 00 00"), number(1.0, 2)},
        {"string_abc_tag1", hexBytes("16 03 61 62 63"), string("abc", 1)},
        {"string_empty_tag1", hexBytes("16 00"), string("", 1)},
        {"string_255", join({hexBytes("06 FF"), ascii(text255)}), string(text255, 0)},
        {"string_256", join({hexBytes("07 00 00 01 00"), ascii(text256)}), string(text256, 0)},
        {"string_300_utf8", join({hexBytes("07 00 00 01 2C"), ascii(hangul)}), string(hangul, 0)},
        {"empty_data_tag4", hexBytes("4D 00 0C"),
         written([](PNTlvOutputStream& w) { w.writeData(Value(Bytes{}), 4, true); })},
        {"data_tag1", hexBytes("1D 00 00 03 01 02 03"), written([](PNTlvOutputStream& w) {
             w.writeData(Value(Bytes{1, 2, 3}), 1, true);
         })},
        {"empty_list_tag4", hexBytes("49 0C"),
         written([](PNTlvOutputStream& w) { w.writeArray(Value(Array{}), 4, true); })},
        {"empty_map_tag4", hexBytes("48 0C"),
         written([](PNTlvOutputStream& w) { w.writeDictionary(Value(Dictionary{}), 4, true); })},
        {"map_text_to_int", hexBytes("08 00 02 06 01 61 10 01 06 01 62 11 01 2C"), written([](PNTlvOutputStream& w) {
             w.writeAnything(Value::dictionary({{"a", 1}, {"b", 300}}), 0, true);
         })},
        {"empty_record_tag8", hexBytes("8A 0B"),
         written([](PNTlvOutputStream& w) { w.writeObject(Value(makeRef<PNTlvObjectV2>()), 8, true); })},
        {"click_request", hexBytes("19 00 01 0A 0C 13 00 00 00 00 88 80 EA 70 21 30 39 32 53 72 4E 00 40 01 5C 6C 0B"),
         clickRequest()->toData()},
        {"reconnect_request", hexBytes("06 03 74 6F 6B 16 00 2C 5A 36 00 0B 60 01 86 00 96 00"),
         reconnectRequest()->toData()},
        {"token_tag_request_set", join({kAccessIdField, hexBytes("16 03 76 69 70 20 01")}),
         tokenTagRequest(1)->toData()},
        {"token_tag_request_delete", join({kAccessIdField, hexBytes("16 03 76 69 70 20 02")}),
         tokenTagRequest(2)->toData()},
        {"unregister_request",
         join({hexBytes("0A 0A"), kAccessIdField, hexBytes("16 20"), ascii(kAccessKey),
               hexBytes("26 00 30 01 0B 10 01 22 53 72 4E 00 0B 10 01")}),
         unregisterRequest()->toData()},
        {"reply_with_long_message",
         join({hexBytes("0C 19 00 03"), listedMessage(hexBytes("36 01 61")),
               listedMessage(join({hexBytes("37 00 00 13 88"), ascii(text5000)})), listedMessage(hexBytes("36 01 63")),
               hexBytes("2C")}),
         replyWithLongMessage(text5000)->toData()},
        {"backpatched_length", hexBytes("02 00 00 00 05 16 03 61 62 63"), backpatchedLength()},
        {"adopted_buffer", hexBytes("11 01 2C 26 03 61 62 63"), adoptedBuffer()},
        {"detached_click", hexBytes("19 00 01 0A 0C 13 00 00 00 00 88 80 EA 70 21 30 39 32 53 72 4E 00 40 01 5C 6C 0B"),
         detachedRecord(*clickRequest())},
        {"register_request",
         join({kAccessIdField, hexBytes("16 20"), ascii(kAccessKey), hexBytes("26 00 36 00 46 03"), ascii("acc"),
               hexBytes("56 00 6C 70 01"),
               // deviceInfo: seventeen texts, only language set; tags 15-17 take long heads
               hexBytes("8A 06 00 16 00 26 00 36 00 46 00 56 00 66 00 76 00 86 00 96 00 A6 00 C6 00 D6 00 E6 07"),
               ascii("zh-Hans"), hexBytes("F6 0F 00 F6 10 00 F6 11 00 0B"), hexBytes("96 03"), ascii("tok"),
               hexBytes("AC B0 01"), hexBytes("CA 06 09"), ascii("not found"), hexBytes("16 09"), ascii("not found"),
               hexBytes("26 16"), ascii("if_nametoindex failure"), hexBytes("36 00 0B"), hexBytes("D0 02 E6 03"),
               ascii("1.0"), hexBytes("F6 0F 02"), ascii("{}")}),
         registerRequest()->toData()},
    };
}

}  // namespace lv::test
