// The signatures of the hooks the mapping layer calls on model and adapter classes, checked when such a
// class registers: a hook under one of these names with another signature would never be found, so
// its registration raises kInvalidArgumentException instead.
#pragma once

namespace lv::mapping_detail {

// Installs the check with the runtime, once; called before JMModel and JMJSONAdapter register.
void installHookRules();

}  // namespace lv::mapping_detail
