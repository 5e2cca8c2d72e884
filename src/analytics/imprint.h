// The server's imprint and replies: the imprint checksum, the stored imprint ("tlyImprint") and its
// look-up, the reply check, the signature-derived draw and the experiment definition with its stored
// group ("tlyExperimentGroupInfo") and report-policy value ("tlyExperimentRPT").
//
// Threads: stateless; the stored items are replaced whole through the settings store. Applying an
// imprint belongs to the log builder's main thread (TallyPack::updateImprint).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "analytics/log_records.h"

namespace lv {

// A decoded reply: success when resp_code is 1; the imprint only when present and its checksum holds.
struct CheckedReply {
    bool readBack = false;  // the body is a response record with its resp_code: the service's own reply
    bool success = false;
    std::optional<TPKImprint> imprint;
};

// Reads the reply (a read exception is logged; a reply cut before resp_code fails).
CheckedReply checkReply(std::span<const std::uint8_t> body);

// Lower-case MD5 hex of key, value, ts and guid per entry, then the version: keys in localized
// case-insensitive order ("a_b" < "A-c" < "ab"); an entry without a value contributes key, ts and
// guid; a missing guid reads "(null)". The log-service stand-in signs its imprints with it too.
std::string imprintChecksum(const TPKImprint& imprint);
// NO without an imprint or its property map; else whether the checksum matches.
bool imprintChecksumHolds(const std::optional<TPKImprint>& imprint);

// The stored imprint; nothing when none is stored. A read exception is logged and the partly read
// record returned.
std::optional<TPKImprint> storedImprint();
void storeImprint(const TPKImprint& imprint);

// u / 2^20 where u is the first 5 hex digits of the 5 bytes at the index; 0.0 when the signature is
// shorter than index + 5.
float signatureDraw(std::span<const std::uint8_t> signature, std::size_t index);

// Applies an experiment definition, drawing with draw(index).
void applyExperiment(std::string_view text, const std::function<float(std::size_t)>& draw);

}  // namespace lv
