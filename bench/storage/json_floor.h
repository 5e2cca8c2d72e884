// The JSON floor's parse, built in a file of its own (see json_floor.cpp). One thread per call.
#pragma once

#include <cstddef>
#include <string>

namespace lv::bench {

struct FloorParse {
    bool ok = false;
    std::size_t items = 0;  // entries of "mItems"
    std::string lastTitle;  // "title" of the last entry (filled only when asked)
};

// Checks the text as UTF-8 once, then parses a private copy in place with RapidJSON's DOM (no check per
// byte, numbers to full precision, each text's end found 16 bytes at a time on x86-64).
FloorParse parseFloor(const std::string& text, bool wantTitle);

}  // namespace lv::bench
