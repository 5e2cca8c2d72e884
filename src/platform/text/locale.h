// Locale facts: the current locale (formatters, localized comparison, country code) and the user's
// preferred languages. The preferred languages come from a settable source, so that the user-defaults
// layer can later feed them from "AppleLanguages"; until then they come from the environment.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lv {

class Locale {
public:
    // The locale "en".
    Locale();
    // Any ICU/BCP 47 identifier ("en_US", "zh-Hans-CN", "en_US_POSIX"); kept in ICU's canonical form
    // with underscores ("zh_Hans_CN"). POSIX suffixes (".UTF-8", "@euro") are dropped.
    explicit Locale(std::string_view identifier);

    // The locale set with setCurrent, else the environment's: LC_ALL, then LANG ("zh_CN.UTF-8" gives
    // zh_CN); "C", "POSIX" or nothing give "en".
    static Locale current();
    // Overrides the current locale process-wide (nothing restores the environment's). Thread-safe.
    static void setCurrent(std::optional<Locale> locale);

    const std::string& identifier() const { return identifier_; }
    // ISO codes from the identifier: "zh", "Hans", "CN"; "" when the identifier has none.
    std::string languageCode() const;
    std::string scriptCode() const;
    std::string countryCode() const;

    bool operator==(const Locale& other) const { return identifier_ == other.identifier_; }

    // The user's preferred languages, most preferred first, as language tags ("zh-Hans", "en-US",
    // "en"): from the source when one is set, else environmentLanguages(). Thread-safe.
    static std::vector<std::string> preferredLanguages();
    using LanguagesSource = std::function<std::vector<std::string>()>;
    // Installs (or, with nullptr, removes) the source of preferredLanguages(). Thread-safe; the source
    // is called without any lock of this library held.
    static void setPreferredLanguagesSource(LanguagesSource source);
    // From the environment: LANGUAGE (a colon-separated list), else LC_ALL, else LANG, each entry as a
    // tag ("zh_CN.UTF-8" gives "zh-CN"); "en" when none names a language.
    static std::vector<std::string> environmentLanguages();

private:
    std::string identifier_;
};

}  // namespace lv
