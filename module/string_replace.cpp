#include "string_replace.hpp"

namespace routeweave {

void string_replace(std::string &text, std::string_view pattern, std::string_view replacement) {
    const std::string_view original(text);
    std::size_t found = original.find(pattern);
    if (found == std::string_view::npos) {
        return;  // the common case for the placeholder pass: nothing to copy
    }
    std::string result;
    result.reserve(text.size());
    std::size_t copied = 0;
    // Searching the original from behind each match is the same as searching the result from
    // behind the inserted text: everything after that point is still the original tail.
    while (found != std::string_view::npos) {
        result.append(original.substr(copied, found - copied));
        result.append(replacement);
        copied = found + pattern.size();
        found = original.find(pattern, copied);
    }
    result.append(original.substr(copied));
    text.swap(result);
}

}  // namespace routeweave
