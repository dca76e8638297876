#include "controller_loader.hpp"

#include <pybind11/eval.h>

#include <string>

namespace py = pybind11;

namespace routeweave {

py::object load_controller(const py::object &ns, const StoredSource &stored,
                           const char *class_name) {
    // A dict or dict subclass is used as it is; anything else is copied through dict(...).
    py::dict ns_dict(ns);

    std::string text = join_chunks(stored);
    decode_stored_form(text);
    // Strict UTF-8; with no Python error set pybind11 raises "Could not allocate string object!".
    py::str source(text.data(), text.size());

    // The globals of the frame that called us: the class and its methods belong to that module.
    py::object globals = py::globals();
    // exec puts a coding line before the source, so reported line numbers are one further down.
    py::exec(source, globals, ns_dict);
    return ns_dict[class_name];
}

}  // namespace routeweave
