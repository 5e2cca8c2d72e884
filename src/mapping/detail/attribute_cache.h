// The parsed attribute record of each declared property, read once per property: a registered
// property's attribute text never changes, and the model base and the adapter read it for every model
// they build.
#pragma once

#include "mapping/property_attributes.h"

namespace lv::mapping_detail {

// The record of the property (nullptr when it cannot be read); valid for the process's life.
const jm_propertyAttributes* cachedPropertyAttributes(const PropertyInfo* property);

}  // namespace lv::mapping_detail
