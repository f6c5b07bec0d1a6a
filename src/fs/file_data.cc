#include "fs/file_data.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace moxtile {
namespace {

// Maps `size` bytes, hinting huge pages; nullptr on failure.
std::uint8_t* map_block(std::size_t size) {
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  ::madvise(p, size, MADV_HUGEPAGE);  // only a hint; fine if refused
  return static_cast<std::uint8_t*>(p);
}

std::uint8_t* remap_block(std::uint8_t* block, std::size_t old_size, std::size_t size) {
  void* p = ::mremap(block, old_size, size, MREMAP_MAYMOVE);
  if (p == MAP_FAILED) return nullptr;
  ::madvise(p, size, MADV_HUGEPAGE);
  return static_cast<std::uint8_t*>(p);
}

}  // namespace

FileData::~FileData() { clear(); }

void FileData::clear() noexcept {
  if (is_mapped()) {
    ::munmap(heap_, capacity_);
  } else if (!is_inline()) {
    std::free(heap_);
  }
  size_ = 0;
  capacity_ = kInlineCapacity;
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
  if (capacity >= kMappedCapacity) {
    // Whole huge pages.
    if (capacity > SIZE_MAX - kMappedCapacity) throw std::bad_alloc();
    capacity = (capacity + kMappedCapacity - 1) & ~(kMappedCapacity - 1);
  }
  std::uint8_t* block = nullptr;
  if (is_mapped()) {
    block = remap_block(heap_, capacity_, capacity);
  } else if (capacity >= kMappedCapacity) {
    block = map_block(capacity);
    if (block != nullptr) {
      std::memcpy(block, data(), size_);
      if (!is_inline()) std::free(heap_);
    }
  } else if (is_inline()) {
    block = static_cast<std::uint8_t*>(std::malloc(capacity));
    if (block != nullptr) std::memcpy(block, inline_, size_);
  } else {
    block = static_cast<std::uint8_t*>(std::realloc(heap_, capacity));
  }
  if (block == nullptr) throw std::bad_alloc();
  heap_ = block;
  capacity_ = capacity;
}

}  // namespace moxtile
