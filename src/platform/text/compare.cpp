#include "platform/text/compare.h"

#include <map>
#include <memory>
#include <string>

#include <unicode/coll.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include "platform/base/lifetime.h"
#include "platform/text/detail/icu_util.h"

namespace lv::text {

namespace {

int sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

bool bothAscii(std::string_view a, std::string_view b) { return detail::isAscii(a) && detail::isAscii(b); }

char foldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

icu::UnicodeString prepared(std::string_view text, unsigned options) {
    icu::UnicodeString s = detail::toIcu(text);
    if (options & kCompareCaseInsensitive) s.foldCase(U_FOLD_CASE_DEFAULT);
    if (!(options & kCompareLiteral)) {
        UErrorCode status = U_ZERO_ERROR;
        const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
        if (U_SUCCESS(status)) {
            icu::UnicodeString normalized = nfd->normalize(s, status);
            if (U_SUCCESS(status)) s = std::move(normalized);
        }
    }
    return s;
}

// One collator per locale and strength per thread: collators are not shared between threads.
icu::Collator* collatorFor(const Locale& locale, bool caseInsensitive) {
    static PerThread<std::map<std::string, std::unique_ptr<icu::Collator>>> caches;
    auto& cache = caches.get();
    const std::string key = (caseInsensitive ? "i:" : "s:") + locale.identifier();
    auto it = cache.find(key);
    if (it != cache.end()) return it->second.get();
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(icu::Locale(locale.identifier().c_str()), status));
    if (U_FAILURE(status) || !collator) return nullptr;
    collator->setStrength(caseInsensitive ? icu::Collator::SECONDARY : icu::Collator::TERTIARY);
    if (cache.size() > 32) cache.clear();
    return cache.emplace(key, std::move(collator)).first->second.get();
}

int collate(std::string_view a, std::string_view b, const Locale& locale, bool caseInsensitive) {
    icu::Collator* collator = collatorFor(locale, caseInsensitive);
    if (!collator) return compare(a, b, caseInsensitive ? kCompareCaseInsensitive : kCompareDefault);
    UErrorCode status = U_ZERO_ERROR;
    const UCollationResult r = collator->compareUTF8(icu::StringPiece(a.data(), static_cast<std::int32_t>(a.size())),
                                                     icu::StringPiece(b.data(), static_cast<std::int32_t>(b.size())),
                                                     status);
    if (U_FAILURE(status)) return compare(a, b, caseInsensitive ? kCompareCaseInsensitive : kCompareDefault);
    return r == UCOL_LESS ? -1 : r == UCOL_GREATER ? 1 : 0;
}

}  // namespace

int compare(std::string_view a, std::string_view b, unsigned options) {
    if (bothAscii(a, b)) {
        // ASCII: UTF-8 byte order is UTF-16 code unit order, and nothing decomposes.
        const std::size_t n = std::min(a.size(), b.size());
        for (std::size_t i = 0; i < n; ++i) {
            char ca = a[i];
            char cb = b[i];
            if (options & kCompareCaseInsensitive) {
                ca = foldAscii(ca);
                cb = foldAscii(cb);
            }
            if (ca != cb) return static_cast<unsigned char>(ca) < static_cast<unsigned char>(cb) ? -1 : 1;
        }
        return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
    }
    // UnicodeString::compare orders by UTF-16 code units, as the platform does.
    return sign(prepared(a, options).compare(prepared(b, options)));
}

int caseInsensitiveCompare(std::string_view a, std::string_view b) { return compare(a, b, kCompareCaseInsensitive); }

int localizedCompare(std::string_view a, std::string_view b, const Locale& locale) {
    return collate(a, b, locale, false);
}

int localizedCaseInsensitiveCompare(std::string_view a, std::string_view b, const Locale& locale) {
    return collate(a, b, locale, true);
}

}  // namespace lv::text
