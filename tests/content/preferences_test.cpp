#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "content/ln_preferences.h"
#include "content/properties_as_dictionary.h"
#include "content/property_persistance.h"
#include "platform/base/log.h"
#include "platform/runtime/runtime.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/keyed_archive.h"
#include "platform/storage/property_list.h"
#include "platform/storage/sandbox.h"
#include "support/temp_dir.h"

namespace lv {
namespace {

// Every test runs in a fresh sandbox, with no Microblog logout installed.
class Preferences : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Sandbox::setRoot(dir_.path().string()));
        LNPreferences::setMicroblogLogoutHandler(nullptr);
    }
    void TearDown() override { LNPreferences::setMicroblogLogoutHandler(nullptr); }

    std::string settingsPath() const { return documentsDirectory() + "/LNPreferences.plist"; }

    // The object as the application delegate makes it.
    static Ref<LNPreferences> switchedOn() {
        auto prefs = makeRef<LNPreferences>();
        PropertyPersistance::setPersistanceOn(*prefs);
        return prefs;
    }

    // The dictionary archived in the settings file's one entry "key".
    Dictionary archivedValues() const {
        const Value plist = dictionaryWithContentsOfFile(settingsPath());
        EXPECT_EQ(plist.count(), 1u);
        Ref<Error> error;
        Value root = KeyedUnarchiver::unarchivedObject(plist["key"].bytes(), &error);
        EXPECT_TRUE(root.isDictionary()) << (error ? error->description() : "");
        return root.isDictionary() ? root.dictionary() : Dictionary();
    }

    void writeFile(const Value& plist) const { ASSERT_TRUE(writePropertyListToFile(plist, settingsPath(), true)); }

    test::TempDir dir_;
};

// The first launch has no file and no login, and loading writes nothing. Every set rewrites the file;
// what a setter accepts survives a relaunch: values of another kind are stored as the declared kind, and
// a value that cannot be one is refused at once rather than dropped by the next load.
TEST_F(Preferences, SetValuesOfAnotherKindSurviveTheNextLaunch) {
    const Value expiry(Date::fromSince1970(1425517622.5));
    const Dictionary userInfo{{"uid", "1000001"}, {"scope", Value::array({"all"})}};
    struct Row {
        const char* key;
        Value given;
        Value kept;  // in the object, the file and a new object reading it
    };
    const Row rows[] = {
        {"mblExpireDate", expiry, expiry}, {"mblCurrentUserInfo", Value(userInfo), Value(userInfo)},
        {"mbltoken", Value("t"), Value("t")}, {"mblUsername", Value("岚朵"), Value("岚朵")}, {"appBuild", Value("12"), Value("12")},
        {"mblRefreshtoken", Value("2.00def"), Value("2.00def")},
        {"mblCurrentUserID", Value(1234567890123LL), Value("1234567890123")},  // a JSON number id
        {"appVersion", Value(2.5), Value("2.5")}, {"hideVideos", Value("1"), Value(true)}, {"checkUpdate", Value("0"), Value(false)},
        {"mbltoken", Value::null(), Value()},
        {"mblExpireDate", Value("tomorrow"), expiry},  // refused: the date set first stays
        {"mblCurrentUserInfo", Value::array({"x"}), Value(userInfo)},
    };
    {
        Ref<LNPreferences> prefs = switchedOn();
        EXPECT_EQ(PropertiesAsDictionary::propertyValuesDictionary(*prefs), Dictionary());
        EXPECT_FALSE(prefs->isLoggin());
        EXPECT_FALSE(FileManager::defaultManager().fileExistsAtPath(settingsPath()));
        LogCapture capture;
        for (const Row& row : rows) {
            setValueForKey(*prefs, row.given, row.key);
            EXPECT_EQ(valueForKey(*prefs, row.key), row.kept) << row.key;
            EXPECT_EQ(archivedValues(), PropertiesAsDictionary::propertyValuesDictionary(*prefs)) << row.key;
        }
        EXPECT_EQ(capture.count("kept its value"), 2u);
        prefs->setMbltoken("2.00abc");
        EXPECT_TRUE(prefs->isLoggin());
    }
    LogCapture capture;
    Ref<LNPreferences> again = switchedOn();
    EXPECT_EQ(capture.count("Settings file"), 0u);  // nothing skipped
    for (const Row& row : rows) {
        if (std::string(row.key) == "mbltoken") continue;
        EXPECT_EQ(valueForKey(*again, row.key), row.kept) << row.key;
    }
    const Value hide = again->hideVideos();
    EXPECT_TRUE(hide.number() && hide.number()->isBool());
    EXPECT_TRUE(again->isLoggin());
}

