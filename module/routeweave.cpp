// Entry point of the extension: the docstring, the five controller load functions and the
// version. The module keeps no state; every call of a load function stands alone.
#include <pybind11/pybind11.h>

#include "controller_loader.hpp"
#include "controller_sources.hpp"

namespace py = pybind11;
using routeweave::load_controller;

namespace {

constexpr const char kModuleDoc[] =
    "\n"
    "        routeweave plugin\n"
    "        -----------------------\n"
    "        .. currentmodule:: routeweave\n"
    "        .. autosummary::\n"
    "           :toctree: _generate\n"
    "           render_glyph\n"
    "    ";

py::object load_coupon_controller_0(py::object ns) {
    return load_controller(ns, routeweave::coupon_controller_source, "CouponController");
}

py::object load_kfc_controller_1(py::object ns) {
    return load_controller(ns, routeweave::kfc_controller_source, "KfcController");
}

py::object load_order_controller_2(py::object ns) {
    return load_controller(ns, routeweave::order_controller_source, "OrderController");
}

py::object load_user_controller_3(py::object ns) {
    return load_controller(ns, routeweave::user_controller_source, "UserController");
}

py::object load_wx_api_controller_4(py::object ns) {
    return load_controller(ns, routeweave::wx_api_controller_source, "WxApiController");
}

}  // namespace

PYBIND11_MODULE(routeweave, m) {
    m.doc() = kModuleDoc;
    m.def("load_coupon_controller_0", &load_coupon_controller_0, "load_coupon_controller_0");
    m.def("load_kfc_controller_1", &load_kfc_controller_1, "load_kfc_controller_1");
    m.def("load_order_controller_2", &load_order_controller_2, "load_order_controller_2");
    m.def("load_user_controller_3", &load_user_controller_3, "load_user_controller_3");
    m.def("load_wx_api_controller_4", &load_wx_api_controller_4, "load_wx_api_controller_4");
    m.attr("__version__") = "16.0.0.9";
}
