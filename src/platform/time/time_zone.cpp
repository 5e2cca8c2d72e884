#include "platform/time/time_zone.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <map>
#include <mutex>
#include <string>

#include <unicode/rbtz.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/tzrule.h>

#include "platform/base/lifetime.h"
#include "platform/text/detail/icu_util.h"
#include "platform/time/detail/icu_time.h"

namespace lv {

namespace {

using text::detail::fromIcu;
using text::detail::toIcu;

const std::map<std::string, std::string, std::less<>>& abbreviationMap() {
    static const auto* table = new std::map<std::string, std::string, std::less<>>{
        {"ADT", "America/Halifax"},      {"AKDT", "America/Juneau"},     {"AKST", "America/Juneau"},
        {"ART", "America/Argentina/Buenos_Aires"},                       {"AST", "America/Halifax"},
        {"BDT", "Asia/Dhaka"},           {"BRST", "America/Sao_Paulo"},  {"BRT", "America/Sao_Paulo"},
        {"BST", "Europe/London"},        {"CAT", "Africa/Harare"},       {"CDT", "America/Chicago"},
        {"CEST", "Europe/Paris"},        {"CET", "Europe/Paris"},        {"CLST", "America/Santiago"},
        {"CLT", "America/Santiago"},     {"COT", "America/Bogota"},      {"CST", "America/Chicago"},
        {"EAT", "Africa/Addis_Ababa"},   {"EDT", "America/New_York"},    {"EEST", "Europe/Istanbul"},
        {"EET", "Europe/Istanbul"},      {"EST", "America/New_York"},    {"GMT", "GMT"},
        {"GST", "Asia/Dubai"},           {"HKT", "Asia/Hong_Kong"},      {"HST", "Pacific/Honolulu"},
        {"ICT", "Asia/Bangkok"},         {"IRST", "Asia/Tehran"},        {"IST", "Asia/Calcutta"},
        {"JST", "Asia/Tokyo"},           {"KST", "Asia/Seoul"},          {"MDT", "America/Denver"},
        {"MSD", "Europe/Moscow"},        {"MSK", "Europe/Moscow"},       {"MST", "America/Denver"},
        {"NZDT", "Pacific/Auckland"},    {"NZST", "Pacific/Auckland"},   {"PDT", "America/Los_Angeles"},
        {"PET", "America/Lima"},         {"PHT", "Asia/Manila"},         {"PKT", "Asia/Karachi"},
        {"PST", "America/Los_Angeles"},  {"SGT", "Asia/Singapore"},      {"UTC", "UTC"},
        {"WAT", "Africa/Lagos"},         {"WEST", "Europe/Lisbon"},      {"WET", "Europe/Lisbon"},
        {"WIT", "Asia/Jakarta"},
    };
    return *table;
}

// True when ICU knows the identifier (a tz name, a legacy alias or a custom "GMT±hh[:]mm").
bool icuKnows(std::string_view id) {
    if (id.empty() || id.size() > 64) return false;
    std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createTimeZone(toIcu(id)));
    if (!zone) return false;
    icu::UnicodeString resolved;
    zone->getID(resolved);
    return resolved != icu::UnicodeString(u"Etc/Unknown");
}

// True when the identifier is a zone of the tz database as ICU knows it (a name or a legacy alias), not
// a custom "GMT±hh[:]mm", whose sign is the opposite of the same text in TZ.
bool icuKnowsSystemZone(std::string_view id) {
    if (id.empty() || id.size() > 64) return false;
    icu::UnicodeString canonical;
    UBool isSystemID = false;
    UErrorCode status = U_ZERO_ERROR;
    icu::TimeZone::getCanonicalID(toIcu(id), canonical, isSystemID, status);
    return U_SUCCESS(status) && isSystemID && canonical != icu::UnicodeString(u"Etc/Unknown");
}

// Zones made from the C library's reading of TZ, by ICU identifier ("TZ=" and TZ's text), kept for the
// process: any thread's icuZone finds them. Bounded: past the bound a zone keeps its current offset only.
constexpr std::string_view kCLibraryPrefix = "TZ=";
constexpr std::size_t kMostCLibraryZones = 64;

struct CLibraryZones {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<const icu::TimeZone>, std::less<>> zones;
};

CLibraryZones& cLibraryZones() {
    static auto* zones = new CLibraryZones();  // never destroyed: threads may ask while the process exits
    return *zones;
}

// Detection of the host zone and the C library's reading both run tzset, and read its globals: one
// thread at a time.
std::mutex& tzsetMutex() {
    static auto* mutex = new std::mutex();
    return *mutex;
}

struct Reading {
    long offset = 0;  // seconds east of GMT
    bool dst = false;
    bool operator==(const Reading&) const = default;
};

Reading cReading(std::time_t at) {
    struct tm fields {};
    if (!::localtime_r(&at, &fields)) return {};
    return {fields.tm_gmtoff, fields.tm_isdst > 0};
}

// A zone's name and ICU identifier.
using ZoneIDs = std::pair<std::string, std::string>;

ZoneIDs fixedZone(long offset) {
    const TimeZone zone = TimeZone::forSecondsFromGMT(static_cast<int>(offset));
    return {zone.name(), zone.icuID()};
}

// The device zone as the C library reads TZ (a POSIX rule such as "EST5EDT,M3.2.0,M11.1.0", "JST-9",
// "<+0545>-5:45", or a zone file ICU does not know): its offsets from 1900 to 2100, found by stepping a
// week at a time and narrowing each change to the second, as ICU rules. A zone without changes is the
// fixed offset ("GMT+0900"); else its name is TZ's text. After 2100, standard time of the last year holds.
ZoneIDs zoneFromCLibrary(const std::string& tz) {
    constexpr std::time_t kFrom = -2208988800;  // 1900-01-01
    constexpr std::time_t kTo = 4133980800;     // 2101-01-01
    constexpr std::time_t kStep = 7 * 86400;
    const std::string icuID = std::string(kCLibraryPrefix) + tz;
    CLibraryZones& made = cLibraryZones();
    {
        std::lock_guard lock(made.mutex);
        if (made.zones.contains(icuID)) return {tz, icuID};
    }
    std::vector<std::pair<std::time_t, Reading>> changes;
    Reading first;
    Reading now;  // the current offset, kept when the rules cannot be
    long standard = 0;
    bool readsThisText = false;  // the C library read this TZ text, not one set since it was taken
    {
        std::lock_guard lock(tzsetMutex());
        ::tzset();
        const char* text = std::getenv("TZ");
        readsThisText = text && tz == text;
        standard = -::timezone;
        first = cReading(kFrom);
        now = cReading(std::time(nullptr));
        Reading current = first;
        for (std::time_t at = kFrom; at < kTo;) {
            const std::time_t next = std::min(at + kStep, kTo);
            if (cReading(next) == current) {
                at = next;
                continue;
            }
            std::time_t low = at;
            std::time_t high = next;
            while (high - low > 1) {
                const std::time_t middle = low + (high - low) / 2;
                (cReading(middle) == current ? low : high) = middle;
            }
            current = cReading(high);
            changes.emplace_back(high, current);
            at = high;
        }
    }
    // TZ changed while its text was being read: this reading is of another text and is not kept.
    if (!readsThisText) return fixedZone(now.offset);
    // The last years end in standard time.
    while (!changes.empty() && changes.back().second.dst) changes.pop_back();
    if (changes.empty()) return fixedZone(first.offset);
    // ICU splits an offset into standard and daylight saving parts (milliseconds): a daylight reading's
    // standard part is that of the standard reading before it.
    using Parts = std::pair<std::int32_t, std::int32_t>;
    const auto parts = [&standard](const Reading& reading) {
        const auto millis = [](long seconds) { return static_cast<std::int32_t>(seconds * 1000); };
        if (!reading.dst || reading.offset <= standard) return Parts(millis(reading.offset), 0);
        return Parts(millis(standard), millis(reading.offset - standard));
    };
    if (!first.dst) standard = first.offset;
    const Parts initial = parts(first);
    auto zone = std::make_unique<icu::RuleBasedTimeZone>(
        toIcu(icuID), new icu::InitialTimeZoneRule(u"initial", initial.first, initial.second));
    std::map<Parts, std::vector<UDate>> times;
    for (const auto& [at, reading] : changes) {
        if (!reading.dst) standard = reading.offset;
        times[parts(reading)].push_back(static_cast<UDate>(at) * 1000.0);
    }
    UErrorCode status = U_ZERO_ERROR;
    for (const auto& [offsets, starts] : times) {
        zone->addTransitionRule(new icu::TimeArrayTimeZoneRule(offsets.second ? u"daylight" : u"standard", offsets.first,
                                                               offsets.second, starts.data(), static_cast<int32_t>(starts.size()),
                                                               icu::DateTimeRule::UTC_TIME),
                                status);
    }
    zone->complete(status);
    if (U_FAILURE(status)) return fixedZone(now.offset);
    std::lock_guard lock(made.mutex);
    if (made.zones.size() >= kMostCLibraryZones) return fixedZone(now.offset);
    made.zones.emplace(icuID, std::move(zone));
    return {tz, icuID};
}

struct DefaultZone {
    std::mutex mutex;
    std::optional<TimeZone> zone;
};

// Bumped whenever the default zone may answer differently: a zone set or restored, and every new
// detection of the device's zone. Threads that keep the default zone compare it at each read.
std::atomic<std::uint64_t> zonesGeneration{1};

// Monotonic nanoseconds, from the clock that is cheapest to read (a few milliseconds coarse, which the
// one-second look at the zone file does not mind).
std::int64_t monotonicNanos() {
    struct timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// When the host's zone file is next to be looked at (monotonicNanos); 0 before the first look.
std::atomic<std::int64_t> zoneFileCheckDue{0};

DefaultZone& defaultZone() {
    static auto* d = new DefaultZone();
    return *d;
}

}  // namespace

TimeZone::TimeZone() : name_("GMT"), icuID_("GMT") {}

std::optional<TimeZone> TimeZone::withAbbreviation(std::string_view abbreviation) {
    const auto& table = abbreviationMap();
    const auto it = table.find(abbreviation);
    if (it == table.end()) return std::nullopt;
    return TimeZone(it->second, it->second);
}

std::optional<TimeZone> TimeZone::named(std::string_view name) {
    if (auto byAbbreviation = withAbbreviation(name)) return byAbbreviation;
    if (!icuKnows(name)) return std::nullopt;
    return TimeZone(std::string(name), std::string(name));
}

TimeZone TimeZone::forSecondsFromGMT(int seconds) {
    if (seconds / 60 == 0) return TimeZone("GMT", "GMT");
    const char sign = seconds < 0 ? '-' : '+';
    const int minutes = (seconds < 0 ? -seconds : seconds) / 60;
    char name[16];
    char id[16];
    std::snprintf(name, sizeof name, "GMT%c%02d%02d", sign, minutes / 60 % 100, minutes % 60);
    std::snprintf(id, sizeof id, "GMT%c%02d:%02d", sign, minutes / 60 % 100, minutes % 60);
    return TimeZone(name, id);
}

namespace {

// What the device zone is read from: TZ, and the identity of the host's zone file (the link and the
// file it names). A change of TZ is seen at the next call; the file, which only an administrator
// changes, is looked at again at most once per kZoneFileCheckInterval (date formatters ask at every
// call, and two file lookups per date read were a real share of reading a reply's dates).
struct ZoneSource {
    bool hasEnv = false;
    std::string env;
    std::array<long long, 8> file{};
    bool operator==(const ZoneSource&) const = default;
};

constexpr std::int64_t kZoneFileCheckInterval = 1000000000;  // nanoseconds

std::array<long long, 8> zoneFileIdentity() {
    struct stat link {};
    struct stat target {};
    const bool hasLink = ::lstat("/etc/localtime", &link) == 0;
    const bool hasTarget = ::stat("/etc/localtime", &target) == 0;
    return {hasLink ? static_cast<long long>(link.st_ino) : -1, hasLink ? static_cast<long long>(link.st_mtim.tv_sec) : -1,
            hasLink ? static_cast<long long>(link.st_mtim.tv_nsec) : -1, hasTarget ? static_cast<long long>(target.st_dev) : -1,
            hasTarget ? static_cast<long long>(target.st_ino) : -1, hasTarget ? static_cast<long long>(target.st_mtim.tv_sec) : -1,
            hasTarget ? static_cast<long long>(target.st_mtim.tv_nsec) : -1, hasTarget ? static_cast<long long>(target.st_size) : -1};
}

}  // namespace

TimeZone TimeZone::system() {
    // Detection through ICU is slow and formatters ask at every call: the answer is kept for as long
    // as what it was read from stays the same.
    struct Last {
        std::mutex mutex;
        std::optional<std::pair<ZoneSource, TimeZone>> answer;
        std::array<long long, 8> file{};
        std::optional<std::int64_t> fileCheckedAt;  // monotonicNanos
    };
    static auto* last = new Last();  // never destroyed: threads may ask while the process exits
    const char* env = std::getenv("TZ");
    ZoneSource source;
    source.hasEnv = env != nullptr;
    if (env) source.env = env;
    {
        std::lock_guard lock(last->mutex);
        const std::int64_t now = monotonicNanos();
        if (!last->fileCheckedAt || now - *last->fileCheckedAt >= kZoneFileCheckInterval) {
            last->file = zoneFileIdentity();
            last->fileCheckedAt = now;
            zoneFileCheckDue.store(now + kZoneFileCheckInterval, std::memory_order_release);
        }
        source.file = last->file;
        if (last->answer && last->answer->first == source) return last->answer->second;
    }
    auto detect = [&source]() -> TimeZone {
        if (source.hasEnv) {
            std::string tz = source.env;
            if (tz.empty()) return TimeZone("UTC", "UTC");  // POSIX: an empty TZ is UTC
            if (tz.front() == ':') tz.erase(0, 1);
            const std::size_t zoneinfo = tz.find("zoneinfo/");
            if (zoneinfo != std::string::npos) tz = tz.substr(zoneinfo + 9);
            if (icuKnowsSystemZone(tz)) return TimeZone(tz, tz);
            // Anything else but the host's zone file ("/etc/localtime", which the host's detection reads)
            // means to every other program what the C library reads in it: a POSIX rule ("JST-9",
            // "GMT-8" is 8 h east), or a zone file elsewhere or of a name ICU does not know.
            if (tz != "/etc/localtime") {
                auto [name, icuID] = zoneFromCLibrary(source.env);
                return TimeZone(std::move(name), std::move(icuID));
            }
        }
        std::unique_ptr<icu::TimeZone> host;
        {
            std::lock_guard<std::mutex> detecting(tzsetMutex());
            host.reset(icu::TimeZone::detectHostTimeZone());
        }
        if (!host) return TimeZone();
        icu::UnicodeString id;
        host->getID(id);
        const std::string name = fromIcu(id);
        if (name.empty() || name == "Etc/Unknown") return TimeZone();
        return TimeZone(name, name);
    };
    TimeZone zone = detect();
    std::lock_guard lock(last->mutex);
    last->answer.emplace(std::move(source), zone);
    zonesGeneration.fetch_add(1, std::memory_order_acq_rel);
    return zone;
}

namespace {

// The default zone, and whether it is the one set with setDefault.
TimeZone resolveDefault(bool& fromSetting) {
    {
        DefaultZone& d = defaultZone();
        std::lock_guard<std::mutex> lock(d.mutex);
        fromSetting = d.zone.has_value();
        if (d.zone) return *d.zone;
    }
    return TimeZone::system();
}

// Where TZ stood in the environment when it was last looked up, to tell cheaply whether a lookup now
// would give the same: the environment array, and either TZ's entry (its address and its whole text,
// so an edit of a putenv buffer in place counts) or, when TZ was absent, the end of the array (setenv
// and putenv add at the end; unsetenv and clearenv move the end or drop the array). Anything else gives
// a new lookup.
struct TZWatch {
    char** environment = nullptr;
    std::size_t index = 0;          // TZ's entry, or the number of entries when TZ was absent
    const char* entry = nullptr;    // TZ's entry, or the last entry (nullptr for none) when absent
    std::string text;               // TZ's whole entry ("TZ=..."), when present
    bool present = false;
};

void watchTZ(TZWatch& watch) {
    char** environment = environ;
    watch.environment = environment;
    watch.present = false;
    watch.entry = nullptr;
    watch.index = 0;
    watch.text.clear();
    if (!environment) return;
    std::size_t i = 0;
    for (; environment[i]; ++i) {
        const char* entry = environment[i];
        if (entry[0] == 'T' && entry[1] == 'Z' && entry[2] == '=') {
            watch.present = true;
            watch.index = i;
            watch.entry = entry;
            watch.text = entry;
            return;
        }
    }
    watch.index = i;
    watch.entry = i > 0 ? environment[i - 1] : nullptr;
}

bool tzUnchanged(const TZWatch& watch) {
    char** environment = environ;
    if (environment != watch.environment) return false;
    if (!environment) return true;
    if (watch.present) {
        return environment[watch.index] == watch.entry && std::strcmp(watch.entry, watch.text.c_str()) == 0;
    }
    return environment[watch.index] == nullptr && (watch.index == 0 || environment[watch.index - 1] == watch.entry);
}

// The default zone as the calling thread found it last, with what it was found from.
struct ThreadDefaultZone {
    bool valid = false;
    bool fromSetting = false;
    std::uint64_t generation = 0;
    std::uint64_t resolution = 0;  // counts the look-ups: what zone holds may differ only from one to the next
    TZWatch tz;
    TimeZone zone;
};

}  // namespace

TimeZone TimeZone::defaultTimeZone() {
    bool fromSetting = false;
    return resolveDefault(fromSetting);
}

void TimeZone::setDefault(std::optional<TimeZone> zone) {
    DefaultZone& d = defaultZone();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.zone = std::move(zone);
    zonesGeneration.fetch_add(1, std::memory_order_acq_rel);
}

const std::vector<std::pair<std::string, std::string>>& TimeZone::abbreviationDictionary() {
    static const auto* list = [] {
        auto* l = new std::vector<std::pair<std::string, std::string>>();
        for (const auto& [abbreviation, name] : abbreviationMap()) l->emplace_back(abbreviation, name);
        return l;
    }();
    return *list;
}

int TimeZone::secondsFromGMT(Date date) const {
    std::int32_t raw = 0;
    std::int32_t dst = 0;
    UErrorCode status = U_ZERO_ERROR;
    time_detail::icuZone(*this)->getOffset(time_detail::toUDate(date), false, raw, dst, status);
    if (U_FAILURE(status)) return 0;
    return (raw + dst) / 1000;
}

bool TimeZone::isDaylightSavingTime(Date date) const {
    std::int32_t raw = 0;
    std::int32_t dst = 0;
    UErrorCode status = U_ZERO_ERROR;
    time_detail::icuZone(*this)->getOffset(time_detail::toUDate(date), false, raw, dst, status);
    return U_SUCCESS(status) && dst != 0;
}

std::string TimeZone::abbreviation(Date date) const {
    UErrorCode status = U_ZERO_ERROR;
    icu::SimpleDateFormat format(icu::UnicodeString(u"z"), icu::Locale("en_US"), status);
    if (U_FAILURE(status)) return name_;
    format.setTimeZone(*time_detail::icuZone(*this));
    icu::UnicodeString out;
    format.format(time_detail::toUDate(date), out);
    return fromIcu(out);
}

namespace time_detail {

const TimeZone& defaultTimeZoneOfThread(std::uint64_t& resolution) {
    static PerThread<ThreadDefaultZone> threads;
    ThreadDefaultZone& kept = threads.get();
    const std::uint64_t generation = zonesGeneration.load(std::memory_order_acquire);
    if (kept.valid && kept.generation == generation &&
        (kept.fromSetting || monotonicNanos() < zoneFileCheckDue.load(std::memory_order_acquire)) && tzUnchanged(kept.tz)) {
        resolution = kept.resolution;
        return kept.zone;
    }
    // What the zone is found from is noted first: a change made meanwhile is seen at the next read.
    kept.valid = false;
    kept.generation = generation;
    watchTZ(kept.tz);
    bool fromSetting = false;
    kept.zone = resolveDefault(fromSetting);
    kept.fromSetting = fromSetting;
    kept.valid = true;
    resolution = ++kept.resolution;
    return kept.zone;
}

const TimeZone& defaultTimeZoneOfThread() {
    std::uint64_t resolution = 0;
    return defaultTimeZoneOfThread(resolution);
}

std::shared_ptr<const icu::TimeZone> icuZone(const TimeZone& zone) {
    static PerThread<std::map<std::string, std::shared_ptr<const icu::TimeZone>, std::less<>>> caches;
    auto& cache = caches.get();
    auto it = cache.find(zone.icuID());
    if (it != cache.end()) return it->second;
    std::shared_ptr<const icu::TimeZone> created;
    if (zone.icuID().starts_with(kCLibraryPrefix)) {
        CLibraryZones& made = cLibraryZones();
        std::lock_guard lock(made.mutex);
        if (const auto found = made.zones.find(zone.icuID()); found != made.zones.end()) created.reset(found->second->clone());
    } else {
        created.reset(icu::TimeZone::createTimeZone(toIcu(zone.icuID())));
    }
    if (!created) created.reset(icu::TimeZone::getGMT()->clone());
    if (cache.size() > 64) cache.clear();
    cache.emplace(zone.icuID(), created);
    return created;
}

std::unique_ptr<icu::GregorianCalendar> gregorianCalendar(const TimeZone& zone, const char* locale, bool lenient) {
    UErrorCode status = U_ZERO_ERROR;
    auto calendar = std::make_unique<icu::GregorianCalendar>(*icuZone(zone), icu::Locale(locale), status);
    if (U_FAILURE(status)) return nullptr;
    calendar->setLenient(lenient);
    return calendar;
}

}  // namespace time_detail

}  // namespace lv
