// The allocator behind the production pools: zero-filled blocks without any
// per-block bookkeeping outside the block itself.
//
// Every block is preceded by a 16-byte header that holds the size asked for
// and the block's size class, so a release needs nothing but the pointer and
// costs O(1). Blocks of up to kLargestClassed bytes are carved from chunks
// the arena takes from the C heap zero-filled, in 32 size classes (16-byte
// steps up to 256, then four steps per doubling up to 4096); a released one
// goes onto its class's free list and is zeroed again when it is handed out.
// Larger blocks come from the C heap one by one, on a list of their own, so
// that they can grow in place with realloc. Deleting the arena releases its
// chunks and its large blocks at once, whatever is still in use.
//
// resize keeps the contents and zero-fills what it adds: in place while the
// new size fits the block's class (or, for a large block, wherever realloc
// can extend it), else by moving to a block of the new size. When it fails
// it returns null and leaves the old block as it was.
//
// An arena made with separate blocks takes every block from the C heap on
// its own, as a large one. Built with AddressSanitizer, that is the default,
// so that overruns, uses after release and releases of foreign pointers are
// still caught in programs that run the production pools.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qorhost {

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

class Arena {
 public:
  static constexpr std::size_t kLargestClassed = 4096;
  static constexpr std::size_t kClassCount = 32;

  explicit Arena(bool separateBlocks = kSanitizerBuild) : separateBlocks_(separateBlocks) {}
  ~Arena();
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  // `size` zero bytes, or null when the C heap has no more.
  void* allocate(std::size_t size);
  // Gives back a block of this arena (null does nothing).
  void release(void* block);
  // The block enlarged or shrunk to `size` bytes; null (the block untouched)
  // when memory runs out. A null block is allocated.
  void* resize(void* block, std::size_t size);
  // The size last asked for with a live block of any arena.
  static std::size_t sizeOf(const void* block);
  // Releases every block at once; the arena can be used again afterwards.
  void releaseAll();

 private:
  struct Chunk;
  struct LargeLink;

  static LargeLink* linkOf(void* block);
  void* allocateClassed(std::size_t size, std::uint32_t sizeClass);
  void* allocateLarge(std::size_t size);
  void* carve(std::size_t room);
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

}  // namespace qorhost
