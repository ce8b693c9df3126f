// History listing: the run list and the run detail, one fact per line.
#include "runprint/render.hpp"

#include <charconv>
#include <cstdint>
#include <limits>

#include "runprint/text.hpp"

namespace runprint {
namespace {

using kamo::Value;

constexpr std::string_view kHeader = "[kamo] 发布历史只读查询；公开访问 / 播放本次未核验";

std::string_view kind_name(const Value& v) {
    switch (v.kind()) {
        case Value::Kind::Null: return "null";
        case Value::Kind::Bool: return "bool";
        case Value::Kind::Int:
        case Value::Kind::Big: return "int";
        case Value::Kind::Float: return "float";
        case Value::Kind::Str:
        case Value::Kind::Static: return "str";
        case Value::Kind::List: return "list";
        case Value::Kind::Map: return "map";
    }
    return "value";
}

// record[key], strictly.
const Value& at(const Value& record, std::string_view key) {
    if (!record.is_map())
        throw WrongShape("cannot read \"" + std::string(key) + "\" from a " + std::string(kind_name(record)));
    if (const Value* v = record.find(key)) return *v;
    throw MissingKey(Value(std::string(key)));
}

const kamo::List& list_at(const Value& record, std::string_view key) {
    const Value& v = at(record, key);
    if (!v.is_list())
        throw WrongShape("\"" + std::string(key) + "\" is a " + std::string(kind_name(v)) + ", not a list");
    return v.as_list();
}

template <std::size_t N>
const Label* row_of(const std::array<Label, N>& table, std::string_view key) {
    for (const auto& row : table)
        if (row.key == key) return &row;
    return nullptr;
}

// The label of a record value; the failure carries a copy, as the record may be gone by then.
template <std::size_t N>
std::string_view label(const std::array<Label, N>& table, const Value& key) {
    if (key.is_str())
        if (const Label* row = row_of(table, key.as_str())) return row->label;
    throw MissingKey(key);
}

template <std::size_t N>
std::string_view label(const std::array<Label, N>& table, std::string_view key) {
    if (const Label* row = row_of(table, key)) return row->label;
    throw MissingKey(Value(std::string(key)));
}

std::string_view platform_name(const PlatformNames& names, const Value& key) {
    if (key.is_str()) {
        auto it = names.find(key.as_str());
        if (it != names.end()) return it->second;
    }
    throw MissingKey(key);
}

void put_int(std::int64_t i, std::string& out) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, i);
    out.append(buf, r.ptr);
}

// Values the reader produced or validated itself: text as it is, integers in decimal. Anything
// else means the record did not come from the reader; its escaped JSON form keeps the line inert.
void plain(const Value& v, std::string& out) {
    switch (v.kind()) {
        case Value::Kind::Str:
        case Value::Kind::Static: out += v.as_str(); return;
        case Value::Kind::Int: put_int(v.as_int(), out); return;
        case Value::Kind::Big: out += v.as_big().digits; return;
        default: append_text(v, out);
    }
}

// Decimal digits (an optional '-', then digits, no leading zeros) plus one.
std::string add_one(std::string digits) {
    bool neg = !digits.empty() && digits[0] == '-';
    std::size_t first = neg ? 1 : 0;
    if (digits.size() == first) return "1";
    if (!neg) {
        std::size_t i = digits.size();
        while (i > first && digits[i - 1] == '9') digits[--i] = '0';
        if (i == first)
            digits.insert(digits.begin() + static_cast<std::ptrdiff_t>(first), '1');
        else
            ++digits[i - 1];
        return digits;
    }
    // Negative: the magnitude shrinks by one.
    std::size_t i = digits.size();
    while (i > first && digits[i - 1] == '0') digits[--i] = '9';
    if (i == first) return "0";  // not reached for well-formed digits
    --digits[i - 1];
    std::size_t lead = first;
    while (lead + 1 < digits.size() && digits[lead] == '0') ++lead;
    digits.erase(first, lead - first);
    if (digits == "-0") return "0";
    return digits;
}

// The item number shown to people: the index counted from 1.
void item_number(const Value& index, std::string& out) {
    if (index.kind() == Value::Kind::Int) {
        std::int64_t i = index.as_int();
        if (i == std::numeric_limits<std::int64_t>::max())
            out += add_one(std::to_string(i));
        else
            put_int(i + 1, out);
        return;
    }
    if (index.kind() == Value::Kind::Big) {
        out += add_one(index.as_big().digits);
        return;
    }
    throw WrongShape("\"item_index\" is a " + std::string(kind_name(index)) + ", not an int");
}

