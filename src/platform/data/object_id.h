// Object IDs: the identity of a record in the store. A new record has a temporary ID until it is saved
// (or given a permanent ID earlier); a permanent ID names the store, the entity and the record's key,
// and equal IDs name the same record in every context.
#pragma once

#include <cstdint>
#include <string>

#include "platform/base/object.h"
#include "platform/data/model.h"

namespace lv {

class ManagedObjectID : public Object {
public:
    // A new temporary ID, equal only to itself.
    static Ref<ManagedObjectID> makeTemporary(Ref<EntityDescription> entity);
    static Ref<ManagedObjectID> makePermanent(Ref<EntityDescription> entity, std::string storeIdentifier, std::int64_t key);

    const Ref<EntityDescription>& entity() const { return entity_; }
    // Empty for temporary IDs.
    const std::string& storeIdentifier() const { return storeIdentifier_; }
    // The record's key in its entity's table; 0 for temporary IDs.
    std::int64_t key() const { return key_; }
    bool isTemporaryID() const { return key_ == 0; }

    // "x-lvdata://<store identifier>/<Entity>/p<key>", or "x-lvdata:///<Entity>/t<unique id>" while
    // temporary.
    std::string URIRepresentation() const;
    // "<x-lvdata://…>" with "0x…" first for temporary IDs, as "0x… <x-lvdata:///News/t…>".
    std::string description() const override;
    bool isEqual(const Object& other) const override;
    std::size_t hash() const override;

    ManagedObjectID(Ref<EntityDescription> entity, std::string storeIdentifier, std::int64_t key, std::string temporaryTag);

private:
    Ref<EntityDescription> entity_;
    std::string storeIdentifier_;
    std::int64_t key_;
    std::string temporaryTag_;
};

// A new random identifier in the 8-4-4-4-12 upper-case hexadecimal form.
std::string makeUUIDString();

}  // namespace lv
