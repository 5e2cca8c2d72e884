#include "platform/text/locale.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/scoped_env.h"

namespace lv {
namespace {

using Languages = std::vector<std::string>;
using test::ScopedEnv;

TEST(Locale, IdentifiersAndCodes) {
    const struct {
        const char* given;
        const char* identifier;
    } cases[] = {
        {"", "en"},         {"en-US", "en_US"},         {"zh_CN.UTF-8", "zh_CN"},  {"de_DE.UTF-8@euro", "de_DE"},
        {"C", "en"},        {"POSIX", "en"},            {"en_US_POSIX", "en_US_POSIX"},
    };
    for (const auto& c : cases) EXPECT_EQ(Locale(c.given).identifier(), c.identifier) << c.given;
    EXPECT_EQ(Locale().identifier(), "en");
    const Locale zh("zh-Hans-CN");
    EXPECT_EQ(zh.identifier(), "zh_Hans_CN");
    EXPECT_EQ(zh.languageCode(), "zh");
    EXPECT_EQ(zh.scriptCode(), "Hans");
    EXPECT_EQ(zh.countryCode(), "CN");
    EXPECT_EQ(Locale("en").countryCode(), "");  // no country: the empty text
}

TEST(Locale, CurrentFromEnvironmentOrOverride) {
    {
        ScopedEnv all("LC_ALL", std::nullopt);
        ScopedEnv lang("LANG", "zh_CN.UTF-8");
        EXPECT_EQ(Locale::current().identifier(), "zh_CN");
        EXPECT_EQ(Locale::current().countryCode(), "CN");
        ScopedEnv lcAll("LC_ALL", "ko_KR.UTF-8");
        EXPECT_EQ(Locale::current().identifier(), "ko_KR");
    }
    {
        ScopedEnv all("LC_ALL", std::nullopt);
        ScopedEnv lang("LANG", "C.UTF-8");
        EXPECT_EQ(Locale::current().identifier(), "en");
        Locale::setCurrent(Locale("ja_JP"));
        EXPECT_EQ(Locale::current().identifier(), "ja_JP");
        Locale::setCurrent(std::nullopt);
        EXPECT_EQ(Locale::current().identifier(), "en");
    }
}

// LC_ALL wins when set and not empty, else LANG; names that only begin like them do not count.
TEST(Locale, CurrentNameFromEnvironmentTable) {
    using Env = std::optional<std::string>;
    struct Case {
        Env all, lang, language, allLonger;
        const char* expected;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt, std::nullopt, std::nullopt, "en"},
        {std::nullopt, "ko_KR.UTF-8", std::nullopt, std::nullopt, "ko_KR"},
        {"", "ko_KR.UTF-8", std::nullopt, std::nullopt, "ko_KR"},
        {"zh_TW", "ko_KR.UTF-8", std::nullopt, std::nullopt, "zh_TW"},
        {"zh_TW", std::nullopt, std::nullopt, std::nullopt, "zh_TW"},
        {"", std::nullopt, "ja_JP", std::nullopt, "en"},
        {std::nullopt, std::nullopt, "ja_JP", "fr_FR", "en"},
        {std::nullopt, "de_DE", "ja_JP", "fr_FR", "de_DE"},
        {"", "", std::nullopt, std::nullopt, "en"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.all.value_or("-")) + " " + c.lang.value_or("-") + " " + c.language.value_or("-"));
        ScopedEnv all("LC_ALL", c.all);
        ScopedEnv lang("LANG", c.lang);
        ScopedEnv language("LANGUAGE", c.language);
        ScopedEnv longer("LC_ALLX", c.allLonger);
        EXPECT_EQ(Locale::current().identifier(), c.expected);
    }
}

TEST(Locale, PreferredLanguagesFromEnvironment) {
    ScopedEnv all("LC_ALL", std::nullopt);
    {
        ScopedEnv language("LANGUAGE", "zh_CN:en_US:en");
        ScopedEnv lang("LANG", "de_DE.UTF-8");
        EXPECT_EQ(Locale::environmentLanguages(), (Languages{"zh-CN", "en-US", "en"}));
    }
    {
        ScopedEnv language("LANGUAGE", std::nullopt);
        ScopedEnv lang("LANG", "de_DE.UTF-8");
        EXPECT_EQ(Locale::environmentLanguages(), (Languages{"de-DE"}));
    }
    {
        ScopedEnv language("LANGUAGE", std::nullopt);
        ScopedEnv lang("LANG", "C");
        EXPECT_EQ(Locale::environmentLanguages(), (Languages{"en"}));
    }
    {
        ScopedEnv language("LANGUAGE", std::nullopt);
        ScopedEnv lang("LANG", std::nullopt);
        EXPECT_EQ(Locale::environmentLanguages(), (Languages{"en"}));
        EXPECT_EQ(Locale::preferredLanguages(), (Languages{"en"}));
    }
}

TEST(Locale, PreferredLanguagesFromASource) {
    // The user-defaults layer feeds "AppleLanguages" through this hook.
    Locale::setPreferredLanguagesSource([] { return Languages{"zh-Hans", "en"}; });
    EXPECT_EQ(Locale::preferredLanguages(), (Languages{"zh-Hans", "en"}));
    Locale::setPreferredLanguagesSource([] { return Languages{}; });
    EXPECT_TRUE(Locale::preferredLanguages().empty());  // an empty list stays empty
    Locale::setPreferredLanguagesSource(nullptr);
    EXPECT_FALSE(Locale::preferredLanguages().empty());
}

}  // namespace
}  // namespace lv
