#include "utilities.h"

#include <gtest/gtest.h>

namespace {

using pieces = std::vector<std::string>;

struct split_case {
    const char* text;
    pieces split;  // empty pieces dropped
    pieces cut;    // empty pieces kept
};

const split_case cases[] = {
    {"a|b", {"a", "b"}, {"a", "b"}},
    {"a||b|", {"a", "b"}, {"a", "", "b", ""}},
    {"", {}, {""}},
    {"|", {}, {"", ""}},
    {"127.0.0.2", {"127.0.0.2"}, {"127.0.0.2"}},
    {" a | b ", {" a ", " b "}, {" a ", " b "}},
    {"||x", {"x"}, {"", "", "x"}},
};

TEST(utilities, split_and_cut_identifier_lists) {
    for (const auto& c : cases) {
        EXPECT_EQ(splitStrings(c.text, '|'), c.split) << '"' << c.text << '"';
        EXPECT_EQ(cutStrings(c.text, '|'), c.cut) << '"' << c.text << '"';
    }
}

}  // namespace
