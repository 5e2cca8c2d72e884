#include "platform/net/preload.h"

#include <condition_variable>
#include <mutex>

#include "platform/dispatch/queue.h"
#include "platform/net/detail/curl_library.h"
#include "platform/net/detail/engine.h"

namespace lv {

namespace {

struct PreloadState {
    std::mutex mutex;
    std::condition_variable finished;
    bool started = false;
    bool running = false;
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
        state.running = true;
    }
    // curlLibrary() loads under a function-local static: a transfer starting meanwhile waits for this
    // load instead of starting its own. The engine (its multi handle and thread) is made then too.
    Queue::global()->async([] {
        (void)net_detail::curlLibrary();
        (void)net_detail::Engine::shared();
        PreloadState& done = preloadState();
        std::lock_guard lock(done.mutex);
        done.running = false;
        done.finished.notify_all();
    });
}

void finishURLEnginePreload() {
    PreloadState& state = preloadState();
    std::unique_lock lock(state.mutex);
    state.finished.wait(lock, [&] { return !state.running; });
}

}  // namespace lv
