// The analytics engine (TallyInternal): owns everything recorded on the device until it is packed
// into an envelope file. Work items arrive from the work dispatcher; the engine files items into its
// caches, times events and pages, closes sessions into session-end items, keeps the caches in the
// cache archive across launches, limits events per 8-hour period, writes envelope files and hands them
// to the upload worker. It also files crash reports (crash_capture.h).
//
// Threads: every member runs on the main thread only (work items, the session's synchronous calls,
// crash filing); sharedInstance() may be called from any thread. The upload worker runs on
// sendLogQueue and reads only the file list it is given.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "analytics/items.h"
#include "analytics/work_dispatch.h"
#include "platform/base/object.h"
#include "platform/base/value.h"
#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/operation.h"

namespace lv {

class TallyInternal : public Object {
public:
    using ItemList = std::vector<Ref<TLYBaseEvent>>;

    // Work-event types.
    enum : std::int16_t {
        kSessionBegin = 0,
        kSessionEnd = 1,
        kEvent = 2,
        kError = 3,
        kKeyedEvent = 4,
        kEventBegin = 5,
        kEventEnd = 6,
        kKeyedEventBegin = 7,
        kKeyedEventEnd = 8,
        kPageDuration = 9,
        kPageBegin = 10,
        kPageEnd = 11,
        kSignIn = 12,
        kSignOff = 13,
    };
    static constexpr std::int64_t kMaxEventsPerPeriod = 5000;
    static constexpr double kEventPeriodSeconds = 28800;
    static constexpr std::int64_t kMaxDurationMs = 7200000;  // durations from here on are dropped

    TallyInternal();
    static Ref<TallyInternal> sharedInstance();
    // Replaces the shared engine by a fresh one (tests play a new launch this way).
    static void resetSharedInstance();

    // The imprint's value for the key.
    static std::optional<std::string> imprintValueWithKey(std::string_view key);
    // Crash capture (crash_capture.cpp).
    static void installUncaughtExceptionHandler();
    // Sets error_support_info of the shared engine; an empty dictionary is ignored.
    static void setErrorSupportInfo(const Dictionary& info);

    void workEvent(const TLYDispatchEvent& event);

    // The container an item of the type goes into (tmpContainer before the first session or in the
    // background), or nullptr. The state is the one the caller saw when it recorded the item (a work
    // item carries it: an event sent just before a resign still belongs to the session), else the
    // current one.
    ItemList* arrayWithEventType(std::int32_t type, std::optional<bool> inSession = std::nullopt);
    void addEvent(const Ref<TLYBaseEvent>& item, ItemList* container);
    void setEventSessionID(TLYBaseEvent& item) const;
    bool checkEventLimit() const;
    bool hasJob() const;
    // Closes the session into a session-end item stamped with the given id (the current one when
    // none is given).
    void stopSession(double seconds, const std::optional<std::string>& endingSessionID = std::nullopt);

    // The cache archive follows the caches from the session begin that loads it until the session end
    // that saves them: every batch of items filed in one main-queue turn is appended to the journal
    // beside it (one write, no flush, a cost that does not grow with the caches), items that leave
    // the caches make the next write a whole rewrite (archive replaced, journal removed), and both go
    // once their items are in an envelope file. So a process that dies by a signal leaves its items
    // on disk for the next launch. An item filed into the caches while the archive does not follow
    // them (after a session end) first reads the archive back, so the two agree again.
    //
    // An envelope made from the caches while the archive (or journal) holds their items is recorded
    // in the ledger (which archive and journal bytes it took up) before it gets its name, so a kill
    // or a removal that fails cannot make the next launch send those items again.
    bool archiveFollowsCaches() const { return archiveFollowsCaches_; }
    // Writes what the caches hold that the files do not, now, while the archive follows them.
    void writeArchive();

    void removeCacheData();
    // Drops up to count of the oldest events and keyed events by their time (sessions and crash
    // reports stay) and answers how many went.
    std::size_t removeOldestEvents(std::size_t count);
    void saveAndCleanCache();
    void loadCacheFromTempContainer();
    void loadCache();
    Dictionary loadCacheFile();
    // Writes the whole archive from the caches (removing it and the journal when the caches are
    // empty), unless being terminated in the background, which leaves it as it is. Answers whether
    // the files now hold the caches.
    bool archiveCacheToFile();
    std::optional<Dictionary> archiveObjectsWithHeader(bool header) const;
    void archiveObjects(Dictionary& body) const;
    void unarchiveObjects(const Dictionary& body);
    void unarchiveSessions(const Dictionary& body);
    void unarchiveEvents(const Dictionary& body);
    void unarchiveErrors(const Dictionary& body);

