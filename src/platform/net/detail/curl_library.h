// libcurl, loaded when first needed (internal to lv_net). A process that sends no request never
// maps libcurl and the libraries it pulls in, so its start pays no loader time for them. The first
// call loads the library (the libraries it pulls in first, one dlopen each, so other threads wait on
// the loader's lock for one library at a time), looks up every function the URL engine and the
// cookie store call, and sets libcurl up (curl_global_init) exactly once; OpenSSL was set up before
// main without its exit-time clean-up, and the library is never unloaded, so a worker still in
// libcurl while the process exits never meets it torn down. Any thread; the loading runs once under a
// once-flag.
#pragma once

#include <curl/curl.h>

namespace lv::net_detail {

struct CurlLibrary {
    CURLcode (*global_init)(long flags);
    CURL* (*easy_init)();
    CURLcode (*easy_setopt)(CURL* handle, CURLoption option, ...);
    CURLcode (*easy_getinfo)(CURL* handle, CURLINFO info, ...);
    CURLcode (*easy_pause)(CURL* handle, int bitmask);
    void (*easy_cleanup)(CURL* handle);
    void (*easy_reset)(CURL* handle);
    const char* (*easy_strerror)(CURLcode code);
    curl_slist* (*slist_append)(curl_slist* list, const char* text);
    void (*slist_free_all)(curl_slist* list);
    CURLM* (*multi_init)();
    CURLMcode (*multi_add_handle)(CURLM* multi, CURL* handle);
    CURLMcode (*multi_remove_handle)(CURLM* multi, CURL* handle);
    CURLMcode (*multi_perform)(CURLM* multi, int* running);
    CURLMsg* (*multi_info_read)(CURLM* multi, int* queued);
    CURLMcode (*multi_timeout)(CURLM* multi, long* milliseconds);
    CURLMcode (*multi_poll)(CURLM* multi, curl_waitfd extra[], unsigned count, int timeoutMs, int* numfds);
    CURLMcode (*multi_wakeup)(CURLM* multi);
    CURLMcode (*multi_setopt)(CURLM* multi, CURLMoption option, ...);
    CURLSH* (*share_init)();
    CURLSHcode (*share_setopt)(CURLSH* share, CURLSHoption option, ...);
};

// The loaded library, set up. A library that cannot be loaded ends the process with a message, as a
// missing library at start-up would.
const CurlLibrary& curlLibrary();

// Whether this process has loaded libcurl yet (for tests and measurements).
bool curlLibraryLoaded();

}  // namespace lv::net_detail
