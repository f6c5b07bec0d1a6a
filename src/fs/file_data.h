// FileData: the bytes of one file. Up to 32 bytes live inline; beyond that a
// heap block grows geometrically, and from 2 MiB on the block is mapped
// directly, asked for huge pages and grown by remapping (page faults and TLB
// misses, not copying, are what bound the write speed of big files). A file
// only ever grows.
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

  // Gives the storage back at once and leaves the file empty (for a file
  // whose node is going away).
  void clear() noexcept;

  // Stores `bytes` at `pos`, growing the file when they reach past its end.
  // REQUIRES: pos <= size() (so no gap ever needs filling).
  void write_at(std::size_t pos, std::span<const std::uint8_t> bytes);

 private:
  // Blocks of at least this size are mapped rather than malloc'ed.
  static constexpr std::size_t kMappedCapacity = std::size_t{2} << 20;

  bool is_inline() const noexcept { return capacity_ == kInlineCapacity; }
  bool is_mapped() const noexcept { return capacity_ >= kMappedCapacity; }
  void grow(std::size_t needed);

  union {
    std::uint8_t inline_[kInlineCapacity];
    std::uint8_t* heap_;
  };
  std::size_t size_ = 0;
  std::size_t capacity_ = kInlineCapacity;
};

}  // namespace moxtile
