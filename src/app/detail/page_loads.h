// The command's page loads: each plays one page of a screen as the screen does. The screen comes on
// screen (analytics page view with its class name; the news and lifestyle screens also send the event
// "newsTab" with the page's action), asks for the items newer than the rows it shows (the newest
// "update_time" among them, none when it shows no row), then shows its rows from the store: after a
// reply, with the toast "当前数据已经是最新的！" when the service has nothing newer; after a failure,
// the error line and then the rows the store holds (offline). The page view ends when the screen's
// last running load has ended.
//
// Results go to standard output, errors to standard error.
// Threads: main thread, after a tab set is installed.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/value.h"

namespace lv::app_detail {

inline constexpr const char* kUpToDateToast = "当前数据已经是最新的！";

// A page command and its values, in the order of its options.
struct PageRequest {
    std::string command;
    std::vector<std::string> values;
};

// The options of a page command in order ("news" → {"--cat"}), nothing for other commands.
const std::vector<std::string>* pageOptions(const std::string& command);
// The usage problem of the values (e.g. "--ended takes yes or no"), empty when they are fine.
std::string checkPageValues(const PageRequest& request);

// A value as one printed cell: "-" for nil and null, dates in the service's style, every other value
// as its text escaped by terminalText (control characters, NUL, the backslash, bidirectional controls,
// line separators and malformed UTF-8 written visibly: "\t", "\n", "\\", "\x1b", "\u0085", "\u202e",
// "\xff"), so that service text can neither steer the terminal nor split or reorder a row.
std::string cellText(const Value& value);
// Writes the text and a line end to standard output, every byte of it.
void printLine(const std::string& text);
// Writes "lunavexa: ", the text escaped as cells are (error details carry service text) and a line end
// to standard error, in one write.
void printErrorLine(const std::string& text);

// Plays the page load; done gets the exit code (0 success, 1 failure) after the output is written.
void playPage(const PageRequest& request, std::function<void(int code)> done);

// The stored rows of an entity page ("News", "Toptenz", …; no filter), or nothing for an unknown name.
std::optional<int> showEntity(const std::string& entity);
bool isEntityName(const std::string& entity);

}  // namespace lv::app_detail
