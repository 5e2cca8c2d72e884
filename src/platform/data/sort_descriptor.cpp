#include "platform/data/sort_descriptor.h"

#include "platform/data/object_id.h"

namespace lv {

int compareForSort(const Value& a, const Value& b) {
    if (a.isObject() && b.isObject()) {
        auto ia = a.objectAs<ManagedObjectID>();
        auto ib = b.objectAs<ManagedObjectID>();
        if (ia && ib) {
            const std::string& ea = ia->entity() ? ia->entity()->name() : std::string();
            const std::string& eb = ib->entity() ? ib->entity()->name() : std::string();
            if (int c = ea.compare(eb)) return c < 0 ? -1 : 1;
            return ia->key() < ib->key() ? -1 : ia->key() > ib->key() ? 1 : 0;
        }
        return 0;
    }
    return a.compare(b);
}

int SortDescriptor::compare(const Value& a, const Value& b) const {
    const int c = compareForSort(a, b);
    return ascending_ ? c : -c;
}

std::string SortDescriptor::description() const {
    return "(" + key_ + ", " + (ascending_ ? "ascending" : "descending") + ", compare:)";
}

}  // namespace lv
