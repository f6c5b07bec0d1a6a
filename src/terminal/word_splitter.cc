#include "terminal/word_splitter.h"

namespace moxtile {
namespace {

enum class SplitState {
  kBetweenWords,
  kComment,
  kEscapeBetweenWords,  // after a backslash where a word would begin
  kInWord,
  kEscapeInWord,  // after a backslash outside quotes, inside a word
  kInSingleQuotes,
  kInDoubleQuotes,
  kEscapeInDoubleQuotes,
};

bool is_separator(char c) { return c == ' ' || c == '\t' || c == '\n'; }

}  // namespace

std::optional<std::vector<std::string>> split_words(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  SplitState state = SplitState::kBetweenWords;

  for (const char c : line) {
    switch (state) {
      case SplitState::kBetweenWords:
        if (is_separator(c)) break;
        if (c == '#') {
          state = SplitState::kComment;
          break;
        }
        if (c == '\\') {
          state = SplitState::kEscapeBetweenWords;
          break;
        }
        // Any other byte begins a word and is then read as part of it.
        state = SplitState::kInWord;
        [[fallthrough]];
      case SplitState::kInWord:
        if (is_separator(c)) {
          words.push_back(std::move(word));
          word.clear();
          state = SplitState::kBetweenWords;
        } else if (c == '\'') {
          state = SplitState::kInSingleQuotes;
        } else if (c == '"') {
          state = SplitState::kInDoubleQuotes;
        } else if (c == '\\') {
          state = SplitState::kEscapeInWord;
        } else {
          word.push_back(c);
        }
        break;
      case SplitState::kComment:
        if (c == '\n') state = SplitState::kBetweenWords;
        break;
      case SplitState::kEscapeBetweenWords:
        // A backslash-newline is a line continuation: no word begins.
        if (c == '\n') {
          state = SplitState::kBetweenWords;
        } else {
          word.push_back(c);
          state = SplitState::kInWord;
        }
        break;
      case SplitState::kEscapeInWord:
        if (c != '\n') word.push_back(c);
        state = SplitState::kInWord;
        break;
      case SplitState::kInSingleQuotes:
        if (c == '\'') {
          state = SplitState::kInWord;
        } else {
          word.push_back(c);
        }
        break;
      case SplitState::kInDoubleQuotes:
        if (c == '"') {
          state = SplitState::kInWord;
        } else if (c == '\\') {
          state = SplitState::kEscapeInDoubleQuotes;
        } else {
          word.push_back(c);
        }
        break;
      case SplitState::kEscapeInDoubleQuotes:
        if (c == '"' || c == '$' || c == '`' || c == '\\') {
          word.push_back(c);
        } else if (c != '\n') {
          word.push_back('\\');
          word.push_back(c);
        }
        state = SplitState::kInDoubleQuotes;
        break;
    }
  }

  switch (state) {
    case SplitState::kBetweenWords:
    case SplitState::kComment:
      return words;
    case SplitState::kInWord:
      words.push_back(std::move(word));
      return words;
    case SplitState::kEscapeBetweenWords:
    case SplitState::kEscapeInWord:
    case SplitState::kInSingleQuotes:
    case SplitState::kInDoubleQuotes:
    case SplitState::kEscapeInDoubleQuotes:
      break;
  }
  return std::nullopt;
}

}  // namespace moxtile
