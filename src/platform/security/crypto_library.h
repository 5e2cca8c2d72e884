// OpenSSL for the whole process. Worker threads are not joined at exit and may hash, encrypt or speak
// TLS while the process exits, so OpenSSL is set up without its exit-time clean-up and stays usable
// until the process ends. Each source that calls OpenSSL runs `keepCryptoLibraryForProcess()` from a
// namespace-scope initializer, so it runs before main and before any other OpenSSL set-up (libcurl's
// included). Any thread; idempotent.
#pragma once

namespace lv {

// Sets OpenSSL up, never torn down at exit. Answers true (for use in an initializer).
bool keepCryptoLibraryForProcess();

}  // namespace lv
