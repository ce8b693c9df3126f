// Entry rows: state, retry flag and stored result, checked in the fixed order.
#include "runlens/entries.hpp"

#include "runlens/failures.hpp"
#include "runlens/stored_json.hpp"

namespace runlens {

using kamo::Map;
using kamo::Value;
using kamo::json::Node;

namespace {

bool optional_text(Node v) { return !v || v.is_null() || v.is_str(); }

}  // namespace

EntryFacts check_entry(const CellView& state_cell, const CellView& retry, const CellView& stored, kamo::json::Parser& parser,
                       kamo::json::Input text) {
    std::optional<State> state = state_cell.is_text() ? parse_name<State>(state_cell.bytes) : std::nullopt;
    if (!state || !retry.is_integer() || (retry.integer != 0 && retry.integer != 1) ||
        !runnable(*state, retry.integer == 1).has_value())
        throw invalid("发布记录中的状态无效");

    EntryFacts facts;
    facts.state = *state;
    facts.retry = retry.integer == 1;
    if (!has_result(facts.state)) {
        if (!stored.is_null()) throw invalid("发布状态与保存结果不一致");
        return facts;
    }
    Node decoded = decode_stored_json(stored, parser, text);
    Node success = decoded.find("success");
    if (!success.is_bool() || success.as_bool() != (facts.state == State::Success))
        throw invalid("发布状态与保存结果不一致");
    for (std::string_view key : {"message", "error_code", "result_url", "action"})
        if (!optional_text(decoded.find(key))) throw invalid("发布结果字段无效");
    if (Node v = decoded.find("safe_to_retry"); v && !v.is_null() && !v.is_bool()) throw invalid("发布结果字段无效");
    if (Node id = decoded.find("result_id"); id && !id.is_null()) {
        bool ok = id.is_str() || (id.kind() == Value::Kind::Int && id.as_int() > 0) ||
                  (id.kind() == Value::Kind::Big && id.big_digits()[0] != '-');
        if (!ok) throw invalid("发布结果编号无效");
    }
    facts.result = decoded;
    return facts;
}

Value stored_result(const EntryFacts& facts) {
    if (!facts.result) return Value(nullptr);
    Map result;
    result.reserve(kResultFields.size());
    for (auto field : kResultFields) result.emplace_back(std::string(field), kamo::json::to_value(facts.result.find(field)));
    return Value(std::move(result));
}

}  // namespace runlens
