#include "platform/net/detail/curl_library.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/net/detail/curl_dependencies.h"
#include "platform/security/crypto_library.h"


// libcurl's RTMP library brings GnuTLS into the process, which nothing here uses (TLS goes through
// OpenSSL). When loaded, GnuTLS asks the program through this hook whether to skip the set-up it would
// otherwise run then (about a millisecond of the first transfer's wait); a library that does use it
// sets it up explicitly. The program exports the hook (CMakeLists.txt) so that the loader finds it.
extern "C" int _gnutls_global_init_skip();
extern "C" [[gnu::used]] int _gnutls_global_init_skip() { return 1; }

namespace lv::net_detail {

namespace {

// The ABI the headers describe: the library's major soname version has stayed 4 through libcurl 7 and 8.
static_assert(LIBCURL_VERSION_MAJOR == 7 || LIBCURL_VERSION_MAJOR == 8, "libcurl headers of an unknown ABI");
constexpr const char* kLibraryName = "libcurl.so.4";

std::atomic<bool> gLoaded{false};

[[noreturn]] void failToLoad(const char* what) {
    std::fprintf(stderr, "lunavexa: cannot load %s: %s\n", kLibraryName, what ? what : "unknown error");
    std::abort();
}

template <class Function>
void bind(void* handle, Function& slot, const char* name) {
    void* symbol = ::dlsym(handle, name);
    if (!symbol) failToLoad(::dlerror());
    slot = reinterpret_cast<Function>(symbol);
}

CurlLibrary* load() {
    // OpenSSL was kept for the process before main; asked again here in case this is its first use,
    // so that libcurl's own set-up never registers OpenSSL's clean-up at exit.
    keepCryptoLibraryForProcess();
    // The loader holds its lock for the whole of a dlopen, and another thread that starts a thread
    // meanwhile waits for it. Mapped one call each, the last listed first (near enough leaves first),
    // the libraries libcurl pulls in let such a thread in between two of them rather than only after the
    // whole load; one that does not load here is left to libcurl's own load below, which maps whatever
    // is missing.
    // Lazy binding, as a program's own libraries get: of the thousands of functions these libraries
    // import, the few a transfer calls are bound when first called, not all of them now.
    std::size_t count = 0;
    while (kCurlDependencyNames[count]) ++count;
    while (count > 0) (void)::dlopen(kCurlDependencyNames[--count], RTLD_LAZY | RTLD_LOCAL | RTLD_NODELETE);
    // Never closed: the engine thread and exit-time workers use it until the process ends.
    void* handle = ::dlopen(kLibraryName, RTLD_LAZY | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle) failToLoad(::dlerror());
    auto* lib = new CurlLibrary{};
    bind(handle, lib->global_init, "curl_global_init");
    bind(handle, lib->easy_init, "curl_easy_init");
    bind(handle, lib->easy_setopt, "curl_easy_setopt");
    bind(handle, lib->easy_getinfo, "curl_easy_getinfo");
    bind(handle, lib->easy_pause, "curl_easy_pause");
    bind(handle, lib->easy_cleanup, "curl_easy_cleanup");
    bind(handle, lib->easy_reset, "curl_easy_reset");
    bind(handle, lib->easy_strerror, "curl_easy_strerror");
    bind(handle, lib->slist_append, "curl_slist_append");
    bind(handle, lib->slist_free_all, "curl_slist_free_all");
    bind(handle, lib->multi_init, "curl_multi_init");
    bind(handle, lib->multi_add_handle, "curl_multi_add_handle");
    bind(handle, lib->multi_remove_handle, "curl_multi_remove_handle");
    bind(handle, lib->multi_perform, "curl_multi_perform");
    bind(handle, lib->multi_info_read, "curl_multi_info_read");
    bind(handle, lib->multi_timeout, "curl_multi_timeout");
    bind(handle, lib->multi_poll, "curl_multi_poll");
    bind(handle, lib->multi_wakeup, "curl_multi_wakeup");
    bind(handle, lib->multi_setopt, "curl_multi_setopt");
    bind(handle, lib->share_init, "curl_share_init");
    bind(handle, lib->share_setopt, "curl_share_setopt");
    if (lib->global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) failToLoad("curl_global_init failed");
    gLoaded.store(true);
    return lib;
}

}  // namespace

const CurlLibrary& curlLibrary() {
    // A function-local static: its initialisation runs once, and other first callers wait for it.
    static const CurlLibrary* const library = load();
    return *library;
}

bool curlLibraryLoaded() { return gLoaded.load(); }

}  // namespace lv::net_detail
