// str.lower over the generated mapping tables.
#include "value/unicode.hpp"

#include <algorithm>
#include <vector>

#include "value/utf8.hpp"

namespace kamo::unicode {
namespace {

constexpr char32_t kCapitalSigma = 0x3A3, kSmallSigma = 0x3C3, kFinalSigma = 0x3C2;

bool ignorable(char32_t cp) { return flags(cp) & data::kCaseIgnorable; }
bool cased(char32_t cp) { return flags(cp) & data::kCased; }

// CPython's rule: a capital sigma is final when, skipping case-ignorable characters, a cased
// character comes before it and none comes after it.
bool final_sigma(const std::vector<char32_t>& cps, std::size_t i) {
    std::size_t j = i;
    while (j > 0 && ignorable(cps[j - 1])) --j;
    if (j == 0 || !cased(cps[j - 1])) return false;
    for (std::size_t k = i + 1; k < cps.size(); ++k)
        if (!ignorable(cps[k])) return !cased(cps[k]);
    return true;
}

void append_lower_of(char32_t cp, std::string& out) {
    if (!(flags(cp) & data::kLowers)) {
        utf8::append(cp, out);
        return;
    }
    const data::Lower* end = data::kLower + data::kLowerCount;
    const data::Lower* m = std::lower_bound(data::kLower, end, cp, [](const data::Lower& e, char32_t c) { return e.cp < c; });
    for (std::size_t k = 0; k < m->len; ++k) utf8::append(data::kLowerPool[m->at + k], out);
}

}  // namespace

bool append_lower(std::string_view s, std::string& out) {
    std::vector<char32_t> cps;
    cps.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        char32_t cp;
        std::size_t len = utf8::decode(s, i, cp);
        if (!len) return false;
        cps.push_back(cp);
        i += len;
    }
    out.reserve(out.size() + s.size());
    for (std::size_t i = 0; i < cps.size(); ++i) {
        if (cps[i] == kCapitalSigma)
            utf8::append(final_sigma(cps, i) ? kFinalSigma : kSmallSigma, out);
        else
            append_lower_of(cps[i], out);
    }
    return true;
}

}  // namespace kamo::unicode
