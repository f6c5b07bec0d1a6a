#include "terminal/rm_args.h"

#include <algorithm>
#include <optional>

#include "terminal/jaro.h"

#ifndef MOXTILE_VERSION
#error "MOXTILE_VERSION must be defined by the build"
#endif

namespace moxtile {
namespace {

constexpr std::string_view kCommandName = "moxtile";
// The package's version, passed in by the build.
constexpr std::string_view kVersionNumber = MOXTILE_VERSION;
constexpr std::string_view kAbout = "Remove a file or a directory (potentially recursive)";
constexpr std::string_view kOperand = "<TARGET>";
constexpr std::string_view kGeneralUsage = "moxtile [OPTIONS] <TARGET>";
// A long option at least this similar to a declared one earns a suggestion.
constexpr double kSuggestionThreshold = 0.7;

enum class OptionAction { kRecursive, kHelp, kVersion };

struct OptionSpec {
  char short_name;
  std::string_view long_name;
  std::string_view help;  // empty: no help text
  OptionAction action;
};

// In help order.
constexpr OptionSpec kOptions[] = {
    {'r', "recursive", "", OptionAction::kRecursive},
    {'h', "help", "Print help", OptionAction::kHelp},
    {'V', "version", "Print version", OptionAction::kVersion},
};

const OptionSpec* find_long(std::string_view name) {
  for (const OptionSpec& option : kOptions) {
    if (option.long_name == name) return &option;
  }
  return nullptr;
}

const OptionSpec* find_short(char c) {
  for (const OptionSpec& option : kOptions) {
    if (option.short_name == c) return &option;
  }
  return nullptr;
}

std::string error_text(std::string_view description, std::string_view tip, std::string_view usage) {
  std::string text = "error: ";
  text += description;
  text += '\n';
  if (!tip.empty()) {
    text += "\n  tip: ";
    text += tip;
    text += '\n';
  }
  text += "\nUsage: ";
  text += usage;
  text += "\n\nFor more information, try '--help'.\n";
  return text;
}

TermError unexpected_argument(const std::string& word, bool looks_like_option) {
  const std::string description = "unexpected argument '" + word + "' found";
  if (!looks_like_option) return TermError{error_text(description, "", kGeneralUsage)};

  const OptionSpec* similar = nullptr;
  if (word.size() > 2 && word[0] == '-' && word[1] == '-') {
    std::string_view name = std::string_view(word).substr(2);
    name = name.substr(0, name.find('='));
    double best = kSuggestionThreshold;
    for (const OptionSpec& option : kOptions) {
      const double similarity = jaro_similarity(name, option.long_name);
      if (similarity > best) {
        best = similarity;
        similar = &option;
      }
    }
  }
  std::string tip;
  if (similar != nullptr) {
    tip = "a similar argument exists: '--";
    tip += similar->long_name;
    tip += "'";
  } else {
    tip = "to pass '" + word + "' as a value, use '-- " + word + "'";
  }
  return TermError{error_text(description, tip, kGeneralUsage)};
}

TermError unexpected_value(std::string_view value, const OptionSpec& option) {
  std::string description = "unexpected value '";
  description += value;
  description += "' for '--";
  description += option.long_name;
  description += "' found; no more were expected";
  return TermError{error_text(description, "", kGeneralUsage)};
}

std::string version_text() {
  std::string text(kCommandName);
  text += ' ';
  text += kVersionNumber;
  text += '\n';
  return text;
}

class RmParser final {
 public:
  TermResult<RmArgs> parse(std::span<const std::string> words) {
    for (const std::string& word : words) {
      if (std::optional<TermError> stop = take(word)) return std::move(*stop);
    }
    if (!have_target_) return missing_operand();
    return std::move(args_);
  }

 private:
  // Returns the text that ends the parse, if this word ends it.
  std::optional<TermError> take(const std::string& word) {
    if (operands_only_ || word.empty() || word[0] != '-') return take_operand(word);
    if (word == "--") {
      operands_only_ = true;
      return std::nullopt;
    }
    if (word.size() == 1) return unexpected_argument(word, true);
    if (word[1] == '-') return take_long(word);
    return take_shorts(word);
  }

  std::optional<TermError> take_operand(const std::string& word) {
    if (have_target_) return unexpected_argument(word, false);
    args_.target = word;
    have_target_ = true;
    return std::nullopt;
  }

  std::optional<TermError> take_long(const std::string& word) {
    const std::string_view body = std::string_view(word).substr(2);
    const std::size_t equals = body.find('=');
    const OptionSpec* option = find_long(body.substr(0, equals));
    if (option == nullptr) return unexpected_argument(word, true);
    if (equals != std::string_view::npos) return unexpected_value(body.substr(equals + 1), *option);
    return apply(*option);
  }

  // A bundle of short flags: "-r", "-rh", "-r=yes".
  std::optional<TermError> take_shorts(const std::string& word) {
    for (std::size_t i = 1; i < word.size(); ++i) {
      const OptionSpec* option = find_short(word[i]);
      if (option == nullptr) return unexpected_argument(word, true);
      if (i + 1 < word.size() && word[i + 1] == '=') {
        return unexpected_value(std::string_view(word).substr(i + 2), *option);
      }
      if (std::optional<TermError> stop = apply(*option)) return stop;
    }
    return std::nullopt;
  }

  std::optional<TermError> apply(const OptionSpec& option) {
    switch (option.action) {
      case OptionAction::kRecursive:
        if (args_.recursive) {
          return TermError{error_text("the argument '--recursive' cannot be used multiple times",
                                      "", kGeneralUsage)};
        }
        args_.recursive = true;
        return std::nullopt;
      case OptionAction::kHelp:
        return TermError{rm_help_text()};
      case OptionAction::kVersion:
        return TermError{version_text()};
    }
    return std::nullopt;
  }

  // The usage line shows what was given and what is missing.
  TermError missing_operand() const {
    std::string usage(kCommandName);
    if (args_.recursive) usage += " --recursive";
    usage += ' ';
    usage += kOperand;
    std::string description = "the following required arguments were not provided:\n  ";
    description += kOperand;
    return TermError{error_text(description, "", usage)};
  }

  RmArgs args_;
  bool have_target_ = false;
  bool operands_only_ = false;  // set by "--"
};

// "-r, --recursive" as the help shows it.
std::string option_entry(const OptionSpec& option) {
  std::string entry = "-";
  entry += option.short_name;
  entry += ", --";
  entry += option.long_name;
  return entry;
}

}  // namespace

TermResult<RmArgs> parse_rm_args(std::span<const std::string> words) {
  return RmParser().parse(words);
}

std::string rm_help_text() {
  // Help texts of one section start in one column, two blanks after the
  // widest entry; entries without help text get no trailing blanks.
  std::size_t width = 0;
  for (const OptionSpec& option : kOptions) width = std::max(width, option_entry(option).size());

  std::string text(kAbout);
  text += "\n\nUsage: ";
  text += kGeneralUsage;
  text += "\n\nArguments:\n  ";
  text += kOperand;
  text += "\n\nOptions:\n";
  for (const OptionSpec& option : kOptions) {
    const std::string entry = option_entry(option);
    text += "  ";
    text += entry;
    if (!option.help.empty()) {
      text.append(width - entry.size() + 2, ' ');
      text += option.help;
    }
    text += '\n';
  }
  return text;
}

}  // namespace moxtile
