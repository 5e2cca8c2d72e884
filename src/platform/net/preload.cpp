#include "platform/net/preload.h"

#include <atomic>

#include "platform/dispatch/queue.h"
#include "platform/net/detail/curl_library.h"
#include "platform/net/detail/engine.h"

namespace lv {

void preloadURLEngine() {
    static std::atomic<bool> started{false};
    if (net_detail::curlLibraryLoaded() || started.exchange(true)) return;
    // curlLibrary() loads under a function-local static: a transfer starting meanwhile waits for this
    // load instead of starting its own. The engine (its multi handle and thread) is made then too.
    Queue::global()->async([] {
        (void)net_detail::curlLibrary();
        (void)net_detail::Engine::shared();
    });
}

}  // namespace lv
