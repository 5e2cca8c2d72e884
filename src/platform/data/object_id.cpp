#include "platform/data/object_id.h"

#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <random>

#include "platform/base/lifetime.h"

namespace lv {

namespace {

std::mutex& permanentMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

std::atomic<std::uint64_t> gPermanentGeneration{0};

const std::shared_ptr<const std::string>& emptyText() {
    static const auto* empty = new std::shared_ptr<const std::string>(std::make_shared<const std::string>());
    return *empty;
}

// The process's own prefix of temporary IDs: temporary URIs of two runs never look alike.
const std::string& processTag() {
    static const std::string& tag = *new std::string(makeUUIDString());
    return tag;
}

}  // namespace

std::string makeUUIDString() {
    static std::mutex mutex;
    static std::mt19937_64 engine{std::random_device{}()};
    std::uint64_t hi;
    std::uint64_t lo;
    {
        std::lock_guard lock(mutex);
        hi = engine();
        lo = engine();
    }
    hi = (hi & 0xFFFFFFFFFFFF0FFFULL) | 0x0000000000004000ULL;  // version 4
    lo = (lo & 0x3FFFFFFFFFFFFFFFULL) | 0x8000000000000000ULL;  // variant
    char text[37];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%04X-%012llX", static_cast<unsigned>(hi >> 32),
                  static_cast<unsigned>((hi >> 16) & 0xFFFF), static_cast<unsigned>(hi & 0xFFFF),
                  static_cast<unsigned>(lo >> 48), static_cast<unsigned long long>(lo & 0xFFFFFFFFFFFFULL));
    return text;
}

namespace {

std::size_t permanentHash(std::int64_t key, const std::size_t* entityNameHash) {
    std::size_t h = std::hash<std::int64_t>{}(key);
    if (entityNameHash) h ^= *entityNameHash + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    return h;
}

}  // namespace

ManagedObjectID::ManagedObjectID(Ref<EntityDescription> entity, std::shared_ptr<const std::string> storeIdentifier, std::int64_t key,
                                 std::uint64_t serial)
    : entity_(std::move(entity)), store_(std::move(storeIdentifier)), key_(key), serial_(serial) {
    if (!store_) store_ = emptyText();
    if (key_ == 0) {
        hash_ = std::hash<std::uint64_t>{}(serial_) ^ 0x5bd1e995ULL;
    } else {
        const std::size_t nameHash = entity_ ? entity_->nameHash() : 0;
        hash_ = permanentHash(key_, entity_ ? &nameHash : nullptr);
    }
}

ManagedObjectID::ManagedObjectID(Ref<EntityDescription> entity, std::shared_ptr<const std::string> storeIdentifier, std::int64_t key,
                                 EntityNameHash entityNameHash)
    : entity_(std::move(entity)), store_(std::move(storeIdentifier)), key_(key), serial_(0) {
    if (!store_) store_ = emptyText();
    if (key_ == 0) hash_ = std::hash<std::uint64_t>{}(serial_) ^ 0x5bd1e995ULL;
    else hash_ = permanentHash(key_, entity_ ? &entityNameHash.value : nullptr);
}

std::size_t ManagedObjectID::permanentHashFor(std::size_t entityNameHash, std::int64_t key) {
    return permanentHash(key, &entityNameHash);
}

Ref<ManagedObjectID> ManagedObjectID::makeTemporary(Ref<EntityDescription> entity) {
    static std::atomic<std::uint64_t> nextSerial{1};
    return makeRef<ManagedObjectID>(std::move(entity), emptyText(), 0, nextSerial.fetch_add(1, std::memory_order_relaxed));
}

