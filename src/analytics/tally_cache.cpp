// The engine's cache archive, envelope-file generation and the start of an upload run.
#include <sys/stat.h>

#include "analytics/analytics_log.h"
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

}  // namespace

void TallyInternal::removeCacheData() {
    terminates_.clear();
    events_.clear();
    errors_.clear();
    ekv_.clear();
    // Timed events in progress are dropped with the caches, as the client always did.
    ekvBeginTimes_.clear();
    eventBeginTimes_.clear();
    scheduleArchiveWrite();
}

void TallyInternal::saveAndCleanCache() {
    // After an earlier save the archive holds items the caches do not (a crash filed after a resign):
    // they are saved together rather than replaced. Being terminated in the background the archive is
    // not written (archiveCacheToFile), so its items are not read back only to be dropped.
    const auto session = TallySession::sharedInstance();
    const bool archiveStays = session->appInBackGround() && session->appBeKilling();
    if (!archiveFollowsCaches_ && !archiveStays) mergeArchive();
    archiveFollowsCaches_ = false;
    if (!hasJob()) return;
    archiveCacheToFile();
    removeCacheData();
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

void TallyInternal::writeArchive() {
    if (archiveFollowsCaches_) archiveCacheToFile();
}

void TallyInternal::mergeArchive() {
    const std::string path = TallyUtility::cacheFilePath();
    if (!TallyUtility::isExistAtPath(path)) return;
    const Value root = dictionaryWithContentsOfFile(path);
    const Value& body = root.isDictionary() ? root.dictionary().get("body") : Value();
    if (body.isDictionary()) unarchiveObjects(body.dictionary());
}

void TallyInternal::archiveCacheToFile() {
    const auto root = archiveObjectsWithHeader(false);
    const std::string path = TallyUtility::cacheFilePath();
    if (!root) {
        TallyUtility::removeFile(path);
        return;
    }
    const auto session = TallySession::sharedInstance();
    // Being terminated in the background: the archive the last session end wrote stays as it is.
    if (session->appInBackGround() && session->appBeKilling()) return;
    // A binary property list: the root holds the caches' archives as data, which XML would spell out
    // in Base64.
    const auto bytes = PropertyListSerialization::dataWithPropertyList(Value(*root), PropertyListFormat::Binary, 0, nullptr);
    // A file that holds these bytes already (a session begin with nothing new since the archive was
    // read) is left as it is.
    if (bytes && dataWithContentsOfFile(path) != bytes) writeToFile(*bytes, path, true);

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
    tmpContainer_.clear();
}

Dictionary TallyInternal::loadCacheFile() {
    const std::string path = TallyUtility::cacheFilePath();
    if (!TallyUtility::isExistAtPath(path)) return {};
    const Value root = dictionaryWithContentsOfFile(path);
    if (root.isDictionary()) return root.dictionary();
    // A damaged file is not read twice.
    TallyUtility::removeFile(path);
    return {};
}

void TallyInternal::loadCache() {
    // The file stays: from here on it follows the caches until their items are in an envelope file.
    archiveFollowsCaches_ = true;
    const Dictionary root = loadCacheFile();
    const Value& body = root.get("body");
    if (root.empty() || !body.isDictionary() || body.dictionary().empty()) return;
    unarchiveObjects(body.dictionary());
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
    if (!UploadLink::makeEnvelopeData()) return;  // nothing written: the caches stay for the next try
    TallyConfig::accumulateCount(static_cast<std::int32_t>(events_.size() + ekv_.size()), "tlyPeriodEvtCount");
    removeCacheData();
    // The items are in the envelope file now: the archive that held them goes at once.
    writeArchive();
}

void TallyInternal::beginPerformJob() {
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
