// The analytics client's file layer: the paths of its files under the caches folder, saving that
// never replaces, removal, the envelope-file list and its age order, and the AES helpers of the
// envelope body.
//
// Threads: any thread. The client folder's path is kept per sandbox under a lock; everything else
// keeps no state (the file system is the only shared resource, and a save never replaces a file).
//
// The AES helpers use a fixed IV and a key derived from data that travels in clear: they obfuscate
// the envelope body for the protocol; they do not keep it secret.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/value.h"

namespace lv {

class TallyUtility {
public:
    static bool isExistAtPath(std::string_view path);
    // Creates the folder (not its parents).
    static bool makeAbsDir(std::string_view path);
    // Writes atomically and only when nothing exists at the path; a missing parent folder is made
    // first. Answers whether the bytes were written.
    static bool saveData(std::span<const std::uint8_t> data, std::string_view path);
    // Unlinks the file (or link) when it exists, never a folder or what a link points to; errors are
    // ignored.
    static void removeFile(std::string_view path);

    // The caches folder.
    static std::string cacheDirectory();
    // "<caches>/.tally", made when missing on the first call for the current sandbox.
    static std::string tallyDirectory();
    // "<caches>/.<bundle id>_tallyCache.plist", "…_tallybgCache.plist", "…_tally_envelope.log".
    static std::string cacheFilePath();
    static std::string bgCacheFilePath();
    static std::string envelopeFilePath();
    // "<caches>/.tally/exchangeIdentity.json".
    static std::string exchangeIdentityPath();
    // "<caches>/.<bundle id>_tallyCache.journal": the items filed since the archive was written, one
    // appended record per main-queue turn.
    static std::string cacheJournalPath();
    // "<caches>/.<bundle id>_tallyCacheFold.plist": while the archive is replaced by one that holds the
    // journal's items too, which archive holds which journal.
    static std::string cacheFoldPath();
    // "<caches>/.tally/.tallyCacheSent.plist": which archive and journal an envelope file took up.
    static std::string cacheLedgerPath();
    // "<caches>/.<bundle id>_tallyCache.lock": the lock file processes on one home take turns by
    // around every change of the cache files (detail/cache_files.h).
    static std::string cacheLockPath();
    // "<caches>/.tally/.<name>": where an envelope file is written before it is linked under its name.
    static std::string pendingEnvelopePath(std::string_view envelopePath);

    // Full paths of the folder's entries, hidden ones skipped, in the file system's order; empty when
    // the folder cannot be listed.
    static std::vector<std::string> itemsInAbsDir(std::string_view folder);
    // The client folder's regular files (not links) ending in "_envelope.log", unsorted.
    static std::vector<std::string> envelopeFiles();
    // Oldest creation date first; each date is read once, equal dates (and unreadable ones, which
    // sort last) in name order.
    static void sortFileWithCreatedTime(std::vector<std::string>& paths);
    // "<caches>/.tally/<ts>_envelope.log".
    static std::string generateEnvelopeFileNameWithTS(std::string_view ts);
    // Now minus the time, in seconds.
    static double durationNowWith1970TimeInterval(double since1970);

    // AES-128-CBC with PKCS#7 padding and the fixed IV 7c41e0b95a2d38f6c19e04b7d2853a6f; nothing
    // when the key is not 16 bytes or the cipher fails.
    static std::optional<Bytes> AES128EncryptData(std::span<const std::uint8_t> data, std::span<const std::uint8_t> key);
    static std::optional<Bytes> AES128DecryptData(std::span<const std::uint8_t> data, std::span<const std::uint8_t> key);
};

}  // namespace lv
