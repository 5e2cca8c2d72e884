// Generic persistence of an object's declared properties to a file in the Documents directory: the
// file is loaded when persistence is switched on, and saved on every property set while it is on (also
// when the value did not change), on the thread that set the property.
//
// A save changes only what this process set: under a lock of the file's folder (flock, so other
// processes on the same home wait), the file is read as it is now, the set key (with any whose save
// failed before) takes the object's value (nil removes it), every other entry stays as another process
// may have written it, and the file is replaced atomically. An explicit saveProperties puts every
// declared property the same way.
//
// File: a property-list dictionary with exactly one entry "key" holding the keyed archive of the
// dictionary property name → value of the non-nil properties; written atomically with mode 0600. On
// load a property-list dictionary that maps property names to values directly is accepted as well.
//
// Unreadable input never stops the caller: a damaged file or archive (also no regular file, or one
// past 1 MiB) is kept aside as damaged and treated as absent, and an entry naming no declared property
// or holding a value of another class than the property declares is skipped; each with one log line.
// A file that is there but cannot be read (a folder, say) is ignored on load and makes saves fail,
// never replaced. Save failures are logged.
//
// File names: an empty name means the default one, the class name followed by ".plist".
//
// Threads: saves are serialised process-wide (reading the values and writing the file are one step),
// so when setters race the file ends with the state after the last save. The object's getters are
// read during a save and must not set properties themselves.
#pragma once

#include <string>
#include <string_view>

#include "platform/base/object.h"
#include "platform/base/value.h"

namespace lv {

class PropertyPersistance {
public:
    // The Documents directory joined with the file name (or the default name).
    static std::string getPersistPathFilename(const Object& object, std::string_view fileName = {});
    // Sets the object's properties from the file (nothing when it is missing).
    static void loadProperties(Object& object, std::string_view fileName = {});
    // Puts every declared property's value into the file as it is now (see above); false (and one log
    // line) when it could not.
    static bool saveProperties(Object& object, std::string_view fileName = {});
    // Loads the properties from the file, then saves to it on every set of a declared property that
    // has a type name (see PropertiesAsDictionary::propertyNamesAttrDictionary). Switching on again
    // replaces the earlier observation.
    static void setPersistanceOn(Object& object, std::string_view fileName = {});
    static void setPersistanceOff(Object& object);
    static bool isPersistanceOn(const Object& object);
    // True while a property set on the object has not reached the file (its save failed, and no later
    // save carried it).
    static bool hasUnsavedProperties(const Object& object);
    // Writes an empty dictionary to the named file, switches persistence off, sets every declared
    // property that has a value to nil, saves under the default name and switches persistence on again
    // with the default name.
    static void persistanceCleanProperties(Object& object, std::string_view fileName = {});
};

}  // namespace lv