TEST_F(Preferences, LogoutEndsTheSessionFirstThenClearsFiveFieldsInOrder) {
    Ref<LNPreferences> prefs = switchedOn();
    prefs->logout();  // without an installed session it still clears
    for (const char* key : {"appVersion", "mbltoken", "mblRefreshtoken", "mblCurrentUserID", "mblUsername"}) {
        setValueForKey(*prefs, Value(key), key);
    }
    prefs->setMblExpireDate(Date::fromSince1970(1425517622));
    prefs->setMblCurrentUserInfo(Dictionary{{"uid", "1000001"}});

    std::vector<std::string> events;
    LNPreferences::setMicroblogLogoutHandler([&events, prefs] {
        // The session ends while the login is still stored.
        events.push_back(prefs->isLoggin() ? "microblog logout (logged in)" : "microblog logout");
    });
    std::vector<Dictionary> files;
    const std::uint64_t token = addPropertyObserver(*prefs, [&](Object&, const std::string& key) {
        events.push_back(key);
        files.push_back(archivedValues());  // the observer added after persistence runs after its save
    });
    prefs->logout();
    removePropertyObserver(*prefs, token);

    EXPECT_EQ(events, (std::vector<std::string>{"microblog logout (logged in)", "mbltoken", "mblRefreshtoken",
                                                "mblExpireDate", "mblCurrentUserInfo", "mblCurrentUserID"}));
    ASSERT_EQ(files.size(), 5u);  // one save per cleared field
    EXPECT_FALSE(files[0].contains("mbltoken"));
    EXPECT_TRUE(files[0].contains("mblRefreshtoken"));
    EXPECT_EQ(archivedValues(), (Dictionary{{"appVersion", "appVersion"}, {"mblUsername", "mblUsername"}}));
}

struct FileCase {
    const char* name;
    Value plist;            // written as the file (nil: raw bytes below)
    const char* raw;        // raw file bytes when plist is nil
    const char* logged;     // a fragment of the loader's first log line (nullptr: nothing logged)
    Dictionary loaded;      // what is loaded
    std::size_t lines = 1;
};