Ref<ManagedObjectID> ManagedObjectID::makePermanent(Ref<EntityDescription> entity, std::string_view storeIdentifier,
                                                    std::int64_t key) {
    // IDs are made by the thousand for one store: share the identifier text between them (and take it
    // as a view, so that the common case copies no text at all).
    static PerThread<std::shared_ptr<const std::string>> lastPerThread;
    std::shared_ptr<const std::string>& last = lastPerThread.get();
    if (!last || *last != storeIdentifier) last = std::make_shared<const std::string>(storeIdentifier);
    return makeRef<ManagedObjectID>(std::move(entity), last, key, 0);
}

std::vector<Ref<ManagedObjectID>> ManagedObjectID::makePermanentRange(const Ref<EntityDescription>& entity,
                                                                      std::string_view storeIdentifier, std::int64_t first,
                                                                      std::size_t count) {
    std::vector<Ref<ManagedObjectID>> out;
    if (count == 0) return out;
    out.reserve(count);
    // One identifier text and one hash of the entity name for all of them.
    auto store = std::make_shared<const std::string>(storeIdentifier);
    const std::size_t nameHash = entity ? entity->nameHash() : 0;
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(makeRef<ManagedObjectID>(entity, store, first + static_cast<std::int64_t>(i), EntityNameHash{nameHash}));
    }
    return out;
}

Ref<ManagedObjectID> ManagedObjectID::permanentID() const {
    if (!isTemporaryID() || !hasPermanent_.load(std::memory_order_acquire)) return nullptr;
    return permanent_;  // set before the flag, never changed after
}

void ManagedObjectID::setPermanentID(const Ref<ManagedObjectID>& permanent) const {
    if (!isTemporaryID() || !permanent || permanent->isTemporaryID()) return;
    {
        std::lock_guard lock(permanentMutex());
        if (permanent_) return;
        permanent_ = permanent;
        hasPermanent_.store(true, std::memory_order_release);
    }
    gPermanentGeneration.fetch_add(1, std::memory_order_acq_rel);
}

void ManagedObjectID::setPermanentIDs(const std::vector<std::pair<Ref<ManagedObjectID>, Ref<ManagedObjectID>>>& pairs) {
    bool any = false;
    {
        std::lock_guard lock(permanentMutex());
        for (const auto& [temporary, permanent] : pairs) {
            if (!temporary || !temporary->isTemporaryID() || !permanent || permanent->isTemporaryID() || temporary->permanent_) continue;
            temporary->permanent_ = permanent;
            temporary->hasPermanent_.store(true, std::memory_order_release);
            any = true;
        }
    }
    if (any) gPermanentGeneration.fetch_add(1, std::memory_order_acq_rel);
}

std::uint64_t ManagedObjectID::permanentIDGeneration() { return gPermanentGeneration.load(std::memory_order_acquire); }

std::string ManagedObjectID::URIRepresentation() const {
    const std::string entityName = entity_ ? entity_->name() : std::string();
    if (isTemporaryID()) return "x-lvdata:///" + entityName + "/t" + processTag() + "-" + std::to_string(serial_);
    return "x-lvdata://" + *store_ + "/" + entityName + "/p" + std::to_string(key_);
}

std::string ManagedObjectID::description() const {
    if (isTemporaryID()) return addressText(this) + " <" + URIRepresentation() + ">";
    return "<" + URIRepresentation() + ">";
}

bool ManagedObjectID::isEqual(const Object& other) const {
    if (this == &other) return true;
    const auto* o = dynamic_cast<const ManagedObjectID*>(&other);
    return o && isEqualToID(*o);
}

bool ManagedObjectID::isEqualToID(const ManagedObjectID& other) const {
    const ManagedObjectID* o = &other;
    if (this == o) return true;
    if (key_ != o->key_) return false;
    if (isTemporaryID()) return serial_ == o->serial_;
    if (hash_ != o->hash_ || !(store_ == o->store_ || *store_ == *o->store_)) return false;
    if (entity_ == o->entity_) return true;
    if (!entity_ || !o->entity_) return false;
    return entity_->name() == o->entity_->name();
}

}  // namespace lv
