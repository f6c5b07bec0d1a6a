// The rm option parser: accepted forms, and the exact help, version and error texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "terminal/jaro.h"
#include "terminal/rm_args.h"

namespace moxtile {
namespace {

using Words = std::vector<std::string>;

constexpr const char* kHelp =
    "Remove a file or a directory (potentially recursive)\n"
    "\n"
    "Usage: moxtile [OPTIONS] <TARGET>\n"
    "\n"
    "Arguments:\n"
    "  <TARGET>\n"
    "\n"
    "Options:\n"
    "  -r, --recursive\n"
    "  -h, --help       Print help\n"
    "  -V, --version    Print version\n";

constexpr const char* kTail =
    "\nUsage: moxtile [OPTIONS] <TARGET>\n\nFor more information, try '--help'.\n";

std::string unexpected(const std::string& word, const std::string& tip = "") {
  std::string text = "error: unexpected argument '" + word + "' found\n";
  if (!tip.empty()) text += "\n  tip: " + tip + "\n";
  return text + kTail;
}

std::string value_tip(const std::string& word) {
  return "to pass '" + word + "' as a value, use '-- " + word + "'";
}

std::string missing(const std::string& usage) {
  return "error: the following required arguments were not provided:\n  <TARGET>\n\nUsage: " +
         usage + "\n\nFor more information, try '--help'.\n";
}

const std::string kTwice =
    std::string("error: the argument '--recursive' cannot be used multiple times\n") + kTail;

struct Accepted {
  Words words;
  bool recursive;
  std::string target;
};

class RmArgsAccepted : public ::testing::TestWithParam<Accepted> {};

TEST_P(RmArgsAccepted, Parses) {
  const Accepted& c = GetParam();
  TermResult<RmArgs> parsed = parse_rm_args(c.words);
  ASSERT_TRUE(parsed.ok()) << parsed.error();
  EXPECT_EQ(parsed.value().recursive, c.recursive);
  EXPECT_EQ(parsed.value().target, c.target);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RmArgsAccepted,
    ::testing::Values(Accepted{{"a.txt"}, false, "a.txt"}, Accepted{{"-r", "docs"}, true, "docs"},
                      Accepted{{"docs", "-r"}, true, "docs"},
                      Accepted{{"--recursive", "docs"}, true, "docs"},
                      Accepted{{"--", "-odd"}, false, "-odd"},
                      Accepted{{"-r", "--", "--"}, true, "--"}, Accepted{{"--", "-r"}, false, "-r"},
                      Accepted{{""}, false, ""}, Accepted{{"/abs"}, false, "/abs"}));

struct Refused {
  Words words;
  std::string text;
};

class RmArgsRefused : public ::testing::TestWithParam<Refused> {};

TEST_P(RmArgsRefused, GivesTheParserText) {
  const Refused& c = GetParam();
  TermResult<RmArgs> parsed = parse_rm_args(c.words);
  ASSERT_FALSE(parsed.ok());
  EXPECT_EQ(parsed.error(), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RmArgsRefused,
    ::testing::Values(
        Refused{{"-h"}, kHelp}, Refused{{"--help"}, kHelp}, Refused{{"x", "-h"}, kHelp},
        Refused{{"-V"}, "moxtile " MOXTILE_VERSION "\n"},
        Refused{{"--version", "-h"}, "moxtile " MOXTILE_VERSION "\n"}, Refused{{"-h", "-V"}, kHelp},
        Refused{{"-rh"}, kHelp}, Refused{{"-r"}, missing("moxtile --recursive <TARGET>")},
        Refused{{"--"}, missing("moxtile <TARGET>")},
        Refused{{"-x", "a.txt"}, unexpected("-x", value_tip("-x"))},
        Refused{{"-"}, unexpected("-", value_tip("-"))},
        Refused{{"-rx"}, unexpected("-rx", value_tip("-rx"))}, Refused{{"a", "b"}, unexpected("b")},
        Refused{{"--", "a", "-b"}, unexpected("-b")},
        Refused{{"--recursiv", "a"},
                unexpected("--recursiv", "a similar argument exists: '--recursive'")},
        Refused{{"--hlep"}, unexpected("--hlep", "a similar argument exists: '--help'")},
        Refused{{"--zzz"}, unexpected("--zzz", value_tip("--zzz"))},
        Refused{{"-r", "-r", "a"}, kTwice}, Refused{{"-rr", "a"}, kTwice},
        Refused{{"a", "--recursive", "-r"}, kTwice},
        Refused{{"--recursive=yes", "a"},
                std::string("error: unexpected value 'yes' for '--recursive' found; no more were "
                            "expected\n") +
                    kTail},
        Refused{{"-r=", "a"},
                std::string("error: unexpected value '' for '--recursive' found; no more were "
                            "expected\n") +
                    kTail},
        // The first problem in the words wins over a later help request.
        Refused{{"a", "b", "--help"}, unexpected("b")},
        Refused{{"-x", "-V"}, unexpected("-x", value_tip("-x"))}));

TEST(Jaro, KnownValues) {
  EXPECT_DOUBLE_EQ(jaro_similarity("recursive", "recursive"), 1.0);
  EXPECT_DOUBLE_EQ(jaro_similarity("", ""), 1.0);
  EXPECT_DOUBLE_EQ(jaro_similarity("", "help"), 0.0);
  EXPECT_DOUBLE_EQ(jaro_similarity("abc", "xyz"), 0.0);
  EXPECT_NEAR(jaro_similarity("MARTHA", "MARHTA"), 0.944444, 1e-6);
  EXPECT_NEAR(jaro_similarity("DIXON", "DICKSONX"), 0.766667, 1e-6);
  EXPECT_NEAR(jaro_similarity("recursiv", "recursive"), (1.0 + 8.0 / 9.0 + 1.0) / 3.0, 1e-12);
  EXPECT_DOUBLE_EQ(jaro_similarity("ab", "ba"), jaro_similarity("ba", "ab"));
}

}  // namespace
}  // namespace moxtile