// The archived form and the plain dictionary (a file with one entry under another key than "key" too)
// load alike; entries of unknown keys are skipped with one log line each; an empty token is no login.
// The next save replaces the file atomically with the archived form of its entries (unknown ones kept)
// and the set key, mode 0600.
TEST_F(Preferences, FilesLoadOrAreSkippedWithOneLogLine) {
    const Bytes validArchive = KeyedArchiver::archivedDataWithRootObject(
        Value::dictionary({{"appVersion", "1.2"}, {"laterSetting", "x"}}));
    const Dictionary plain{{"appVersion", "1.2"}, {"hideVideos", false}, {"mbltoken", ""}};
    const FileCase cases[] = {
        {"plain form", Value(plain), nullptr, nullptr, plain, 0},
        {"plain form of one entry", Value::dictionary({{"appBuild", "7"}}), nullptr, nullptr, Dictionary{{"appBuild", "7"}}, 0},
        {"unknown key in the archive", Value::dictionary({{"key", Value(validArchive)}}), nullptr, "laterSetting",
         Dictionary{{"appVersion", "1.2"}}},
        {"unknown key, plain form", Value::dictionary({{"appBuild", "7"}, {"futureFlag", true}}), nullptr, "futureFlag",
         Dictionary{{"appBuild", "7"}}},
    };
    for (const FileCase& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.plist.isNil()) {
            ASSERT_TRUE(writeToFile(std::string_view(c.raw), settingsPath(), true));
        } else {
            writeFile(c.plist);
        }
        ASSERT_EQ(::chmod(settingsPath().c_str(), 0644), 0);
        LogCapture capture;
        Ref<LNPreferences> prefs = switchedOn();
        // The loader's own lines (the property-list reader may add one of its own for unreadable bytes).
        std::vector<std::string> lines;
        for (const std::string& line : capture.lines()) {
            if (line.rfind("Settings file", 0) == 0) lines.push_back(line);
        }
        ASSERT_EQ(lines.size(), c.lines);
        EXPECT_TRUE(!c.logged || lines[0].find(c.logged) != std::string::npos) << lines[0];
        EXPECT_EQ(PropertiesAsDictionary::propertyValuesDictionary(*prefs), c.loaded);
        EXPECT_FALSE(prefs->isLoggin());
        prefs->setCheckUpdate(false);
        Dictionary saved = c.plist["key"].isData() ? KeyedUnarchiver::unarchivedObject(c.plist["key"].bytes(), nullptr).dictionary()
                                                   : c.plist.dictionary();
        saved.set("checkUpdate", false);
        EXPECT_EQ(archivedValues(), saved);
        struct stat st {};
        ASSERT_EQ(::stat(settingsPath().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        std::vector<std::string> names;  // no temporary file is left beside it
        for (const auto& entry : std::filesystem::directory_iterator(documentsDirectory())) {
            names.push_back(entry.path().filename().string());
        }
        EXPECT_EQ(names, std::vector<std::string>{"LNPreferences.plist"});
    }
}

// Entries of another kind than the property's load as its setter stores them (a number as text, "1",
// "0", "YES", "NO" as a boolean number), in both file forms; only a value no setter takes is refused,
// with one log line. The next save changes only the key set: the other entries stay as the file had them.
TEST_F(Preferences, EntriesOfAnotherKindAreConvertedOnLoad) {
    struct Case {
        Dictionary file;
        Dictionary loaded;
        std::size_t refused;
    };
    const Case cases[] = {
        {{{"hideVideos", "1"}, {"mbltoken", 12345}, {"mblCurrentUserID", 5000000000LL}},
         {{"hideVideos", true}, {"mbltoken", "12345"}, {"mblCurrentUserID", "5000000000"}}, 0},
        {{{"checkUpdate", "NO"}, {"hideVideos", "YES"}, {"appVersion", 2.5}, {"appBuild", "7"}},
         {{"checkUpdate", false}, {"hideVideos", true}, {"appVersion", "2.5"}, {"appBuild", "7"}}, 0},
        {{{"checkUpdate", "0"}, {"mblExpireDate", "tomorrow"}, {"mblCurrentUserInfo", Value::array({"x"})}},
         {{"checkUpdate", false}}, 2},
    };
    for (const Case& c : cases) {
        for (const bool archived : {false, true}) {
            SCOPED_TRACE(Value(c.file).description() + (archived ? " archived" : " plain"));
            if (archived) {
                writeFile(Value::dictionary({{"key", Value(KeyedArchiver::archivedDataWithRootObject(Value(c.file)))}}));
            } else {
                writeFile(Value(c.file));
            }
            LogCapture capture;
            Ref<LNPreferences> prefs = switchedOn();
            EXPECT_EQ(PropertiesAsDictionary::propertyValuesDictionary(*prefs), c.loaded);
            EXPECT_EQ(capture.count("kept its value"), c.refused);
            EXPECT_EQ(capture.count("Settings file"), 0u);
            const Value hide = prefs->hideVideos();
            EXPECT_TRUE(hide.isNil() || (hide.number() && hide.number()->isBool()));
            prefs->setMblUsername("岚朵");
            Dictionary saved = c.file;  // what the process did not set stays as the file had it
            saved.set("mblUsername", "岚朵");
            EXPECT_EQ(archivedValues(), saved);
        }
    }
}

// A damaged settings file is not overwritten by the next save: it moves, unchanged, into the folder
// "Damaged" beside it under a time-stamped name, the load says so in one line and starts from defaults,
// and the next launch finds nothing to report.
TEST_F(Preferences, DamagedFilesAreKeptAsideAndDefaultsStart) {
    const Bytes archived = *PropertyListSerialization::dataWithPropertyList(
        Value::dictionary({{"key", Value(KeyedArchiver::archivedDataWithRootObject(Value::dictionary({{"mbltoken", "2.00abc"}})))}}),
        PropertyListFormat::XML, 0, nullptr);
    const auto bytesOf = [](const Value& plist) {
        return *PropertyListSerialization::dataWithPropertyList(plist, PropertyListFormat::XML, 0, nullptr);
    };
    struct Case {
        const char* name;
        Bytes bytes;
        const char* logged;
    };
    const Case cases[] = {
        {"truncated", Bytes(archived.begin(), archived.begin() + static_cast<std::ptrdiff_t>(archived.size() / 2)),
         "no property-list dictionary"},
        {"garbage", Value::data("\x01\x02 garbage").bytes(), "no property-list dictionary"},
        {"empty", Bytes(), "no property-list dictionary"},
        {"a list at the root", bytesOf(Value::array({"mbltoken"})), "no property-list dictionary"},
        {"archive entry not data", bytesOf(Value::dictionary({{"key", "text"}})), "holds no archive"},
        {"damaged archive", bytesOf(Value::dictionary({{"key", Value::data("bplist00 damaged")}})), "damaged archive"},
        {"archive of a list", bytesOf(Value::dictionary({{"key", Value(KeyedArchiver::archivedDataWithRootObject(Value::array({"x"})))}})),
         "no dictionary"},
    };
    const std::string aside = documentsDirectory() + "/Damaged";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(aside);
        ASSERT_TRUE(writeToFile(c.bytes, settingsPath(), true));
        std::vector<std::string> lines;
        Ref<LNPreferences> prefs;
        {
            LogCapture capture;
            prefs = switchedOn();
            for (const std::string& line : capture.lines()) {
                if (line.rfind("Settings file", 0) == 0) lines.push_back(line);
            }
        }
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find(c.logged), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find("kept aside as " + aside + "/LNPreferences.plist.damaged-"), std::string::npos) << lines[0];
        EXPECT_EQ(PropertiesAsDictionary::propertyValuesDictionary(*prefs), Dictionary());
        EXPECT_FALSE(FileManager::defaultManager().fileExistsAtPath(settingsPath()));
        prefs->setAppVersion("1.2");
        EXPECT_EQ(archivedValues(), (Dictionary{{"appVersion", "1.2"}}));
        std::vector<std::filesystem::path> kept;
        for (const auto& entry : std::filesystem::directory_iterator(aside)) kept.push_back(entry.path());
        ASSERT_EQ(kept.size(), 1u);
        EXPECT_EQ(dataWithContentsOfFile(kept[0].string(), nullptr), std::optional<Bytes>(c.bytes));
        LogCapture again;
        switchedOn();
        EXPECT_EQ(again.count("Settings file"), 0u);
    }
    // A later damaged file never replaces an earlier copy (one in the same second gets "-2").
    ASSERT_TRUE(writeToFile(std::string_view("garbage"), settingsPath(), true));
    switchedOn();
    ASSERT_TRUE(writeToFile(std::string_view("more garbage"), settingsPath(), true));
    switchedOn();
    std::size_t copies = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(aside)) ++copies;
    EXPECT_EQ(copies, 3u);
}

