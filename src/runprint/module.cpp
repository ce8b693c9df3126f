// publish.runprint: history rendered as escaped plain text.
#include <nanobind/nanobind.h>

namespace nb = nanobind;

NB_MODULE(runprint, m) {
    m.attr("PLATFORM_NAMES") = nb::module_::import_("publish.constants").attr("PLATFORM_NAMES");
}
