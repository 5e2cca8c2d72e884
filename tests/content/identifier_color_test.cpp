#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "content/color_customize.h"
#include "content/identifier_tools.h"

namespace lv {
namespace {

using Words = std::vector<std::string>;

TEST(IdentifierTools, SplitJoinAndCut) {
    EXPECT_EQ(IdentifierTools::camelStyleToArray("userIDNumber2"), (Words{"user", "i", "d", "number", "2"}));
    EXPECT_EQ(IdentifierTools::camelStyleToArray("Page42"), (Words{"page", "4", "2"}));
    EXPECT_TRUE(IdentifierTools::camelStyleToArray("").empty());
    EXPECT_EQ(IdentifierTools::dashStyleToArray("Top-Music--Chart"), (Words{"top", "music", "", "chart"}));
    EXPECT_EQ(IdentifierTools::underscoreStyleToArray("CAT_NAME"), (Words{"cat", "name"}));
    EXPECT_EQ(IdentifierTools::arrayToCamelStyle({"user", "id", "number"}), "userIdNumber");
    EXPECT_EQ(IdentifierTools::arrayToCamelStyle({"User", "ID"}), "userID");
    EXPECT_EQ(IdentifierTools::arrayToCamelStyle({}), "");
    EXPECT_EQ(IdentifierTools::arrayToDashStyle({"top", "music"}), "top-music");
    EXPECT_EQ(IdentifierTools::arrayToUnderscoreStyle({"cat", "name", ""}), "cat_name_");
    EXPECT_EQ(IdentifierTools::capitalizedFirstLetterString("mUSIC"), "MUSIC");
    EXPECT_EQ(IdentifierTools::capitalizedFirstLetterString("élan"), "Élan");
    EXPECT_EQ(IdentifierTools::capitalizedFirstLetterString(""), "");
    EXPECT_EQ(IdentifierTools::lowercaseFirstLetterString("URLString"), "uRLString");
    EXPECT_EQ(IdentifierTools::substringWithoutLast("music.plist", 6), "music");
    EXPECT_EQ(IdentifierTools::substringWithoutLast("abc", 4), "");
    EXPECT_EQ(IdentifierTools::substringWithoutLast("上次更新", 2), "上次");  // characters, not bytes
    EXPECT_EQ(IdentifierTools::trim(" \t music \t"), "music");
    EXPECT_EQ(IdentifierTools::trim("\nmusic\n"), "\nmusic\n");  // line ends stay
    EXPECT_EQ(IdentifierTools::filterNumbers("tel: 010-1234 (五)"), "0101234");
    EXPECT_EQ(IdentifierTools::addTagFormat("-music"), "music");
    EXPECT_EQ(IdentifierTools::addTagFormat("music"), "music");
    EXPECT_EQ(IdentifierTools::deleteTagFormat("music"), "-music");
    EXPECT_EQ(IdentifierTools::deleteTagFormat("-music"), "-music");
    EXPECT_TRUE(IdentifierTools::isDeleteTagFormat("-music"));
    EXPECT_FALSE(IdentifierTools::isDeleteTagFormat(""));
    EXPECT_FALSE(IdentifierTools::isDeleteTagFormat("music-"));
}

// Nothing between adjacent texts, when the second comes first, when either is missing, for an empty
// name, or for an empty argument (never found).
TEST(IdentifierTools, SubstringBetweenSubstrings) {
    struct Row { const char* text; const char* first; const char* second; const char* expected; };
    const Row rows[] = {
        {"T@\"Date\",&,N,V_mblExpireDate", "@\"", "\",", "Date"}, {"<a>text</a>", "<a>", "</a>", "text"}, {"ab", "a", "b", ""},
        {"b...a", "a", "b", ""}, {"abc", "x", "c", ""}, {"abc", "a", "x", ""}, {"T@\"\",&", "@\"", "\",", ""}, {"xay", "", "y", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(IdentifierTools::substringBetweenSubstrings(row.text, row.first, row.second), row.expected);
    }
}

// Both prefixes are taken in the order "0X" then "#"; six characters are needed after them ("#2B3D5" has
// six before the "#" goes); anything else is the clear colour (-1). Pairs that are not hexadecimal read
// as far as their digits go.
TEST(ColorCustomize, HexTexts) {
    struct Row { const char* text; int red, green, blue; };
    const Row rows[] = {
        {"#2B3D59", 0x2B, 0x3D, 0x59}, {"2B3D59", 0x2B, 0x3D, 0x59},  {"0X2B3D59", 0x2B, 0x3D, 0x59}, {"0x2b3d59", 0x2B, 0x3D, 0x59},
        {"  #2B3D59\n", 0x2B, 0x3D, 0x59}, {"0X#72DCD6", 0x72, 0xDC, 0xD6}, {"#FFFFFF", 255, 255, 255}, {"#000000", 0, 0, 0},
        {"#FFF", -1, 0, 0}, {"#FFFFFFF", -1, 0, 0}, {"2B3D5", -1, 0, 0}, {"#2B3D5", -1, 0, 0}, {"#0X2B3D59", -1, 0, 0}, {"", -1, 0, 0},
        {"#G23DZZ", 0, 0x3D, 0}, {"#2G3D59", 0x2, 0x3D, 0x59},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        Ref<Color> c = ColorCustomize::colorWithHexString(row.text);
        if (row.red < 0) {
            EXPECT_TRUE(c->isEqual(*Color::clearColor())) << c->description();
            continue;
        }
        EXPECT_EQ(c->red(), row.red / 255.0);
        EXPECT_EQ(c->green(), row.green / 255.0);
        EXPECT_EQ(c->blue(), row.blue / 255.0);
        EXPECT_EQ(c->alpha(), 1.0);
    }
}

}  // namespace
}  // namespace lv
