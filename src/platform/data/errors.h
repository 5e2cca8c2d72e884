// Error codes of the object store, in the Cocoa error domain (kCocoaErrorDomain).
#pragma once

#include <cstdint>
#include <string_view>

namespace lv {

inline constexpr std::int64_t kFileReadCorruptFileError = 259;
inline constexpr std::int64_t kFormattingError = 2048;
inline constexpr std::int64_t kManagedObjectValidationError = 1550;
inline constexpr std::int64_t kValidationMultipleErrorsError = 1560;
inline constexpr std::int64_t kValidationMissingMandatoryPropertyError = 1570;
inline constexpr std::int64_t kManagedObjectMergeError = 133020;
inline constexpr std::int64_t kPersistentStoreInvalidTypeError = 134000;
inline constexpr std::int64_t kPersistentStoreSaveError = 134030;
inline constexpr std::int64_t kObjectStoreError = 134060;
inline constexpr std::int64_t kPersistentStoreOperationError = 134070;
inline constexpr std::int64_t kPersistentStoreIncompatibleVersionHashError = 134100;
inline constexpr std::int64_t kMigrationError = 134110;
inline constexpr std::int64_t kMigrationMissingSourceModelError = 134130;
inline constexpr std::int64_t kSQLiteError = 134180;

// User-info keys of the store's errors.
inline constexpr std::string_view kSQLiteErrorCodeKey = "SQLiteErrorCode";  // the SQLite result code
inline constexpr std::string_view kAffectedStoresErrorKey = "AffectedStores";  // store file paths
inline constexpr std::string_view kStoreVersionHashesErrorKey = "StoreVersionHashes";
inline constexpr std::string_view kConflictListKey = "conflictList";
inline constexpr std::string_view kReasonKey = "reason";

}  // namespace lv
