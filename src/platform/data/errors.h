// Error codes of the object store, in the Cocoa error domain (kCocoaErrorDomain).
#pragma once

#include <cstdint>
#include <string_view>

// The file error codes (kFileReadCorruptFileError, 259, for a file that is not a database) are the
// storage library's.
#include "platform/storage/file_manager.h"

namespace lv {

inline constexpr std::int64_t kFormattingError = 2048;
inline constexpr std::int64_t kManagedObjectValidationError = 1550;
inline constexpr std::int64_t kValidationMultipleErrorsError = 1560;
inline constexpr std::int64_t kValidationMissingMandatoryPropertyError = 1570;
inline constexpr std::int64_t kValidationNumberTooLargeError = 1610;  // above an integer attribute's range
inline constexpr std::int64_t kValidationNumberTooSmallError = 1620;  // below it
inline constexpr std::int64_t kManagedObjectReferentialIntegrityError = 133000;  // the record is gone
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
// Validation errors: the key, the record and the value at fault; several errors at once are listed
// under kDetailedErrorsKey.
inline constexpr std::string_view kValidationKeyErrorKey = "NSValidationErrorKey";
inline constexpr std::string_view kValidationObjectErrorKey = "NSValidationErrorObject";
inline constexpr std::string_view kValidationValueErrorKey = "NSValidationErrorValue";
inline constexpr std::string_view kDetailedErrorsKey = "NSDetailedErrors";
// The object ID a lookup did not find.
inline constexpr std::string_view kAffectedObjectsErrorKey = "NSAffectedObjectsErrorKey";

}  // namespace lv
