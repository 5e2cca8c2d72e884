// The files beside the engine's cache archive: the journal of items filed since the archive was
// written, and the ledger that says which archive and journal an envelope file took up.
//
// Journal: a sequence of records, each a 4-byte big-endian length and that many bytes of a binary
// property list shaped like the archive's "body" (keys "terminate", "event", "error", "ekv", each a
// keyed archive of a list of items). A record is appended with one write and no flush: a killed
// process loses nothing the kernel took. A record cut short (a kill or a full disk mid-write) ends
// the journal; the reader reports where the whole records end so the cut can be dropped.
//
// Ledger: a binary property list {"archive": digest, "journal": digest, "envelope": file name}; a
// digest is the lower-case MD5 hex of the file's bytes, "" for a file that did not exist. The fold
// record has the same shape without "envelope": the archive with that digest holds the journal with
// that digest (written before such an archive replaces the old one, removed once the journal is gone).
//
// The files are read without following a link and only when regular: anything else at their paths
// is damaged (removeDamaged). The envelope name of a ledger is accepted only in the plain envelope
// form (digits and "_envelope.log").
//
// Lock: processes on one home take turns through an advisory lock (flock) on a lock file beside the
// archive, held across every read-modify-write of the archive, journal, ledger and envelope names.
// The lock file holds a token renewed at every change other than a journal append: a process that
// finds another token reads the files again rather than write over what another process made.
//
// Threads: the engine's (main) thread only; the lock nests within one thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/value.h"

namespace lv::analytics_detail {

// Appends one record; on a short write the file is cut back to its former length. Answers whether
// the whole record was appended; `end` receives the journal's length after it. A journal that is not
// a regular file (a link) takes nothing.
bool appendJournalRecord(const std::string& path, const Bytes& record, std::size_t* end = nullptr);

// The archive and the journal hold the items of a few sessions: a file past this is no cache file.
inline constexpr std::size_t kMaxCacheFileBytes = 16 << 20;

enum class FileRead { Absent, Read, Damaged };
// Reads a regular file without following a link: Damaged for anything else there, for a file past
// kMaxCacheFileBytes, or a failed read.
FileRead readCacheFile(const std::string& path, Bytes& into);
// Removes what is at one of the cache's own fixed paths: a file or link is unlinked, a folder
// (nothing the cache makes) removed with what it holds.
void removeDamaged(const std::string& path);
// Removes a folder (or anything else but a regular file or link) in the way of a file to be written.
void removeFolderAt(const std::string& path);

struct JournalContents {
    std::vector<Bytes> records;
    std::size_t wholeLength = 0;  // bytes up to the end of the last whole record
    std::size_t fileLength = 0;
};
// The journal's whole records (none for a missing file).
JournalContents readJournal(const Bytes& bytes);
// Cuts a regular file (not through a link) to the length; answers whether it worked.
bool truncateFile(const std::string& path, std::size_t length);
// The whole records of the journal from the offset on, when the journal is a regular file at least
// that long (none for a missing one read from 0); `wholeLength` and `fileLength` count from 0.
std::optional<JournalContents> readJournalFrom(const std::string& path, std::size_t offset);


// The lower-case MD5 hex of the bytes.
std::string digestOf(const Bytes& bytes);

struct CacheLedger {
    std::string archive;
    std::string journal;
    std::string envelope;
};
// Whether the name is a plain envelope file name: digits, then "_envelope.log".
bool isEnvelopeName(std::string_view name);
// A ledger needs its "envelope", a plain envelope name; a fold record has none. `damaged` (when
// given) says whether something is at the path that is no such record.
std::optional<CacheLedger> readLedger(const std::string& path, bool needsEnvelope = true, bool* damaged = nullptr);
// Written atomically (replacing; a folder in the way is removed first); answers whether it was
// written.
bool writeLedger(const std::string& path, const CacheLedger& ledger);

class CacheLock {
public:
    // Takes the lock of the lock file at the path (made when missing), waiting for another process;
    // within a thread that holds it already, joins that hold. Without a lock file (the folder cannot
    // be written) the caller goes on unlocked.
    explicit CacheLock(const std::string& lockPath);
    ~CacheLock();
    CacheLock(const CacheLock&) = delete;
    CacheLock& operator=(const CacheLock&) = delete;

    // The token of the last whole change ("" when none is known).
    static std::string token();
    // A whole change was made: a new token, answered.
    static std::string renew();
};

// A claim on one envelope file while it is posted: an exclusive lock on the open file (a regular file,
// not through a link), so that another process's worker passes it by. A file that went meanwhile
// (posted by another process) cannot be claimed. The lock goes with the claim or the process.
class EnvelopeClaim {
public:
    explicit EnvelopeClaim(const std::string& path);
    ~EnvelopeClaim();
    EnvelopeClaim(const EnvelopeClaim&) = delete;
    EnvelopeClaim& operator=(const EnvelopeClaim&) = delete;

    // Whether the file is this claim's; its bytes then.
    bool claimed() const { return fd_ >= 0; }
    const Bytes& bytes() const { return bytes_; }
    // Unlinks the claimed file, still claimed, when the name still holds it.
    void removeFile();

private:
    std::string path_;
    int fd_ = -1;
    Bytes bytes_;
};

}  // namespace lv::analytics_detail
