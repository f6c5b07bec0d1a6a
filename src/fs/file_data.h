// FileData: the bytes of one file. Up to 32 bytes live inline; beyond that a
// heap block grows geometrically. A file only ever grows.
//
// Thread safety: none of its own; guarded by the owning node's lock (shared
// for reads, exclusive for writes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace moxtile {

class FileData final {
 public:
  static constexpr std::size_t kInlineCapacity = 32;

  FileData() noexcept {}
  ~FileData();
  FileData(const FileData&) = delete;
  FileData& operator=(const FileData&) = delete;

  std::size_t size() const noexcept { return size_; }
  const std::uint8_t* data() const noexcept { return is_inline() ? inline_ : heap_; }
  std::span<const std::uint8_t> bytes() const noexcept { return {data(), size_}; }

  // Stores `bytes` at `pos`, growing the file when they reach past its end.
  // REQUIRES: pos <= size() (so no gap ever needs filling).
  void write_at(std::size_t pos, std::span<const std::uint8_t> bytes);

 private:
  bool is_inline() const noexcept { return capacity_ == kInlineCapacity; }
  void grow(std::size_t needed);

  union {
    std::uint8_t inline_[kInlineCapacity];
    std::uint8_t* heap_;
  };
  std::size_t size_ = 0;
  std::size_t capacity_ = kInlineCapacity;
};

}  // namespace moxtile
