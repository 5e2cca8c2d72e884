// What the cache archive, its journal and the ledger keep across kills, failed writes and failed
// removals: every item reaches exactly one envelope.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "analytics/detail/pack_record.h"
#include "analytics/envelope_record.h"
#include "analytics/tally_envelope.h"
#include "analytics/tally_event.h"
#include "analytics/tally_utility.h"
#include "engine_test_support.h"
#include "support/temp_dir.h"
#include "platform/base/clock.h"
#include "platform/security/digest.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/property_list.h"
#include "platform/ui/application.h"

namespace lv {
namespace {

using test::drainMain;
using test::relaunch;

class CacheDurability : public test::EngineLaunch {
protected:
    void SetUp() override {
        test::EngineLaunch::SetUp();
        test::setNetwork(false);  // no upload run: the caches and envelope files stay to be looked at
    }

    // A first launch that records three events and resigns: the archive holds a session and them.
    void recordAndResign() {
        beginFirstSession();
        for (const char* id : {"one", "two", "three"}) TallyEvent::event(Value(id));
        drainMain();
        session()->appInactivate(nullptr);
        ASSERT_TRUE(TallyUtility::isExistAtPath(TallyUtility::cacheFilePath()));
    }
    static std::vector<std::string> eventIds() {
        std::vector<std::string> ids;
        for (const auto& item : engine()->events()) ids.push_back(std::dynamic_pointer_cast<TLYEvent>(item)->event_id);
        return ids;
    }
    static std::optional<Bytes> bytesAt(const std::string& path) { return dataWithContentsOfFile(path); }
    static void put(const std::string& path, const Bytes& bytes) { ASSERT_TRUE(writeToFile(bytes, path, true)); }
};

// The three states a kill can leave while an envelope is made from loaded caches, each built from
// what the product wrote: the next launch sends every item once, in one envelope.
TEST_F(CacheDurability, AKillWhileAnEnvelopeIsMadeNeverSendsAnItemTwice) {
    enum class Left { AfterLink, BeforeLink, BeforeLedger };
    struct Case {
        const char* name;
        Left left;
        std::size_t reloadedEvents;  // what the next launch reads back from the archive
    } cases[] = {
        {"killed after the envelope got its name", Left::AfterLink, 0},
        {"killed after the ledger, before the name", Left::BeforeLink, 0},
        {"killed before the ledger", Left::BeforeLedger, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        recordAndResign();
        relaunch();
        beginFirstSession();
        const std::string archive = TallyUtility::cacheFilePath();
        const auto archived = bytesAt(archive);
        ASSERT_TRUE(archived);
        engine()->generateEnvelopeFile();
        ASSERT_EQ(TallyUtility::envelopeFiles().size(), 1u);
        const std::string envelope = TallyUtility::envelopeFiles()[0];
        const std::string pending = TallyUtility::pendingEnvelopePath(envelope);
        EXPECT_FALSE(TallyUtility::isExistAtPath(archive));
        EXPECT_FALSE(TallyUtility::isExistAtPath(TallyUtility::cacheLedgerPath()));  // nothing left to guard

        // The files as the kill left them: the archive not yet removed, the envelope under its
        // hidden name or not written at all, the ledger written or not.
        put(archive, *archived);
        if (c.left != Left::AfterLink) {
            std::filesystem::rename(envelope, pending);
            if (c.left == Left::BeforeLedger) TallyUtility::removeFile(TallyUtility::cacheLedgerPath());
        }
        if (c.left != Left::BeforeLedger) {
            // The ledger names the archive as it was then.
            ASSERT_TRUE(writePropertyListToFile(
                Value::dictionary({{"archive", Value(hexString(md5Digest(std::span<const std::uint8_t>(*archived))))},
                                   {"journal", Value("")},
                                   {"envelope", Value(std::filesystem::path(envelope).filename().string())}}),
                TallyUtility::cacheLedgerPath(), true));
        }

        relaunch();
        beginFirstSession();
        EXPECT_EQ(engine()->events().size(), c.reloadedEvents);
        EXPECT_FALSE(TallyUtility::isExistAtPath(pending));  // finished, or dropped as never recorded
        const std::size_t envelopes = TallyUtility::envelopeFiles().size();
        EXPECT_EQ(envelopes, c.left == Left::BeforeLedger ? 0u : 1u);
        EXPECT_FALSE(TallyUtility::isExistAtPath(TallyUtility::cacheLedgerPath()));
        if (c.left != Left::BeforeLedger) {
            EXPECT_FALSE(TallyUtility::isExistAtPath(archive));
        } else {
            EXPECT_EQ(eventIds(), (std::vector<std::string>{"one", "two", "three"}));
        }
        engine()->removeCacheData();
        drainMain();
        for (const auto& file : TallyUtility::envelopeFiles()) TallyUtility::removeFile(file);
        session()->appInactivate(nullptr);
        relaunch();
    }
}

// An archive that cannot be removed once its envelope exists (here: put back with the same bytes,
// as a read-only caches folder leaves it) is never read again, at any later launch.
TEST_F(CacheDurability, AnArchiveThatCouldNotBeRemovedIsNotSentAgain) {
    recordAndResign();
    relaunch();
    beginFirstSession();
    const auto archived = bytesAt(TallyUtility::cacheFilePath());
    ASSERT_TRUE(archived);
    engine()->generateEnvelopeFile();
    ASSERT_EQ(TallyUtility::envelopeFiles().size(), 1u);
    // The archive as a failed removal leaves it, and the ledger the envelope wrote before its name.
    put(TallyUtility::cacheFilePath(), *archived);
    ASSERT_TRUE(writePropertyListToFile(
        Value::dictionary({{"archive", Value(hexString(md5Digest(std::span<const std::uint8_t>(*archived))))},
                           {"journal", Value("")},
                           {"envelope", Value(std::filesystem::path(TallyUtility::envelopeFiles()[0]).filename().string())}}),
        TallyUtility::cacheLedgerPath(), true));
    relaunch();
    beginFirstSession();
    EXPECT_TRUE(engine()->events().empty());
    EXPECT_TRUE(engine()->terminates().empty());
    // Removed now that it can be, and the ledger with it.
    EXPECT_FALSE(TallyUtility::isExistAtPath(TallyUtility::cacheFilePath()));
    EXPECT_FALSE(TallyUtility::isExistAtPath(TallyUtility::cacheLedgerPath()));
    EXPECT_EQ(TallyUtility::envelopeFiles().size(), 1u);
}

// The envelope's serial number is spent before the file gets its name: a kill after the name can
// never hand it to the next envelope.
TEST_F(CacheDurability, TheSerialNumberIsSpentBeforeTheEnvelopeIsNamed) {
    beginFirstSession();
    TallyEvent::event(Value("one"));
    drainMain();
    TallyConfig::setConfigure(Value(std::int64_t{41}), "tlySerialNum");
    std::optional<std::int64_t> storedWhenNamed;
    EnvelopeCommit commit;
    commit.record = [&](const std::string& path) {
        storedWhenNamed = TallyConfig::configureWithKey("tlySerialNum").longLongValue();
        return !TallyUtility::isExistAtPath(path) && TallyUtility::isExistAtPath(TallyUtility::pendingEnvelopePath(path));
    };
    const auto envelope = TallyEnvelope::sharedInstance()->makeEnvelopeData(&commit);
    ASSERT_TRUE(envelope);
    EXPECT_EQ(storedWhenNamed, 42);
    TLYEnvelope record = unpackBytes<TLYEnvelope>(*envelope);
    EXPECT_EQ(record.serial_num(), 41);
    // A commit that refuses leaves no file, under either name.
    commit.record = [](const std::string&) { return false; };
    EXPECT_FALSE(TallyEnvelope::sharedInstance()->makeEnvelopeData(&commit));
    EXPECT_EQ(TallyUtility::envelopeFiles().size(), 1u);
    EXPECT_EQ(TallyConfig::configureWithKey("tlySerialNum").longLongValue(), 43);
}

// A full disk at the session end: the items stay in memory and are written once room comes back.
TEST_F(CacheDurability, AFailedSaveKeepsTheItemsAndWritesThemAgain) {
    beginFirstSession();
    for (const char* id : {"one", "two"}) TallyEvent::event(Value(id));
    drainMain();
    // A folder in the archive's place: the atomic write cannot rename onto it, even for root.
    const std::string archive = TallyUtility::cacheFilePath();
    TallyUtility::removeFile(archive);
    TallyUtility::removeFile(TallyUtility::cacheJournalPath());
    std::filesystem::create_directories(archive + "/blocked");
    session()->appInactivate(nullptr);
    EXPECT_EQ(eventIds(), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(engine()->terminates().size(), 1u);

    std::filesystem::remove_all(archive);  // room again
    session()->setAppInBackGround(false);
    session()->setSessionStatus(1);
    TallyEvent::event(Value("three"));
    drainMain();
    relaunch();  // as after a kill: only what reached the disk counts
    engine()->loadCache();
    EXPECT_EQ(eventIds(), (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(engine()->terminates().size(), 1u);
}

// A kill after an archive that took up the journal replaced the old one, before the journal went:
// the fold record says so, and the next launch reads the journal's items once.
TEST_F(CacheDurability, AKillWhileTheJournalIsFoldedReadsItsItemsOnce) {
    TallyEvent::event(Value("zero"));
    drainMain();
    beginFirstSession();  // the archive holds "zero"
    for (const char* id : {"one", "two"}) TallyEvent::event(Value(id));
    drainMain();
    const auto journal = bytesAt(TallyUtility::cacheJournalPath());
    ASSERT_TRUE(journal);
    EXPECT_EQ(engine()->removeOldestEvents(1), 1u);  // the next write replaces the archive
    drainMain();
    EXPECT_FALSE(TallyUtility::isExistAtPath(TallyUtility::cacheJournalPath()));
    EXPECT_FALSE(TallyUtility::isExistAtPath(TallyUtility::cacheFoldPath()));
    const auto archive = bytesAt(TallyUtility::cacheFilePath());
    ASSERT_TRUE(archive);

    // As the kill left it: the new archive in place, the journal and the fold record still there.
    put(TallyUtility::cacheJournalPath(), *journal);
    ASSERT_TRUE(writePropertyListToFile(
        Value::dictionary({{"archive", Value(hexString(md5Digest(std::span<const std::uint8_t>(*archive))))},
                           {"journal", Value(hexString(md5Digest(std::span<const std::uint8_t>(*journal))))}}),
        TallyUtility::cacheFoldPath(), true));
    relaunch();
    beginFirstSession();
    EXPECT_EQ(eventIds(), (std::vector<std::string>{"one", "two"}));
    EXPECT_FALSE(TallyUtility::isExistAtPath(TallyUtility::cacheJournalPath()));  // folded at the begin
    EXPECT_FALSE(TallyUtility::isExistAtPath(TallyUtility::cacheFoldPath()));
    // Without the record the journal is read as ever.
    TallyEvent::event(Value("three"));
    drainMain();
    relaunch();
    engine()->loadCache();
    EXPECT_EQ(eventIds(), (std::vector<std::string>{"one", "two", "three"}));
}

// A ledger names its envelope by a plain file name of the envelope form: any other name (a path out
// of the folder, another file) makes it damaged, so the launch neither links nor removes anything
// through it nor drops the archive's items.
TEST_F(CacheDurability, ALedgerNamingAnythingButAnEnvelopeIsIgnored) {
    test::TempDir outside;
    const std::filesystem::path victim = outside.path() / "victim";
    std::filesystem::create_directories(victim / ".keep");
    { std::ofstream(victim / ".keep" / "photo") << "kept"; }
    for (const bool pathOut : {true, false}) {
        SCOPED_TRACE(pathOut ? "a path out of the folder" : "another file's name");
        recordAndResign();
        const auto archived = bytesAt(TallyUtility::cacheFilePath());
        ASSERT_TRUE(archived);
        const std::string name = pathOut ? std::filesystem::relative(victim / "keep", TallyUtility::tallyDirectory()).string()
                                         : std::string("exchangeIdentity.json");
        ASSERT_TRUE(writePropertyListToFile(
            Value::dictionary({{"archive", Value(hexString(md5Digest(std::span<const std::uint8_t>(*archived))))},
                               {"journal", Value("")},
                               {"envelope", Value(name)}}),
            TallyUtility::cacheLedgerPath(), true));
        relaunch();
        beginFirstSession();
        EXPECT_EQ(eventIds(), (std::vector<std::string>{"one", "two", "three"}));
        EXPECT_FALSE(TallyUtility::isExistAtPath(TallyUtility::cacheLedgerPath()));
        EXPECT_TRUE(std::filesystem::exists(victim / ".keep" / "photo"));
        EXPECT_FALSE(std::filesystem::exists(victim / "keep"));
        engine()->removeCacheData();
        drainMain();
        relaunch();
    }
}

// A link planted at the journal's path: the records are not written through it, and the next launch
// neither reads nor cuts the file it points to, but removes the link.
TEST_F(CacheDurability, AJournalThatIsALinkIsNeitherWrittenNorCut) {
    test::TempDir outside;
    const std::string target = outside.file("precious");
    { std::ofstream(target) << "precious"; }
    const Bytes precious{'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'};
    const std::string journal = TallyUtility::cacheJournalPath();
    beginFirstSession();
    std::filesystem::remove(journal);
    std::filesystem::create_symlink(target, journal);
    TallyEvent::event(Value("one"));
    drainMain();
    EXPECT_EQ(bytesAt(target), precious);
    session()->appInactivate(nullptr);  // the whole archive takes "one"
    EXPECT_EQ(bytesAt(target), precious);

    std::error_code ec;
    std::filesystem::remove(journal, ec);
    std::filesystem::create_symlink(target, journal);
    relaunch();
    engine()->loadCache();
    EXPECT_EQ(eventIds(), std::vector<std::string>{"one"});
    EXPECT_EQ(bytesAt(target), precious);
    EXPECT_FALSE(std::filesystem::is_symlink(journal));
}

// A folder at the ledger's path (found at the launch, or made later) is removed: envelopes are made
// again, rather than never.
TEST_F(CacheDurability, AFolderAtTheLedgersPathDoesNotStopEnvelopes) {
    for (const bool atLaunch : {true, false}) {
        SCOPED_TRACE(atLaunch ? "there at the launch" : "made after the launch");
        recordAndResign();
        relaunch();
        const std::string ledger = TallyUtility::cacheLedgerPath();
        if (atLaunch) std::filesystem::create_directories(ledger + "/inside");
        beginFirstSession();
        if (!atLaunch) std::filesystem::create_directories(ledger + "/inside");
        engine()->generateEnvelopeFile();
        EXPECT_EQ(TallyUtility::envelopeFiles().size(), 1u);
        EXPECT_FALSE(TallyUtility::isExistAtPath(ledger));
        EXPECT_FALSE(TallyUtility::isExistAtPath(TallyUtility::cacheFilePath()));
        for (const auto& file : TallyUtility::envelopeFiles()) TallyUtility::removeFile(file);
        session()->appInactivate(nullptr);
        relaunch();
    }
}

// Items filed in a session are appended to the journal: the archive is not rewritten per item, and a
// kill keeps them; a record cut by a kill is dropped and what comes after it is read.
TEST_F(CacheDurability, FiledItemsGoToTheJournalAndACutRecordIsDropped) {
    beginFirstSession();
    TallyEvent::event(Value("one"));
    drainMain();
    const auto archive = bytesAt(TallyUtility::cacheFilePath());
    TallyEvent::event(Value("two"));
    drainMain();
    TallyEvent::event(Value("three"));
    drainMain();
    EXPECT_EQ(bytesAt(TallyUtility::cacheFilePath()), archive);
    const auto journal = bytesAt(TallyUtility::cacheJournalPath());
    ASSERT_TRUE(journal);

    // A kill in the middle of the next record's write.
    {
        std::ofstream out(TallyUtility::cacheJournalPath(), std::ios::binary | std::ios::app);
        out.write("\0\0\1\0partial", 11);
    }
    relaunch();
    engine()->loadCache();
    EXPECT_EQ(eventIds(), (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(bytesAt(TallyUtility::cacheJournalPath()), journal);  // cut back to its whole records
    // Appends after the cut are read again.
    session()->setSessionStatus(1);
    TallyEvent::event(Value("four"));
    drainMain();
    relaunch();
    engine()->loadCache();
    EXPECT_EQ(eventIds(), (std::vector<std::string>{"one", "two", "three", "four"}));
}

// An item sent in the same turn as a resign belongs to the session that was running: it reaches the
// archive with it, whichever way the session closes, and survives a terminate.
TEST_F(CacheDurability, AnEventSentJustBeforeAResignIsKept) {
    for (const bool backgroundWork : {false, true}) {
        SCOPED_TRACE(backgroundWork);
        TallyApp::sharedInstance()->setBackgroundTaskEnabledFlag(backgroundWork);
        beginFirstSession();
        TallyEvent::event(Value("last"));
        const auto application = Application::sharedApplication();
        const auto resign = Notification::make(std::string(kApplicationWillResignActiveNotification), application);
        const auto terminate = Notification::make(std::string(kApplicationWillTerminateNotification), application);
        session()->appInactivate(resign.get());
        drainMain();
        session()->appInactivate(terminate.get());
        EXPECT_TRUE(engine()->tmpContainer().empty());
        relaunch();
        engine()->loadCache();
        EXPECT_EQ(eventIds(), std::vector<std::string>{"last"});
        EXPECT_EQ(engine()->terminates().size(), 1u);
        TallyApp::sharedInstance()->endBackgroundTask();
        engine()->removeCacheData();
        drainMain();
        relaunch();
    }
    TallyApp::sharedInstance()->setBackgroundTaskEnabledFlag(false);
}

// Events recorded in the background count toward the 8-hour limit while they wait.
TEST_F(CacheDurability, BackgroundEventsCountTowardTheLimit) {
    beginFirstSession();
    TallyConfig::setConfigure(Value(std::int64_t{TallyInternal::kMaxEventsPerPeriod - 10}), "tlyPeriodEvtCount");
    session()->setAppInBackGround(true);
    for (int i = 0; i < 25; ++i) TallyEvent::event(Value("bg"));
    drainMain();
    EXPECT_EQ(engine()->tmpContainer().size(), 10u);
}

// Over a size cap the engine drops its oldest events, counted and keyed alike, by their time.
TEST_F(CacheDurability, TheOldestEventsGoFirstAndSessionsStay) {
    double now = 1'700'000'000;
    ScopedClock clock([&now] { return now; });
    beginFirstSession();
    for (const char* id : {"a", "b", "c", "d"}) {
        now += 1;
        TallyEvent::event(Value(id));
        now += 1;
        TallyEvent::eventAttributes(Value(std::string(id) + "k"), Value::dictionary({{"k", Value("v")}}));
        drainMain();
    }
    engine()->stopSession(5);
    EXPECT_EQ(engine()->removeOldestEvents(3), 3u);
    EXPECT_EQ(eventIds(), (std::vector<std::string>{"c", "d"}));
    ASSERT_EQ(engine()->ekv().size(), 3u);
    EXPECT_EQ(std::dynamic_pointer_cast<TLYEkv>(engine()->ekv()[0])->id, "bk");
    EXPECT_EQ(engine()->terminates().size(), 1u);
    EXPECT_EQ(engine()->removeOldestEvents(100), 5u);
    EXPECT_EQ(engine()->removeOldestEvents(1), 0u);
    EXPECT_EQ(engine()->terminates().size(), 1u);
}

// A 300,000-character label is cut to 256 bytes (on a character boundary): the session, its page and
// the other events all reach the envelope.
TEST_F(CacheDurability, ALongLabelIsCutAndDropsNothing) {
    beginFirstSession();
    TallyEvent::event(Value("long"), Value(std::string(300'000, 'x')));
    TallyEvent::event(Value("utf8"), Value(std::string(100, 'a') + "\xE4\xB8\xAD\xE4\xB8\xAD" + std::string(200, 'b')));
    TallyEvent::beginEvent(Value("timed"), Value(std::string(400, 't')));
    TallyEvent::endEvent(Value("timed"), Value(std::string(400, 't')));
    for (const char* id : {"one", "two", "three"}) TallyEvent::event(Value(id));
    drainMain();
    session()->appInactivate(nullptr);
    relaunch();
    beginFirstSession();
    ASSERT_EQ(engine()->events().size(), 6u);
    EXPECT_EQ(std::dynamic_pointer_cast<TLYEvent>(engine()->events()[0])->label, std::string(256, 'x'));
    EXPECT_EQ(std::dynamic_pointer_cast<TLYEvent>(engine()->events()[1])->label,
              std::string(100, 'a') + "\xE4\xB8\xAD\xE4\xB8\xAD" + std::string(150, 'b'));
    EXPECT_EQ(std::dynamic_pointer_cast<TLYEvent>(engine()->events()[2])->label, std::string(256, 't'));
    EXPECT_EQ(engine()->terminates().size(), 1u);
    engine()->generateEnvelopeFile();
    EXPECT_EQ(TallyUtility::envelopeFiles().size(), 1u);
    EXPECT_TRUE(engine()->terminates().empty());
}

}  // namespace
}  // namespace lv
