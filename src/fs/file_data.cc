#include "fs/file_data.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace moxtile {

FileData::~FileData() {
  if (!is_inline()) std::free(heap_);
}

void FileData::write_at(std::size_t pos, std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  if (bytes.size() > SIZE_MAX - pos) throw std::bad_alloc();
  std::size_t end = pos + bytes.size();
  if (end > capacity_) grow(end);
  // pos <= size_, so [size_, end) is covered by the copy: each byte is written once.
  std::memcpy((is_inline() ? inline_ : heap_) + pos, bytes.data(), bytes.size());
  size_ = std::max(size_, end);
}

void FileData::grow(std::size_t needed) {
  std::size_t capacity = std::max(needed, capacity_ > SIZE_MAX / 2 ? needed : capacity_ * 2);
  if (is_inline()) {
    auto* block = static_cast<std::uint8_t*>(std::malloc(capacity));
    if (block == nullptr) throw std::bad_alloc();
    std::memcpy(block, inline_, size_);
    heap_ = block;
  } else {
    // Large blocks are moved by remapping pages, not by copying.
    auto* block = static_cast<std::uint8_t*>(std::realloc(heap_, capacity));
    if (block == nullptr) throw std::bad_alloc();
    heap_ = block;
  }
  capacity_ = capacity;
}

}  // namespace moxtile
