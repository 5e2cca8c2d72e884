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
// Threads: the engine's (main) thread only; nothing is kept in memory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/value.h"

namespace lv::analytics_detail {

// Appends one record; on a short write the file is cut back to its former length. Answers whether
// the whole record was appended.
bool appendJournalRecord(const std::string& path, const Bytes& record);

struct JournalContents {
    std::vector<Bytes> records;
    std::size_t wholeLength = 0;  // bytes up to the end of the last whole record
    std::size_t fileLength = 0;
};
// The journal's whole records (none for a missing file).
JournalContents readJournal(const Bytes& bytes);
// Cuts the file to the length; answers whether it worked.
bool truncateFile(const std::string& path, std::size_t length);

// The archive and the journal hold the items of a few sessions: a file past this is no cache file.
inline constexpr std::size_t kMaxCacheFileBytes = 16 << 20;
// The cache file's bytes: nothing when it is missing or cannot be read. One that is no regular file
// (a device, a FIFO) or is past kMaxCacheFileBytes is removed, as a damaged archive is, so that no
// later launch reads it again.
std::optional<Bytes> readCacheFile(const std::string& path);

// The lower-case MD5 hex of the bytes.
std::string digestOf(const Bytes& bytes);

struct CacheLedger {
    std::string archive;
    std::string journal;
    std::string envelope;
};
// A ledger needs its "envelope"; a fold record has none.
std::optional<CacheLedger> readLedger(const std::string& path, bool needsEnvelope = true);
// Written atomically (replacing); answers whether it was written.
bool writeLedger(const std::string& path, const CacheLedger& ledger);

}  // namespace lv::analytics_detail
