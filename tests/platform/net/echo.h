// Reading the echo route's reply: "METHOD target\n", "Name: value\n" lines, a blank line, the body.
#pragma once

#include <optional>
#include <string>
#include <strings.h>

namespace lv::test {

struct Echo {
    std::string requestLine;
    std::string head;
    std::string body;

    explicit Echo(const std::string& text) {
        const auto firstBreak = text.find('\n');
        requestLine = text.substr(0, firstBreak);
        const auto blank = text.find("\n\n");
        head = blank == std::string::npos ? text : text.substr(0, blank + 1);
        body = blank == std::string::npos ? "" : text.substr(blank + 2);
    }
    std::optional<std::string> header(const std::string& name) const {
        std::size_t at = head.find('\n');
        while (at != std::string::npos && at + 1 < head.size()) {
            const auto end = head.find('\n', at + 1);
            const std::string line = head.substr(at + 1, end - at - 1);
            const auto colon = line.find(": ");
            if (colon == name.size() && ::strncasecmp(line.c_str(), name.c_str(), name.size()) == 0) {
                return line.substr(colon + 2);
            }
            at = end;
        }
        return std::nullopt;
    }
};

}  // namespace lv::test
