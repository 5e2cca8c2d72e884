#include "platform/base/object.h"

#include <cxxabi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/base/value.h"

namespace lv {

struct Object::Associations {
    std::vector<std::pair<const void*, Value>> entries;
};

Object::Object() = default;
Object::~Object() = default;

namespace {
std::atomic<ClassNameResolver> gResolver{nullptr};
}

void setClassNameResolver(ClassNameResolver resolver) { gResolver.store(resolver); }

std::string demangledClassName(const std::type_info& type) {
    int status = 0;
    char* raw = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    std::string name = status == 0 && raw ? raw : type.name();
    std::free(raw);
    // Drop template arguments, then namespaces.
    if (auto angle = name.find('<'); angle != std::string::npos) name.erase(angle);
    if (auto colon = name.rfind("::"); colon != std::string::npos) name.erase(0, colon + 2);
    return name;
}

std::string Object::className() const {
    if (ClassNameResolver resolver = gResolver.load()) {
        if (const std::string* registered = resolver(typeid(*this))) return *registered;
    }
    return demangledClassName(typeid(*this));
}

std::string Object::description() const { return "<" + className() + ": " + addressText(this) + ">"; }

Value Object::associatedValue(const void* key) const {
    if (!hasAssociations_.load(std::memory_order_acquire)) return {};
    std::lock_guard lock(associationsMutex_);
    if (!associations_) return {};
    for (const auto& [k, v] : associations_->entries) {
        if (k == key) return v;
    }
    return {};
}

void Object::setAssociatedValue(const void* key, const Value& value) {
    Value previous;  // released outside the lock: its destructor may run arbitrary code
    std::lock_guard lock(associationsMutex_);
    if (!associations_) {
        if (value.isNil()) return;
        associations_ = std::make_unique<Associations>();
        hasAssociations_.store(true, std::memory_order_release);
    }
    auto& entries = associations_->entries;
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (it->first == key) {
            previous = std::move(it->second);
            if (value.isNil()) entries.erase(it);
            else it->second = value;
            return;
        }
    }
    if (!value.isNil()) entries.emplace_back(key, value);
}

std::string addressText(const void* pointer) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%lx", static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(pointer)));
    return buffer;
}

}  // namespace lv
