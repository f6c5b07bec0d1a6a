#include "terminal/jaro.h"

#include <algorithm>
#include <vector>

namespace moxtile {

double jaro_similarity(std::string_view a, std::string_view b) {
  if (a.empty() && b.empty()) return 1.0;
  if (a.empty() || b.empty()) return 0.0;

  const std::size_t longer = std::max(a.size(), b.size());
  const std::size_t window = longer / 2 > 0 ? longer / 2 - 1 : 0;
  std::vector<char> a_matched(a.size(), 0);
  std::vector<char> b_matched(b.size(), 0);

  std::size_t matches = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const std::size_t low = i > window ? i - window : 0;
    const std::size_t high = std::min(i + window + 1, b.size());
    for (std::size_t j = low; j < high; ++j) {
      if (b_matched[j] || a[i] != b[j]) continue;
      a_matched[i] = b_matched[j] = 1;
      ++matches;
      break;
    }
  }
  if (matches == 0) return 0.0;

  // Matched characters of a and b, each in its own order; the transpositions
  // are half the positions where they differ.
  std::size_t out_of_order = 0;
  std::size_t j = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!a_matched[i]) continue;
    while (!b_matched[j]) ++j;
    if (a[i] != b[j]) ++out_of_order;
    ++j;
  }

  const double m = static_cast<double>(matches);
  const double t = static_cast<double>(out_of_order) / 2.0;
  return (m / static_cast<double>(a.size()) + m / static_cast<double>(b.size()) + (m - t) / m) /
         3.0;
}

}  // namespace moxtile
