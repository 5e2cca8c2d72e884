#include "platform/net/preload.h"

#include <openssl/ssl.h>

#include <condition_variable>
#include <mutex>

#include "platform/dispatch/queue.h"
#include "platform/net/detail/curl_library.h"
#include "platform/net/detail/engine.h"
#include "platform/security/crypto_library.h"

namespace lv {

namespace {

struct PreloadState {
    std::mutex mutex;
    std::condition_variable finished;
    bool started = false;
    int running = 0;  // tasks of the preload still running
};

PreloadState& preloadState() {
    static auto& state = *new PreloadState;  // never destroyed: the worker may still use it during exit
    return state;
}

}  // namespace

void preloadURLEngine() {
    PreloadState& state = preloadState();
    {
        std::lock_guard lock(state.mutex);
        if (state.started || net_detail::curlLibraryLoaded()) return;
        state.started = true;
        state.running = 2;
    }
    const auto finished = [] {
        PreloadState& done = preloadState();
        std::lock_guard lock(done.mutex);
        if (--done.running == 0) done.finished.notify_all();
    };
    // curlLibrary() loads under a function-local static: a transfer starting meanwhile waits for this
    // load instead of starting its own. The engine (its multi handle and thread) is made then too.
    Queue::global()->async([finished] {
        (void)net_detail::curlLibrary();
        (void)net_detail::Engine::shared();
        finished();
    });
    // libcurl's set-up, once loaded, begins with OpenSSL's: the system's configuration file and the
    // built-in engines, exactly these options (about 2.4 M instructions, most of them reading the
    // configuration). OpenSSL is in the process from the start, so that part runs here on a second
    // worker while the first maps libcurl's libraries, instead of after them on the first: on two
    // cores the second is otherwise idle once the main thread waits for the launch's first request.
    // Each part of OpenSSL's set-up runs once per process (a later caller waits for one running), so
    // libcurl's own call then finds it done and the process ends up set up as before.
    Queue::global()->async([finished] {
        keepCryptoLibraryForProcess();
        OPENSSL_init_ssl(OPENSSL_INIT_ENGINE_ALL_BUILTIN | OPENSSL_INIT_LOAD_CONFIG, nullptr);
        finished();
    });
}

void finishURLEnginePreload() {
    PreloadState& state = preloadState();
    std::unique_lock lock(state.mutex);
    state.finished.wait(lock, [&] { return state.running == 0; });
}

}  // namespace lv
