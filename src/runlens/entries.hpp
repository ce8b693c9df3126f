// Entry rows: the state and retry flag of an entry and its stored result, checked in the fixed
// order into typed facts.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "runlens/cell.hpp"
#include "runlens/names.hpp"
#include "value/json.hpp"
#include "value/value.hpp"

namespace runlens {

// The fields of a StoredResult, in record order.
inline constexpr std::array<std::string_view, 7> kResultFields{"success", "message", "error_code", "result_url",
                                                               "result_id", "safe_to_retry", "action"};

// The retry flag belongs to failed entries alone. Whether a resume may submit an entry again: a
// pending entry, or a failed one with the flag set; nullopt for the flag set on any other state,
// which no store may hold.
constexpr std::optional<bool> runnable(State state, bool retry) {
    if (state == State::Failed) return retry;
    if (retry) return std::nullopt;
    return state == State::Pending;
}

// Pending and running entries have no outcome yet, so nothing may be stored for them.
constexpr bool has_result(State state) { return state == State::Success || state == State::Failed; }

// An entry's state and retry flag, and its stored result as decoded (absent for pending and
// running entries), all checked.
struct EntryFacts {
    State state = State::Pending;
    bool retry = false;  // retryable is 1
    kamo::json::Node result;
};

// Checks an entry's state, retry flag and stored result in the fixed order and throws the first
// failure. Decoding the result allocates nothing once the parser's buffers have grown; the
// result node lives until the parser parses again. text: how a text cell reads (stored_json.hpp).
EntryFacts check_entry(const CellView& state, const CellView& retryable, const CellView& result,
                       kamo::json::Parser& parser, kamo::json::Input text = kamo::json::Input::ValidText);

// The StoredResult of checked facts: the seven fields, or null for pending and running entries.
kamo::Value stored_result(const EntryFacts& facts);

}  // namespace runlens
