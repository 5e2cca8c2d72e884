// The app's sandbox: one root directory chosen at start that stands for the app's home, holding
// Documents/, Library/Caches/, Library/Application Support/, Library/Preferences/ and tmp/. Every
// directory query of the platform answers inside it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/base/error.h"
#include "platform/base/value.h"

namespace lv {

// Directory kinds of searchPathForDirectoriesInDomains, numbered as the platform numbers them.
enum class SearchPathDirectory : unsigned {
    Library = 5,
    Documentation = 8,
    Document = 9,
    AutosavedInformation = 11,
    Caches = 13,
    ApplicationSupport = 14,
};

// Domain bits; only the user domain exists in the sandbox.
inline constexpr unsigned kUserDomainMask = 1;
inline constexpr unsigned kLocalDomainMask = 2;
inline constexpr unsigned kNetworkDomainMask = 4;
inline constexpr unsigned kSystemDomainMask = 8;
inline constexpr unsigned kAllDomainsMask = 0x0ffff;

class Sandbox {
public:
    // Makes path the sandbox root (an absolute path; made absolute against the working directory
    // otherwise) and creates the standard folders in it. Meant to be called once at start (tests call
    // it with a fresh temporary directory each). Thread-safe.
    static bool setRoot(std::string_view path, Ref<Error>* error = nullptr);
    // The current root; on first use without setRoot, defaultRoot() (its folders are created then).
    static std::string root();
    // $LV_HOME when set, else $XDG_DATA_HOME/lunavexa, else $HOME/.local/share/lunavexa.
    static std::string defaultRoot();
    // A number that changes with every setRoot; caches tied to the root compare it.
    static std::uint64_t generation();

    // The folder that stands for the shared (cloud) containers: the root set here (an empty text
    // clears it), else $LV_UBIQUITY_DIR when set and non-empty, else none (empty text). Thread-safe.
    static void setUbiquityRoot(std::string_view path);
    static std::string ubiquityRoot();
};

// The home directory (the root itself).
std::string homeDirectory();
// The root's "tmp" folder, with a trailing "/".
std::string temporaryDirectory();

// The sandbox paths for the directory kind: one entry when the mask includes the user domain, none
// otherwise. With expandTilde false the entries start with "~" instead of the root.
Array searchPathForDirectoriesInDomains(SearchPathDirectory directory, unsigned domainMask, bool expandTilde);
// "~" and "~/…" become the root and paths under it; other text is returned unchanged.
std::string expandingTildeInPath(std::string_view path);

// Shorthands for the user-domain entries.
std::string documentsDirectory();
std::string libraryDirectory();
std::string cachesDirectory();
std::string applicationSupportDirectory();
std::string preferencesDirectory();

}  // namespace lv
