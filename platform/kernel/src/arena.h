// The allocator behind the production pools: zero-filled blocks without any
// per-block bookkeeping outside the block itself.
//
// Every block is preceded by an 8-byte header that holds the size asked for
// and the block's size class, so a release needs nothing but the pointer and
// costs O(1). Blocks are aligned to 8 bytes, which every record of the
// module needs and no more. Blocks of up to kLargestClassed bytes are carved
// from chunks the arena takes from the C heap zero-filled, in 40 size
// classes (8-byte steps up to 128, 16-byte steps up to 256, then four steps
// per doubling up to 4096), so that a small record wastes little room; a
// released one goes onto its class's free list and is zeroed again when it
// is handed out.
// Larger blocks stand on their own, on a list of their own, so that they can
// grow in place: from the C heap (grown with realloc) or, from 64 KiB on, as
// mappings of their own (grown with mremap). Chunks and large blocks of 64
// KiB and more are mapped with all their pages in place, one system call
// instead of a page fault per page. Deleting the arena releases its chunks
// and its large blocks at once, whatever is still in use.
//
// resize keeps the contents and zero-fills what it adds: in place while the
// new size fits the block's class (or, for a large block, wherever realloc
// or mremap can extend it), else by moving to a block of the new size. When it fails
// it returns null and leaves the old block as it was.
//
// An arena made with separate blocks takes every block from the C heap on
// its own, as a large one. Built with AddressSanitizer, that is the default,
// so that overruns, uses after release and releases of foreign pointers are
// still caught in programs that run the production pools.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qorkernel {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitizerBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kSanitizerBuild = true;
#else
inline constexpr bool kSanitizerBuild = false;
#endif
#else
inline constexpr bool kSanitizerBuild = false;
#endif

// The layout every arena block shares, and its size classes.
namespace arena_layout {

struct Header {
  std::uint32_t size;  // as last asked for (pool requests are 32-bit)
  std::uint32_t sizeClass;
};
static_assert(sizeof(Header) == 8, "blocks stay 8-byte aligned");

inline constexpr std::size_t kClassCount = 40;
inline constexpr std::size_t kLargestClassed = 4096;
inline constexpr std::uint32_t kLargeClass = UINT32_MAX;

constexpr std::array<std::uint32_t, kClassCount> classSizes() {
  std::array<std::uint32_t, kClassCount> sizes{};
  for (std::uint32_t i = 0; i < 16; ++i) sizes[i] = 8 * (i + 1);
  for (std::uint32_t i = 16; i < 24; ++i) sizes[i] = 128 + 16 * (i - 15);
  for (std::uint32_t i = 24; i < kClassCount; ++i) {
    const std::uint32_t doubling = 256u << ((i - 24) / 4);
    sizes[i] = doubling + doubling / 4 * ((i - 24) % 4 + 1);
  }
  return sizes;
}
inline constexpr std::array<std::uint32_t, kClassCount> kClassSizes = classSizes();
static_assert(kClassSizes[15] == 128 && kClassSizes[16] == 144 && kClassSizes[23] == 256);
static_assert(kClassSizes[24] == 320 && kClassSizes[27] == 512);
static_assert(kClassSizes[kClassCount - 1] == kLargestClassed);

// The smallest class that holds `size` bytes (at most kLargestClassed).
inline std::uint32_t classOf(std::size_t size) {
  if (size <= 128) return size == 0 ? 0 : static_cast<std::uint32_t>((size - 1) / 8);
  if (size <= 256) return static_cast<std::uint32_t>(16 + (size - 129) / 16);
  const auto topBit = static_cast<std::uint32_t>(std::bit_width(size - 1) - 1);  // 8: 257..512
  const auto quarter = static_cast<std::uint32_t>(((size - 1) >> (topBit - 2)) & 3);
  return 24 + (topBit - 8) * 4 + quarter;
}

// Clears a block taken from a free list. The blocks of the eight smallest
// classes, most of the module's records, are cleared whole with stores of a
// fixed size, which cost less than a call of the library's memset.
inline void zeroReused(void* block, std::size_t size, std::uint32_t sizeClass) {
  static_assert(kClassSizes[7] == 64, "class n below 16 holds 8 * (n + 1) bytes");
  constexpr std::size_t kWord = 8;
  switch (sizeClass) {
    case 0:
      std::memset(block, 0, 1 * kWord);
      return;
    case 1:
      std::memset(block, 0, 2 * kWord);
      return;
    case 2:
      std::memset(block, 0, 3 * kWord);
      return;
    case 3:
      std::memset(block, 0, 4 * kWord);
      return;
    case 4:
      std::memset(block, 0, 5 * kWord);
      return;
    case 5:
      std::memset(block, 0, 6 * kWord);
      return;
    case 6:
      std::memset(block, 0, 7 * kWord);
      return;
    case 7:
      std::memset(block, 0, 8 * kWord);
      return;
    default:
      std::memset(block, 0, size);
  }
}

inline Header& headerOf(const void* block) {
  return *(static_cast<Header*>(const_cast<void*>(block)) - 1);
}

}  // namespace arena_layout

