#pragma once

#include <cstddef>
#include <string>

namespace routeweave {

// A controller source in its stored form, cut into NUL-terminated chunks that are joined in
// order with nothing between them. The stored form is the source with a backslash before
// every double quote.
struct StoredSource {
    const char *const *chunks;
    std::size_t count;
};

// The placeholder word: a second way to store a backslash followed by a double quote.
inline constexpr const char kPlaceholderWord[] = "origin_slash_quoate";

// Appends the chunks in their stored order.
std::string join_chunks(const StoredSource &stored);

// Turns the joined stored form back into source text: the quote pass first, then the
// placeholder pass, so the pairs the placeholder pass makes stay as they are.
void decode_stored_form(std::string &text);

}  // namespace routeweave
