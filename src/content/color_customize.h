// Colours from hexadecimal texts ("#2B3D59", "2b3d59", "0x2B3D59").
#pragma once

#include <string_view>

#include "platform/ui/color.h"

namespace lv {

class ColorCustomize {
public:
    // The text is trimmed of white space and line ends and upper-cased; a leading "0X" and then a
    // leading "#" are removed. Six hexadecimal digits then give red, green and blue (each pair / 255)
    // with alpha 1; a text shorter than six characters before the prefixes are removed, or of any
    // length other than six after, gives the clear colour. A pair that does not start with a
    // hexadecimal digit reads as 0; one whose second character is no digit reads as its first digit.
    static Ref<Color> colorWithHexString(std::string_view text);
};

}  // namespace lv
