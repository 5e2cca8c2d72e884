// Base and reflective records: field tables from declarations, packing order and presence, the
// descriptor grammar, class checks on unpack, descriptions, coding, pairs and enumeration names.
#include <gtest/gtest.h>

#include <thread>

#include "platform/base/log.h"
#include "platform/storage/keyed_archive.h"
#include "push/tlv_input_stream.h"
#include "push/tlv_stream.h"
#include "test_records.h"
#include "wire_cases.h"

namespace lv::test {
namespace {

TEST(TlvRecord, PacksInAscendingTagOrderWithPresenceByNilness) {
    auto ordered = OrderedRecord::object();
    ordered->setTlv_first(300);
    ordered->setTlv_middle(true);
    EXPECT_EQ(hexText(ordered->toData()),
              "01012C"
              "1001"
              "3600");  // 0, 1, 3; "" is written
    ordered->setTlv_last(Value());
    ordered->setTlv_middle(false);
    ordered->setTlv_first(0);
    EXPECT_EQ(hexText(ordered->toData()), "0C1C");  // numbers at 0 are present, nil text is not
}

TEST(TlvRecord, ARequiredNilObjectIsReportedAndTheOtherFieldsAreStillWritten) {
    LogCapture capture;
    auto request = PNWireTokenTagReq::object();
    request->setTlv_tag(Value());
    request->setTlv_flag(2);
    EXPECT_EQ(hexText(request->toData()), "0C2002");
    EXPECT_EQ(reports(capture.lines()), std::vector<std::string>{"-[PNTlvOutputStream writeAnything:tag:required:] 0"});
}

TEST(TlvRecord, FieldTableFollowsTheDeclarationGrammar) {
    LogCapture capture;
    const TlvFieldTable& table = PNTlvObjectV2::tlvPropsDescription(OddRecord::runtimeClass());
    std::vector<std::string> fields;
    for (const auto& field : table.fields) {
        fields.push_back(std::to_string(field->tag()) + (field->flag() ? " r " : " o ") + field->name() + " " +
                         field->type() + " " + field->ext().className());
    }
    EXPECT_EQ(fields,
              (std::vector<std::string>{"2 o tlv_some_value i (null)", "5 o tlv_mislisted @\"String\" PNTlvPair",
                                        "6 o tlv_undescribed @\"String\" (null)", "7 o tlv_late i (null)"}));
    EXPECT_EQ(reports(capture.lines()),
              (std::vector<std::string>{"+[PNTlvObjectV2 tlvPropsDescription] [strs count] >= 5",
                                        "+[PNTlvPair(V2) analyzeExtStr:] 0",
                                        "+[PNTlvPair(V2) pairFromExtStr:] [pair isKindOfClass:[PNTlvPair class]]"}));
    // Built once: the same table on every later call and from every thread.
    const TlvFieldTable* seen[4] = {};
    std::thread threads[4];
    for (int i = 0; i < 4; ++i) {
        threads[i] =
            std::thread([&seen, i] { seen[i] = &PNTlvObjectV2::tlvPropsDescription(OddRecord::runtimeClass()); });
    }
    for (auto& thread : threads) thread.join();
    for (const TlvFieldTable* other : seen) EXPECT_EQ(other, &table);
    EXPECT_EQ(capture.lines().size(), 6u);

    // A value of another class than declared is reported and not stored.
    {
        LogCapture decodeCapture;
        // Tag 5 is declared text but described as a list of numbers.
        const auto odd = OddRecord::fromData(hexBytes("20 03 59 00 01 00 04 66 01 7A"));
        ASSERT_TRUE(odd);
        EXPECT_EQ(odd->tlv_someValue(), 3);
        EXPECT_EQ(odd->tlv_mislisted(), Value(""));
        EXPECT_EQ(odd->tlv_undescribed(), Value("z"));
        EXPECT_EQ(reports(decodeCapture.lines()),
                  std::vector<std::string>{"-[PNTlvObjectV2 __unpack:] [[value class] isSubclassOfClass:cls]"});
    }
}

TEST(TlvRecord, DescriptorsParseByTheirGrammarAndOthersAreReportedAndGiveNil) {
    PNWirePushMsg::runtimeClass();  // known by name once used, as a record holding it would make it
    struct Case {
        std::string text;
        std::string parsed;  // "<key, value>" of the pair, the class name, or "(null)"
        std::vector<std::string> reports;
    };
    const std::string tooLong = "V" + std::string(127, 'V') + "ONumber";
    const Case cases[] = {
        {"VOPNWirePushMsg", "<(null), PNWirePushMsg>", {}},
        {"M07OStringONumber", "<String, Number>", {}},
        {"VVONumber", "<(null), PNTlvPair>", {}},
        {"OPNWirePushMsg",
         "PNWirePushMsg",
         {"+[PNTlvPair(V2) pairFromExtStr:] [pair isKindOfClass:[PNTlvPair class]]"}},
        {"M9",
         "(null)",
         {"+[PNTlvPair(V2) analyzeExtStr:] 0",
          "+[PNTlvPair(V2) pairFromExtStr:] [pair isKindOfClass:[PNTlvPair class]]"}},
        {"M99OString",
         "(null)",
         {"+[PNTlvPair(V2) analyzeExtStr:] 0",
          "+[PNTlvPair(V2) pairFromExtStr:] [pair isKindOfClass:[PNTlvPair class]]"}},
        {"",
         "(null)",
         {"+[PNTlvPair(V2) analyzeExtStr:] 0",
          "+[PNTlvPair(V2) pairFromExtStr:] [pair isKindOfClass:[PNTlvPair class]]"}},
        {tooLong, "<(null), PNTlvPair>", {"+[PNTlvPair(V2) pairFromExtStr:] [str length] < 128"}},
    };
    for (const Case& c : cases) {
        LogCapture capture;
        const TlvDescription parsed = PNTlvPair::pairFromExtStr(c.text);
        EXPECT_EQ(parsed.pair ? parsed.pair->description() : parsed.className(), c.parsed) << c.text;
        EXPECT_EQ(reports(capture.lines()), c.reports) << c.text;
    }
}

TEST(TlvRecord, TheBaseRecordPacksNothingAndEncodesToEmptyBytes) {
    LogCapture capture;
    const auto base = makeRef<PNTlvObject>();
    EXPECT_EQ(base->toData(), Bytes{});
    EXPECT_FALSE(base->tlvType().has_value());
    EXPECT_EQ(reports(capture.lines()), std::vector<std::string>{"-[PNTlvObject __pack:] __objc_no"});
    EXPECT_EQ(makeRef<PNTlvObjectV2>()->toData(), Bytes{});
}

TEST(TlvRecord, AnAbortedDecodeKeepsWhatWasReadAndLogsOneLine) {
    LogCapture capture;
    auto reply = PNWireReconnectRsp::object();
    EXPECT_FALSE(reply->decodeFromData(hexBytes("00 07 19 00 02 0A 0B")));
    EXPECT_EQ(reply->tlv_confVersion(), 7u);
    EXPECT_EQ(capture.lines().back(), "Tlv list element is nil");
    EXPECT_EQ(capture.count("Tlv list element is nil"), 1u);
}

TEST(TlvRecord, DescriptionIndentsNestedRecordsPerThread) {
    auto reply = PNWireReconnectRsp::object();
    reply->setTlv_confVersion(7);
    EXPECT_EQ(
        reply->description(),
        "\r{\r    tlvv2_p_0_r_confVersion: 7\r    tlvv2_p_1_o_appOfflinePushMsgList__b0x9i_VOPNWirePushMsg: (null)\r"
        "    tlvv2_p_2_o_timeUs: 0\r}\r");
    EXPECT_EQ(unregisterRequest()->description(),
              "\r{\r    tlvv2_p_0_r_unregInfo: \r    {\r        tlvv2_p_0_r_appInfo: \r        {\r"
              "            tlvv2_p_0_r_accessId: 2290150000\r            tlvv2_p_1_r_accessKey: "
              "0123456789abcdef0123456789abcdef\r"
              "            tlvv2_p_2_r_appCert: \r            tlvv2_p_3_o_keyEncrypted: 1\r        }\r\r"
              "        tlvv2_p_1_r_isUninstall: 1\r        tlvv2_p_2_o_timestamp: 1400000000\r    }\r\r"
              "    tlvv2_p_1_o_deviceType: 1\r}\r");
    EXPECT_EQ(makeRef<PNTlvObjectV2>()->description(), "\r{\r}\r");

    // A description made on another thread while this one is inside a record starts at level 0.
    static std::string inner;
    class Probe final : public PNTlvObjectV2 {
    public:
        static const ClassInfo* runtimeClass() {
            static const ClassInfo* cls =
                (PNTlvObjectV2::runtimeClass(),
                 ClassDef<Probe>("DescriptionProbe")
                     .superclass<PNTlvObjectV2>()
                     .property("tlvv2_p_0_o_probe", "@\"String\"", "&,N",
                               [](const Probe&) {
                                   std::thread([] { inner = makeRef<PNTlvObjectV2>()->description(); }).join();
                                   return Value("x");
                               })
                     .registerClass());
            return cls;
        }
        const ClassInfo* tlvClass() const override { return runtimeClass(); }
    };
    EXPECT_EQ(makeRef<Probe>()->description(), "\r{\r    tlvv2_p_0_o_probe: x\r}\r");
    EXPECT_EQ(inner, "\r{\r}\r");
}

TEST(TlvRecord, PropertyListSkipsReadOnlyPropertiesAndKeepsObjectEncodings) {
    class Holder final : public Object {
    public:
        std::int32_t headTag = 0;
        Value dataHolders;
    };
    const ClassInfo* cls = ClassDef<Holder>("TlvPropertyHolder")
                               .property("headTag", &Holder::headTag, "R,N")
                               .property("dataHolders", &Holder::dataHolders, "Data", "&,N")
                               .registerClass();
    EXPECT_EQ(PNTlvObject::tlvPropertiesWithEncodedTypes(cls),
              (std::vector<std::pair<std::string, std::string>>{{"dataHolders", "@\"Data\""}}));
}

TEST(TlvRecord, CodingArchivesTheBytesAndAnAbortedDecodeReadsAsNil) {
    const Bytes archive = KeyedArchiver::archivedDataWithRootObject(Value(tokenTagRequest(2)));
    const auto decoded = KeyedUnarchiver::unarchiveObjectWithData(archive).objectAs<PNWireTokenTagReq>();
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->toData(), tokenTagRequest(2)->toData());

