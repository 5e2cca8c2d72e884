// The engine's cache archive, envelope-file generation and the start of an upload run.
#include <sys/stat.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <unordered_set>

#include "analytics/analytics_log.h"
#include "analytics/detail/cache_files.h"
#include "analytics/tally_envelope.h"
#include "analytics/tally_app.h"
#include "analytics/upload_link.h"
#include "analytics/tally_config.h"
#include "analytics/tally_internal.h"
#include "analytics/tally_job.h"
#include "analytics/tally_session.h"
#include "analytics/tally_utility.h"
#include "analytics/tly_util.h"
#include "platform/base/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/path.h"
#include "platform/storage/keyed_archive.h"
#include "platform/storage/property_list.h"
#include "platform/text/compare.h"

namespace lv {

namespace {

constexpr std::size_t kMinArchiveEntryBytes = 11;
constexpr std::size_t kMaxEnvelopeFiles = 10;
constexpr std::int64_t kMaxEnvelopeBytes = 262144;
constexpr std::int64_t kMinEnvelopeBytes = 10;  // a file must be longer than this
constexpr std::int64_t kMaxEnvelopeAgeSeconds = 14 * 86400;

// The archive's body keys, in the order of cacheIndexOf.
constexpr std::array<std::string_view, 4> kBodyKeys = {"terminate", "event", "error", "ekv"};

int cacheIndexOf(const TLYBaseEvent& item) {
    if (dynamic_cast<const TLYTerminate*>(&item)) return 0;
    if (dynamic_cast<const TLYEkv*>(&item)) return 3;
    if (dynamic_cast<const TLYError*>(&item)) return 2;
    return 1;
}

Bytes archiveList(const TallyInternal::ItemList& items) {
    Array list;
    list.reserve(items.size());
    for (const auto& item : items) list.emplace_back(item);
    return KeyedArchiver::archivedDataWithRootObject(Value(std::move(list)));
}

// Appends the items of the key's archive that are of the class T; a short entry or one that fails to
// decode adds nothing.
template <class T>
bool unarchiveInto(const Dictionary& body, std::string_view key, TallyInternal::ItemList& into) {
    const Value* data = body.find(key);
    if (!data || !data->isData() || data->bytes().size() < kMinArchiveEntryBytes) return false;
    // A new process may read the archive before it has made any item of its own.
    TLYBaseEvent::registerClasses();
    try {
        const Value list = KeyedUnarchiver::unarchiveObjectWithData(data->bytes());
        if (!list.isArray()) return false;
        for (const auto& entry : list.array()) {
            if (auto item = entry.objectAs<T>()) into.push_back(item);
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// Holds the cache folder's lock for a read-modify-write of its files.
analytics_detail::CacheLock lockCacheFiles() { return analytics_detail::CacheLock(TallyUtility::cacheLockPath()); }

}  // namespace

void TallyInternal::removeCacheData() {
    terminates_.clear();
    events_.clear();
    errors_.clear();
    ekv_.clear();
    // Timed events in progress are dropped with the caches, as the client always did.
    ekvBeginTimes_.clear();
    eventBeginTimes_.clear();
    noteRemoved();
}

std::size_t TallyInternal::removeOldestEvents(std::size_t count) {
    std::vector<double> times;
    times.reserve(events_.size() + ekv_.size());
    for (const auto* list : {&events_, &ekv_}) {
        for (const auto& item : *list) times.push_back(item->ts);
    }
    if (count == 0 || times.empty()) return 0;
    count = std::min(count, times.size());
    // The count-th oldest time: older items go, then as many at that time as are still wanted.
    std::nth_element(times.begin(), times.begin() + static_cast<std::ptrdiff_t>(count - 1), times.end());
    const double bound = times[count - 1];
    auto atBound = static_cast<std::size_t>(
        std::count_if(times.begin(), times.begin() + static_cast<std::ptrdiff_t>(count), [bound](double t) { return t == bound; }));
    for (auto* list : {&events_, &ekv_}) {
        std::erase_if(*list, [&](const Ref<TLYBaseEvent>& item) {
            if (item->ts < bound) return true;
            if (item->ts == bound && atBound > 0) {
                --atBound;
                return true;
            }
            return false;
        });
    }
    noteRemoved();
    return count;
}

bool TallyInternal::terminatingInBackground() {
    const auto session = TallySession::sharedInstance();
    return session->appInBackGround() && session->appBeKilling();
}

void TallyInternal::saveAndCleanCache() {
    // After an earlier save the archive holds items the caches do not (a crash filed after a resign):
    // they are saved together rather than replaced. Being terminated in the background the archive is
    // not written (archiveCacheToFile), so its items are not read back only to be dropped.
    const auto lock = lockCacheFiles();
    if (terminatingInBackground()) {
        // The archive stays as the last session end wrote it; what the caches hold now (the
        // termination's second close of that session) is dropped.
        removeCacheData();
    } else {
        if (!archiveFollowsCaches_) {
            readArchiveFiles();
            archiveFollowsCaches_ = true;
        } else {
            catchUpWithFiles();
        }
        // A full disk keeps the items here, still followed: the next filed item, session begin or
        // save writes them again.
        if (!archiveCacheToFile()) {
            rewriteNeeded_ = true;
            return;
        }
        removeCacheData();
    }
    unsaved_.clear();
    rewriteNeeded_ = false;
    archiveFollowsCaches_ = false;
}

void TallyInternal::scheduleArchiveWrite() {
    if (!archiveFollowsCaches_ || archiveWritePending_) return;
    archiveWritePending_ = true;
    Weak<TallyInternal> weak = refAs<TallyInternal>();
    Queue::main()->async([weak] {
        if (auto self = weak.lock()) {
            self->archiveWritePending_ = false;
            self->writeArchive();
        }
    });
}

void TallyInternal::noteFiled(const Ref<TLYBaseEvent>& item) {
    if (!archiveFollowsCaches_ && !terminatingInBackground()) {
        // The files hold a saved session the caches do not: read them back first, so that from here
        // the caches hold everything the files do.
        const auto lock = lockCacheFiles();
        readArchiveFiles();
        archiveFollowsCaches_ = true;
        rewriteNeeded_ = true;
    }
    unsaved_.push_back(item);
    scheduleArchiveWrite();
}

void TallyInternal::noteRemoved() {
    // What is left of the unsaved items is still not in the files: another process's whole change
    // read back before the next write must not lose it.
    if (!unsaved_.empty()) {
        std::unordered_set<const TLYBaseEvent*> kept;
        for (const auto* list : {&terminates_, &events_, &errors_, &ekv_}) {
            for (const auto& item : *list) kept.insert(item.get());
        }
        std::erase_if(unsaved_, [&kept](const Ref<TLYBaseEvent>& item) { return !kept.contains(item.get()); });
    }
    rewriteNeeded_ = true;
    scheduleArchiveWrite();
}

void TallyInternal::writeArchive() {
    if (!archiveFollowsCaches_ || terminatingInBackground()) return;
    if (!rewriteNeeded_ && unsaved_.empty()) return;
    const auto lock = lockCacheFiles();
    catchUpWithFiles();
    if (rewriteNeeded_) {
        if (archiveCacheToFile()) {
            rewriteNeeded_ = false;
            unsaved_.clear();
        }
        return;
    }
    if (unsaved_.empty()) return;
    std::array<ItemList, 4> lists;
    for (const auto& item : unsaved_) lists[static_cast<std::size_t>(cacheIndexOf(*item))].push_back(item);
    Dictionary body;
    for (std::size_t i = 0; i < lists.size(); ++i) {
        if (!lists[i].empty()) body.set(std::string(kBodyKeys[i]), Value(archiveList(lists[i])));
    }
    const auto record = PropertyListSerialization::dataWithPropertyList(Value(std::move(body)), PropertyListFormat::Binary, 0, nullptr);
    // A failed append (a full disk) leaves the items here; the next write replaces the files.
    if (record && analytics_detail::appendJournalRecord(TallyUtility::cacheJournalPath(), *record, &journalLength_)) {
        unsaved_.clear();
    } else {
        rewriteNeeded_ = true;
    }
}

void TallyInternal::catchUpWithFiles() {
    namespace files = analytics_detail;
    if (!archiveFollowsCaches_) return;
    if (files::CacheLock::token() == filesToken_) {
        // Only appends since this process last wrote or read the files: the records past what it
        // knows are another process's items.
        const std::string journalPath = TallyUtility::cacheJournalPath();
        if (const auto journal = files::readJournalFrom(journalPath, journalLength_)) {
            for (const Bytes& record : journal->records) {
                const Value body = PropertyListSerialization::propertyListWithData(record, 0, nullptr, nullptr);
                if (body.isDictionary()) unarchiveObjects(body.dictionary());
            }
            if (journal->wholeLength < journal->fileLength) files::truncateFile(journalPath, journal->wholeLength);
            journalLength_ = journal->wholeLength;
            return;
        }
        // Cut or removed from outside (every process here renews the token when it does so): the
        // caches hold more than the files, which the next write replaces.
        rewriteNeeded_ = true;
        return;
    }
    // Another process replaced the files: they hold what this one wrote less what went into an
    // envelope, so the caches become what they hold, with the items not written yet.
    for (auto* list : {&terminates_, &events_, &errors_, &ekv_}) list->clear();
    readArchiveFiles();
    const std::array<ItemList*, 4> lists = {&terminates_, &events_, &errors_, &ekv_};
    for (const auto& item : unsaved_) lists[static_cast<std::size_t>(cacheIndexOf(*item))]->push_back(item);
}

void TallyInternal::readArchiveFiles() {
    namespace files = analytics_detail;
    const auto lock = lockCacheFiles();
    bool changed = false;  // the archive or the journal was changed here
    const std::string archivePath = TallyUtility::cacheFilePath();
    const std::string journalPath = TallyUtility::cacheJournalPath();
    const std::string ledgerPath = TallyUtility::cacheLedgerPath();
    bool ledgerDamaged = false;
    const std::optional<files::CacheLedger> ledger = files::readLedger(ledgerPath, true, &ledgerDamaged);
    // A ledger that cannot be read (or names no plain envelope) says nothing: it goes.
    if (ledgerDamaged) files::removeDamaged(ledgerPath);
    if (ledger) {
        // A kill between the ledger and the link left the envelope under its hidden name: it gets
        // its own name now (the ledger already counts its items as sent).
        const std::string envelope = path::appendingPathComponent(TallyUtility::tallyDirectory(), ledger->envelope);
        const std::string pending = TallyUtility::pendingEnvelopePath(envelope);
        if (TallyUtility::isExistAtPath(pending)) {
            if (!TallyUtility::isExistAtPath(envelope)) ::link(pending.c_str(), envelope.c_str());
            TallyUtility::removeFile(pending);
        }
    }
    // Any other envelope under a hidden name was never recorded: its items are still in the
    // archive, which is read below.
    const std::string folder = TallyUtility::tallyDirectory();
    if (const auto names = FileManager::defaultManager().contentsOfDirectoryAtPath(folder, nullptr)) {
        for (const auto& name : *names) {
            if (name.size() > 1 && name[0] == '.' && files::isEnvelopeName(std::string_view(name).substr(1))) {
                TallyUtility::removeFile(path::appendingPathComponent(folder, name));
            }
        }
    }
    // A kill between an archive that took up the journal and the journal's removal: the fold record
    // names both, and the journal is not read again.
    const std::string foldPath = TallyUtility::cacheFoldPath();
    bool foldDamaged = false;
    const std::optional<files::CacheLedger> fold = files::readLedger(foldPath, false, &foldDamaged);
    if (foldDamaged) files::removeDamaged(foldPath);
    std::string archiveDigest;
    bool ledgerInUse = false;
    // Anything but a regular file at the archive's or the journal's path is damaged and goes.
    const auto readFile = [&changed](const std::string& path) -> std::optional<Bytes> {
        Bytes bytes;
        const files::FileRead read = files::readCacheFile(path, bytes);
        if (read == files::FileRead::Read) return bytes;
        if (read == files::FileRead::Damaged) {
            files::removeDamaged(path);
            changed = true;
        }
        return std::nullopt;
    };
    if (const std::optional<Bytes> bytes = readFile(archivePath)) {
        if (ledger || fold) archiveDigest = files::digestOf(*bytes);
        if (ledger && archiveDigest == ledger->archive) {
            // Its items are in an envelope file: never read again. A removal that fails keeps the
            // ledger, which keeps saying so.
            TallyUtility::removeFile(archivePath);
            changed = true;
            ledgerInUse = ledgerInUse || TallyUtility::isExistAtPath(archivePath);
        } else {
            const Value root = PropertyListSerialization::propertyListWithData(*bytes, 0, nullptr, nullptr);
            if (root.isDictionary()) {
                const Value& body = root.dictionary().get("body");
                if (body.isDictionary() && !body.dictionary().empty()) unarchiveObjects(body.dictionary());
            } else {
                TallyUtility::removeFile(archivePath);  // a damaged file is not read twice
                changed = true;
            }
        }
    }
    if (const std::optional<Bytes> bytes = readFile(journalPath)) {
        const std::string journalDigest = ledger || fold ? files::digestOf(*bytes) : std::string();
        if (ledger && journalDigest == ledger->journal) {
            TallyUtility::removeFile(journalPath);
            changed = true;
            ledgerInUse = ledgerInUse || TallyUtility::isExistAtPath(journalPath);
        } else if (fold && !archiveDigest.empty() && archiveDigest == fold->archive && journalDigest == fold->journal) {
            // Its items came with the archive; it goes (or is emptied) at the next whole write.
        } else {
            const files::JournalContents journal = files::readJournal(*bytes);
            for (const Bytes& record : journal.records) {
                const Value body = PropertyListSerialization::propertyListWithData(record, 0, nullptr, nullptr);
                if (body.isDictionary()) unarchiveObjects(body.dictionary());
            }
            // A record cut by a kill would hide the ones appended after it.
            if (journal.wholeLength < journal.fileLength) changed = files::truncateFile(journalPath, journal.wholeLength) || changed;
        }
    }
    if (ledger && !ledgerInUse) TallyUtility::removeFile(ledgerPath);
    // A fold record whose journal was read (or is gone) says nothing any more.
    if (fold && !(TallyUtility::isExistAtPath(journalPath) && !archiveDigest.empty() && archiveDigest == fold->archive)) {
        TallyUtility::removeFile(foldPath);
    }
    // From here this process knows the files as they are now.
    filesToken_ = changed ? files::CacheLock::renew() : files::CacheLock::token();
    Bytes journal;
    journalLength_ = files::readCacheFile(journalPath, journal) == files::FileRead::Read ? journal.size() : 0;
}

bool TallyInternal::recordEnvelope(const std::string& envelopePath) {
    namespace files = analytics_detail;
    auto digestAt = [](const std::string& path) {
        Bytes bytes;
        return files::readCacheFile(path, bytes) == files::FileRead::Read ? files::digestOf(bytes) : std::string();
    };
    files::CacheLedger ledger;
    ledger.archive = digestAt(TallyUtility::cacheFilePath());
    ledger.journal = digestAt(TallyUtility::cacheJournalPath());
    ledger.envelope = path::lastPathComponent(envelopePath);
    // The ledger changes what the files count as: other processes read them again (a process ended
    // once the envelope is named must not leave a peer holding the items that envelope took up).
    filesToken_ = files::CacheLock::renew();
    return files::writeLedger(TallyUtility::cacheLedgerPath(), ledger);
}

bool TallyInternal::archiveCacheToFile() {
    // Being terminated in the background: the archive the last session end wrote stays as it is.
    if (terminatingInBackground()) return true;
    namespace files = analytics_detail;
    const auto lock = lockCacheFiles();
    // Every way out changes the files as a whole: other processes read them again.
    struct Renew {
        TallyInternal& engine;
        ~Renew() {
            engine.filesToken_ = analytics_detail::CacheLock::renew();
            Bytes journal;
            engine.journalLength_ = analytics_detail::readCacheFile(TallyUtility::cacheJournalPath(), journal) == analytics_detail::FileRead::Read
                                        ? journal.size()
                                        : 0;
        }
    } renew{*this};
    const std::string path = TallyUtility::cacheFilePath();
    const std::string journal = TallyUtility::cacheJournalPath();
    const auto root = archiveObjectsWithHeader(false);
    if (!root) {
        files::removeDamaged(path);
        files::removeDamaged(journal);
        files::removeDamaged(TallyUtility::cacheFoldPath());
        return !TallyUtility::isExistAtPath(path) && !TallyUtility::isExistAtPath(journal);
    }
    // A binary property list: the root holds the caches' archives as data, which XML would spell out
    // in Base64.
    const auto bytes = PropertyListSerialization::dataWithPropertyList(Value(*root), PropertyListFormat::Binary, 0, nullptr);
    if (!bytes) return false;
    // A file that holds these bytes already (a session begin with nothing new since the archive was
    // read) is left as it is.
    const std::string fold = TallyUtility::cacheFoldPath();
    Bytes current;
    if (files::readCacheFile(path, current) != files::FileRead::Read || current != *bytes) {
        // The new archive holds the journal's items too: the fold record says so before it replaces
        // the old one, so a kill before the journal goes cannot make a launch read them twice.
        Bytes journalBytes;
        if (files::readCacheFile(journal, journalBytes) == files::FileRead::Read) {
            files::CacheLedger record;
            record.archive = files::digestOf(*bytes);
            record.journal = files::digestOf(journalBytes);
            if (!files::writeLedger(fold, record)) return false;
        }
        if (!writeToFile(*bytes, path, true)) return false;
    }
    unsaved_.clear();  // in the archive now
    // The archive holds the journal's items now; a journal that cannot go is emptied, else the next
    // launch would read its items twice.
    files::removeDamaged(journal);
    const bool journalGone = !TallyUtility::isExistAtPath(journal) || files::truncateFile(journal, 0);
    if (journalGone) TallyUtility::removeFile(fold);
    return journalGone;
}

std::optional<Dictionary> TallyInternal::archiveObjectsWithHeader(bool header) const {
    if (!hasJob()) return std::nullopt;
    Dictionary body;
    archiveObjects(body);
    Dictionary root;
    root.set("body", Value(std::move(body)));
    (void)header;  // the engine never writes a header
    return root;
}

void TallyInternal::archiveObjects(Dictionary& body) const {
    if (!terminates_.empty()) body.set("terminate", Value(archiveList(terminates_)));
    if (!events_.empty()) body.set("event", Value(archiveList(events_)));
    if (!errors_.empty()) body.set("error", Value(archiveList(errors_)));
    if (!ekv_.empty()) body.set("ekv", Value(archiveList(ekv_)));
}

void TallyInternal::loadCacheFromTempContainer() {
    if (tmpContainer_.empty()) return;
    for (const auto& item : tmpContainer_) {
        if (std::dynamic_pointer_cast<TLYEvent>(item)) {
            events_.push_back(item);
        } else if (std::dynamic_pointer_cast<TLYEkv>(item)) {
            ekv_.push_back(item);
        } else if (std::dynamic_pointer_cast<TLYError>(item)) {
            errors_.push_back(item);
        }
    }
    // Not in the files yet: kept among the unsaved items until they are.
    unsaved_.insert(unsaved_.end(), tmpContainer_.begin(), tmpContainer_.end());
    tmpContainer_.clear();
    rewriteNeeded_ = true;
}

Dictionary TallyInternal::loadCacheFile() {
    const std::string path = TallyUtility::cacheFilePath();
    const auto lock = lockCacheFiles();
    Bytes bytes;
    const analytics_detail::FileRead read = analytics_detail::readCacheFile(path, bytes);
    if (read == analytics_detail::FileRead::Absent) return {};
    const Value root = read == analytics_detail::FileRead::Read ? PropertyListSerialization::propertyListWithData(bytes, 0, nullptr, nullptr) : Value();
    if (root.isDictionary()) return root.dictionary();
    // A damaged file is not read twice.
    analytics_detail::removeDamaged(path);
    return {};
}

void TallyInternal::loadCache() {
    // The caches hold every item the files do already (a save that could not write kept them).
    if (archiveFollowsCaches_) return;
    // The files stay: from here on they follow the caches until their items are in an envelope file.
    archiveFollowsCaches_ = true;
    const auto lock = lockCacheFiles();
    readArchiveFiles();
    // The session begin folds the journal into the archive.
    rewriteNeeded_ = true;
}

void TallyInternal::unarchiveObjects(const Dictionary& body) {
    unarchiveSessions(body);
    unarchiveEvents(body);
    unarchiveErrors(body);
}

void TallyInternal::unarchiveSessions(const Dictionary& body) { unarchiveInto<TLYTerminate>(body, "terminate", terminates_); }

void TallyInternal::unarchiveEvents(const Dictionary& body) {
    unarchiveInto<TLYEvent>(body, "event", events_);
    unarchiveInto<TLYEkv>(body, "ekv", ekv_);
}

void TallyInternal::unarchiveErrors(const Dictionary& body) {
    const Value version = TallyConfig::configureWithKey("TLYAppVersion");
    if (version.isNil()) {
        errors_.clear();
        return;
    }
    // Crash reports survive a relaunch only under the app version that recorded them.
    if (text::caseInsensitiveCompare(version.stringValue(), TLYUtil::appVersionString()) != 0) return;
    const std::size_t before = errors_.size();
    if (unarchiveInto<TLYError>(body, "error", errors_) && errors_.size() > before) errors_[before]->outputUMLog();
}

void TallyInternal::generateEnvelopeFile() {
    // The envelope takes up every item the files hold, another process's too, and its name, the
    // ledger and the files' removal are one step for other processes.
    const auto lock = lockCacheFiles();
    catchUpWithFiles();
    // While the files hold the caches' items the envelope is recorded in the ledger before it gets
    // its name: from then on those files count as sent, whatever happens to them.
    const bool guarded = archiveFollowsCaches_ && (TallyUtility::isExistAtPath(TallyUtility::cacheFilePath()) ||
                                                   TallyUtility::isExistAtPath(TallyUtility::cacheJournalPath()));
    EnvelopeCommit commit;
    commit.record = [this](const std::string& path) { return recordEnvelope(path); };
    commit.abandon = [] { TallyUtility::removeFile(TallyUtility::cacheLedgerPath()); };
    if (!UploadLink::makeEnvelopeData(guarded ? &commit : nullptr)) return;  // nothing written: the caches stay
    TallyConfig::accumulateCount(static_cast<std::int32_t>(events_.size() + ekv_.size()), "tlyPeriodEvtCount");
    removeCacheData();
    // The items are in the envelope file now: the files that held them go at once, and with them the
    // ledger (kept when they could not go).
    writeArchive();
    if (guarded && !TallyUtility::isExistAtPath(TallyUtility::cacheFilePath()) &&
        !TallyUtility::isExistAtPath(TallyUtility::cacheJournalPath())) {
        TallyUtility::removeFile(TallyUtility::cacheLedgerPath());
    }
}

void TallyInternal::beginPerformJob() {
    const auto lock = lockCacheFiles();
    std::vector<std::string> files = TallyUtility::envelopeFiles();
    validateEnvelopeFiles(files);
    if (files.empty() && (hasJob() || TallyConfig::configureWithKey("tlyActivateMsg").isNil())) {
        generateEnvelopeFile();
        files = TallyUtility::envelopeFiles();
        validateEnvelopeFiles(files);
    }
    if (files.empty()) return;
    while (files.size() > kMaxEnvelopeFiles) {
        TallyUtility::removeFile(files.front());
        files.erase(files.begin());
    }
    TLYAnalyticsLog("prepare to post log data");
    auto worker = UploadLink::makeWorker(std::move(files));
    // The background task is taken before the worker is queued, not when it starts: a termination
    // arriving meanwhile waits for the run (the worker ends the task).
    TallyApp::sharedInstance()->activeBackgroundTask();
    TallyJob::sharedInstance()->setJobRunning(true);
    sendLogQueue_->addOperation(worker);
}

void TallyInternal::validateEnvelopeFiles(std::vector<std::string>& paths) {
    const double now = currentTimeSince1970();
    std::erase_if(paths, [now](const std::string& path) {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) return true;
        // The creation date as the file layer reads it (the modification time).
        const double created = static_cast<double>(info.st_mtim.tv_sec) + static_cast<double>(info.st_mtim.tv_nsec) / 1e9;
        const auto age = static_cast<std::int64_t>(now - created);
        const auto length = static_cast<std::int64_t>(info.st_size);
        const bool keep = length < kMaxEnvelopeBytes && age <= kMaxEnvelopeAgeSeconds && length > kMinEnvelopeBytes;
        if (!keep) TallyUtility::removeFile(path);
        return !keep;
    });
    TallyUtility::sortFileWithCreatedTime(paths);
}

}  // namespace lv