    void generateEnvelopeFile();
    void beginPerformJob();
    static void validateEnvelopeFiles(std::vector<std::string>& paths);

    // For the log builder.
    void removeSessions();
    void removeInstanceMsgs();
    void buildDummySession();

    // Timed events.
    void eventBegin(const Ref<TLYEvent>& event);
    void eventEnd(const Ref<TLYEvent>& event);
    void ekvBegin(const Ref<TLYEkv>& ekv);
    void ekvEnd(const Ref<TLYEkv>& ekv);

    // Crash filing (crash_capture.cpp): the notification's object is a CrashException.
    void saveCrashInfo(const Notification& notification);
    void error(const std::optional<std::string>& crashText);
    // Files what a fatal signal left in the crash file: the report (under the app version that
    // crashed) stamped with the crash time, and the session that was running, closed at that time with
    // its finished pages. The file is removed in every case.
    void fileSignalCrashReport();

    // Accessors.
    const ItemList& terminates() const { return terminates_; }
    const ItemList& events() const { return events_; }
    const ItemList& errors() const { return errors_; }
    const ItemList& ekv() const { return ekv_; }
    const ItemList& tmpContainer() const { return tmpContainer_; }
    const Array& pageItems() const { return pageItems_; }
    const Dictionary& pageItemsHash() const { return pageItemsHash_; }
    const Dictionary& errorSupportInfo() const { return errorSupportInfo_; }
    void setErrorSupportInfoDictionary(Dictionary info);
    const std::string& sessionID() const { return sessionID_; }
    void setSessionID(std::string sessionID);
    const std::string& wrapperType() const { return wrapperType_; }
    void setWrapperType(std::string value) { wrapperType_ = std::move(value); }
    const std::string& wrapperVersion() const { return wrapperVersion_; }
    void setWrapperVersion(std::string value) { wrapperVersion_ = std::move(value); }
    const Ref<OperationQueue>& sendLogQueue() const { return sendLogQueue_; }
    std::size_t pendingTimedEvents() const { return eventBeginTimes_.size() + ekvBeginTimes_.size(); }

private:
    void pageEnd(const std::string& name);
    // Queues one writeArchive for the items filed in this main-queue turn.
    void scheduleArchiveWrite();
    // An item entered a cache: the files follow the caches from here and the item is written with
    // this turn's batch.
    void noteFiled(const Ref<TLYBaseEvent>& item);
    // Items left the caches: the next write replaces the files.
    void noteRemoved();
    // Reads the archive and the journal into the caches, except what the ledger says an envelope
    // file already holds (and finishes that envelope file's naming when a kill interrupted it).
    void readArchiveFiles();
    // Under the cache folder's lock, while the archive follows the caches: adds the items another
    // process appended to the journal since this one last knew the files, or, when another process
    // changed them as a whole, reads them again (keeping the items not yet written).
    void catchUpWithFiles();
    // Records in the ledger that the envelope at the path takes up the archive and journal as they
    // are now.
    bool recordEnvelope(const std::string& envelopePath);
    // Being terminated in the background: the archive stays as the last session end wrote it.
    static bool terminatingInBackground();
    void signInOrOff(const Value& object, bool signIn);
    void splitSession();

    bool archiveFollowsCaches_ = false;
    bool archiveWritePending_ = false;
    // Filed since the files were last written, in filing order.
    ItemList unsaved_;
    // Items left the caches (or a write failed): the next write replaces the files.
    bool rewriteNeeded_ = false;
    // The files as this process last read or wrote them: the lock file's token and the journal's
    // length.
    std::string filesToken_;
    std::size_t journalLength_ = 0;
    // While a timed end runs: whether its caller was in a session.
    std::optional<bool> endingInSession_;
    Ref<OperationQueue> sendLogQueue_;
    ItemList terminates_;
    ItemList events_;
    ItemList errors_;
    ItemList ekv_;
    ItemList tmpContainer_;
    Dictionary errorSupportInfo_;
    std::string sessionID_;
    std::string wrapperType_;
    std::string wrapperVersion_;
    Array pageItems_;
    Dictionary pageItemsHash_;
    // Timing key -> begun items, the newest last.
    std::map<std::string, std::vector<Ref<TLYEkv>>> ekvBeginTimes_;
    std::map<std::string, std::vector<Ref<TLYEvent>>> eventBeginTimes_;
};

}  // namespace lv