TEST_F(Preferences, SaveErrorsAreLoggedAndTheObjectStaysAuthoritative) {
    Ref<LNPreferences> prefs = switchedOn();
    std::filesystem::create_directories(settingsPath() + "/blocked");  // a folder where the file should go
    LogCapture capture;
    prefs->setAppVersion("1.2");
    EXPECT_EQ(capture.count("could not be written"), 1u);
    EXPECT_EQ(prefs->appVersion(), Value("1.2"));
    EXPECT_FALSE(PropertyPersistance::saveProperties(*prefs));
    // Once the file can be written, the next set's save carries the key whose save failed too.
    std::filesystem::remove_all(settingsPath());
    prefs->setAppBuild("9");
    EXPECT_EQ(archivedValues(), (Dictionary{{"appBuild", "9"}, {"appVersion", "1.2"}}));
}

// Switched off, sets are not saved; switching on twice keeps one observation (one save per set) and
// loads the file back. Another file name is used for loading and saving; cleaning empties that file and
// the object, then saves under the default name.
TEST_F(Preferences, SwitchingOffAndOtherFileNames) {
    Ref<LNPreferences> prefs = switchedOn();
    prefs->setAppVersion("1.2");
    PropertyPersistance::setPersistanceOff(*prefs);
    EXPECT_FALSE(PropertyPersistance::isPersistanceOn(*prefs));
    prefs->setAppVersion("1.3");
    EXPECT_EQ(archivedValues(), (Dictionary{{"appVersion", "1.2"}}));
    PropertyPersistance::setPersistanceOn(*prefs);
    PropertyPersistance::setPersistanceOn(*prefs);
    EXPECT_EQ(prefs->appVersion(), Value("1.2"));
    prefs->setAppBuild("9");
    EXPECT_EQ(archivedValues(), (Dictionary{{"appBuild", "9"}, {"appVersion", "1.2"}}));

    auto other = makeRef<LNPreferences>();
    PropertyPersistance::setPersistanceOn(*other, "other.plist");
    other->setAppVersion("2.0");
    auto reader = makeRef<LNPreferences>();
    PropertyPersistance::loadProperties(*reader, "other.plist");
    EXPECT_EQ(reader->appVersion(), Value("2.0"));
    EXPECT_EQ(archivedValues(), (Dictionary{{"appBuild", "9"}, {"appVersion", "1.2"}}));
    PropertyPersistance::persistanceCleanProperties(*other, "other.plist");
    EXPECT_EQ(PropertiesAsDictionary::propertyValuesDictionary(*other), Dictionary());
    EXPECT_EQ(dictionaryWithContentsOfFile(documentsDirectory() + "/other.plist"), Value(Dictionary()));
    EXPECT_EQ(archivedValues(), Dictionary());
    other->setAppBuild("3");  // now saved under the default name
    EXPECT_EQ(archivedValues(), (Dictionary{{"appBuild", "3"}}));
}

