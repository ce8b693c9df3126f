// The strict JSON decoder, on text and on bytes: a value or DecodeError, and every value it gives
// reads back the same from its own JSON text.
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "common.hpp"
#include "value/json.hpp"
#include "value/utf8.hpp"

namespace {

using kamo::Value;
using kamo::json::DecodeError;
using kamo::json::Input;

// Infinities (1e400 decodes to one) have no JSON text the decoder takes back.
bool finite(const Value& v) {
    switch (v.kind()) {
        case Value::Kind::Float: return std::isfinite(v.as_float());
        case Value::Kind::List:
            for (const Value& e : v.as_list())
                if (!finite(e)) return false;
            return true;
        case Value::Kind::Map:
            for (const auto& m : v.as_map())
                if (!finite(m.second)) return false;
            return true;
        default: return true;
    }
}

void round_trip(const Value& v) {
    std::string text = kamo::json::encode(v);
    fuzz::check(kamo::utf8::valid(text), "encoded text is not well-formed UTF-8");
    if (!finite(v)) return;
    for (Input again : {Input::Text, Input::Bytes}) {
        Value back;
        try {
            back = kamo::json::decode(text, again);
        } catch (const DecodeError&) {
            fuzz::fail("the decoder refuses the encoder's text");
        }
        fuzz::check(back == v, "decoded value differs after a round trip");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view in(reinterpret_cast<const char*>(data), size);
    for (Input input : {Input::Text, Input::Bytes}) {
        try {
            round_trip(kamo::json::decode(in, input));
        } catch (const DecodeError&) {
        }
    }
    return 0;
}
