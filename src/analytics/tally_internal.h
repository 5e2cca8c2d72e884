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
    // background), or nullptr.
    ItemList* arrayWithEventType(std::int32_t type);
    void addEvent(const Ref<TLYBaseEvent>& item, ItemList* container);
    void setEventSessionID(TLYBaseEvent& item) const;
    bool checkEventLimit() const;
    bool hasJob() const;
    // Closes the session into a session-end item stamped with the given id (the current one when
    // none is given).
    void stopSession(double seconds, const std::optional<std::string>& endingSessionID = std::nullopt);

    // The cache archive follows the caches from the session begin that loads it until the session end
    // that saves them: every batch of filed items rewrites it (one write per main-queue turn), and it
    // is removed once its items are in an envelope file. So a process that dies by a signal leaves its
    // items on disk for the next launch.
    bool archiveFollowsCaches() const { return archiveFollowsCaches_; }
    // Rewrites the archive from the caches now while it follows them.
    void writeArchive();

    void removeCacheData();
    void saveAndCleanCache();
    void loadCacheFromTempContainer();
    void loadCache();
    Dictionary loadCacheFile();
    void archiveCacheToFile();
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
    // Adds the archive's items to the caches (a save while the archive holds what the caches do not).
    void mergeArchive();
    void signInOrOff(const Value& object, bool signIn);
    void splitSession();

    bool archiveFollowsCaches_ = false;
    bool archiveWritePending_ = false;
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
