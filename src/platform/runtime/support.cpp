// Selector names, property-set observers and the run-once registry.
#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>

#include "platform/runtime/runtime.h"

namespace lv {

// Selector names

std::string upperCaseFirst(std::string_view text) {
    if (text.empty()) return {};
    const auto first = static_cast<unsigned char>(text[0]);
    if (first < 0x80) {
        std::string out(text);
        if (first >= 'a' && first <= 'z') out[0] = static_cast<char>(first - 'a' + 'A');
        return out;
    }
    std::int32_t end = 0;
    UChar32 cp = 0;
    U8_NEXT(text.data(), end, static_cast<std::int32_t>(text.size()), cp);
    if (cp < 0) return std::string(text);  // not UTF-8: left as it is
    UChar source[2];
    std::int32_t sourceLength = 0;
    U16_APPEND_UNSAFE(source, sourceLength, cp);
    UChar upper[16];
    UErrorCode status = U_ZERO_ERROR;
    // Root locale: the same mapping everywhere, full (one character may become several).
    const std::int32_t upperLength = u_strToUpper(upper, 16, source, sourceLength, "", &status);
    if (U_FAILURE(status)) return std::string(text);
    char utf8[64];
    std::int32_t utf8Length = 0;
    u_strToUTF8(utf8, sizeof utf8, &utf8Length, upper, upperLength, &status);
    if (U_FAILURE(status)) return std::string(text);
    std::string out(utf8, static_cast<std::size_t>(utf8Length));
    out.append(text.substr(static_cast<std::size_t>(end)));
    return out;
}

std::string selectorName(std::string_view prefix, std::string_view key, std::string_view suffix) {
    std::string out;
    if (!key.empty() && static_cast<unsigned char>(key[0]) < 0x80) {
        // Made in one allocation: an ASCII first letter stays one byte when upper-cased.
        out.reserve(prefix.size() + key.size() + suffix.size());
        out += prefix;
        out += key;
        char& first = out[prefix.size()];
        if (first >= 'a' && first <= 'z') first = static_cast<char>(first - 'a' + 'A');
    } else {
        out += prefix;
        out += upperCaseFirst(key);
    }
    out += suffix;
    return out;
}

// Property-set observers

namespace {

class PropertyObservers : public Object {
public:
    std::mutex mutex;
    std::vector<std::pair<std::uint64_t, std::shared_ptr<const PropertyObserver>>> entries;
};

const char kObserversKey = 0;
std::atomic<std::uint64_t> nextObserverToken{1};

std::mutex& attachMutex() {
    static auto* m = new std::mutex;
    return *m;
}

Ref<PropertyObservers> observersOf(const Object& object) {
    return object.associatedValue(&kObserversKey).objectAs<PropertyObservers>();
}

}  // namespace

std::uint64_t addPropertyObserver(Object& object, PropertyObserver observer) {
    Ref<PropertyObservers> list;
    {
        std::lock_guard lock(attachMutex());
        list = observersOf(object);
        if (!list) {
            list = makeRef<PropertyObservers>();
            object.setAssociatedValue(&kObserversKey, Value(list));
        }
    }
    const std::uint64_t token = nextObserverToken.fetch_add(1);
    std::lock_guard lock(list->mutex);
    list->entries.emplace_back(token, std::make_shared<const PropertyObserver>(std::move(observer)));
    return token;
}

void removePropertyObserver(Object& object, std::uint64_t token) {
    Ref<PropertyObservers> list = observersOf(object);
    if (!list) return;
    std::shared_ptr<const PropertyObserver> removed;  // destroyed after the lock
    std::lock_guard lock(list->mutex);
    for (auto it = list->entries.begin(); it != list->entries.end(); ++it) {
        if (it->first == token) {
            removed = std::move(it->second);
            list->entries.erase(it);
            return;
        }
    }
}

void didSetProperty(Object& object, const std::string& key) {
    if (!object.mayHaveAssociatedValues()) return;  // no observer was ever added
    Ref<PropertyObservers> list = observersOf(object);
    if (!list) return;
    std::vector<std::shared_ptr<const PropertyObserver>> observers;
    {
        std::lock_guard lock(list->mutex);
        observers.reserve(list->entries.size());
        for (const auto& entry : list->entries) observers.push_back(entry.second);
    }
    for (const auto& observer : observers) (*observer)(object, key);
}

// Run-once registry

namespace {

enum class OnceState { Idle, Running, Done };

struct OnceRegistry {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, OnceState, std::less<>> states;
};

OnceRegistry& onceRegistry() {
    static auto* r = new OnceRegistry;
    return *r;
}

}  // namespace

void runOnce(std::string_view name, const std::function<void()>& fn) {
    OnceRegistry& r = onceRegistry();
    std::unique_lock lock(r.mutex);
    auto it = r.states.find(name);
    if (it == r.states.end()) it = r.states.emplace(std::string(name), OnceState::Idle).first;
    OnceState& state = it->second;  // map nodes stay where they are
    r.changed.wait(lock, [&] { return state != OnceState::Running; });
    if (state == OnceState::Done) return;
    state = OnceState::Running;
    lock.unlock();
    try {
        fn();
    } catch (...) {
        lock.lock();
        state = OnceState::Idle;
        r.changed.notify_all();
        throw;
    }
    lock.lock();
    state = OnceState::Done;
    r.changed.notify_all();
}

}  // namespace lv
