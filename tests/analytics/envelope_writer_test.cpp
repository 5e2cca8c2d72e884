#include <gtest/gtest.h>

#include <cmath>
#include <zlib.h>

#include <filesystem>

#include "analytics/envelope_record.h"
#include "analytics/imprint.h"
#include "analytics/tally_app.h"
#include "analytics/tally_config.h"
#include "analytics/tally_envelope.h"
#include "analytics/tally_utility.h"
#include "analytics/tly_util.h"
#include "analytics/upload_protocol.h"
#include "platform/base/clock.h"
#include "platform/security/digest.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/json.h"
#include "upload_test_support.h"

namespace lv {
namespace {

using test::PackFixture;
namespace protocol = upload_protocol;

struct EncryptionGuard {
    EncryptionGuard(bool on) { TallyApp::sharedInstance()->setEncryptEnabledFlag(on); }
    ~EncryptionGuard() { TallyApp::sharedInstance()->setEncryptEnabledFlag(false); }
};

void storeCodex(std::optional<std::string> codex) {
    if (!codex) return;
    TPKImprintValue value;
    value.setValue(*codex);
    TPKImprint imprint;
    imprint.setProperty(std::map<std::string, TPKImprintValue>{{"codex", value}});
    imprint.setChecksum(imprintChecksum(imprint));
    storeImprint(imprint);
}

Bytes inflate(const Bytes& deflated, std::size_t length) {
    Bytes out(length + 16);
    uLongf size = out.size();
    EXPECT_EQ(uncompress(out.data(), &size, deflated.data(), deflated.size()), Z_OK);
    out.resize(size);
    return out;
}

bool isLowerHex(const std::string& text, std::size_t digits) {
    return text.size() == digits && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

TEST(EnvelopeWriter, EncryptionFollowsCodexThenTheSwitchAndTheBodyReadsBack) {
    struct Case {
        std::optional<std::string> codex;
        bool enabled;
        std::int32_t expected;
    } cases[] = {
        {"1", false, 1}, {"1", true, 1}, {"0", true, 0}, {"0", false, 0}, {std::nullopt, true, 1}, {std::nullopt, false, 0},
    };
    for (const auto& c : cases) {
        PackFixture f;
        EncryptionGuard encryption(c.enabled);
        TallyApp::sharedInstance()->setAppid("9f3b6c2a41e07d58b2c4a6e1");
        storeCodex(c.codex);
        f.engine->addEvent("s1", "newsTab", "ent");
        const auto bytes = TallyEnvelope::sharedInstance()->makeEnvelopeData(*f.pack);
        ASSERT_TRUE(bytes);
        const std::string label = c.codex.value_or("absent") + (c.enabled ? "/on" : "/off");
        const TLYEnvelope envelope = unpackBytes<TLYEnvelope>(*bytes);
        EXPECT_EQ(envelope.codex(), c.expected) << label;
        EXPECT_EQ(envelope.version(), "V1.0");
        EXPECT_EQ(envelope.address(), "9f3b6c2a41e07d58b2c4a6e1");
        EXPECT_TRUE(isLowerHex(*envelope.guid(), 64));
        const Bytes signature = *TallyEnvelope::sharedInstance()->signature();
        EXPECT_EQ(envelope.signature(), protocol::lowerHex(signature));
        EXPECT_EQ(envelope.checksum(), protocol::lowerHex(md5Digest(*envelope.entity()))) << label;

        Bytes body = *envelope.entity();
        if (c.expected == 1) body = *TallyUtility::AES128DecryptData(body, md5Digest(signature));
        const Bytes raw = inflate(body, static_cast<std::size_t>(envelope.length()));
        EXPECT_EQ(raw.size(), static_cast<std::size_t>(envelope.length())) << label;
        const TPKUALogEntry entry = TallyPack::fromData(raw);
        EXPECT_EQ((*(*entry.instant_msgs())[0].events())[0].name(), "newsTab") << label;
        ASSERT_TRUE(entry.activate_msg()) << label;  // sent in the envelope, then marked
        EXPECT_FALSE(f.pack->UALogEntry().activate_msgIsSet());
        EXPECT_EQ(*dataWithContentsOfFile(TallyEnvelope::sharedInstance()->lastEnvelopePath()), *bytes);
    }
}

TEST(EnvelopeWriter, SerialNumbersSignatureAndNamesAcrossEnvelopes) {
    PackFixture f;
    ScopedClock clock([] { return 1700000000.0; });
    std::vector<std::int32_t> serials;
    std::vector<std::string> names, guids;
    for (int i = 0; i < 3; ++i) {
        const TLYEnvelope envelope = unpackBytes<TLYEnvelope>(*TallyEnvelope::sharedInstance()->makeEnvelopeData(*f.pack));
        serials.push_back(envelope.serial_num());
        guids.push_back(*envelope.guid());
        names.push_back(std::filesystem::path(TallyEnvelope::sharedInstance()->lastEnvelopePath()).filename());
        EXPECT_EQ(envelope.ts_secs(), 1700000000);
    }
    EXPECT_EQ(serials, (std::vector<std::int32_t>{0, 1, 2}));
    // The same millisecond three times: each taken name moves on by one.
    EXPECT_EQ(names, (std::vector<std::string>{"1700000000000_envelope.log", "1700000000001_envelope.log",
                                               "1700000000002_envelope.log"}));
    EXPECT_NE(guids[0], guids[1]);
    EXPECT_EQ(TallyEnvelope::sharedInstance()->signature()->size(), 32u);
}

// ts_secs is 32 bits: the low 32 bits of the seconds, also past 2038 (where a plain cast is undefined).
TEST(EnvelopeWriter, TsSecsKeepsTheLow32BitsOfTheSecondsPast2038) {
    PackFixture f;
    const struct {
        double now;
        std::int32_t expected;
    } cases[] = {{2147483647.9, 2147483647}, {2147483648.0, -2147483647 - 1}, {4102444800.0, -192522496},
                 {-3599.5, -3600}};  // the second an instant before 1970 falls in
    for (const auto& c : cases) {
        ScopedClock clock([&] { return c.now; });
        const auto bytes = TallyEnvelope::sharedInstance()->makeEnvelopeData(*f.pack);
        ASSERT_TRUE(bytes);
        EXPECT_EQ(unpackBytes<TLYEnvelope>(*bytes).ts_secs(), c.expected) << c.now;
        EXPECT_EQ(static_cast<std::uint32_t>(unpackBytes<TLYEnvelope>(*bytes).ts_secs()),
                  static_cast<std::uint32_t>(static_cast<std::int64_t>(std::floor(c.now))));
    }
}

TEST(EnvelopeWriter, NothingIsMadeUnlessTheFileWasWritten) {
    PackFixture f;
    // The client folder's place is taken by a plain file: no envelope can be saved.
    const std::string folder = TallyUtility::tallyDirectory();
    std::filesystem::remove_all(folder);
    ASSERT_TRUE(writeToFile(std::string_view("x"), folder, false));
    EXPECT_FALSE(TallyEnvelope::sharedInstance()->makeEnvelopeData(*f.pack));
    EXPECT_TRUE(f.pack->UALogEntry().activate_msgIsSet());
    EXPECT_TRUE(TallyConfig::configureWithKey("tlyActivateMsg").isNil());
    EXPECT_EQ(TallyConfig::configureWithKey("tlySerialNum").intValue(), 1);  // the serial was spent

    // Over a cap there is no entity: no envelope, no serial.
    std::filesystem::remove(folder);
    f.pack->setSizeCaps({1, 1});
    EXPECT_FALSE(TallyEnvelope::sharedInstance()->makeEnvelopeData(*f.pack));
    EXPECT_EQ(TallyConfig::configureWithKey("tlySerialNum").intValue(), 1);
    EXPECT_TRUE(TallyUtility::envelopeFiles().empty());
}

TEST(EnvelopeWriter, TheExchangeFileIsRewrittenOnlyWhenItChanges) {
    PackFixture f;
    TallyApp::sharedInstance()->setAppid("key1");
    ASSERT_TRUE(TallyEnvelope::sharedInstance()->makeEnvelopeData(*f.pack));
    const std::string path = TallyUtility::exchangeIdentityPath();
    const Bytes signature = *TallyEnvelope::sharedInstance()->signature();
    const Value json = JSONSerialization::JSONObjectWithData(*dataWithContentsOfFile(path), 0, nullptr);
    EXPECT_EQ(json, Value::dictionary({{"appkey", "key1"},
                                       {"signature", protocol::lowerHex(signature)},
                                       {"checksum", TLYUtil::md5(protocol::lowerHex(std::span(signature).first(16)))}}));

    const auto inode = [&] { return std::filesystem::last_write_time(path); };
    std::filesystem::last_write_time(path, std::filesystem::file_time_type{});
    TallyEnvelope::sharedInstance()->checkExchangeData();
    EXPECT_EQ(inode(), std::filesystem::file_time_type{});  // same bytes: left alone

    TPKImprintValue tlyid;
    tlyid.setValue(std::string("T-1"));
    TPKImprint imprint;
    imprint.setProperty(std::map<std::string, TPKImprintValue>{{"tlyid", tlyid}});
    storeImprint(imprint);
    TallyEnvelope::sharedInstance()->checkExchangeData();
    EXPECT_NE(inode(), std::filesystem::file_time_type{});
    EXPECT_EQ(JSONSerialization::JSONObjectWithData(*dataWithContentsOfFile(path), 0, nullptr)["tlyid"], Value("T-1"));
    std::filesystem::remove(path);
    TallyEnvelope::sharedInstance()->checkExchangeData();
    EXPECT_TRUE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace lv
