#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <ctime>

#include "platform/base/clock.h"
#include "platform/storage/file_manager.h"
#include "platform/storage/path.h"
#include "platform/storage/sandbox.h"
#include "storage_test_support.h"
#include "support/child_process.h"
#include "support/scoped_env.h"

namespace lv {
namespace {

using test::SandboxTest;

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

bool write(const std::string& path, std::string_view contents) { return writeToFile(contents, path, true); }

TEST(PathText, ComponentsAndExtensionsAsThePlatformSplitsThem) {
    EXPECT_EQ(path::appendingPathComponent("/tmp/", "/x.plist"), "/tmp/x.plist");
    EXPECT_EQ(path::appendingPathComponent("", "a"), "a");
    EXPECT_EQ(path::lastPathComponent("/tmp/scratch.tiff"), "scratch.tiff");
    EXPECT_EQ(path::lastPathComponent("/tmp/"), "tmp");
    EXPECT_EQ(path::lastPathComponent("/"), "/");
    EXPECT_EQ(path::deletingLastPathComponent("/tmp/lock/"), "/tmp");
    EXPECT_EQ(path::deletingLastPathComponent("/tmp"), "/");
    EXPECT_EQ(path::deletingLastPathComponent("scratch.tiff"), "");
    EXPECT_EQ(path::pathExtension("a/lunavexa.sqlite"), "sqlite");
    EXPECT_EQ(path::pathExtension("a.b/c"), "");
    EXPECT_EQ(path::pathExtension(".tally"), "");
    EXPECT_EQ(path::deletingPathExtension("/a/b.tar.gz"), "/a/b.tar");
    EXPECT_EQ(path::appendingPathExtension("CoreDataStore/", "sqlite"), "CoreDataStore.sqlite");
    EXPECT_EQ(path::pathComponents("/tmp//a/"), (std::vector<std::string>{"/", "tmp", "a", "/"}));
}

TEST_F(SandboxTest, DirectoryQueriesAnswerInsideTheRootWhichHoldsTheStandardFolders) {
    EXPECT_EQ(homeDirectory(), rootPath());
    EXPECT_EQ(temporaryDirectory(), rootPath() + "/tmp/");
    const Array documents = searchPathForDirectoriesInDomains(SearchPathDirectory::Document, kUserDomainMask, true);
    ASSERT_EQ(documents.size(), 1u);
    EXPECT_EQ(documents[0].string(), rootPath() + "/Documents");
    EXPECT_EQ(searchPathForDirectoriesInDomains(SearchPathDirectory::Caches, kUserDomainMask, false)[0].string(),
              "~/Library/Caches");
    EXPECT_TRUE(searchPathForDirectoriesInDomains(SearchPathDirectory::Caches, kSystemDomainMask, true).empty());
    EXPECT_EQ(expandingTildeInPath("~/Library/Application Support"), applicationSupportDirectory());
    for (const std::string& folder : {documentsDirectory(), cachesDirectory(), applicationSupportDirectory(),
                                      preferencesDirectory(), rootPath() + "/tmp"}) {
        bool isDirectory = false;
        EXPECT_TRUE(FileManager::defaultManager().fileExistsAtPath(folder, &isDirectory)) << folder;
        EXPECT_TRUE(isDirectory) << folder;
    }
}

class FileManagerTest : public SandboxTest {
protected:
    FileManager& files = FileManager::defaultManager();
    std::string at(const std::string& name) const { return rootPath() + "/" + name; }
};

TEST_F(FileManagerTest, UbiquityContainersLieUnderTheConfiguredRootOnly) {
    test::ScopedEnv env("LV_UBIQUITY_DIR", std::nullopt);
    Sandbox::setUbiquityRoot("");
    EXPECT_FALSE(files.URLForUbiquityContainerIdentifier("iCloud.app"));  // no root: no containers
    {
        test::ScopedEnv fromEnv("LV_UBIQUITY_DIR", at("env-cloud"));
        EXPECT_EQ(files.URLForUbiquityContainerIdentifier("iCloud.app"), at("env-cloud/iCloud.app"));
    }
    Sandbox::setUbiquityRoot(at("cloud"));
    const struct {
        const char* identifier;
        bool answered;
    } cases[] = {{"iCloud.app", true}, {"", false}, {".", false}, {"..", false}, {"a/b", false}, {"../x", false}};
    for (const auto& c : cases) {
        const auto url = files.URLForUbiquityContainerIdentifier(c.identifier);
        EXPECT_EQ(url.has_value(), c.answered) << c.identifier;
        if (url) {
            EXPECT_EQ(*url, at("cloud/") + c.identifier);
            EXPECT_TRUE(files.fileExistsAtPath(*url));  // made on first use
        }
    }
    EXPECT_FALSE(files.fileExistsAtPath(at("x")));
    Sandbox::setUbiquityRoot("");
}

TEST_F(FileManagerTest, CreatesDirectoriesWithOrWithoutIntermediates) {
    Ref<Error> error;
    EXPECT_FALSE(files.createDirectoryAtPath(at("a/b/c"), false, {}, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
    EXPECT_EQ(error->code(), kFileNoSuchFileError);
    EXPECT_TRUE(files.createDirectoryAtPath(at("a/b/c"), true, {}, nullptr));
    EXPECT_TRUE(files.createDirectoryAtPath(at("a/b/c"), true, {}, nullptr));  // existing: fine
    error.reset();
    EXPECT_FALSE(files.createDirectoryAtPath(at("a/b/c"), false, {}, &error));
    EXPECT_EQ(error->code(), kFileWriteFileExistsError);
    ASSERT_TRUE(write(at("file"), "x"));
    EXPECT_FALSE(files.createDirectoryAtPath(at("file"), true, {}, &error));
}

TEST_F(FileManagerTest, RemovingSomethingMissingIsAnErrorWithThePosixCauseBeneath) {
    Ref<Error> error;
    EXPECT_FALSE(files.removeItemAtPath(at("missing.txt"), &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
    EXPECT_EQ(error->code(), kFileNoSuchFileError);
    EXPECT_EQ(error->userInfo().get(kFilePathErrorKey).string(), at("missing.txt"));
    ASSERT_TRUE(error->underlyingError());
    EXPECT_EQ(error->underlyingError()->domain(), "NSPOSIXErrorDomain");
    EXPECT_EQ(error->underlyingError()->code(), ENOENT);

    ASSERT_TRUE(files.createDirectoryAtPath(at("tree/inner"), true, {}, nullptr));
    ASSERT_TRUE(write(at("tree/inner/f"), "x"));
    EXPECT_TRUE(files.removeItemAtPath(at("tree"), nullptr));
    EXPECT_FALSE(files.fileExistsAtPath(at("tree")));
}

TEST_F(FileManagerTest, MovesRefuseAMissingSourceAndAnExistingDestination) {
    ASSERT_TRUE(write(at("old.db"), "rows"));
    ASSERT_TRUE(write(at(".new.db"), "other"));
    Ref<Error> error;
    EXPECT_FALSE(files.moveItemAtPath(at("old.db"), at(".new.db"), &error));
    EXPECT_EQ(error->code(), kFileWriteFileExistsError);
    EXPECT_EQ(text(*dataWithContentsOfFile(at(".new.db"))), "other");
    ASSERT_TRUE(files.removeItemAtPath(at(".new.db"), nullptr));
    EXPECT_TRUE(files.moveItemAtPath(at("old.db"), at(".new.db"), nullptr));
    EXPECT_EQ(text(*dataWithContentsOfFile(at(".new.db"))), "rows");
    EXPECT_FALSE(files.fileExistsAtPath(at("old.db")));
    EXPECT_FALSE(files.moveItemAtPath(at("old.db"), at("x"), &error));
    EXPECT_EQ(error->code(), kFileNoSuchFileError);
    EXPECT_TRUE(files.copyItemAtPath(at(".new.db"), at("copy.db"), nullptr));
    EXPECT_EQ(text(*files.contentsAtPath(at("copy.db"))), "rows");
}

TEST_F(FileManagerTest, AttributesGiveSizeAndACreationDateThatCanBeSetToAgeAFile) {
    ASSERT_TRUE(write(at("1425517622000_envelope.log"), "0123456789A"));
    auto attributes = files.attributesOfItemAtPath(at("1425517622000_envelope.log"), nullptr);
    ASSERT_TRUE(attributes);
    EXPECT_EQ(attributes->get(kFileSize).longLongValue(), 11);
    EXPECT_EQ(attributes->get(kFileType).string(), kFileTypeRegular);
    EXPECT_LT(std::abs(attributes->get(kFileCreationDate).date()->sinceNow()), 60.0);

    const Date fifteenDaysAgo = Date::now().adding(-15 * 86400.0 - 0.25);
    ASSERT_TRUE(files.setAttributes({{std::string(kFileCreationDate), Value(fifteenDaysAgo)},
                                     {std::string(kFileProtectionKey), Value(kFileProtectionComplete)}},
                                    at("1425517622000_envelope.log"), nullptr));
    attributes = files.attributesOfItemAtPath(at("1425517622000_envelope.log"), nullptr);
    EXPECT_NEAR(attributes->get(kFileCreationDate).date()->since(fifteenDaysAgo), 0.0, 1e-3);

    Ref<Error> error;
    EXPECT_FALSE(files.attributesOfItemAtPath(at("gone"), &error));
    EXPECT_EQ(error->code(), kFileReadNoSuchFileError);
}

TEST_F(FileManagerTest, ListingsNameEveryEntryIncludingHiddenOnes) {
    ASSERT_TRUE(files.createDirectoryAtPath(at(".tally"), false, {}, nullptr));
    for (const char* name : {"2_envelope.log", "exchangeIdentity.json", ".1_envelope.log", "1_envelope.log"}) {
        ASSERT_TRUE(write(at(std::string(".tally/") + name), "x"));
    }
    auto names = files.contentsOfDirectoryAtPath(at(".tally"), nullptr);
    ASSERT_TRUE(names);
    EXPECT_EQ(*names, (std::vector<std::string>{".1_envelope.log", "1_envelope.log", "2_envelope.log",
                                                "exchangeIdentity.json"}));
    Ref<Error> error;
    EXPECT_FALSE(files.contentsOfDirectoryAtPath(at("none"), &error));
    EXPECT_EQ(error->code(), kFileReadNoSuchFileError);
}

TEST_F(FileManagerTest, ReadingAMissingFileIsTheNoSuchFileReadError) {
    Ref<Error> error;
    EXPECT_FALSE(dataWithContentsOfFile(at("none"), &error));
    EXPECT_EQ(error->code(), kFileReadNoSuchFileError);
    EXPECT_FALSE(files.contentsAtPath(rootPath()));
}

// What is no regular file is never read (a FIFO without a writer would block, a device never end), a
// folder keeps its error, and a bounded read refuses a longer file (a sparse one too) without reading it.
TEST_F(FileManagerTest, ReadsRefuseSpecialFilesAndBoundedReadsLongOnes) {
    ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", at("zero").c_str()), 0);
    ASSERT_TRUE(files.createDirectoryAtPath(at("folder"), false, {}, nullptr));
    ASSERT_TRUE(writeToFile(std::string_view("12345"), at("five"), true));
    ASSERT_EQ(::truncate(at("five").c_str(), 1LL << 40), 0);  // now a terabyte, sparse
    ASSERT_TRUE(writeToFile(std::string_view("1234"), at("four"), true));
    const struct {
        std::string name;
        std::size_t bound;
        std::int64_t code;  // 0: read
    } cases[] = {{"fifo", SIZE_MAX, kFileReadCorruptFileError}, {"zero", 16, kFileReadCorruptFileError},
                 {"folder", SIZE_MAX, kFileReadUnknownError},    {"five", 4, kFileReadTooLargeError},
                 {"four", 4, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Ref<Error> error;
        const std::optional<Bytes> bytes = dataWithContentsOfFile(at(c.name), c.bound, &error);
        EXPECT_EQ(bytes.has_value(), c.code == 0);
        EXPECT_EQ(error ? error->code() : 0, c.code);
        EXPECT_EQ(isUnfitFileError(error), c.code == kFileReadCorruptFileError || c.code == kFileReadTooLargeError);
    }
}

TEST_F(FileManagerTest, WritingWithoutOverwritingLeavesAnExistingFileAlone) {
    const std::string file = at("1_envelope.log");
    const Bytes first{1, 2, 3}, second{9};
    for (DataWritingOptions atomic : {DataWritingOptions{0}, kDataWritingAtomic}) {
        files.removeItemAtPath(file, nullptr);
        ASSERT_TRUE(writeToFile(first, file, atomic | kDataWritingWithoutOverwriting, nullptr));
        Ref<Error> error;
        EXPECT_FALSE(writeToFile(second, file, atomic | kDataWritingWithoutOverwriting, &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), kFileWriteFileExistsError);
        EXPECT_EQ(*dataWithContentsOfFile(file), first);
    }
    EXPECT_EQ(*files.contentsOfDirectoryAtPath(rootPath(), nullptr),
              (std::vector<std::string>{"1_envelope.log", "Documents", "Library", "tmp"}));
}

TEST_F(FileManagerTest, AtomicWritesReplaceWholeAndProtectedFilesAreOwnerOnly) {
    const std::string file = at("state.plist");
    ASSERT_TRUE(write(file, "old"));
    ASSERT_TRUE(writeToFile(std::string_view("new contents"), file, true));
    EXPECT_EQ(text(*dataWithContentsOfFile(file)), "new contents");
    ASSERT_TRUE(writeToFile(Bytes{1}, file, kDataWritingAtomic | kDataWritingFileProtectionComplete, nullptr));
    struct stat st{};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    Ref<Error> error;
    EXPECT_FALSE(writeToFile(Bytes{1}, at("no/such/folder/f"), kDataWritingAtomic, &error));
    EXPECT_EQ(error->code(), kFileNoSuchFileError);
}

// Runs in a second process: writes 1 MB atomically under a 4 KB file-size limit, so the write fails
// half-way through the temporary file.
TEST(AtomicWriteChildProcess, FailsHalfWayUnderAFileSizeLimit) {
    const char* target = std::getenv("LV_ATOMIC_WRITE_TARGET");
    if (!target) GTEST_SKIP() << "runs only as the second process of AtomicWrite.OldFileStaysWhole";
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit{4096, 4096};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    Ref<Error> error;
    EXPECT_FALSE(writeToFile(Bytes(1 << 20, 0x5A), target, kDataWritingAtomic, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), kFileWriteOutOfSpaceError);
}

TEST(AtomicWrite, OldFileStaysWholeWhenTheWriteFailsHalfWay) {
    test::TempDir dir;
    const std::string file = dir.file("cache.plist");
    ASSERT_TRUE(writeToFile(std::string_view("the old, complete contents"), file, false));
    EXPECT_EQ(test::runThisBinary("AtomicWriteChildProcess.*", {{"LV_ATOMIC_WRITE_TARGET", file}}), 0);
    EXPECT_EQ(text(*dataWithContentsOfFile(file)), "the old, complete contents");
    // The temporary file is gone too.
    EXPECT_EQ(*FileManager::defaultManager().contentsOfDirectoryAtPath(dir.path().string(), nullptr),
              std::vector<std::string>{"cache.plist"});
}

// Runs in a second process: killed by the file-size signal half-way through an atomic write, as a
// kill -9 would, so its temporary stays behind.
TEST(AtomicWriteKilledChild, DiesHalfWay) {
    const char* target = std::getenv("LV_ATOMIC_KILL_TARGET");
    if (!target) GTEST_SKIP() << "runs only as the second process of AtomicWrite.TemporariesOfDeadWriters…";
    struct rlimit noCore{0, 0}, limit{4096, 4096};
    ASSERT_EQ(::setrlimit(RLIMIT_CORE, &noCore), 0);
    std::signal(SIGXFSZ, SIG_DFL);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    writeToFile(Bytes(1 << 20, 0x5A), target, kDataWritingAtomic, nullptr);
    ADD_FAILURE() << "still running after writing past the limit";
}

TEST(AtomicWrite, TemporariesOfDeadWritersGoAtTheNextWriteAndNothingElse) {
    test::TempDir dir;
    EXPECT_EQ(test::runThisBinary("AtomicWriteKilledChild.*", {{"LV_ATOMIC_KILL_TARGET", dir.file("cache.plist")}}), -1);
    auto listing = [&] {
        auto names = *FileManager::defaultManager().contentsOfDirectoryAtPath(dir.path().string(), nullptr);
        std::sort(names.begin(), names.end());
        return names;
    };
    const auto left = listing();
    ASSERT_EQ(left.size(), 1u);
    ASSERT_EQ(left[0].rfind(".cache.plist.lvtmp-", 0), 0u) << left[0];
    const std::string dead = left[0].substr(19, left[0].rfind('-') - 19);  // the killed writer's process id
    const std::string live = std::to_string(::getppid()), self = std::to_string(::getpid());

    struct Case {
        std::string name;
        bool kept;
        bool folder = false;
        bool dayOld = false;
    } cases[] = {
        {left[0], false},
        {".prefs.plist.lvtmp-" + dead + "-Ab12Cd", false},
        {".prefs.plist.lvtmp-" + live + "-Ab12Cd", true},           // its writer may still be writing
        {".prefs.plist.lvtmp-" + self + "-Ab12Cd", true},           // this process's own
        {".prefs.plist.lvtmp-" + live + "-Zz99Yy", false, false, true},  // abandoned long ago
        {".prefs.plist.Ab12Cd", true},                              // not of this naming
        {"prefs.plist.lvtmp-" + dead + "-Ab12Cd", true},            // not hidden
        {".prefs.plist.lvtmp-" + dead + "-Ab12C", true},
        {".prefs.plist.lvtmp-" + dead + "-Ab12Cd.bak", true},
        {".prefs.plist.lvtmp-0" + dead + "-Ab12Cd", true},
        {".lvtmp-" + dead + "-Ab12Cd", true},                       // no target name
        {".shelf.lvtmp-" + dead + "-Ab12Cd", true, true},           // a folder
    };
    for (const Case& c : cases) {
        const std::string path = dir.file(c.name);
        if (c.folder) {
            ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
        } else if (c.name != left[0]) {
            ASSERT_TRUE(writeToFile(std::string_view("someone's"), path, false));
        }
        if (c.dayOld) {
            const timespec times[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 2 * 24 * 3600, 0}};
            ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
        }
    }
    // The next process to write into the folder atomically removes what dead writers left.
    EXPECT_EQ(test::runThisBinary("AtomicWriteInChild.*", {{"LV_ATOMIC_WRITE_FILE", dir.file("other.plist")}}), 0);
    std::vector<std::string> expected{"other.plist"};
    for (const Case& c : cases) {
        if (c.kept) expected.push_back(c.name);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listing(), expected);
}

// Runs in a second process: one atomic write.
TEST(AtomicWriteInChild, WritesOnce) {
    const char* target = std::getenv("LV_ATOMIC_WRITE_FILE");
    if (!target) GTEST_SKIP() << "runs only as the second process of AtomicWrite.TemporariesOfDeadWriters…";
    EXPECT_TRUE(write(target, "written"));
}

}  // namespace
}  // namespace lv
