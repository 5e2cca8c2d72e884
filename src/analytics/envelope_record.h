// The envelope: the outer record of every analytics upload, written with the Pack protocol. It
// carries the sender's identity, a serial number, a time, checksums and the deflated (possibly
// encrypted) log entry as binary field 7. Keyed archiving stores each set field under its own name.
// Thread rule: one thread uses an envelope at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "analytics/detail/pack_record.h"
#include "platform/base/object.h"
#include "platform/storage/keyed_archive.h"

namespace lv {

class ClassInfo;

class TLYEnvelope : public Object, public Coding, public PackStruct<TLYEnvelope> {
    LV_PACK_RECORD_TABLE(TLYEnvelope)
    LV_PACK_FIELD(PackText, version, Version)
    LV_PACK_FIELD(PackText, address, Address)
    LV_PACK_FIELD(PackText, signature, Signature)
    LV_PACK_FIELD(std::int32_t, serial_num, Serial_num)
    LV_PACK_FIELD(std::int32_t, ts_secs, Ts_secs)
    LV_PACK_FIELD(std::int32_t, length, Length)
    LV_PACK_FIELD(std::optional<Bytes>, entity, Entity)
    LV_PACK_FIELD(PackText, guid, Guid)
    LV_PACK_FIELD(PackText, checksum, Checksum)
    LV_PACK_FIELD(std::int32_t, codex, Codex)

public:
    // All fields unset.
    TLYEnvelope();
    // All ten fields stored and marked set, also those given nothing.
    TLYEnvelope(PackText version, PackText address, PackText signature, std::int32_t serial_num,
                std::int32_t ts_secs, std::int32_t length, std::optional<Bytes> entity, PackText guid,
                PackText checksum, std::int32_t codex);
    // A copy holds the same fields (and is a new object).
    TLYEnvelope(const TLYEnvelope& other);
    TLYEnvelope& operator=(const TLYEnvelope& other);
    static const ClassInfo* runtimeClass();

    // Raises TProtocolException "Required field '<name>' is not set." for the first of the nine
    // required fields (all but codex) that is not set.
    void validate() const;

    void encodeWithCoder(Coder& coder) const override;
    bool initWithCoder(Coder& coder) override;

    // "TLYEnvelope(version:\"…\",address:\"…\",…,codex:N)", every field whether set or not.
    std::string description() const override;
    bool isEqual(const Object& other) const override;
    std::size_t hash() const override;
};

}  // namespace lv
