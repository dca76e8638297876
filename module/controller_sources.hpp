#pragma once

#include "stored_source.hpp"

namespace routeweave {

// Generated into the build tree by tools/embed_controller.py, one file per controller.
extern const StoredSource coupon_controller_source;
extern const StoredSource kfc_controller_source;
extern const StoredSource order_controller_source;
extern const StoredSource user_controller_source;
extern const StoredSource wx_api_controller_source;

}  // namespace routeweave
