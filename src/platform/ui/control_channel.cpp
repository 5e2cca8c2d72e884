#include "platform/ui/control_channel.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>

#include "platform/base/log.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/thread.h"
#include "platform/storage/json.h"
#include "platform/ui/application.h"

namespace lv {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trim(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

// Splits off the first word.
std::string_view firstWord(std::string_view& rest) {
    rest = trim(rest);
    std::size_t end = 0;
    while (end < rest.size() && !isBlank(rest[end])) ++end;
    std::string_view word = rest.substr(0, end);
    rest = trim(rest.substr(end));
    return word;
}

bool ignored(std::string_view line, std::string_view reason) {
    log("control: ignored \"%@\" (%@)", line, reason);
    return false;
}

}  // namespace

bool ControlChannel::execute(std::string_view line) {
    std::string_view rest = trim(line);
    if (rest.empty() || rest.front() == '#') return false;
    const std::string_view command = firstWord(rest);
    const Ref<Application> app = Application::sharedApplication();
    auto ran = [&](bool tookEffect) { return tookEffect || ignored(line, "not possible in the present state"); };

    if (command == "remote-notification") {
        Ref<Error> error;
        const Value payload = JSONSerialization::JSONObjectWithData(rest, 0, &error);
        if (!payload.isDictionary()) return ignored(line, "the payload is no JSON object");
        return ran(app->deliverRemoteNotification(payload.dictionary()));
    }
    if (command == "open-url") {
        const Ref<URL> url = URL::URLWithString(firstWord(rest));
        const std::string source(firstWord(rest));
        if (!url || !rest.empty()) return ignored(line, "expected a URL and an optional source");
        const auto own = Application::ownURLSchemes();
        if (std::find(own.begin(), own.end(), Application::urlScheme(url)) == own.end()) {
            return ignored(line, "not a scheme of this app");
        }
        if (!app->isLaunched() || app->isTerminated()) return ran(false);
        app->deliverOpenURL(url, source, Value());
        return true;
    }
    if (command == "tap-alert") {
        const std::string_view number = firstWord(rest);
        int index = -1;
        auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), index);
        if (number.empty() || ec != std::errc() || end != number.data() + number.size() || !rest.empty()) {
            return ignored(line, "expected a button number");
        }
        return app->tapAlertButton(index) || ignored(line, "no front alert with that button");
    }
    if (!rest.empty()) return ignored(line, "unexpected words");
    if (command == "activate") return ran(app->becomeActive());
    if (command == "resign") return ran(app->resignActive());
    if (command == "background") return ran(app->enterBackground());
    if (command == "terminate") return ran(app->terminate());
    if (command == "local-notification") return ran(app->fireLocalNotification());
    if (command == "memory-warning") return ran(app->deliverMemoryWarning());
    if (command == "expire-background-tasks") return app->expireBackgroundTasks() > 0 || ignored(line, "no task");
    return ignored(line, "unknown command");
}

void ControlChannel::send(std::string line) {
    Queue::main()->async([line = std::move(line)] { execute(line); });
}

void ControlChannel::listen(int fd, bool closeAtEnd) {
    listen(fd, closeAtEnd, [](std::string line) { execute(line); }, "lv.control");
}

void ControlChannel::listen(int fd, bool closeAtEnd, std::function<void(std::string)> onLine, std::string threadName) {
    Thread::detachNew(
        [fd, closeAtEnd, onLine = std::move(onLine)] {
            auto post = [&onLine](std::string line) {
                Queue::main()->async([onLine, line = std::move(line)]() mutable { onLine(std::move(line)); });
            };
            std::string pending;
            char buffer[4096];
            for (;;) {
                const ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                pending.append(buffer, static_cast<std::size_t>(n));
                std::size_t start = 0;
                for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
                    post(pending.substr(start, end - start));
                }
                pending.erase(0, start);
            }
            if (!pending.empty()) post(std::move(pending));
            if (closeAtEnd) ::close(fd);
        },
        std::move(threadName));
}

}  // namespace lv
