// Value <-> Python objects, and the one translation of a core HistoryError into Python's.
#pragma once

#include <nanobind/nanobind.h>

#include "runfault/history_error.hpp"
#include "value/value.hpp"

namespace bind {

namespace nb = nanobind;

// A new Python object for v: dicts keep order, keys are interned, constant texts are shared.
nb::object to_python(const kamo::Value& v);
// The same, using v up as it goes: each member is let go once its Python object stands.
nb::object to_python(kamo::Value&& v);

// dict (str keys), list, tuple, str, int, float, bool and None; anything else raises TypeError.
// Each container reads as it stood when reached, whatever the caller's code (a subclass's
// __iter__) does to it meanwhile; an exception raised by that code propagates.
kamo::Value from_python(nb::handle h);

// UTF-8 text from the core as a Python str that never fails: lone surrogates that came from
// Python strings come back as themselves, any other ill-formed byte as U+FFFD.
nb::str str_of(std::string_view s);

// The Python publish.runfault.HistoryError for e, with its cause attached; not raised.
nb::object history_error(const runfault::HistoryError& e);

// Registers the translator that raises a core HistoryError as the Python one. Call once per module.
void register_history_error_translator();

// A Python str as UTF-8; lone surrogates come through as their (ill-formed) UTF-8 bytes so the
// core can refuse them instead of the binding raising UnicodeEncodeError.
std::string utf8_of(nb::handle str);

}  // namespace bind
