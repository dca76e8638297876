#pragma once

#include <string>
#include <string_view>

namespace routeweave {

// Replaces every occurrence of `pattern` in `text`, left to right and without overlap; the
// search resumes right behind each inserted replacement, so a replacement that contains the
// pattern is never searched again. Runs in one pass into a new buffer. `pattern` must not be
// empty.
void string_replace(std::string &text, std::string_view pattern, std::string_view replacement);

}  // namespace routeweave
