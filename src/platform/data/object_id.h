// Object IDs: the identity of a record in the store. A new record has a temporary ID until it is saved
// (or given a permanent ID earlier); a permanent ID names the store, the entity and the record's key,
// and equal IDs name the same record in every context.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/object.h"
#include "platform/data/model.h"

namespace lv {

class ManagedObjectID : public Object {
public:
    // A new temporary ID, unique in the process and equal only to itself.
    static Ref<ManagedObjectID> makeTemporary(Ref<EntityDescription> entity);
    static Ref<ManagedObjectID> makePermanent(Ref<EntityDescription> entity, std::string_view storeIdentifier,
                                               std::int64_t key);
    // makePermanent for the keys first, first + 1, … (count of them), in that order.
    static std::vector<Ref<ManagedObjectID>> makePermanentRange(const Ref<EntityDescription>& entity,
                                                                std::string_view storeIdentifier, std::int64_t first,
                                                                std::size_t count);

    const Ref<EntityDescription>& entity() const { return entity_; }
    // Empty for temporary IDs.
    const std::string& storeIdentifier() const { return *store_; }
    // The record's key in its entity's table; 0 for temporary IDs.
    std::int64_t key() const { return key_; }
    bool isTemporaryID() const { return key_ == 0; }

    // A temporary ID remembers the permanent ID its record was given (by a save or by a request for
    // permanent IDs), so that every context still holding the temporary one can find the record under
    // its permanent ID. Nullptr while there is none, and always for permanent IDs. Thread-safe.
    Ref<ManagedObjectID> permanentID() const;
    // Records the permanent ID of a temporary ID (once; later calls keep the first).
    void setPermanentID(const Ref<ManagedObjectID>& permanent) const;
    // setPermanentID for many pairs (temporary, permanent) at once.
    static void setPermanentIDs(const std::vector<std::pair<Ref<ManagedObjectID>, Ref<ManagedObjectID>>>& pairs);
    // Raised every time some temporary ID is given its permanent ID; contexts compare it with the value
    // they last saw to know whether their temporary IDs may have permanent ones now.
    static std::uint64_t permanentIDGeneration();

    // "x-lvdata://<store identifier>/<Entity>/p<key>", or "x-lvdata:///<Entity>/t<unique id>" while
    // temporary.
    std::string URIRepresentation() const;
    // "<x-lvdata://…>" with "0x…" first for temporary IDs, as "0x… <x-lvdata:///News/t…>".
    std::string description() const override;
    bool isEqual(const Object& other) const override;
    // isEqual for another ID, without finding out what the other object is.
    bool isEqualToID(const ManagedObjectID& other) const;
    std::size_t hash() const override { return hash_; }
    // The hash() of the permanent ID of key in an entity whose name has the std::hash entityNameHash,
    // so that an ID can be looked for without making it.
    static std::size_t permanentHashFor(std::size_t entityNameHash, std::int64_t key);

    // Internal: temporary IDs have a serial number unique in the process (0 for permanent IDs); the
    // store identifier text is shared by the IDs of one store.
    ManagedObjectID(Ref<EntityDescription> entity, std::shared_ptr<const std::string> storeIdentifier, std::int64_t key,
                    std::uint64_t serial);
    // An ID whose entity name's hash (std::hash of the name) the caller computed already.
    struct EntityNameHash {
        std::size_t value;
    };
    ManagedObjectID(Ref<EntityDescription> entity, std::shared_ptr<const std::string> storeIdentifier, std::int64_t key,
                    EntityNameHash entityNameHash);
    std::uint64_t serial() const { return serial_; }

private:
    Ref<EntityDescription> entity_;
    std::shared_ptr<const std::string> store_;
    std::int64_t key_;
    std::uint64_t serial_;
    std::size_t hash_;
    // Set once, under a lock shared by all IDs, and never changed after: once hasPermanent_ reads
    // true, permanent_ may be read without the lock.
    mutable Ref<ManagedObjectID> permanent_;
    mutable std::atomic<bool> hasPermanent_{false};
};

// A new random identifier in the 8-4-4-4-12 upper-case hexadecimal form.
std::string makeUUIDString();

}  // namespace lv
