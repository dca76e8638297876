// Unit tests of string_replace and the decoding of the stored form (no Python involved).
#include <cstdio>
#include <string>
#include <string_view>

#include "stored_source.hpp"
#include "string_replace.hpp"

namespace {

int failures = 0;
int checks = 0;

void check_equal(const std::string &actual, const std::string &expected, const char *what) {
    ++checks;
    if (actual != expected) {
        ++failures;
        std::printf("FAIL %s\n  expected: [%s]\n  actual:   [%s]\n", what, expected.c_str(),
                    actual.c_str());
    }
}

std::string replaced(std::string text, std::string_view pattern, std::string_view replacement) {
    routeweave::string_replace(text, pattern, replacement);
    return text;
}

std::string decoded(std::string stored) {
    routeweave::decode_stored_form(stored);
    return stored;
}

void test_string_replace() {
    check_equal(replaced("aaa", "aa", "b"), "ba", "left to right, no overlap");
    check_equal(replaced("ab", "a", "aa"), "aab", "inserted text is not searched again");
    check_equal(replaced("aaaa", "a", "aa"), "aaaaaaaa", "every original occurrence, once");
    check_equal(replaced("xyz", "q", "r"), "xyz", "no occurrence");
    check_equal(replaced("", "a", "b"), "", "empty text");
    check_equal(replaced("a-a-a", "a", ""), "--", "empty replacement");
    check_equal(replaced("abcabc", "abc", "x"), "xx", "adjacent occurrences");
    check_equal(replaced("xabcab", "abc", "abcabc"), "xabcabcab", "replacement holds the pattern");
    check_equal(replaced("ab", "abc", "x"), "ab", "pattern longer than text");
}

void test_string_replace_large_text() {
    // Many matches in a long text: the pass must keep every byte in place.
    std::string text;
    std::string expected;
    for (int i = 0; i < 100000; ++i) {
        text += "k\\\"v";
        expected += "k\"v";
    }
    check_equal(replaced(text, "\\\"", "\""), expected, "100000 matches");
}

void test_decoding() {
    check_equal(decoded("print(\\\"hi\\\")"), "print(\"hi\")", "quote pass");
    check_equal(decoded("\\\\\""), "\\\"", "stored backslash, backslash, quote");
    check_equal(decoded("\\\\\\\""), "\\\\\"", "stored three backslashes and a quote");
    check_equal(decoded("a origin_slash_quoate b"), "a \\\" b", "placeholder word");
    check_equal(decoded("origin_slash_quoateorigin_slash_quoate"), "\\\"\\\"",
                "adjacent placeholder words stay pairs");
    check_equal(decoded("\\n \\t \\\\ \\x"), "\\n \\t \\\\ \\x", "backslash before another character");
    check_equal(decoded("ends with \\"), "ends with \\", "trailing backslash");
    check_equal(decoded("\\\"\xe4\xbd\xa0\\\""), "\"\xe4\xbd\xa0\"", "multi-byte text between quotes");
}

void test_join() {
    const char *const chunks[] = {"class A:\\\"", "\\", "\" x", ""};
    const routeweave::StoredSource stored{chunks, 4};
    const std::string joined = routeweave::join_chunks(stored);
    check_equal(joined, "class A:\\\"\\\" x", "chunks joined in order");
    // A cut between the backslash and its quote does not matter: decoding runs on the join.
    check_equal(decoded(joined), "class A:\"\" x", "decoded after the join");
    const routeweave::StoredSource empty{chunks, 0};
    check_equal(routeweave::join_chunks(empty), "", "no chunks");
}

struct Group {
    const char *name;
    void (*run)();
};

const Group kGroups[] = {
    {"string_replace", test_string_replace},
    {"string_replace_large_text", test_string_replace_large_text},
    {"decoding", test_decoding},
    {"join", test_join},
};

}  // namespace

// Runs the group named on the command line, or every group.
int main(int argc, char **argv) {
    bool found = false;
    for (const Group &group : kGroups) {
        if (argc < 2 || std::string_view(argv[1]) == group.name) {
            group.run();
            found = true;
        }
    }
    if (!found) {
        std::printf("unknown test group %s\n", argv[1]);
        return 2;
    }
    std::printf("%d checks, %d failed\n", checks, failures);
    return failures == 0 ? 0 : 1;
}
