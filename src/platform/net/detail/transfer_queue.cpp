// The engine's connection limits: at most a pool's limit of transfers per origin and
// Engine::kMaxRunningTransfers in all run at once; the rest wait in arrival order, their time-outs
// running, until one ends or they are cancelled.
#include <algorithm>
#include <cctype>

#include "platform/net/detail/engine_internal.h"
#include "platform/net/errors.h"
#include "platform/net/url.h"

namespace lv::net_detail {

void Engine::cancel(std::uint64_t id) {
    impl_->post([impl = impl_, id] { impl->cancel(id); });
}

void Engine::Impl::cancel(std::uint64_t id) {
    const auto found = transfers.find(id);
    if (found == transfers.end()) {
        // Still waiting for room: it leaves the queue, so it never reaches the wire.
        const auto queued = std::find_if(waiting.begin(), waiting.end(), [id](const Waiting& w) { return w.id == id; });
        if (queued == waiting.end()) return;
        if (queued->spec.bodyPump) queued->spec.bodyPump->cancel();
        waiting.erase(queued);
        return;
    }
    if (found->second->spec.bodyPump) found->second->spec.bodyPump->cancel();
    release(*found->second);
    transfers.erase(found);
    admitWaiting();
}

void Engine::Impl::start(std::uint64_t id, TransferSpec spec, std::shared_ptr<TransferListener> listener,
                         std::shared_ptr<TransferFlow> flow) {
    if (const auto refusal = refusedHeaderField(spec.headers)) {
        // Refused before anything reaches the wire.
        if (spec.bodyPump) spec.bodyPump->cancel();
        listener->transferCompleted(0, refusedHeaderError(*refusal), "");
        return;
    }
    // The pool and origin: scheme, host and port as the URL gives them.
    std::string gateKey = std::to_string(spec.pool) + " ";
    Address address;
    if (const auto url = URL::URLWithString(spec.url)) {
        address.host = url->host();
        address.port = url->effectivePort().value_or(0);
        std::string origin = url->scheme().value_or("") + "://" + address.host.value_or("") + ":" + std::to_string(address.port);
        for (char& c : origin) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        gateKey += origin;
    }
    if (waiting.empty() && hasRoom(gateKey, spec.maxPerHost)) {
        launch(id, std::move(gateKey), std::move(address), std::move(spec), std::move(listener), std::move(flow));
        return;
    }
    // Waits for a running transfer to end rather than opening a connection past the limits.
    const long limit = spec.maxPerHost;
    waiting.push_back(Waiting{id, std::move(gateKey), std::move(address), limit, std::move(spec), std::move(listener),
                              std::move(flow), EngineClock::now()});
    admitWaiting();
}

bool Engine::Impl::hasRoom(const std::string& gateKey, long limit) const {
    if (transfers.size() >= Engine::kMaxRunningTransfers) return false;
    const auto found = runningPerKey.find(gateKey);
    return found == runningPerKey.end() || found->second < std::max(limit, 1L);
}

void Engine::Impl::admitWaiting() {
    for (auto it = waiting.begin(); it != waiting.end() && transfers.size() < Engine::kMaxRunningTransfers;) {
        if (!hasRoom(it->gateKey, it->limit)) {
            ++it;
            continue;
        }
        Waiting w = std::move(*it);
        it = waiting.erase(it);
        launch(w.id, std::move(w.gateKey), std::move(w.address), std::move(w.spec), std::move(w.listener), std::move(w.flow));
    }
}

void Engine::Impl::launch(std::uint64_t id, std::string gateKey, Address address, TransferSpec spec,
                          std::shared_ptr<TransferListener> listener, std::shared_ptr<TransferFlow> flow) {
    ++runningPerKey[gateKey];
    auto t = std::make_unique<Transfer>();
    t->id = id;
    t->gateKey = std::move(gateKey);
    t->spec = std::move(spec);
    t->listener = std::move(listener);
    t->flow = std::move(flow);
    // Connections and the DNS cache live in the multi handle; easy handles are reset and reused.
    if (spareHandles.empty()) {
        t->easy = curlLibrary().easy_init();
    } else {
        t->easy = spareHandles.back();
        spareHandles.pop_back();
    }
    configure(*t, address);
    curlLibrary().multi_add_handle(multi, t->easy);
    transfers.emplace(id, std::move(t));
}

void Engine::Impl::expireWaiting(EngineClock::time_point now) {
    // Both time-outs run while a transfer waits for a connection: waiting is no traffic, so a request
    // never waits longer than its own time-out for a connection others hold.
    for (auto it = waiting.begin(); it != waiting.end();) {
        const char* reason = nullptr;
        if (it->spec.deadline && now > *it->spec.deadline) {
            reason = "resource time-out";
        } else if (it->spec.timeout > 0 && std::chrono::duration<double>(now - it->since).count() > it->spec.timeout) {
            reason = "idle time-out";
        }
        if (!reason) {
            ++it;
            continue;
        }
        Waiting w = std::move(*it);
        it = waiting.erase(it);
        if (w.spec.bodyPump) w.spec.bodyPump->cancel();
        w.listener->transferCompleted(URLErrorTimedOut, nullptr, reason);
    }
}

}  // namespace lv::net_detail
