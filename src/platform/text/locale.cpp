#include "platform/text/locale.h"

#include <cstdlib>
#include <memory>
#include <mutex>

#include <unicode/locid.h>

namespace lv {

namespace {

// "zh_CN.UTF-8@euro" → "zh_CN"; "C", "POSIX" and "" → "".
std::string stripPosix(std::string_view name) {
    const std::size_t cut = name.find_first_of(".@");
    std::string base(name.substr(0, cut));
    if (base == "C" || base == "POSIX") return std::string();
    return base;
}

std::string canonical(std::string_view identifier) {
    const std::string base = stripPosix(identifier);
    if (base.empty()) return "en";
    icu::Locale locale;
    if (base.find('-') != std::string::npos) {
        UErrorCode status = U_ZERO_ERROR;
        locale = icu::Locale::forLanguageTag(base, status);
        if (U_FAILURE(status)) locale.setToBogus();
    } else {
        locale = icu::Locale::createCanonical(base.c_str());
    }
    if (locale.isBogus()) return "en";
    std::string name = locale.getName();
    return name.empty() ? "en" : name;
}

std::string envValue(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

struct LocaleState {
    std::mutex mutex;
    std::optional<Locale> current;
    // The locale last made from the environment's name, and that name: formatters ask at every call,
    // and making the canonical name goes through ICU.
    std::string environmentName;
    std::optional<Locale> fromEnvironment;
    std::shared_ptr<const Locale::LanguagesSource> source;
};

LocaleState& state() {
    static LocaleState* s = new LocaleState();  // never destroyed: usable from any static destructor
    return *s;
}

// "zh_CN" → "zh-CN"; "" when the entry names no language.
std::string languageTag(std::string_view posixName) {
    const std::string base = stripPosix(posixName);
    if (base.empty()) return std::string();
    const icu::Locale locale = icu::Locale::createCanonical(base.c_str());
    if (locale.isBogus() || std::string(locale.getLanguage()).empty()) return std::string();
    UErrorCode status = U_ZERO_ERROR;
    const std::string tag = locale.toLanguageTag<std::string>(status);
    if (U_FAILURE(status) || tag == "und") return std::string();
    return tag;
}

}  // namespace

Locale::Locale() : identifier_("en") {}

Locale::Locale(std::string_view identifier) : identifier_(canonical(identifier)) {}

Locale Locale::current() {
    LocaleState& s = state();
    std::string name;
    {
        // Formatters ask at every call: the usual answers come under one lock and without a copy of
        // the environment's name (getenv takes none of our locks).
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.current) return *s.current;
        const char* all = std::getenv("LC_ALL");
        const char* value = all && *all ? all : std::getenv("LANG");
        const std::string_view view = value ? std::string_view(value) : std::string_view();
        if (s.fromEnvironment && s.environmentName == view) return *s.fromEnvironment;
        name.assign(view);
    }
    Locale made(name);
    std::lock_guard<std::mutex> lock(s.mutex);
    s.environmentName = std::move(name);
    s.fromEnvironment = made;
    return made;
}

void Locale::setCurrent(std::optional<Locale> locale) {
    LocaleState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.current = std::move(locale);
}

std::string Locale::languageCode() const { return icu::Locale(identifier_.c_str()).getLanguage(); }
std::string Locale::scriptCode() const { return icu::Locale(identifier_.c_str()).getScript(); }
std::string Locale::countryCode() const { return icu::Locale(identifier_.c_str()).getCountry(); }

std::vector<std::string> Locale::preferredLanguages() {
    std::shared_ptr<const LanguagesSource> source;
    {
        LocaleState& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        source = s.source;
    }
    if (source && *source) return (*source)();
    return environmentLanguages();
}

void Locale::setPreferredLanguagesSource(LanguagesSource source) {
    LocaleState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.source = source ? std::make_shared<const LanguagesSource>(std::move(source)) : nullptr;
}

std::vector<std::string> Locale::environmentLanguages() {
    std::vector<std::string> languages;
    const auto add = [&](std::string_view entry) {
        std::string tag = languageTag(entry);
        if (tag.empty()) return;
        for (const auto& l : languages) {
            if (l == tag) return;
        }
        languages.push_back(std::move(tag));
    };
    const std::string list = envValue("LANGUAGE");
    std::size_t start = 0;
    while (start <= list.size() && !list.empty()) {
        const std::size_t colon = list.find(':', start);
        add(std::string_view(list).substr(start, colon == std::string::npos ? std::string::npos : colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    if (languages.empty()) {
        std::string name = envValue("LC_ALL");
        if (name.empty()) name = envValue("LANG");
        add(name);
    }
    if (languages.empty()) languages.emplace_back("en");
    return languages;
}

}  // namespace lv
