// Stored JSON cells through the strict decoder.
#include "runlens/stored_json.hpp"

#include <string>

#include "runlens/failures.hpp"

namespace runlens {

kamo::json::Node decode_stored_json(const CellView& cell, kamo::json::Parser& parser, kamo::json::Input text) {
    using T = CellType;
    try {
        switch (cell.type) {
            case T::Text: return parser.parse(cell.bytes, text);
            case T::Blob: return parser.parse(cell.bytes, kamo::json::Input::Bytes);
            default: break;
        }
    } catch (const kamo::json::DecodeError& e) {
        throw invalid(kDefaultInvalid, runfault::Cause::value(e.what()));
    }
    static constexpr const char* names[] = {"NoneType", "int", "float", "str", "bytes", "object"};
    throw invalid(kDefaultInvalid, runfault::Cause::type(std::string("the JSON object must be str, bytes or bytearray, not ") +
                                                         names[static_cast<int>(cell.type)]));
}

}  // namespace runlens
