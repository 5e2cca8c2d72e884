// Property introspection of registered classes: the declared properties of a class with their type
// names, and the current values of an object's properties as a dictionary. The settings persistence
// learns what to save through it.
//
// The class-side functions look only at the properties the class itself declares (not inherited
// ones), in declaration order.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/object.h"
#include "platform/base/value.h"

namespace lv {

class ClassInfo;

class PropertiesAsDictionary {
public:
    // Property name → current value, for each declared property of the object's class whose value is
    // not nil. A property whose reading raises is left out.
    static Dictionary propertyValuesDictionary(const Object& object);
    // Gathers the names of the object's class's instance variables, properties and accessor methods
    // and discards them: no visible effect.
    static void dumpInfo(const Object& object);

    // The names of the declared properties.
    static std::vector<std::string> propertyNamesArray(const ClassInfo* cls);
    // Type code → type name: ":" SEL, "v" void, "c" char, "d" double, "f" float, "@" id, "i" int,
    // "D" long double, "l" long int, "q" long long int, "s" short int, "I" unsigned int,
    // "L" unsigned long int, "Q" unsigned long long int, "S" unsigned short int, "}" struct.
    static Dictionary primitiveTypes();
    // The type name in a property attribute text: for an object of a named class the class name
    // followed by "*" (T@"String",&,N,V_name → "String*"); otherwise the name of the last character of
    // the type code in primitiveTypes with one "*" per leading "^" (T^^i,N → "int**"). Nothing when
    // the text names no type (an unknown code such as "B", an empty class name, no "T" at the start).
    static std::optional<std::string> typeFromAttributes(std::string_view attributes);
    // Declared property name → typeFromAttributes of its attribute text; properties without a type
    // name are left out.
    static Dictionary propertyNamesAttrDictionary(const ClassInfo* cls);
};

}  // namespace lv
