// Random input to the byte-level parts of the terminal: the word splitter, the
// rm option parser, the Jaro similarity and the lossy UTF-8 decoder. Meant to
// run under AddressSanitizer and UBSan: every input sits in a heap block of
// exactly its own size, so a read past the end is caught.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf8_lossy.h"
#include "terminal/jaro.h"
#include "terminal/rm_args.h"
#include "terminal/word_splitter.h"

namespace moxtile {
namespace {

constexpr int kRounds = 20000;

// Bytes that matter to the splitter, plus some that do not.
std::string random_line(std::mt19937& rng) {
  static constexpr std::string_view kAlphabet = "'\"\\# \t\n$`abz-=\r";
  std::uniform_int_distribution<int> length(0, 24);
  std::uniform_int_distribution<int> pick(0, 19);
  std::string line;
  const int n = length(rng);
  for (int i = 0; i < n; ++i) {
    const int p = pick(rng);
    if (p < static_cast<int>(kAlphabet.size())) {
      line += kAlphabet[static_cast<std::size_t>(p)];
    } else {
      line += static_cast<char>(rng() & 0xFF);
    }
  }
  return line;
}

// An exactly sized heap copy, so that ASan sees any overread.
class ExactBuffer {
 public:
  explicit ExactBuffer(const std::string& s)
      : data_(std::make_unique<char[]>(s.size())), size_(s.size()) {
    std::copy(s.begin(), s.end(), data_.get());
  }
  std::string_view view() const { return {data_.get(), size_}; }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_;
};

// Single-quotes a word so that the splitter gives it back unchanged.
std::string quote(const std::string& word) {
  std::string out = "'";
  for (char c : word) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

TEST(SplitterFuzz, WordsRequoteToThemselves) {
  std::mt19937 rng(12345);
  int well_formed = 0;
  for (int round = 0; round < kRounds; ++round) {
    const std::string line = random_line(rng);
    const ExactBuffer buffer(line);
    const std::optional<std::vector<std::string>> words = split_words(buffer.view());
    if (!words) continue;
    ++well_formed;

    std::size_t total = 0;
    std::string requoted;
    for (const std::string& word : *words) {
      total += word.size();
      requoted += quote(word) + " ";
    }
    // Quotes, separators and escapes only ever disappear.
    ASSERT_LE(total, line.size()) << line;
    const std::optional<std::vector<std::string>> again = split_words(requoted);
    ASSERT_TRUE(again.has_value()) << requoted;
    ASSERT_EQ(*again, *words) << line;
  }
  // The generator must reach both outcomes, or the test proves little.
  EXPECT_GT(well_formed, kRounds / 10);
  EXPECT_LT(well_formed, kRounds);
}

TEST(RmArgsFuzz, EveryOutcomeIsWellShaped) {
  static const std::vector<std::string> kPieces = {
      "-",   "--",        "-r",         "--recursive", "-h",       "--help",
      "-V",  "--version", "--recursiv", "-rr",         "-r=",      "--recursive=1",
      "x",   "",          "-x",         "--hepl",      "\xC3\xA9", "-\xC3\xA9",
      "--=", "a b"};
  std::mt19937 rng(777);
  std::uniform_int_distribution<int> count(1, 5);
  std::uniform_int_distribution<std::size_t> pick(0, kPieces.size() - 1);
  int parsed_ok = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<std::string> words;
    const int n = count(rng);
    for (int i = 0; i < n; ++i) {
      std::string word = kPieces[pick(rng)];
      if (rng() % 4 == 0) word += static_cast<char>(rng() & 0xFF);
      words.push_back(std::move(word));
    }
    TermResult<RmArgs> result = parse_rm_args(words);
    if (result.ok()) {
      ++parsed_ok;
      bool found = false;
      for (const std::string& w : words) found = found || w == result.value().target;
      EXPECT_TRUE(found) << "the target is one of the words";
      continue;
    }
    const std::string& text = result.error();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const bool known = text.rfind("error: ", 0) == 0 || text == rm_help_text() ||
                       text == "moxtile " MOXTILE_VERSION "\n";
    EXPECT_TRUE(known) << text;
  }
  EXPECT_GT(parsed_ok, 0);
}

TEST(JaroFuzz, BoundedAndSymmetric) {
  std::mt19937 rng(99);
  for (int round = 0; round < kRounds; ++round) {
    const ExactBuffer a(random_line(rng));
    const ExactBuffer b(random_line(rng));
    const double ab = jaro_similarity(a.view(), b.view());
    ASSERT_GE(ab, 0.0);
    ASSERT_LE(ab, 1.0);
    ASSERT_DOUBLE_EQ(ab, jaro_similarity(b.view(), a.view()));
    ASSERT_DOUBLE_EQ(jaro_similarity(a.view(), a.view()), 1.0);
  }
}

TEST(Utf8Fuzz, OutputIsValidAndValidInputIsKept) {
  std::mt19937 rng(4242);
  std::uniform_int_distribution<int> length(0, 16);
  for (int round = 0; round < kRounds; ++round) {
    std::string bytes;
    const int n = length(rng);
    for (int i = 0; i < n; ++i) bytes += static_cast<char>(0x70 + rng() % 0x90);
    const ExactBuffer exact(bytes);
    const bool valid = valid_utf8_prefix(exact.view()) == bytes.size();
    const std::string text = utf8_lossy(bytes);
    ASSERT_EQ(valid_utf8_prefix(text), text.size());
    if (valid) {
      ASSERT_EQ(text, bytes);
    }
  }
}

}  // namespace
}  // namespace moxtile
