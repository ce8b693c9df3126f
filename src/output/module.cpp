// publish.output: the outcome report, its recorders and the JSON run wrapper (built in src/output).
#include <nanobind/nanobind.h>

#include "output/output.hpp"

namespace nb = nanobind;

NB_MODULE(output, m) {
    m.doc() = "Collect machine-readable outcomes without parsing human-readable logs.";
    if (!output::init_module(m.ptr())) throw nb::python_error();
}
