// _text and the text listing. The first input byte picks what the rest is:
//   0  a UTF-8 string value          1  Latin-1 code units       2  UCS-2 code units (surrogates too)
//   3  UCS-4 code units               4  JSON: its value shown, and rendered in both layouts
// Shown text is checked against a plain reading of the rule: JSON string escapes first, then
// every control, format and line or paragraph separator as \u and at least four hex digits.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common.hpp"
#include "runprint/render.hpp"
#include "runprint/text.hpp"
#include "value/json.hpp"

namespace {

using kamo::Value;

void hex_escape(char32_t c, std::u32string& out) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string h;
    for (char32_t v = c; v; v >>= 4) h.insert(h.begin(), digits[v & 15]);
    while (h.size() < 4) h.insert(h.begin(), '0');
    out += U"\\u";
    for (char d : h) out += static_cast<char32_t>(d);
}

// Step 3 of the rule over code points.
std::u32string escape_hidden(const std::u32string& in) {
    std::u32string out;
    for (char32_t c : in) {
        if (c <= 0x10FFFF && kamo::unicode::hidden(c)) hex_escape(c, out);
        else out += c;
    }
    return out;
}

// Steps 1 to 3 for a string held as code points.
std::u32string shown_string(const std::u32string& in) {
    std::u32string body;
    for (char32_t c : in) {
        switch (c) {
            case '"': body += U"\\\""; break;
            case '\\': body += U"\\\\"; break;
            case '\b': body += U"\\b"; break;
            case '\f': body += U"\\f"; break;
            case '\n': body += U"\\n"; break;
            case '\r': body += U"\\r"; break;
            case '\t': body += U"\\t"; break;
            default:
                if (c < 0x20) hex_escape(c, body);
                else body += c;
        }
    }
    return escape_hidden(body);
}

// Well-formed UTF-8 as code points (the caller checked it).
std::u32string code_points(std::string_view s) {
    std::u32string out;
    for (std::size_t i = 0; i < s.size();) {
        char32_t c;
        std::size_t n = kamo::utf8::decode(s, i, c);
        fuzz::check(n != 0, "ill-formed UTF-8 where none was expected");
        out += c;
        i += n;
    }
    return out;
}

void utf8_string(std::string_view in) {
    std::string shown = runprint::text(Value(std::string(in)));
    if (!kamo::utf8::valid(in)) {
        // Ill-formed bytes pass through; the result is still never shorter than the input.
        fuzz::check(shown.size() >= in.size(), "shown text shorter than its input");
        return;
    }
    fuzz::check(fuzz::inert(shown), "a hidden character survived");
    fuzz::check(code_points(shown) == shown_string(code_points(in)), "shown string differs from the rule");
}

// The two passes the binding makes over a str of one width, against the rule.
template <class Unit>
void units(const std::uint8_t* data, std::size_t bytes) {
    std::vector<Unit> s(bytes / sizeof(Unit));
    if (!s.empty()) std::memcpy(s.data(), data, s.size() * sizeof(Unit));
    for (Unit& u : s)  // no str holds more than U+10FFFF
        if constexpr (sizeof(Unit) == 4) u = u > 0x10FFFF ? u % 0x110000 : u;
    std::u32string in(s.begin(), s.end());
    std::u32string expected = shown_string(in);

    runprint::ShownSize size = runprint::measure_shown(s.data(), s.size());
    fuzz::check(size.length == expected.size(), "measured length differs from the rule");
    fuzz::check(size.unchanged <= s.size(), "more unchanged characters than characters");
    char32_t widest = 0;
    for (char32_t c : expected) widest = c > widest ? c : widest;
    auto width = [](char32_t c) { return c < 0x100 ? 1 : c < 0x10000 ? 2 : 4; };
    fuzz::check(width(size.kept) == width(widest), "kept characters give the wrong width");

    auto write = [&](auto* out) {
        using Out = std::remove_pointer_t<decltype(out)>;
        std::vector<Out> buf(size.length + 1, Out{0x5A});
        runprint::write_shown(s.data(), s.size(), size, buf.data());
        fuzz::check(buf.back() == Out{0x5A}, "written past the measured length");
        buf.pop_back();
        fuzz::check(std::u32string(buf.begin(), buf.end()) == expected, "written text differs from the rule");
    };
    int out_width = width(size.kept);
    fuzz::check(out_width <= static_cast<int>(sizeof(Unit)), "result wider than its input");
    if (out_width == 1) write(static_cast<std::uint8_t*>(nullptr));
    if constexpr (sizeof(Unit) >= 2)
        if (out_width == 2) write(static_cast<std::uint16_t*>(nullptr));
    if constexpr (sizeof(Unit) == 4)
        if (out_width == 4) write(static_cast<std::uint32_t*>(nullptr));
}

const runprint::PlatformNames& names() {
    static const runprint::PlatformNames n = {
        {"douyin", "抖音"},  {"kuaishou", "快手"},    {"bilibili", "B站"},   {"xiaohongshu", "小红书"},
        {"weibo", "微博"},   {"tencent", "视频号"},   {"tk", "TikTok"},      {"baijiahao", "百家号"},
    };
    return n;
}

void json_value(std::string_view in) {
    Value v;
    try {
        v = kamo::json::decode(in, kamo::json::Input::Text);
    } catch (const kamo::json::DecodeError&) {
        return;
    }
    std::string shown = runprint::text(v);
    fuzz::check(fuzz::inert(shown), "a hidden character survived");
    std::u32string json = code_points(kamo::json::encode(v));
    if (v.is_str()) json = json.substr(1, json.size() - 2);
    fuzz::check(code_points(shown) == escape_hidden(json), "shown value differs from the rule");

    for (auto layout : {runprint::Layout::List, runprint::Layout::Detail}) {
        std::string out;
        try {
            runprint::print_history(v, layout, names(), [&](std::string_view piece) { out += piece; });
        } catch (const runprint::MissingKey&) {
        } catch (const runprint::WrongShape&) {
        }
        fuzz::check(kamo::utf8::valid(out), "the listing is not well-formed UTF-8");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 5) {
        case 0: utf8_string(rest); break;
        case 1: units<std::uint8_t>(data + 1, size - 1); break;
        case 2: units<std::uint16_t>(data + 1, size - 1); break;
        case 3: units<std::uint32_t>(data + 1, size - 1); break;
        case 4: json_value(rest); break;
    }
    return 0;
}
