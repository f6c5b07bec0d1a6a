// InlineVector<T, N>: a push-only sequence keeping its first N elements
// inline and the rest in a std::vector. For short-lived local collections
// (ancestor chains, child snapshots) that are almost always small.
//
// Thread safety: none; a local value.
#pragma once

#include <array>
#include <cstddef>
#include <utility>
#include <vector>

namespace moxtile {

template <class T, std::size_t N>
class InlineVector final {
 public:
  InlineVector() = default;
  InlineVector(const InlineVector&) = delete;
  InlineVector& operator=(const InlineVector&) = delete;

  void push_back(T value) {
    if (size_ < N) {
      inline_[size_] = std::move(value);
    } else {
      spill_.push_back(std::move(value));
    }
    ++size_;
  }
  std::size_t size() const noexcept { return size_; }
  T& operator[](std::size_t i) noexcept { return i < N ? inline_[i] : spill_[i - N]; }
  const T& operator[](std::size_t i) const noexcept { return i < N ? inline_[i] : spill_[i - N]; }

 private:
  std::array<T, N> inline_{};
  std::vector<T> spill_;
  std::size_t size_ = 0;
};

}  // namespace moxtile