    // A list holding a number where a record belongs encodes, but cannot be read back.
    auto broken = PNWirePushClickReq::object();
    broken->setTlv_msgClickList(Value::array({Value(5.5)}));
    LogCapture capture;
    const Bytes brokenArchive = KeyedArchiver::archivedDataWithRootObject(Value(broken));
    EXPECT_TRUE(KeyedUnarchiver::unarchiveObjectWithData(brokenArchive).isNil());
}

TEST(TlvRecord, PairsAndPropertyInfosDescribeThemselves) {
    EXPECT_EQ(PNTlvPair::pairWithValue(classNamed("Number"), classNamed("String"))->description(), "<String, Number>");
    EXPECT_EQ(makeRef<PNTlvPair>()->description(), "<(null), (null)>");
    const TlvFieldTable& table = PNTlvObjectV2::tlvPropsDescription(PNWireReconnectRsp::runtimeClass());
    EXPECT_EQ(table.find(1)->description(),
              "{\n    tag      : 1\n    required : 0\n    name     : tlv_appOfflinePushMsgList\n"
              "    type     : @\"Array\"\n    ext      : <(null), PNWirePushMsg>\n}\n");
    EXPECT_EQ(table.find(0)->compareWithTag(*table.find(1)), -1);
    EXPECT_EQ(PNTlvObjectV2::tlvRefObject(PNWireReconnectRsp::runtimeClass()),
              PNTlvObjectV2::tlvRefObject(PNWireReconnectRsp::runtimeClass()));
}

TEST(TlvRecord, EnumerationNamesStripAndAddTheEnumerationPrefix) {
    class ColorHelper final : public PNTlvEnumHelper {
    public:
        std::string helperName() const override { return "ColorHelper"; }
        std::optional<std::string> etos(std::int64_t v) const override {
            return v == 1 ? std::optional<std::string>("Color_Red") : std::nullopt;
        }
        std::int64_t stoe(std::string_view name) const override { return name == "Color_Red" ? 1 : -1; }
    };
    const ColorHelper colors;
    EXPECT_EQ(colors.eto_s(1), "Red");
    EXPECT_FALSE(colors.eto_s(2).has_value());
    EXPECT_EQ(colors._stoe("Red"), 1);
    const PNTlvEnumHelper base;
    EXPECT_EQ(base.stoe("anything"), std::numeric_limits<std::int64_t>::min());
    EXPECT_FALSE(base.eto_s(0).has_value());
}

}  // namespace
}  // namespace lv::test
