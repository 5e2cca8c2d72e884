// Reading a declared property's attribute text ("T@\"String\",C,N,V_title") into a record, and building
// hook names from key patterns.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lv {

class ClassInfo;
struct PropertyInfo;

enum class JMPropertyMemoryManagementPolicy : std::uint32_t { Assign = 0, Retain = 1, Copy = 2 };

// What an attribute text says about a property.
struct jm_propertyAttributes {
    bool readonly = false;        // R
    bool nonatomic = false;       // N
    bool weak = false;            // W
    bool canBeCollected = false;  // P
    bool dynamic = false;         // D
    JMPropertyMemoryManagementPolicy memoryManagementPolicy = JMPropertyMemoryManagementPolicy::Assign;  // & or C
    std::string getter;  // G, else the property name
    std::string setter;  // S, else "set" + name with its first byte ASCII upper-cased + ":"
    std::string ivar;    // V; empty when the property has no instance variable
    const ClassInfo* objectClass = nullptr;  // the registered class named in @"Name", else nullptr
    std::string type;    // the type encoding after T
};

// Reads the runtime's attribute text of a property. Prints a diagnostic line on stderr and returns
// nothing when the text cannot be read; unknown flags, old-style type encodings and trailing data are
// reported and the record is still returned.
std::optional<jm_propertyAttributes> jm_readPropertyAttributes(const PropertyInfo* property);
// The same over any attribute text (propertyName only appears in diagnostics).
std::optional<jm_propertyAttributes> jm_readPropertyAttributes(std::string_view attributes, std::string_view propertyName);

// The length of the one complete type encoding at the start of the text ("q", "@\"String\"", "^i",
// "[4i]", "{Point=dd}", …); 0 when the text starts with no type (empty or a ','), nothing when the
// type is malformed.
std::optional<std::size_t> jm_typeEncodingLength(std::string_view encoding);

// key + suffix ("update_time" + "JSONTransformer"); nothing when the key is not valid UTF-8.
std::optional<std::string> JMSelectorFromKeyPattern(std::string_view key, std::string_view suffix);
// prefix + key with its first character upper-cased by the full Unicode mapping + suffix
// ("merge" + "title" + "FromModel:" gives "mergeTitleFromModel:"); nothing when the key is not valid UTF-8.
std::optional<std::string> JMSelectorFromCapitalizedKeyPattern(std::string_view prefix, std::string_view key,
                                                               std::string_view suffix);

}  // namespace lv
