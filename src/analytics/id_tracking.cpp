#include "analytics/id_tracking.h"

#include "analytics/tally_config.h"
#include "analytics/tly_util.h"
#include "platform/base/clock.h"
#include "platform/base/format.h"
#include "platform/base/log.h"

namespace lv {
namespace {

constexpr std::string_view kTrackingKey = "tlyIDTracking";
constexpr std::string_view kZeroVendorId = "00000000-0000-0000-0000-000000000000";

std::int64_t nowMilliseconds() { return static_cast<std::int64_t>(currentTimeSince1970() * 1000); }
std::string counterKey(std::string_view domain) { return format("tly%@VersionNum", std::string(domain)); }

void store(const TPKIdTracking& record) {
    TPKMemoryBuffer buffer;
    try {
        TPKBinaryProtocol protocol(buffer);
        record.write(protocol);
    } catch (const Exception& e) {
        log("Exception occurred: %@, %@", e.description(), Value(e.userInfo()));
    }
    TallyConfig::setConfigure(Value(buffer.takeBuffer()), kTrackingKey);
}

TPKIdJournal journal(std::string_view domain, const PackText& oldId, const std::string& newId, std::int64_t ts) {
    TPKIdJournal entry;
    entry.setDomain(std::string(domain));
    if (oldId) entry.setOld_id(oldId);
    entry.setNew_id(newId);
    entry.setTs(ts);
    return entry;
}

TPKIdSnapshot snapshot(const std::string& identity, std::int32_t version, std::int64_t ts) {
    TPKIdSnapshot entry;
    entry.setIdentity(identity);
    entry.setVersion(version);
    entry.setTs(ts);
    return entry;
}

}  // namespace

IdentifierSource defaultIdentifierSource() {
    return [](std::string_view domain) -> std::string {
        if (domain == "mc") return TLYUtil::deviceMacAddressString();
        if (domain == "idfv") {
            std::string idfv = TLYUtil::idfv();
            return idfv == kZeroVendorId ? std::string() : idfv;
        }
        if (domain == "oid") return TLYUtil::deviceUIDString();
        return {};
    };
}

TPKIdTracking writeIdTracking(const IdentifierSource& identifiers) {
    TPKIdTracking record;
    std::map<std::string, TPKIdSnapshot> snapshots;
    std::vector<TPKIdJournal> journals;
    for (std::string_view domain : kIdentityDomains) {
        const std::string identifier = identifiers(domain);
        if (identifier.empty()) continue;
        const std::int64_t ts = nowMilliseconds();
        snapshots.insert_or_assign(std::string(domain), snapshot(identifier, 1, ts));
        journals.push_back(journal(domain, std::nullopt, identifier, ts));
    }
    record.setSnapshots(std::move(snapshots));
    record.setJournals(std::move(journals));
    record.setChecksum(std::string("checksum"));
    store(record);
    return record;
}

TPKIdTracking buildIdTracking(const IdentifierSource& identifiers) {
    const Value stored = TallyConfig::configureWithKey(kTrackingKey);
    if (!stored.isData()) return writeIdTracking(identifiers);

    TPKIdTracking record;
    try {
        TPKMemoryBuffer buffer(stored.bytes());
        TPKBinaryProtocol protocol(buffer);
        record.read(protocol);
    } catch (const Exception& e) {
        log("Exception occurred: %@, %@", e.description(), Value(e.userInfo()));
    }
    std::map<std::string, TPKIdSnapshot> snapshots = record.snapshots().value_or(std::map<std::string, TPKIdSnapshot>{});
    std::vector<TPKIdJournal> journals;
    for (std::string_view domain : kIdentityDomains) {
        const std::string key = counterKey(domain);
        const Value counterValue = TallyConfig::configureWithKey(key);
        std::int64_t counter = counterValue.isNil() ? 0 : counterValue.longLongValue();
        if (counter == 0) counter = 1;
        if (counter >= kIdentityCounterLimit) continue;

        const std::string identifier = identifiers(domain);
        const std::int64_t ts = nowMilliseconds();
        const auto found = snapshots.find(std::string(domain));
        if (found == snapshots.end()) {
            if (identifier.empty()) continue;
            snapshots.insert_or_assign(std::string(domain), snapshot(identifier, static_cast<std::int32_t>(counter), ts));
            journals.push_back(journal(domain, std::nullopt, identifier, ts));
        } else if (!identifier.empty() && found->second.identity() != identifier) {
            TPKIdSnapshot& current = found->second;
            journals.push_back(journal(domain, current.identity(), identifier, ts));
            current.setIdentity(identifier);
            current.setVersion(current.version() + 1);
            current.setTs(ts);
            TallyConfig::setConfigure(Value(counter + 1), key);
        }
    }
    record.setSnapshots(std::move(snapshots));
    record.setJournals(std::move(journals));
    record.setChecksum(std::string("checksum"));
    return record;
}

void saveIdTracking(TPKIdTracking& record) {
    if (!record.snapshots() || record.snapshots()->empty()) return;
    record.setJournals(std::vector<TPKIdJournal>{});
    store(record);
}

}  // namespace lv
