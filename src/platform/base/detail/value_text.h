// For the layers' own code, not a public interface: the bytes of a text value in place, without the
// std::string that Value::string() makes on its first call for a text kept in a shared text block
// (the texts of a parsed reply, a fetched row). Readers that only look at the bytes (binding them to a
// statement, reading a date) use it. A reader building its values in place (the JSON reader) makes
// a text value from a block's payload with the tag given here.
// Thread rule: as Value's; the view stays valid while the value lives and is not changed.
#pragma once

#include <string_view>

#include "platform/base/value.h"

namespace lv {

struct ValueText {
    // The text's bytes; empty for a value of another type.
    static std::string_view view(const Value& value) { return value.textView(); }
    // The tag of Value's constructor from a text block's payload (TextBlock::makePayload), for a reader
    // that builds its values in place.
    static Value::SharedTextTag sharedTextTag() { return {}; }
};

}  // namespace lv