class Arena {
 public:
  static constexpr std::size_t kLargestClassed = arena_layout::kLargestClassed;
  static constexpr std::size_t kClassCount = arena_layout::kClassCount;

  explicit Arena(bool separateBlocks = kSanitizerBuild) : separateBlocks_(separateBlocks) {}
  ~Arena();
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  // `size` zero bytes, or null when the C heap has no more.
  void* allocate(std::size_t size) {
    using namespace arena_layout;
    if (size > kLargestClassed || separateBlocks_) return allocateLarge(size);
    const std::uint32_t sizeClass = classOf(size);
    void* block = freeLists_[sizeClass];
    if (block != nullptr) {
      std::memcpy(&freeLists_[sizeClass], block, sizeof(void*));
      zeroReused(block, size, sizeClass);
    } else {
      block = carve(sizeof(Header) + kClassSizes[sizeClass]);
      if (block == nullptr) return nullptr;
    }
    headerOf(block) = Header{static_cast<std::uint32_t>(size), sizeClass};
    return block;
  }
  // Gives back a block of this arena (null does nothing).
  void release(void* block) {
    using namespace arena_layout;
    if (block == nullptr) return;
    const std::uint32_t sizeClass = headerOf(block).sizeClass;
    if (sizeClass == kLargeClass) {
      releaseLarge(block);
      return;
    }
    std::memcpy(block, &freeLists_[sizeClass], sizeof(void*));
    freeLists_[sizeClass] = block;
  }
  // The block enlarged or shrunk to `size` bytes; null (the block untouched)
  // when memory runs out. A null block is allocated.
  void* resize(void* block, std::size_t size);
  // The size last asked for with a live block of any arena.
  static std::size_t sizeOf(const void* block) { return arena_layout::headerOf(block).size; }
  // Releases every block at once; the arena can be used again afterwards.
  void releaseAll();

 private:
  struct Chunk;
  struct LargeLink;

  static LargeLink* linkOf(void* block);
  // `room` bytes, header included, from the newest chunk.
  void* carve(std::size_t room) {
    if (static_cast<std::size_t>(end_ - cursor_) < room) return carveFromNewChunk(room);
    char* at = cursor_;
    cursor_ += room;
    return at + sizeof(arena_layout::Header);
  }
  void* carveFromNewChunk(std::size_t room);
  void* allocateLarge(std::size_t size);
  void* resizeLarge(void* block, std::size_t size);
  void releaseLarge(void* block);

  bool separateBlocks_;
  std::array<void*, kClassCount> freeLists_{};
  Chunk* chunks_ = nullptr;
  char* cursor_ = nullptr;  // the unused part of the newest chunk
  char* end_ = nullptr;
  std::size_t nextChunkSize_ = 0;
  LargeLink* large_ = nullptr;
};

}  // namespace qorkernel
