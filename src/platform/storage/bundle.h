// The app's bundle: a directory holding Info.plist and the resources (the record model, images, string
// tables, certificates), laid out flat as on the phone, with optional "<language>.lproj" folders for
// localized resources.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/object.h"
#include "platform/base/value.h"

namespace lv {

class Bundle : public Object {
public:
    // The main bundle. Its directory is the one given to setMainBundlePath, else
    // defaultMainBundlePath().
    static Ref<Bundle> mainBundle();
    // Replaces the main bundle by the bundle at the path (the app's "--bundle DIR"; tests). Thread-safe;
    // holders of the previous main bundle keep it.
    static void setMainBundlePath(std::string_view path);
    // The first of: $LV_BUNDLE_DIR; "$LV_TEST_SOURCE_DIR/bundle" (set by the test runner); a "bundle"
    // folder beside the running executable; the source tree's "bundle" folder (compiled in).
    static std::string defaultMainBundlePath();
    // A bundle over the directory; its Info.plist (when present) is read now.
    explicit Bundle(std::string path);

    const std::string& bundlePath() const { return path_; }
    // Resources live at the top of the bundle: the same as bundlePath().
    const std::string& resourcePath() const { return path_; }
    // The running program's path.
    static std::string executablePath();

    // The contents of Info.plist (empty when it is missing or unreadable).
    const Dictionary& infoDictionary() const { return info_; }
    // The entry, or nil.
    Value objectForInfoDictionaryKey(std::string_view key) const { return info_.get(key); }
    // "CFBundleIdentifier" when it is text, else empty.
    std::string bundleIdentifier() const;

    // The path of the resource "<name>.<type>" (just "<name>" when type is empty) in the folder
    // (relative to the bundle; empty for the top), looked for first in the folder itself, then in the
    // localized folders of the preferred languages, "Base.lproj" and the development region. Nothing
    // when no such file exists.
    std::optional<std::string> pathForResource(std::string_view name, std::string_view type,
                                               std::string_view directory = {}) const;
    // Every file with the extension (all files when type is empty) in those folders, sorted by path.
    std::vector<std::string> pathsForResourcesOfType(std::string_view type, std::string_view directory) const;

    // The entry of the string table ("<table>.strings", "Localizable" when table is empty) for the key;
    // a missing table or entry gives value, or the key when value is empty. Tables are XML or binary
    // property lists or the text form of "key" = "value"; lines (UTF-8, comments allowed).
    std::string localizedStringForKey(std::string_view key, std::string_view value, std::string_view table) const;

private:
    std::vector<std::string> searchFolders(std::string_view directory) const;
    const Dictionary& stringTable(const std::string& table) const;

    std::string path_;
    Dictionary info_;
    mutable std::mutex tablesMutex_;
    mutable std::map<std::string, Dictionary, std::less<>> tables_;
};

namespace detail {
// Parses the text form of a string table ("key" = "value"; with C comments); nothing when malformed.
std::optional<Dictionary> parseStringsText(std::string_view text);
}  // namespace detail

}  // namespace lv
