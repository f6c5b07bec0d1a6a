// Lossy UTF-8 decoding: one U+FFFD per maximal invalid subpart.
#include <gtest/gtest.h>

#include <string>

#include "base/utf8_lossy.h"

namespace moxtile {
namespace {

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

struct Utf8Case {
  std::string bytes;
  std::string text;
};

class Utf8Lossy : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Lossy, ReplacesEachMaximalSubpart) {
  EXPECT_EQ(utf8_lossy(GetParam().bytes), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Utf8Lossy,
    ::testing::Values(Utf8Case{"", ""}, Utf8Case{"hi\n", "hi\n"},
                      Utf8Case{"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
                               "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
                      Utf8Case{"\xED\x9F\xBF\xEF\xBF\xBF\xF4\x8F\xBF\xBF",
                               "\xED\x9F\xBF\xEF\xBF\xBF\xF4\x8F\xBF\xBF"},
                      Utf8Case{"a\xFF"
                               "b",
                               "a" + R + "b"},
                      Utf8Case{"\x80\x80", R + R},                  // lone continuation bytes
                      Utf8Case{"\xC0\xAF", R + R},                  // overlong lead, never valid
                      Utf8Case{"\xE0\x80\xAF", R + R + R},          // overlong 3-byte form
                      Utf8Case{"\xED\xA0\x80", R + R + R},          // surrogate
                      Utf8Case{"\xF4\x90\x80\x80", R + R + R + R},  // past U+10FFFF
                      Utf8Case{"\xF5\x80", R + R},
                      Utf8Case{"\xE2\x82", R},  // truncated at the end: one subpart
                      Utf8Case{"\xE2\x82"
                               "A",
                               R + "A"},  // the breaking byte is kept
                      Utf8Case{"\xF0\x9F\x98", R},
                      Utf8Case{"\xF0\x9F\x98\xF0\x9F\x98\x80", R + "\xF0\x9F\x98\x80"},
                      Utf8Case{"\xE2\x82\xE2\x82\xAC", R + "\xE2\x82\xAC"}, Utf8Case{"\xC3", R},
                      Utf8Case{"\xC3\xC3\xA9", R + "\xC3\xA9"},
                      Utf8Case{"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
                               "a" + R + R + R + "b" + R + "c" + R + R + "d"},
                      Utf8Case{std::string("\0\xFF", 2), std::string("\0", 1) + R}));

TEST(Utf8Lossy, ValidPrefixStopsAtTheFirstBadByte) {
  EXPECT_EQ(valid_utf8_prefix("ab\xC3\xA9\xFF"
                              "cd"),
            4u);
  EXPECT_EQ(valid_utf8_prefix("ab\xE2\x82"), 2u);
  EXPECT_EQ(valid_utf8_prefix("plain"), 5u);
}

}  // namespace
}  // namespace moxtile
