// The id-tracking record of the analytics log: a snapshot of each device identifier ("mc" the MAC
// address, "idfv" the vendor identifier, "oid" the DeviceUID) and a journal of its changes, kept under
// "tlyIDTracking" with a change counter per domain ("tly<domain>VersionNum").
//
// Threads: the functions keep no state; the record is owned by the log builder (main thread).
#pragma once

#include <array>
#include <functional>
#include <string>
#include <string_view>

#include "analytics/log_records.h"

namespace lv {

// The current identifier of a domain; "" when there is none.
using IdentifierSource = std::function<std::string(std::string_view domain)>;

// The domains, always handled in this order.
inline constexpr std::array<std::string_view, 3> kIdentityDomains{"mc", "idfv", "oid"};
// A domain whose counter reached this is no longer tracked.
inline constexpr std::int64_t kIdentityCounterLimit = 20;

// The device facts: the MAC address, the vendor identifier (all zeros count as none), the DeviceUID.
IdentifierSource defaultIdentifierSource();

// First run: a snapshot (version 1) and a journal entry per domain with an identifier, stored at once.
TPKIdTracking writeIdTracking(const IdentifierSource& identifiers);
// Start-up: the stored record (written first when none is stored) with today's journal entries and
// changed snapshots; raised counters are stored, the record itself is not.
TPKIdTracking buildIdTracking(const IdentifierSource& identifiers);
// After a successful upload: with snapshots, empties the journals and stores the record.
void saveIdTracking(TPKIdTracking& record);

}  // namespace lv
