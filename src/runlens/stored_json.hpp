// The strict JSON of a stored cell: text, or bytes in a JSON encoding; any failure is RUN-003.
#pragma once

#include "runlens/cell.hpp"
#include "value/json.hpp"

namespace runlens {

// Decodes the cell with the parser (its limits apply) and returns the root, valid until the
// parser parses again and while the cell's bytes live. A decoding failure, or a cell that is
// neither text nor blob, is RUN-003 with the default message and the failure as its cause.
// text says how a text cell reads: ValidText for cells of a row checked as UTF-8 (every row
// read from the store), Text for text that still needs the check.
kamo::json::Node decode_stored_json(const CellView& cell, kamo::json::Parser& parser,
                                    kamo::json::Input text = kamo::json::Input::ValidText);

}  // namespace runlens
