// Jaro similarity of two byte strings: 1.0 for equal strings, 0.0 when they
// share no character within the matching window. Pure function.
#pragma once

#include <string_view>

namespace moxtile {

double jaro_similarity(std::string_view a, std::string_view b);

}  // namespace moxtile
