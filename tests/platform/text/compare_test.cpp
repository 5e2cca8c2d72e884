#include "platform/text/compare.h"

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace lv::text {
namespace {

struct CompareCase {
    const char* a;
    const char* b;
    int literal;          // compare:
    int caseInsensitive;  // caseInsensitiveCompare:
};

TEST(Compare, CharacterByCharacterNeverNumeric) {
    const CompareCase cases[] = {
        {"1.10", "1.9", -1, -1},   // a running version 1.10 is lower than 1.9
        {"1.9", "1.10", 1, 1},
        {"1.0", "1.0", 0, 0},
        {"1.0", "1.0.1", -1, -1},  // a prefix sorts first
        {"10", "9", -1, -1},       // query keys: 10 before 9
        {"B", "a", -1, 1},         // upper case before lower case, unless case is ignored
        {"ABC", "abc", -1, 0},
        {"abc", "ABD", 1, -1},
        {"", "", 0, 0},
        {"", "a", -1, -1},
        {"2.0b", "2.0B", 1, 0},
        {"_", "a", -1, -1},
        {"Z", "_", -1, 1},         // '_' (0x5F) sits between the cases
    };
    for (const auto& c : cases) {
        EXPECT_EQ(compare(c.a, c.b), c.literal) << c.a << " vs " << c.b;
        EXPECT_EQ(caseInsensitiveCompare(c.a, c.b), c.caseInsensitive) << c.a << " vs " << c.b;
    }
}

TEST(Compare, NonAsciiByUtf16Units) {
    EXPECT_EQ(compare("é", "e\u0301"), 0);                   // canonically equivalent
    EXPECT_NE(compare("é", "e\u0301", kCompareLiteral), 0);  // literal: code units differ
    EXPECT_EQ(compare("a", "é"), -1);
    EXPECT_EQ(caseInsensitiveCompare("ÉCOLE", "école"), 0);
    EXPECT_EQ(caseInsensitiveCompare("Straße", "STRASSE"), 0);  // full case folding
    // UTF-16 order, not code point order: U+FF5E (one unit) sorts after U+1F600 (surrogates D83D…).
    EXPECT_EQ(compare("\uFF5E", "😀"), 1);
    EXPECT_EQ(compare("中", "文"), compare(std::string("\u4E2D"), std::string("\u6587")));
}

TEST(Compare, LocalizedCaseInsensitive) {
    const Locale en("en_US");
    EXPECT_EQ(localizedCaseInsensitiveCompare("apple", "Banana", en), -1);
    EXPECT_EQ(localizedCaseInsensitiveCompare("a", "A", en), 0);
    EXPECT_EQ(localizedCaseInsensitiveCompare("codex", "Defcon", en), -1);
    EXPECT_EQ(localizedCaseInsensitiveCompare("tlyid", "TLYDefcon", en), 1);
    EXPECT_EQ(localizedCaseInsensitiveCompare("résumé", "resume", en), 1);  // accents still count
    EXPECT_EQ(localizedCompare("a", "A", en), -1);                          // case counts here
    EXPECT_EQ(localizedCompare("a", "b", en), -1);

    // Imprint keys are sorted this way before their checksum is made.
    std::vector<std::string> keys{"tlyid", "Codex", "defcon", "Alpha", "beta"};
    std::sort(keys.begin(), keys.end(), [&](const std::string& x, const std::string& y) {
        return localizedCaseInsensitiveCompare(x, y, en) < 0;
    });
    EXPECT_EQ(keys, (std::vector<std::string>{"Alpha", "beta", "Codex", "defcon", "tlyid"}));
}

TEST(Compare, LocalizedFromManyThreads) {
    const Locale en("en_US");
    std::vector<std::thread> threads;
    std::vector<int> failures(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                if (localizedCaseInsensitiveCompare("Apple", "apple", en) != 0) ++failures[t];
                if (localizedCaseInsensitiveCompare("b", "A", en) != 1) ++failures[t];
            }
        });
    }
    for (auto& t : threads) t.join();
    for (const int f : failures) EXPECT_EQ(f, 0);
}

}  // namespace
}  // namespace lv::text
