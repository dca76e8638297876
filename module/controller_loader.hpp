#pragma once

#include <pybind11/pybind11.h>

#include "stored_source.hpp"

namespace routeweave {

// Decodes `stored`, runs it with the calling module's globals and the namespace (as a dict)
// as locals, and returns the class the source binds under `class_name`. Every failure is the
// Python exception raised on the way.
pybind11::object load_controller(const pybind11::object &ns, const StoredSource &stored,
                                 const char *class_name);

}  // namespace routeweave