// Setters race from several threads; saves are serialised, so the file ends equal to the object.
TEST_F(Preferences, ConcurrentSettersLeaveTheFileEqualToTheObject) {
    Ref<LNPreferences> prefs = switchedOn();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([prefs, t] {
            for (int i = 0; i < 10; ++i) {
                switch (t) {
                    case 0: prefs->setHideVideos(i % 2 == 0); break;
                    case 1: prefs->setAppVersion(format("1.%d", i)); break;
                    case 2: prefs->setMbltoken(format("token%d", i)); break;
                    default: (void)prefs->isLoggin(); prefs->setMblUsername(format("user%d", i)); break;
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(archivedValues(), PropertiesAsDictionary::propertyValuesDictionary(*prefs));
    EXPECT_EQ(prefs->appVersion(), Value("1.9"));
}

TEST(PropertiesAsDictionary, TypeNamesFromAttributeTexts) {
    const std::pair<const char*, const char*> rows[] = {  // nullptr: no type name
        {"T@\"String\",&,N,V_wbtoken", "String*"}, {"Ti,N,V_count", "int"}, {"T^^i,N,V_matrix", "int**"},
        {"Tq,N,V_big", "long long int"}, {"T{Rect={Point=dd}{Size=dd}},N,V_frame", "struct"}, {"T@,&,N,V_anything", "id"},
        {"TB,N,V_flag", nullptr} /* no entry for B */, {"T@?,C,N,V_block", nullptr}, {"T@\"\",&,N", nullptr}, {"", nullptr},
        {"N,V_x", nullptr},
    };
    for (const auto& [attributes, type] : rows) {
        EXPECT_EQ(PropertiesAsDictionary::typeFromAttributes(attributes),
                  type ? std::optional<std::string>(type) : std::nullopt) << attributes;
    }
}

// A class with a property of a type code outside the table.
class Flagged : public Object {
public:
    Flagged() { runtimeClass(); }
    static const ClassInfo* runtimeClass() {
        static const ClassInfo* cls = ClassDef<Flagged>("PreferencesTestFlagged")
                                          .factory()
                                          .property("title", &Flagged::title_, "String", "C,N")
                                          .property("flag", &Flagged::flag_, "N")
                                          .property("count", &Flagged::count_, "N")
                                          .registerClass();
        return cls;
    }
    Value title_;
    bool flag_ = false;
    std::int32_t count_ = 0;
};

TEST(PropertiesAsDictionary, ClassIntrospection) {
    EXPECT_EQ(PropertiesAsDictionary::propertyNamesAttrDictionary(Flagged::runtimeClass()),
              (Dictionary{{"count", "int"}, {"title", "String*"}}));  // the bool has no type name
    auto object = makeRef<Flagged>();
    // Non-nil values only; scalars are always there.
    EXPECT_EQ(PropertiesAsDictionary::propertyValuesDictionary(*object), (Dictionary{{"count", 0}, {"flag", false}}));
}

}  // namespace
}  // namespace lv
