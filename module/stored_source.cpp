#include "stored_source.hpp"

#include <cstring>

#include "string_replace.hpp"

namespace routeweave {

std::string join_chunks(const StoredSource &stored) {
    std::size_t total = 0;
    for (std::size_t i = 0; i < stored.count; ++i) {
        total += std::strlen(stored.chunks[i]);
    }
    std::string text;
    text.reserve(total);
    for (std::size_t i = 0; i < stored.count; ++i) {
        text.append(stored.chunks[i]);
    }
    return text;
}

void decode_stored_form(std::string &text) {
    string_replace(text, "\\\"", "\"");
    string_replace(text, kPlaceholderWord, "\\\"");
}

}  // namespace routeweave
