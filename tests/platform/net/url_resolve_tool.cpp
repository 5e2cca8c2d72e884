// Resolves references against a base with the platform's URL class, for an independent checker:
// argv[1] is the base; every line of stdin is a reference; each output line is the resolved absolute
// text, or "nil" when no URL could be made.
#include <iostream>
#include <string>

#include "platform/net/url.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: lv_url_resolve_tool BASE < references\n";
        return 2;
    }
    const auto base = lv::URL::URLWithString(argv[1]);
    if (!base) {
        std::cerr << "unusable base: " << argv[1] << "\n";
        return 2;
    }
    std::string reference;
    while (std::getline(std::cin, reference)) {
        const auto url = lv::URL::URLWithString(reference, base);
        std::cout << (url ? url->absoluteString() : std::string("nil")) << "\n";
    }
    return 0;
}
