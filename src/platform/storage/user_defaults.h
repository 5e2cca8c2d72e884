// User defaults: a thread-safe key-value store over a property-list file, written through on every
// change (so a value set survives the process), with a registration domain that is never written. A
// change that leaves the file's bytes as they are (the same value stored again) writes nothing, as
// long as the file is still the one this object last read or wrote.
//
// Processes on one home: every change takes an advisory lock (flock on "<folder>/.<file name>.lock"),
// reads the file again and, when another process wrote it, takes its values with the keys changed
// here (and not yet written) on top, then writes. So neither loses the other's keys, and addInteger
// counts on from the other's sum. Reads answer what this object last read or wrote.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/object.h"
#include "platform/base/value.h"

namespace lv {

// The user's preferred languages (an array of language tags, most preferred first).
inline constexpr std::string_view kAppleLanguagesKey = "AppleLanguages";

class UserDefaults : public Object {
public:
    // The standard defaults: "Library/Preferences/<bundle identifier>.plist" in the sandbox ("lunavexa"
    // when the main bundle has no identifier). A change of the sandbox root or of the main bundle opens
    // the file of the new place on the next call; holders of the old object keep using the old file.
    // The first call also makes the text layer's preferred languages follow "AppleLanguages".
    static Ref<UserDefaults> standardUserDefaults();
    // Forgets the standard defaults; the next standardUserDefaults() reads its file again.
    static void resetStandardUserDefaults();
    // "AppleLanguages" of the standard defaults (its text entries); when the app stored none, the
    // languages of the environment.
    static std::vector<std::string> preferredLanguages();

    // Defaults kept in the property-list file at the path (read now when it exists; written on the
    // first change). A damaged file (empty, not a property list, not a dictionary, no regular file, or
    // past 4 MiB) is set aside (setAsideDamagedFile) and the defaults start empty.
    explicit UserDefaults(std::string filePath);

    const std::string& filePath() const { return path_; }

    // The stored value, else the registered default, else nil. "AppleLanguages" falls back to the
    // environment's languages when neither holds it.
    Value objectForKey(std::string_view key) const;
    // Text, or the text of a number; nothing otherwise.
    std::optional<std::string> stringForKey(std::string_view key) const;
    // The value when it has the kind, nil otherwise.
    Value arrayForKey(std::string_view key) const;
    Value dictionaryForKey(std::string_view key) const;
    Value dataForKey(std::string_view key) const;
    // Readings of numbers and texts; 0 / false when absent or of another kind.
    std::int64_t integerForKey(std::string_view key) const;
    bool boolForKey(std::string_view key) const;
    double doubleForKey(std::string_view key) const;
    float floatForKey(std::string_view key) const { return static_cast<float>(doubleForKey(key)); }

    // Stores the value (nil removes the key) and writes the file. A value that a property list cannot
    // hold (null, objects, nil inside a collection) is refused with one log line: false.
    bool setObject(const Value& value, std::string_view key);
    void setInteger(std::int64_t value, std::string_view key) { setObject(Value(value), key); }
    void setBool(bool value, std::string_view key) { setObject(Value(value), key); }
    void setDouble(double value, std::string_view key) { setObject(Value(value), key); }
    void removeObjectForKey(std::string_view key) { setObject(Value(), key); }
    // Adds delta to the key's integer reading (0 when absent) as one step under the lock, stores the
    // sum as a 64-bit number, writes the file and returns the sum. The values in `alsoSet` are stored
    // in the same step (as setObject would, each refused alone with its log line when a property list
    // cannot hold it): one write for them all.
    std::int64_t addInteger(std::int64_t delta, std::string_view key, const Dictionary& alsoSet = {});

    // Fallback values for keys that hold nothing; kept in memory only.
    void registerDefaults(const Dictionary& defaults);
    // The stored values over the registered ones.
    Dictionary dictionaryRepresentation() const;
    // Every change is written at once; answers whether the last write succeeded (writing again first
    // when it did not).
    bool synchronize();

private:
    bool writeLocked();  // callers hold mutex_
    // Under mutex_ and the file's lock: takes up what another process wrote to the file.
    void mergeFileLocked();
    Value lookupLocked(std::string_view key) const;
    // The file as this object last read or wrote it: its bytes and the identity of that file. A write
    // of the same bytes over the same file, whose mode is the one a write gives, is skipped.
    struct FileStamp {
        std::uint64_t device = 0, inode = 0, size = 0, mode = 0;
        std::int64_t modifiedSeconds = 0, modifiedNanoseconds = 0;
        bool operator==(const FileStamp&) const = default;
    };
    static std::optional<FileStamp> stampOf(const std::string& path);

    std::string path_;
    mutable std::mutex mutex_;
    Dictionary values_;
    Dictionary registered_;
    bool lastWriteOk_ = true;
    Bytes fileBytes_;
    std::optional<FileStamp> fileStamp_;  // none: the file's content is not known
    std::set<std::string> changed_;       // keys set here since the last write
};

// Moves a damaged settings file out of the way, so that the next save starts a new one without
// destroying what the damaged one held: into the folder "Damaged" beside it, named
// "<name>.damaged-<seconds since 1970>" ("-2", "-3", … appended when that name is taken), unchanged.
// Says so in one log line (the problem, the file and where it went). Returns the new path, or nothing
// when the file could not be moved (also logged; the file then stays where it is).
std::optional<std::string> setAsideDamagedFile(const std::string& path, std::string_view problem);

}  // namespace lv
