#include <gtest/gtest.h>

#include "analytics/analytics_log.h"
#include "analytics/imprint.h"
#include "analytics/tally_app.h"
#include "analytics/tally_config.h"
#include "analytics/tally_pack.h"
#include "analytics/upload_protocol.h"
#include "platform/base/log.h"
#include "platform/dispatch/run_loop.h"
#include "platform/security/digest.h"
#include "platform/text/locale.h"
#include "platform/ui/device.h"
#include "upload_test_support.h"

namespace lv {
namespace {

using test::PackFixture;
using ImprintMap = std::map<std::string, TPKImprintValue>;

TPKImprintValue entry(std::optional<std::string> value, std::int64_t ts = 1, PackText guid = std::string("g")) {
    TPKImprintValue v;
    if (value) v.setValue(*value);
    v.setTs(ts);
    if (guid) v.setGuid(guid);
    return v;
}

TPKImprint signedImprint(ImprintMap property, std::int32_t version = 1) {
    TPKImprint imprint;
    imprint.setProperty(std::move(property));
    imprint.setVersion(version);
    imprint.setChecksum(imprintChecksum(imprint));
    return imprint;
}

Bytes reply(std::optional<std::int32_t> code, std::optional<TPKImprint> imprint = std::nullopt) {
    TPKResponse response;
    if (code) response.setResp_code(*code);
    response.setMsg(std::string("ok"));
    if (imprint) response.setImprint(*imprint);
    return packBytes(response);
}

void setSignature(Bytes signature) { TallyConfig::setConfigure(Value(std::move(signature)), upload_protocol::kSignatureKey); }

TEST(Imprint, ChecksumOrdersKeysByLocalizedCaseInsensitiveCompare) {
    TPKImprint imprint;
    imprint.setProperty(ImprintMap{{"ab", entry("x", -5, std::string("g3"))},
                                   {"A-c", entry(std::nullopt, 20, std::nullopt)},
                                   {"a_b", entry("1", 10, std::string("g1"))}});
    imprint.setVersion(7);
    // "a_b" "1" "10" "g1" | "A-c" "20" "(null)" | "ab" "x" "-5" "g3" | "7"
    EXPECT_EQ(TallyPack::generateImprintChecksum(imprint), "885972d10a664bf25941798f214770a6");
    EXPECT_FALSE(TallyPack::validateImprintChecksum(imprint));
    imprint.setChecksum(std::string("885972d10a664bf25941798f214770a6"));
    EXPECT_TRUE(TallyPack::validateImprintChecksum(imprint));
    TPKImprint bare;  // no property map
    bare.setChecksum(TallyPack::generateImprintChecksum(bare));
    EXPECT_FALSE(TallyPack::validateImprintChecksum(bare));
    EXPECT_FALSE(TallyPack::validateImprintChecksum(std::nullopt));
}

// The server's checksum cannot follow the device's language: on da, nb, cs and sk devices "aa" and
// "ch" sort elsewhere in the language's own collation.
TEST(Imprint, TheChecksumOrderDoesNotDependOnTheDevicesLanguage) {
    const TPKImprint imprint = [] {
        TPKImprint made;
        made.setProperty(ImprintMap{{"z", entry("4")}, {"aa", entry("1")}, {"h", entry("3")}, {"Ch", entry("2")}});
        made.setVersion(2);
        return made;
    }();
    const std::string expected = upload_protocol::lowerHex(md5Digest("aa11gCh21gh31gz41g2"));
    for (const char* locale : {"en_US", "da_DK", "nb_NO", "cs_CZ", "sk_SK", "tr_TR", "lt_LT"}) {
        Locale::setCurrent(Locale(locale));
        EXPECT_EQ(imprintChecksum(imprint), expected) << locale;
    }
    Locale::setCurrent(std::nullopt);
}

TEST(Imprint, RepliesSucceedOnCodeOneAndApplyOnlyAValidImprintOnTheMainQueue) {
    TPKImprint forged = signedImprint({{"report_policy", entry("6")}});
    forged.setChecksum(std::string("0"));
    const Bytes full = reply(1, signedImprint({{"report_policy", entry("6")}}));
    struct Case {
        std::string name;
        Bytes body;
        bool success, stored;
    } cases[] = {
        {"code 1, no imprint", reply(1), true, false},
        {"code 0 with imprint", reply(0, signedImprint({{"a", entry("1")}})), false, false},
        {"no code", reply(std::nullopt), false, false},
        {"forged imprint", reply(1, forged), true, false},
        {"cut before the code", Bytes{0x0b, 0x00}, false, false},
        {"good imprint", full, true, true},
        {"cut inside the imprint", Bytes(full.begin(), full.end() - 4), true, false},
    };
    for (const auto& c : cases) {
        PackFixture f;
        LogCapture capture;
        EXPECT_EQ(f.pack->verifyResponseData(c.body), c.success) << c.name;
        EXPECT_TRUE(TallyConfig::configureWithKey("tlyImprint").isNil()) << c.name;  // not on this call
        test::drainMain();
        EXPECT_EQ(TallyPack::imprintPropertyValueWithKey("report_policy") == "6", c.stored) << c.name;
    }
}

TEST(Imprint, DefconValuesSetTheLevelAndStoredText) {
    struct Case {
        std::optional<std::string> value;
        std::int32_t level;
        Value stored;
    } cases[] = {{"2", 2, Value("2")}, {"7", 0, Value("0")}, {"-1", 0, Value("0")}, {std::nullopt, 0, Value()}};
    for (const auto& c : cases) {
        PackFixture f;
        f.engine->level = 3;
        TallyConfig::setConfigure(Value("3"), "tlyDefcon");
        f.pack->updateImprint(signedImprint({{"defcon", entry(c.value)}}));
        EXPECT_EQ(f.engine->level, c.level) << c.value.value_or("none");
        EXPECT_EQ(TallyConfig::configureWithKey("tlyDefcon"), c.stored) << c.value.value_or("none");
    }
}

TEST(Imprint, MergeReplacesDeletesKeepsAndSignsTheStoredImprint) {
    PackFixture f;
    f.pack->updateImprint(signedImprint({{"codex", entry("1")}, {"tlyid", entry("abc")}, {"latent", entry("5")}}));
    f.engine->level = 2;
    f.pack->updateImprint(signedImprint({{"codex", entry("0", 9, std::string("g9"))}, {"latent", entry(std::nullopt)}}, 4));
    EXPECT_EQ(f.engine->level, 2);  // no "defcon": unchanged
    const auto stored = storedImprint();
    ASSERT_TRUE(stored && stored->property());
    EXPECT_EQ(stored->property()->size(), 2u);
    EXPECT_EQ(stored->property()->at("codex"), entry("0", 9, std::string("g9")));
    EXPECT_EQ(stored->property()->at("tlyid").value(), "abc");
    EXPECT_EQ(stored->version(), 4);
    EXPECT_TRUE(TallyPack::validateImprintChecksum(stored));

    // "report_interval" applies the send interval again.
    TallyApp::sharedInstance()->setLogSendInterval(1);
    f.pack->updateImprint(signedImprint({{"report_interval", entry("3600")}}));
    EXPECT_EQ(TallyApp::sharedInstance()->logSendInterval(), 3600);
}

TEST(Experiments, SignatureDrawsReadFiveHexDigitsAndNeedFiveBytes) {
    Bytes signature(32, 0);
    for (std::size_t i = 0; i < 5; ++i) signature[i] = static_cast<std::uint8_t>(0x12 + 0x22 * i);  // 12 34 56 78 9a
    signature[27] = 0xff;
    signature[28] = 0xff;
    signature[29] = 0xf0;
    struct Case {
        std::size_t size, index;
        float draw;
    } cases[] = {
        {32, 0, 0x12345 / 1048576.0f}, {32, 27, 0xfffff / 1048576.0f}, {32, 28, 0.0f}, {16, 12, 0.0f}, {0, 0, 0.0f},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(signatureDraw(std::span(signature).first(c.size), c.index), c.draw) << c.size << " " << c.index;
    }
}

TEST(Experiments, DefinitionsChooseGroupsAndValues) {
    struct Case {
        std::string name, definition;
        std::uint8_t byte6, byte12;  // first draw bytes of the signature
        bool signature;
        Value group, rpt;
        std::string message;
    } cases[] = {
        {"FIXED below threshold", "FIXED|2|SIG13|0.5|RPT|3,6", 0, 0x7f, true, Value(2), Value(6), ""},
        {"FIXED at threshold", "FIXED|2|SIG13|0.5|RPT|3,6", 0, 0x80, true, Value(), Value(), ""},
        {"SIG7 without a test", "SIG7|0.5,0.5|NONE|0.5|RPT|1,2", 0x90, 0, true, Value(), Value(), ""},
        {"no signature draws 0", "SIG7|0,1|SIG13|0.5|RPT|4,8", 0, 0, false, Value(2), Value(8), ""},
        {"FIXED out of range", "FIXED|3|SIG13|1|RPT|3,6", 0, 0, true, Value(), Value(), ""},
        {"FIXED with a list", "FIXED|1,2,3|SIG13|1|RPT|3,6", 0, 0, true, Value(), Value(), "ERROR: unknow experiment group key"},
        {"SIG7 lengths differ", "SIG7|1|SIG13|1|RPT|3,6", 0, 0, true, Value(), Value(), "ERROR: unknow experiment group key"},
        {"other test key", "FIXED|1|SIG13|1|XYZ|3,6", 0, 0, true, Value(1), Value(5), "ERROR: unknow experiment test key"},
        {"five fields", "FIXED|1|SIG13|1|RPT", 0, 0, true, Value(1), Value(5), "ERROR: experiment params invalid."},
        {"blank", "  ", 0, 0, true, Value(1), Value(5), ""},
    };
    for (const auto& c : cases) {
        PackFixture f;
        setAnalyticsLogEnabled(true);
        LogCapture capture;
        Bytes signature(32, 0);
        signature[6] = c.byte6;
        signature[12] = c.byte12;
        if (c.signature) setSignature(signature);
        TallyConfig::setConfigure(Value::dictionary({{"RPT", 1}}), "tlyExperimentGroupInfo");
        TallyConfig::setConfigure(Value(5), "tlyExperimentRPT");
        f.pack->configureExperimentWithString(c.definition);
        EXPECT_EQ(TallyConfig::configureWithKey("tlyExperimentGroupInfo")["RPT"], c.group) << c.name;
        EXPECT_EQ(TallyConfig::configureWithKey("tlyExperimentRPT"), c.rpt) << c.name;
        if (!c.message.empty()) {
            EXPECT_TRUE(capture.contains(c.message)) << c.name;
        }
        setAnalyticsLogEnabled(false);
    }
}

TEST(Experiments, ClientTestInTheImprintRunsOrClearsTheExperiment) {
    PackFixture f;
    f.pack->updateImprint(signedImprint({{"client_test", entry("FIXED|1|SIG13|1|RPT|6")}}));
    EXPECT_EQ(TallyConfig::configureWithKey("tlyExperimentRPT"), Value(6));
    EXPECT_EQ(TallyApp::sharedInstance()->reportPolicy(), 6);
    f.pack->updateImprint(signedImprint({{"client_test", entry(std::nullopt)}}));
    EXPECT_TRUE(TallyConfig::configureWithKey("tlyExperimentRPT").isNil());
    EXPECT_TRUE(TallyConfig::configureWithKey("tlyExperimentGroupInfo").isNil());
    // In integrated test mode the experiment is not run.
    f.pack->updateImprint(signedImprint({{"integrated_test", entry("1")}, {"client_test", entry("FIXED|1|SIG13|1|RPT|6")}}));
    EXPECT_TRUE(TallyConfig::configureWithKey("tlyExperimentRPT").isNil());
}

// A reply naming the experiment or one of the intervals applies the send interval again; another key
// leaves it, and in integrated test mode only "report_interval" counts.
TEST(Imprint, KeysThatNameTheSendIntervalApplyItAgain) {
    struct Case {
        const char* name;
        ImprintMap property;
        double interval;
    } cases[] = {
        {"client_test", {{"client_test", entry(std::nullopt)}}, 300},
        {"test_report_interval", {{"test_report_interval", entry("100")}}, 300},
        {"report_interval", {{"report_interval", entry("200")}}, 200},
        {"another key", {{"other", entry("1")}}, 500},
        {"integrated test mode", {{"integrated_test", entry("1")}, {"test_report_interval", entry("100")}}, 500},
    };
    for (const auto& c : cases) {
        PackFixture f;
        TallyConfig::setConfigure(Value(300.0), "tlycReportInterval");
        TallyApp::sharedInstance()->setLogSendInterval(500);
        f.pack->updateImprint(signedImprint(c.property));
        EXPECT_EQ(TallyApp::sharedInstance()->logSendInterval(), c.interval) << c.name;
    }
}

TEST(IdTracking, JournalsFollowIdentifierChangesAcrossProcesses) {
    PackFixture f;
    auto journalOf = [](const TallyPack& pack) {
        std::vector<std::tuple<std::string, std::string, std::string>> got;
        for (const auto& j : pack.idTracking().journals().value_or(std::vector<TPKIdJournal>{})) {
            got.emplace_back(*j.domain(), j.old_id().value_or("-"), *j.new_id());
        }
        return got;
    };
    using Journal = std::vector<std::tuple<std::string, std::string, std::string>>;
    const std::string oid = f.ids["oid"];
    EXPECT_EQ(journalOf(*f.pack), (Journal{{"mc", "-", "02:00:00:00:00:00"}, {"oid", "-", oid}}));
    EXPECT_EQ(f.pack->idTracking().snapshots()->at("mc").version(), 1);
    EXPECT_EQ(f.pack->idTracking().checksum(), "checksum");
    EXPECT_EQ(f.build().id_tracking(), f.pack->idTracking());
    ASSERT_TRUE(TallyConfig::configureWithKey("tlyIDTracking").isData());  // stored at once

    // A new process: nothing changed, nothing journalled.
    f.restart();
    EXPECT_TRUE(journalOf(*f.pack).empty());

    // A changed MAC in a new process (uploads keep failing, so it is journalled again next time).
    f.ids["mc"] = "0a:0b:0c:0d:0e:0f";
    for (int process = 0; process < 2; ++process) {
        f.restart();
        EXPECT_EQ(journalOf(*f.pack), (Journal{{"mc", "02:00:00:00:00:00", "0a:0b:0c:0d:0e:0f"}})) << process;
        EXPECT_EQ(TallyConfig::configureWithKey("tlymcVersionNum").intValue(), 2 + process);
        EXPECT_EQ(f.pack->idTracking().snapshots()->at("mc").version(), 2);
    }

    // A new vendor identifier is snapshotted at the domain's counter; the save after an upload
    // empties the journals for good.
    f.ids["idfv"] = "6F1C2A4B-0000-4000-8000-00000000ABCD";
    TallyConfig::setConfigure(Value(4), "tlyidfvVersionNum");
    f.restart();
    EXPECT_EQ(f.pack->idTracking().snapshots()->at("idfv").version(), 4);
    f.pack->saveIdTracking();
    EXPECT_TRUE(f.build().id_tracking()->journals()->empty());
    f.restart();
    EXPECT_TRUE(journalOf(*f.pack).empty());

    // A domain whose counter reached 20 is no longer tracked.
    TallyConfig::setConfigure(Value(20), "tlymcVersionNum");
    f.ids["mc"] = "11:22:33:44:55:66";
    f.restart();
    EXPECT_TRUE(journalOf(*f.pack).empty());
    EXPECT_EQ(f.pack->idTracking().snapshots()->at("mc").identity(), "0a:0b:0c:0d:0e:0f");
}

TEST(IdTracking, TheDeviceSourceTreatsAnAllZeroVendorIdAsNone) {
    test::ScopedAnalyticsSandbox sandbox;
    const DeviceFacts saved = DeviceFacts::current();
    DeviceFacts facts = saved;
    const IdentifierSource source = defaultIdentifierSource();
    facts.vendorIdentifier = "00000000-0000-0000-0000-000000000000";
    DeviceFacts::set(facts);
    EXPECT_EQ(source("idfv"), "");
    const TPKIdTracking record = writeIdTracking(source);
    EXPECT_FALSE(record.snapshots()->contains("idfv"));
    EXPECT_EQ(record.journals()->size(), 2u);
    facts.vendorIdentifier = "6F1C2A4B-0000-4000-8000-00000000ABCD";
    DeviceFacts::set(facts);
    EXPECT_EQ(source("idfv"), "6F1C2A4B-0000-4000-8000-00000000ABCD");
    EXPECT_EQ(source("mc"), "02:00:00:00:00:00");
    DeviceFacts::set(saved);
}

}  // namespace
}  // namespace lv
