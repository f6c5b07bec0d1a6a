// Splits a command line into words with shell-like quoting.
//
// Blank, tab and newline separate words; '#' where a word would begin starts a
// comment up to the next newline. Inside a word: '...' is literal; "..." is
// literal except that a backslash escapes " $ ` \ and swallows a newline;
// outside quotes a backslash takes the next byte literally, except that a
// backslash-newline is a line continuation: inside a word it is dropped and
// the word goes on, where a word would begin it yields no word. Adjacent runs
// form one word. There is no expansion of any kind.
//
// Works on bytes; only ASCII bytes are special, so valid UTF-8 stays valid.
// Pure function, safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace moxtile {

// The words of `line`, or nullopt when the line ends inside quotes or right
// after an escaping backslash. A malformed line yields no words at all.
std::optional<std::vector<std::string>> split_words(std::string_view line);

}  // namespace moxtile
