#include <gtest/gtest.h>

#include "analytics/envelope_record.h"
#include "analytics/pack_cases.h"
#include "platform/storage/keyed_archive.h"

namespace lv {
namespace {

using test::hexBytes;

constexpr const char* kTenFields =
    "0B 00 01 00 00 00 04 x V x 1 x . x 0 | 0B 00 02 00 00 00 01 x k | 0B 00 03 00 00 00 01 x s |"
    "08 00 04 00 00 00 07 | 08 00 05 00 00 03 E8 | 08 00 06 00 00 00 03 | 0B 00 07 00 00 00 02 01 02 |"
    "0B 00 08 00 00 00 01 x g | 0B 00 09 00 00 00 01 x c | 08 00 0A 00 00 00 01 | 00";

TEST(EnvelopeRecord, TenFieldsInIdOrder) {
    TLYEnvelope envelope = test::tenFieldEnvelope();
    EXPECT_EQ(packBytes(envelope), hexBytes(kTenFields));
    EXPECT_TRUE(unpackBytes<TLYEnvelope>(hexBytes(kTenFields)).isEqual(envelope));
}

TEST(EnvelopeRecord, EntitySetToNothingIsNotWritten) {
    TLYEnvelope envelope = test::tenFieldEnvelope();
    envelope.setEntity(std::nullopt);
    EXPECT_TRUE(envelope.entityIsSet());
    std::string hex = kTenFields;
    hex.erase(hex.find("0B 00 07"), std::string("0B 00 07 00 00 00 02 01 02 |").size());
    EXPECT_EQ(packBytes(envelope), hexBytes(hex));
}

TEST(EnvelopeRecord, ReaderSkipsMistypedAndUnknownFields) {
    auto mistyped = unpackBytes<TLYEnvelope>(hexBytes("0B 00 06 00 00 00 02 x x x y | 08 00 04 00 00 00 09 | 00"));
    EXPECT_FALSE(mistyped.lengthIsSet());
    EXPECT_EQ(mistyped.serial_num(), 9);

    const char* unknownValues[] = {
        "02 00 0B 01",
        "03 00 0B 7F",
        "04 00 0B 3F F0 00 00 00 00 00 00",
        "06 00 0B 00 01",
        "08 00 0B 00 00 00 01",
        "0A 00 0B 00 00 00 00 00 00 00 01",
        "0B 00 0B 00 00 00 02 x h x i",
        "0C 00 0B 08 00 01 00 00 00 01 00",
        "0D 00 0B 0B 08 00 00 00 01 00 00 00 01 x k 00 00 00 02",
        "0E 00 0B 03 00 00 00 02 01 02",
        "0F 00 0B 0B 00 00 00 01 00 00 00 00",
    };
    for (const char* unknown : unknownValues) {
        auto envelope = unpackBytes<TLYEnvelope>(hexBytes(std::string(unknown) + " | 08 00 04 00 00 00 09 | 00"));
        EXPECT_EQ(envelope.serial_num(), 9) << unknown;
        EXPECT_TRUE(envelope.serial_numIsSet()) << unknown;
    }
}

TEST(EnvelopeRecord, ValidateNamesTheFirstMissingField) {
    const char* names[] = {"version", "address", "signature", "serial_num", "ts_secs",
                           "length", "entity", "guid", "checksum"};
    TLYEnvelope envelope = test::tenFieldEnvelope();
    envelope.unsetCodex();
    EXPECT_NO_THROW(envelope.validate());
    using Unset = void (TLYEnvelope::*)();
    Unset unsets[] = {&TLYEnvelope::unsetVersion, &TLYEnvelope::unsetAddress, &TLYEnvelope::unsetSignature,
                      &TLYEnvelope::unsetSerial_num, &TLYEnvelope::unsetTs_secs, &TLYEnvelope::unsetLength,
                      &TLYEnvelope::unsetEntity, &TLYEnvelope::unsetGuid, &TLYEnvelope::unsetChecksum};
    // Unsetting from the last field backwards: each time the newly unset field is named first.
    for (int i = 8; i >= 0; --i) {
        (envelope.*unsets[i])();
        try {
            envelope.validate();
            FAIL() << names[i];
        } catch (const TPKProtocolException& e) {
            EXPECT_EQ(e.description(), std::string("TProtocolException: Required field '") + names[i] + "' is not set.");
        }
    }
}

TEST(EnvelopeRecord, ArchiveKeepsExactlyTheSetFields) {
    auto envelope = makeRef<TLYEnvelope>(test::tenFieldEnvelope());
    envelope->unsetGuid();
    envelope->unsetCodex();
    envelope->setChecksum(std::nullopt);
    Bytes archive = KeyedArchiver::archivedDataWithRootObject(Value(envelope));
    KeyedUnarchiver unarchiver(archive);
    auto back = unarchiver.decodeObject("root").objectAs<TLYEnvelope>();
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->isEqual(*envelope));
    EXPECT_FALSE(back->guidIsSet());
    EXPECT_FALSE(back->codexIsSet());
    EXPECT_TRUE(back->checksumIsSet());
}

TEST(EnvelopeRecord, Description) {
    TLYEnvelope envelope = test::tenFieldEnvelope();
    envelope.unsetGuid();
    EXPECT_EQ(envelope.description(),
              "TLYEnvelope(version:\"V1.0\",address:\"k\",signature:\"s\",serial_num:7,ts_secs:1000,length:3,"
              "entity:\"<0102>\",guid:\"(null)\",checksum:\"c\",codex:1)");
}

}  // namespace
}  // namespace lv