class Writer {
public:
    explicit Writer(const Sink& sink) : sink_(sink) {}
    // The text, then its line feed, as two writes.
    void line(std::string_view text) {
        sink_(text);
        sink_("\n");
    }

private:
    const Sink& sink_;
};

void print_list(const Value& history, Writer& w) {
    std::string line = "最近任务：";
    const kamo::List& runs = list_at(history, "runs");
    put_int(static_cast<std::int64_t>(runs.size()), line);
    line += " / ";
    plain(at(history, "total"), line);
    line += "（按插入顺序倒序，创建时间未记录）";
    w.line(line);

    for (const Value& run : runs) {
        line.clear();
        plain(at(run, "run_id"), line);
        line += " | ";
        append_text(at(run, "title"), line);
        line += " | ";
        plain(at(run, "item_count"), line);
        line += " 个素材 | ";
        const Value& states = at(run, "states");
        if (!states.is_map())
            throw WrongShape("\"states\" is a " + std::string(kind_name(states)) + ", not a map");
        bool first = true;
        for (const auto& [key, count] : states.as_map()) {
            if (!first) line += "，";
            first = false;
            line += label(kStateNames, std::string_view(key));
            line += ' ';
            plain(count, line);
        }
        w.line(line);
    }
    w.line(runs.empty() ? "暂无发布记录" : "查看任务详情：kamo --history RUN_ID");
}

void print_checks(const kamo::List& checks, std::string& line, Writer& w) {
    for (const Value& check : checks) {
        line.assign("      - ");
        plain(check, line);
        w.line(line);
    }
}

void print_platform(const Value& entry, const PlatformNames& names, Writer& w) {
    std::string line = "  ";
    line += platform_name(names, at(entry, "platform"));
    line += "：";
    line += label(kStateNames, at(entry, "state"));
    w.line(line);

    line.assign("    原账号：");
    append_text(at(entry, "account_file"), line);
    line += "；";
    line += label(kIdentityNames, at(entry, "identity_status"));
    w.line(line);

    const Value& result = at(entry, "result");
    if (!result.is_null()) {
        line.assign("    原结果：");
        append_text(at(result, "message"), line);
        line += "；错误码 ";
        append_text(at(result, "error_code"), line);
        w.line(line);
        line.assign("    作品 ID：");
        append_text(at(result, "result_id"), line);
        line += "；链接：";
        append_text(at(result, "result_url"), line);
        w.line(line);
    }

    const Value& evidence = at(entry, "evidence");
    line.assign("    归因：");
    line += label(kLinkNames, at(evidence, "attribution"));
    line += "；公开访问 / 播放：未核验";
    w.line(line);

    const Value& resume = at(entry, "resume");
    line.assign("    恢复：");
    const Value& code = at(resume, "error_code");
    // The code says more than the status; a status shows only when there is no code.
    plain(code.truthy() ? code : at(resume, "status"), line);
    line += "；";
    plain(at(resume, "action"), line);
    w.line(line);

    print_checks(list_at(resume, "checks"), line, w);
    w.line("    核对步骤：");
    print_checks(list_at(evidence, "checks"), line, w);
}

void print_detail(const Value& history, const PlatformNames& names, Writer& w) {
    std::string line = "任务：";
    plain(at(history, "run_id"), line);
    line += "（记录版本 ";
    plain(at(history, "version"), line);
    line += "，创建时间未记录）";
    w.line(line);

    for (const Value& item : list_at(history, "items")) {
        line.assign("素材 ");
        item_number(at(item, "item_index"), line);
        line += "：";
        append_text(at(item, "material"), line);
        w.line(line);

        // One write for the three lines, so nothing can land between them.
        line.assign("标题：");
        append_text(at(item, "title"), line);
        line += "\n描述：";
        append_text(at(item, "desc"), line);
        line += "\n标签：";
        append_text(at(item, "tags"), line);
        w.line(line);

        line.assign("计划时间：");
        append_text(at(item, "publish_time"), line);
        w.line(line);

        for (const Value& entry : list_at(item, "platforms")) print_platform(entry, names, w);
    }
}

}  // namespace

void print_history(const kamo::Value& history, Layout layout, const PlatformNames& names, const Sink& sink) {
    Writer w(sink);
    w.line(kHeader);
    if (layout == Layout::List)
        print_list(history, w);
    else
        print_detail(history, names, w);
}

}  // namespace runprint
