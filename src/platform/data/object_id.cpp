#include "platform/data/object_id.h"

#include <cstdio>
#include <functional>
#include <mutex>
#include <random>

namespace lv {

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

ManagedObjectID::ManagedObjectID(Ref<EntityDescription> entity, std::string storeIdentifier, std::int64_t key,
                                 std::string temporaryTag)
    : entity_(std::move(entity)), storeIdentifier_(std::move(storeIdentifier)), key_(key), temporaryTag_(std::move(temporaryTag)) {}

Ref<ManagedObjectID> ManagedObjectID::makeTemporary(Ref<EntityDescription> entity) {
    return makeRef<ManagedObjectID>(std::move(entity), std::string(), 0, makeUUIDString());
}

Ref<ManagedObjectID> ManagedObjectID::makePermanent(Ref<EntityDescription> entity, std::string storeIdentifier, std::int64_t key) {
    return makeRef<ManagedObjectID>(std::move(entity), std::move(storeIdentifier), key, std::string());
}

std::string ManagedObjectID::URIRepresentation() const {
    const std::string entityName = entity_ ? entity_->name() : std::string();
    if (isTemporaryID()) return "x-lvdata:///" + entityName + "/t" + temporaryTag_;
    return "x-lvdata://" + storeIdentifier_ + "/" + entityName + "/p" + std::to_string(key_);
}

std::string ManagedObjectID::description() const {
    if (isTemporaryID()) return addressText(this) + " <" + URIRepresentation() + ">";
    return "<" + URIRepresentation() + ">";
}

bool ManagedObjectID::isEqual(const Object& other) const {
    if (this == &other) return true;
    const auto* o = dynamic_cast<const ManagedObjectID*>(&other);
    if (!o || key_ != o->key_) return false;
    if (isTemporaryID()) return temporaryTag_ == o->temporaryTag_;
    const std::string& a = entity_ ? entity_->name() : std::string();
    const std::string& b = o->entity_ ? o->entity_->name() : std::string();
    return storeIdentifier_ == o->storeIdentifier_ && a == b;
}

std::size_t ManagedObjectID::hash() const {
    if (isTemporaryID()) return std::hash<std::string>{}(temporaryTag_);
    std::size_t h = std::hash<std::int64_t>{}(key_);
    if (entity_) h ^= std::hash<std::string>{}(entity_->name()) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    return h;
}

}  // namespace lv
