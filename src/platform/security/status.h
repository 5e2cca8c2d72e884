// Status codes of the security calls, numbered as the platform numbers them (0 is success). Plain
// constants; any thread.
#pragma once

namespace lv {

inline constexpr int kSecSuccess = 0;
inline constexpr int kSecParam = -50;             // an argument is missing or malformed
inline constexpr int kSecAllocate = -108;         // the library could not do the work
inline constexpr int kSecIO = -36;                // the keychain file could not be written
inline constexpr int kSecDuplicateItem = -25299;  // an item with these attributes exists
inline constexpr int kSecItemNotFound = -25300;   // no item matches

}  // namespace lv
