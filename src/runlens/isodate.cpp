// The publish_time check: a byte-level port of CPython's C datetime.fromisoformat as 3.11 has
// it, with the later releases' changes behind IsoRules. That parser, not datetime.py, is what
// Python runs; its quirks (an embedded NUL ending a field, a guessed separator position,
// leftovers ignored before an offset) are kept on purpose.
#include "runlens/isodate.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "value/unicode.hpp"
#include "value/utf8.hpp"

namespace runlens {

namespace {

// The text as C sees it: every read past the end gets the terminating NUL.
struct Buf {
    std::string_view s;
    char at(std::size_t i) const { return i < s.size() ? s[i] : '\0'; }
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads n digits at p into *var; false at the first non-digit, like parse_digits.
bool digits(const Buf& b, std::size_t& p, int& var, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        char c = b.at(p++);
        if (!is_digit(c)) return false;
        var = var * 10 + (c - '0');
    }
    return true;
}

// ---- calendar, with CPython's integer arithmetic (C division truncates) ----

constexpr int kDaysInMonth[] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr int kDaysBeforeMonth[] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

bool is_leap(int year) {
    unsigned y = static_cast<unsigned>(year);
    return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
}

int days_in_month(int year, int month) { return month == 2 && is_leap(year) ? 29 : kDaysInMonth[month]; }

int days_before_year(int year) {
    int y = year - 1;
    return y * 365 + y / 4 - y / 100 + y / 400;
}

int ymd_to_ord(int year, int month, int day) {
    return days_before_year(year) + kDaysBeforeMonth[month] + (month > 2 && is_leap(year)) + day;
}

int weekday(int year, int month, int day) { return (ymd_to_ord(year, month, day) + 6) % 7; }

int iso_week1_monday(int year) {
    int first_day = ymd_to_ord(year, 1, 1);
    int first_weekday = (first_day + 6) % 7;
    int monday = first_day - first_weekday;
    if (first_weekday > 3) monday += 7;
    return monday;
}

constexpr int kDi4y = 1461, kDi100y = 36524, kDi400y = 146097;

void ord_to_ymd(int ordinal, int& year, int& month, int& day) {
    if (ordinal < 1) {
        // Only year 0000 week dates get here. CPython then lands on year 1 with a month index
        // that runs off its tables, always below 1, so the constructor's month check fires.
        year = 1;
        month = 0;
        day = 1;
        return;
    }
    --ordinal;
    int n400 = ordinal / kDi400y;
    int n = ordinal % kDi400y;
    year = n400 * 400 + 1;
    int n100 = n / kDi100y;
    n %= kDi100y;
    int n4 = n / kDi4y;
    n %= kDi4y;
    int n1 = n / 365;
    n %= 365;
    year += n100 * 100 + n4 * 4 + n1;
    if (n1 == 4 || n100 == 4) {
        year -= 1;
        month = 12;
        day = 31;
        return;
    }
    bool leap = n1 == 3 && (n4 != 24 || n100 == 3);
    month = (n + 50) >> 5;
    int preceding = kDaysBeforeMonth[month] + (month > 2 && leap);
    if (preceding > n) {
        month -= 1;
        preceding -= days_in_month(year, month);
    }
    day = n - preceding + 1;
}

// iso_to_ymd: 0, or negative when the week or weekday (or, by the rules, the year) is out of range.
int iso_to_ymd(IsoRules rules, int iso_year, int week, int wday, int& year, int& month, int& day) {
    // Four digits cannot pass 9999, so year 0 is the one a check can catch.
    if (rules.week_year_zero_malformed && iso_year < 1) return -4;
    if (week <= 0 || week >= 53) {
        bool out_of_range = true;
        if (week == 53) {
            // 53 weeks when the year starts on a Thursday, or on a Wednesday in a leap year.
            int first = weekday(iso_year, 1, 1);
            if (first == 3 || (first == 2 && is_leap(iso_year))) out_of_range = false;
        }
        if (out_of_range) return -2;
    }
    if (wday <= 0 || wday >= 8) return -3;
    ord_to_ymd(iso_week1_monday(iso_year) + (week - 1) * 7 + wday - 1, year, month, day);
    return 0;
}

// ---- the parsers ----

// Where the date ends, from the shapes YYYY-MM-DD, YYYYMMDD, YYYY-Www[-D], YYYYWww[D]; -1 when
// no date can fit. The separator may be any character, a digit or '-' included, hence guessing.
std::ptrdiff_t find_separator(const Buf& b) {
    std::size_t len = b.s.size();
    if (len == 7) return 7;
    if (b.at(4) == '-') {
        if (b.at(5) != 'W') return 10;
        if (len > 8 && b.at(8) == '-') {
            if (len == 9) return -1;
            // YYYY-Www-## is read as a '-' separator and a time, not a weekday and a digit separator.
            if (len > 10 && is_digit(b.at(10))) return 8;
            return 10;
        }
        return 8;
    }
    if (b.at(4) == 'W') {
        // Time fields come in pairs, so an even-length digit run after Www means no weekday.
        std::size_t idx = 7;
        while (idx < len && is_digit(b.at(idx))) ++idx;
        if (idx < 9) return static_cast<std::ptrdiff_t>(idx);
        return idx % 2 == 0 ? 7 : 8;
    }
    return 8;
}

// 0 on success; negative otherwise. Never checks that it used exactly len characters.
int parse_date(const Buf& b, IsoRules rules, std::size_t len, int& year, int& month, int& day) {
    std::size_t p = 0;
    if (!digits(b, p, year, 4)) return -1;
    bool dashed = b.at(p) == '-';
    if (dashed) ++p;
    if (b.at(p) == 'W') {
        ++p;
        int week = 0, wday = 0;
        if (!digits(b, p, week, 2)) return -3;
        if (p < len) {
            if (dashed && b.at(p++) != '-') return -2;
            if (!digits(b, p, wday, 1)) return -4;
        } else {
            wday = 1;
        }
        return iso_to_ymd(rules, year, week, wday, year, month, day) ? -5 : 0;
    }
    if (!digits(b, p, month, 2)) return -1;
    if (dashed && b.at(p++) != '-') return -2;
    if (!digits(b, p, day, 2)) return -1;
    return 0;
}

// HH[:?MM[:?SS]][{.,}f+] between p and end: 0 when it ends cleanly, 1 when something is left
// before end, negative when malformed.
int parse_hh_mm_ss_ff(const Buf& b, std::size_t p, std::size_t end, int out[4]) {
    out[0] = out[1] = out[2] = out[3] = 0;
    bool colons = true;
    for (int i = 0; i < 3; ++i) {
        if (!digits(b, p, out[i], 2)) return -3;
        char c = b.at(p++);
        if (i == 0) colons = c == ':';
        if (p >= end) return c != '\0';
        if (colons && c == ':') continue;
        if (c == '.' || c == ',') break;
        if (colons) return -4;
        --p;
    }
    // Here p < end, so at least one fraction digit is wanted.
    std::size_t want = end - p < 6 ? end - p : 6;
    if (!digits(b, p, out[3], want)) return -3;
    static constexpr int scale[] = {100000, 10000, 1000, 100, 10};
    if (want < 6) out[3] *= scale[want - 1];
    while (is_digit(b.at(p))) ++p;  // digits past the sixth are dropped
    return b.at(p) != '\0';
}

struct Time {
    int f[4] = {0, 0, 0, 0};
    int tz_seconds = 0;
    int tz_micro = 0;
};

// 0 without an offset, 1 with one, negative when malformed.
int parse_time(const Buf& b, std::size_t start, std::size_t len, Time& t) {
    std::size_t end = start + len;
    // The first 'Z', '+' or '-' starts the offset; the scan looks at one character even when
    // the time is empty.
    std::size_t tz = start;
    do {
        char c = b.at(tz);
        if (c == 'Z' || c == '+' || c == '-') break;
    } while (++tz < end);

    int rv = parse_hh_mm_ss_ff(b, start, tz, t.f);
    if (rv < 0) return rv;
    // Leftovers before an offset are not looked at; only without one do they fail.
    if (tz == end) return rv == 1 ? -5 : 0;
    if (b.at(tz) == 'Z') return b.at(tz + 1) != '\0' ? -5 : 1;

    int sign = b.at(tz) == '-' ? -1 : 1;
    int z[4];
    rv = parse_hh_mm_ss_ff(b, tz + 1, end, z);
    t.tz_seconds = sign * (z[0] * 3600 + z[1] * 60 + z[2]);
    t.tz_micro = sign * z[3];
    return rv ? -5 : 1;
}

// ---- messages ----

// One code point at i. Bytes that are not UTF-8 come back as U+DC80..U+DCFF, and encoded
// surrogates as themselves, the way surrogateescape and surrogatepass would show them.
// `valid` is cleared for either.
std::uint32_t next_code_point(std::string_view s, std::size_t& i, bool& valid) {
    char32_t cp;
    std::size_t len = kamo::utf8::decode<kamo::utf8::Surrogates::Accept>(s, i, cp);
    if (!len) {
        valid = false;
        return 0xDC00 + static_cast<unsigned char>(s[i++]);
    }
    i += len;
    if (cp >= 0xD800 && cp <= 0xDFFF) valid = false;
    return cp;
}

void append_hex(std::string& out, std::uint32_t v, int width) {
    static constexpr char hex[] = "0123456789abcdef";
    for (int shift = 4 * (width - 1); shift >= 0; shift -= 4) out += hex[(v >> shift) & 0xF];
}

std::vector<std::uint32_t> code_points(std::string_view s, bool& valid) {
    std::vector<std::uint32_t> cps;
    valid = true;
    for (std::size_t i = 0; i < s.size();) cps.push_back(next_code_point(s, i, valid));
    return cps;
}

// repr() of the text as Python would write it.
std::string py_repr(const std::vector<std::uint32_t>& cps) {
    bool single = false, dbl = false;
    for (auto cp : cps) single |= cp == '\'', dbl |= cp == '"';
    char quote = single && !dbl ? '"' : '\'';
    std::string out(1, quote);
    for (auto cp : cps) {
        if (cp == static_cast<std::uint32_t>(quote) || cp == '\\') {
            out += '\\';
            out += static_cast<char>(cp);
        } else if (cp == '\t') {
            out += "\\t";
        } else if (cp == '\n') {
            out += "\\n";
        } else if (cp == '\r') {
            out += "\\r";
        } else if (kamo::unicode::printable(cp)) {
            kamo::utf8::append(cp, out);
        } else if (cp <= 0xFF) {
            out += "\\x";
            append_hex(out, cp, 2);
        } else if (cp <= 0xFFFF) {
            out += "\\u";
            append_hex(out, cp, 4);
        } else {
            out += "\\U";
            append_hex(out, cp, 8);
        }
    }
    out += quote;
    return out;
}

// timedelta's repr after normalising total microseconds into days, seconds, microseconds.
std::string timedelta_repr(long long total_us) {
    constexpr long long us_per_day = 86400LL * 1000000;
    long long days = total_us / us_per_day, rest = total_us % us_per_day;
    if (rest < 0) rest += us_per_day, days -= 1;
    long long seconds = rest / 1000000, micro = rest % 1000000;
    std::string args;
    auto add = [&](const char* name, long long v) {
        if (!v) return;
        if (!args.empty()) args += ", ";
        args += name;
        args += std::to_string(v);
    };
    add("days=", days);
    add("seconds=", seconds);
    add("microseconds=", micro);
    return "datetime.timedelta(" + (args.empty() ? std::string("0") : args) + ")";
}

}  // namespace

IsoRules IsoRules::for_python(int major, int minor) {
    IsoRules rules;
    rules.week_year_zero_malformed = major > 3 || (major == 3 && minor >= 13);
    return rules;
}

std::optional<std::string> iso_datetime_error(std::string_view text, IsoRules rules) {
    bool valid = true;
    std::vector<std::uint32_t> cps = code_points(text, valid);
    auto invalid = [&] { return "Invalid isoformat string: " + py_repr(cps); };

    // A str never holds invalid UTF-8; lone surrogates, which fromisoformat lets through as
    // the separator, have no place in a stored time either.
    if (!valid || cps.size() < 7) return invalid();

    const Buf b{text};
    std::ptrdiff_t sep = find_separator(b);
    // A -1 only comes from YYYY-Www- with nothing after it, which CPython then fails to parse.
    if (sep < 0) return invalid();
    const auto date_len = static_cast<std::size_t>(sep);

    int year = 0, month = 0, day = 0;
    Time t;
    int rv = parse_date(b, rules, date_len, year, month, day);
    if (rv == 0 && text.size() > date_len) {
        // Skip the one separator character, whatever its UTF-8 length. The text is well-formed
        // and a date that parses is ASCII up to date_len, so a whole character starts there.
        char32_t separator;
        std::size_t start = date_len + kamo::utf8::decode(text, date_len, separator);
        rv = parse_time(b, start, text.size() - start, t);
    }
    if (rv < 0) return invalid();

    // The offset is built before the datetime, so its error comes first.
    if (rv == 1 && t.tz_seconds != 0) {
        long long total = static_cast<long long>(t.tz_seconds) * 1000000 + t.tz_micro;
        constexpr long long day_us = 86400LL * 1000000;
        if (total <= -day_us || total >= day_us)
            return "offset must be a timedelta strictly between -timedelta(hours=24) and "
                   "timedelta(hours=24), not " +
                   timedelta_repr(total) + ".";
    }
    if (year < 1 || year > 9999) return "year " + std::to_string(year) + " is out of range";
    if (month < 1 || month > 12) return std::string("month must be in 1..12");
    if (day < 1 || day > days_in_month(year, month)) return std::string("day is out of range for month");
    if (t.f[0] > 23) return std::string("hour must be in 0..23");
    if (t.f[1] > 59) return std::string("minute must be in 0..59");
    if (t.f[2] > 59) return std::string("second must be in 0..59");
    return std::nullopt;
}

}  // namespace runlens
