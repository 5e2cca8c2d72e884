// Hooks added to registered classes at run time, and the per-class method resolvers that a missed
// lookup asks.
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "platform/base/lifetime.h"
#include "platform/runtime/runtime.h"

namespace lv {

namespace {

struct SideTable {
    using Key = std::pair<const ClassInfo*, HookSide>;
    std::shared_mutex mutex;
    // Added hooks per class and side; each std::any has a stable address for the process's life.
    std::map<Key, std::vector<std::pair<std::string, std::unique_ptr<std::any>>>> hooks;
    std::map<Key, MethodResolver> resolvers;
    // Whether anything was ever added: lookups of classes nobody touched skip the lock.
    std::atomic<bool> used{false};
    // Bumped by every added hook and every resolver change.
    std::atomic<std::uint64_t> changes{0};
};

SideTable& table() {
    static SideTable* t = new SideTable();  // never destroyed: pointers into it are handed out
    return *t;
}

// Requires the table's lock (shared).
const std::any* addedHook(const SideTable& t, const ClassInfo* cls, HookSide side, std::string_view name) {
    for (const ClassInfo* c = cls; c; c = c->superclass()) {
        auto it = t.hooks.find({c, side});
        if (it == t.hooks.end()) continue;
        for (const auto& [hookName, fn] : it->second) {
            if (hookName == name) return fn.get();
        }
    }
    return nullptr;
}

// The (class, side, name) lookups being resolved on this thread.
struct Resolving {
    const ClassInfo* cls;
    HookSide side;
    std::string_view name;
};
std::vector<Resolving>& resolvingOnThisThread() {
    static PerThread<std::vector<Resolving>> resolving;
    return resolving.get();
}

}  // namespace

const std::any* hookWithoutResolving(const ClassInfo* cls, HookSide side, std::string_view name) {
    if (!cls) return nullptr;
    if (const std::any* a = cls->registeredHook(side, name)) return a;
    SideTable& t = table();
    if (!t.used.load(std::memory_order_acquire)) return nullptr;
    std::shared_lock lock(t.mutex);
    return addedHook(t, cls, side, name);
}

const std::any* ClassInfo::hook(HookSide side, std::string_view name) const {
    if (const std::any* a = hookWithoutResolving(this, side, name)) return a;
    if (!table().used.load(std::memory_order_acquire)) return nullptr;
    MethodResolver resolver = methodResolver(this, side);
    if (!resolver) return nullptr;
    std::vector<Resolving>& resolvingNow = resolvingOnThisThread();
    for (const Resolving& r : resolvingNow) {
        if (r.cls == this && r.side == side && r.name == name) return nullptr;
    }
    resolvingNow.push_back({this, side, name});
    bool resolved = false;
    try {
        resolved = resolver(*this, name);
    } catch (...) {
        resolvingNow.pop_back();
        throw;
    }
    resolvingNow.pop_back();
    return resolved ? hookWithoutResolving(this, side, name) : nullptr;
}

bool addHook(const ClassInfo* cls, HookSide side, std::string name, std::any fn) {
    if (!cls || !fn.has_value()) return false;
    SideTable& t = table();
    std::unique_lock lock(t.mutex);
    if (cls->registersHook(side, name)) return false;
    auto& list = t.hooks[{cls, side}];
    for (const auto& entry : list) {
        if (entry.first == name) return false;
    }
    list.emplace_back(std::move(name), std::make_unique<std::any>(std::move(fn)));
    t.used.store(true, std::memory_order_release);
    t.changes.fetch_add(1, std::memory_order_acq_rel);
    return true;
}

namespace runtime_detail {
std::uint64_t hookChanges() { return table().changes.load(std::memory_order_acquire); }
}  // namespace runtime_detail

MethodResolver methodResolver(const ClassInfo* cls, HookSide side) {
    SideTable& t = table();
    if (!t.used.load(std::memory_order_acquire)) return nullptr;
    std::shared_lock lock(t.mutex);
    for (const ClassInfo* c = cls; c; c = c->superclass()) {
        if (auto it = t.resolvers.find({c, side}); it != t.resolvers.end()) return it->second;
    }
    return nullptr;
}

MethodResolver setMethodResolver(const ClassInfo* cls, HookSide side, MethodResolver resolver) {
    if (!cls) return nullptr;
    SideTable& t = table();
    std::unique_lock lock(t.mutex);
    MethodResolver previous;
    auto it = t.resolvers.find({cls, side});
    if (it != t.resolvers.end()) {
        previous = std::move(it->second);
        t.resolvers.erase(it);
    }
    if (resolver) {
        t.resolvers.emplace(SideTable::Key{cls, side}, std::move(resolver));
        t.used.store(true, std::memory_order_release);
    }
    t.changes.fetch_add(1, std::memory_order_acq_rel);
    return previous;
}

}  // namespace lv
