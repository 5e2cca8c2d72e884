#include "content/properties_as_dictionary.h"

#include "content/identifier_tools.h"
#include "platform/base/error.h"
#include "platform/base/format.h"
#include "platform/runtime/runtime.h"

namespace lv {

Dictionary PropertiesAsDictionary::propertyValuesDictionary(const Object& object) {
    Dictionary values;
    const ClassInfo* cls = classOf(object);
    if (!cls) return values;
    for (const PropertyInfo& property : cls->ownProperties()) {
        try {
            Value value = valueForKey(object, property.name);
            if (!value.isNil()) values.set(property.name, std::move(value));
        } catch (const Exception&) {
            // Unreadable through key-value access: left out.
        }
    }
    return values;
}

void PropertiesAsDictionary::dumpInfo(const Object& object) {
    std::vector<std::string> ivars;
    std::vector<std::string> properties;
    std::vector<std::string> methods;
    if (const ClassInfo* cls = classOf(object)) {
        for (const PropertyInfo& property : cls->ownProperties()) {
            if (!property.ivarName.empty()) ivars.push_back(property.ivarName);
            properties.push_back(property.name);
            methods.push_back(property.getterName);
            if (!property.readOnly) methods.push_back(property.setterName);
        }
    }
}

std::vector<std::string> PropertiesAsDictionary::propertyNamesArray(const ClassInfo* cls) {
    std::vector<std::string> names;
    if (!cls) return names;
    for (const PropertyInfo& property : cls->ownProperties()) names.push_back(property.name);
    return names;
}

Dictionary PropertiesAsDictionary::primitiveTypes() {
    return Dictionary{
        {":", "SEL"},
        {"v", "void"},
        {"c", "char"},
        {"d", "double"},
        {"f", "float"},
        {"@", "id"},
        {"i", "int"},
        {"D", "long double"},
        {"l", "long int"},
        {"q", "long long int"},
        {"s", "short int"},
        {"I", "unsigned int"},
        {"L", "unsigned long int"},
        {"Q", "unsigned long long int"},
        {"S", "unsigned short int"},
        {"}", "struct"},
    };
}

std::optional<std::string> PropertiesAsDictionary::typeFromAttributes(std::string_view attributes) {
    if (attributes.size() >= 3 && attributes[1] == '@' && attributes[2] == '"') {
        const std::string className = IdentifierTools::substringBetweenSubstrings(attributes, "@\"", "\",");
        if (className.empty()) return std::nullopt;
        return format("%@*", className);
    }
    if (attributes.empty() || attributes[0] != 'T') return std::nullopt;
    std::string_view code = attributes.substr(1);
    code = code.substr(0, code.find(','));
    if (code.empty()) return std::nullopt;
    const Dictionary types = primitiveTypes();
    const Value& name = types.get(code.substr(code.size() - 1));
    if (!name.isString()) return std::nullopt;
    std::string type = name.string();
    for (std::size_t i = 0; i < code.size() && code[i] == '^'; ++i) type += '*';
    return type;
}

Dictionary PropertiesAsDictionary::propertyNamesAttrDictionary(const ClassInfo* cls) {
    Dictionary types;
    if (!cls) return types;
    for (const PropertyInfo& property : cls->ownProperties()) {
        if (std::optional<std::string> type = typeFromAttributes(property.attributes)) types.set(property.name, *type);
    }
    return types;
}

}  // namespace lv
