// Word splitting of command lines: quoting, escapes, comments, malformed lines.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "terminal/word_splitter.h"

namespace moxtile {
namespace {

using Words = std::vector<std::string>;

struct SplitCase {
  const char* name;
  std::string line;
  Words words;
};

class SplitWords : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitWords, GivesTheExpectedWords) {
  const SplitCase& c = GetParam();
  const std::optional<Words> words = split_words(c.line);
  ASSERT_TRUE(words.has_value()) << c.line;
  EXPECT_EQ(*words, c.words) << c.line;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SplitWords,
    ::testing::Values(
        SplitCase{"empty", "", {}}, SplitCase{"blanks", "  \t \n ", {}},
        SplitCase{"only_comment", "# nothing here", {}},
        SplitCase{"comment_then_newline_then_word", "# c\nls", {"ls"}},
        SplitCase{"comment_after_word", "ls # c", {"ls"}},
        SplitCase{"hash_inside_word", "echo a#b #c", {"echo", "a#b"}},
        SplitCase{"hash_after_quote_is_in_word", "''#x", {"#x"}},
        SplitCase{"plain", "ls docs", {"ls", "docs"}},
        SplitCase{"tabs_and_newlines_separate", "a\tb\nc", {"a", "b", "c"}},
        SplitCase{"carriage_return_is_ordinary", "a\rb", {"a\rb"}},
        SplitCase{"single_quotes_keep_blanks", "echo 'a  b' \"c\"", {"echo", "a  b", "c"}},
        SplitCase{"single_quotes_keep_backslash_and_newline", "'a\\b\nc'", {"a\\b\nc"}},
        SplitCase{"escaped_blank", "echo a\\ b", {"echo", "a b"}},
        SplitCase{"escaped_quote_outside", "\\'x", {"'x"}},
        SplitCase{"escaped_hash_starts_word", "\\#x", {"#x"}},
        SplitCase{"backslash_newline_outside_continues_word", "ab\\\ncd", {"abcd"}},
        SplitCase{"backslash_newline_between_words_yields_no_word", "echo \\\n a", {"echo", "a"}},
        SplitCase{"backslash_newline_at_end_yields_no_word", "rm -r \\\n", {"rm", "-r"}},
        SplitCase{"line_of_only_backslash_newlines", "\\\n\\\n", {}},
        SplitCase{"backslash_newline_then_word", "\\\nab", {"ab"}},
        SplitCase{"backslash_newline_then_comment", "\\\n# c", {}},
        SplitCase{"escaped_blank_begins_a_word", "\\  a", {" ", "a"}},
        SplitCase{"double_quote_escapes_quote", "\"a\\\"b\"", {"a\"b"}},
        SplitCase{"double_quote_escapes_dollar_backquote_backslash", "\"\\$\\`\\\\\"", {"$`\\"}},
        SplitCase{"double_quote_keeps_other_backslash", "\"\\q\"", {"\\q"}},
        SplitCase{"double_quote_drops_backslash_newline", "\"a\\\nb\"", {"ab"}},
        SplitCase{"double_quote_keeps_newline", "\"a\nb\"", {"a\nb"}},
        SplitCase{"touching_runs_form_one_word", "a'b c'\"d\"", {"ab cd"}},
        SplitCase{"empty_single_quotes", "''", {""}},
        SplitCase{"empty_double_quotes", "\"\"", {""}},
        SplitCase{"empty_word_between_others", "echo a '' b", {"echo", "a", "", "b"}},
        SplitCase{"quoted_command_word", "\"ls\"", {"ls"}},
        SplitCase{"newline_is_not_a_command_separator", "cd\nls", {"cd", "ls"}},
        SplitCase{"no_expansion", "$HOME *.txt a|b;c>d", {"$HOME", "*.txt", "a|b;c>d"}},
        SplitCase{"utf8_passes_through",
                  "echo 'h\xC3\xA9' \xE2\x82\xAC",
                  {"echo", "h\xC3\xA9", "\xE2\x82\xAC"}},
        SplitCase{"nul_byte_is_ordinary", std::string("a\0b", 3), {std::string("a\0b", 3)}}),
    [](const ::testing::TestParamInfo<SplitCase>& param) { return std::string(param.param.name); });

class MalformedLine : public ::testing::TestWithParam<std::string> {};

TEST_P(MalformedLine, YieldsNoWordsAtAll) { EXPECT_EQ(split_words(GetParam()), std::nullopt); }

INSTANTIATE_TEST_SUITE_P(Table, MalformedLine,
                         ::testing::Values("echo \"open", "echo 'open", "echo a\\", "\\", "\"a\\",
                                           "'", "\"", "ok 'x' \"y", "a\\\n\\", "\\\n\\",
                                           "# comment\n'unclosed"));

}  // namespace
}  // namespace moxtile
