// The arena's slow paths and its memory: where chunks and large blocks come
// from, how they grow and how they go back (arena.h has the contract and the
// size classes). Allocation and release from a class's free list are inline
// in arena.h; what runs here is what they cannot serve: a fresh chunk when
// the newest is used up, large blocks, resizing, and releasing every block
// at once (when the arena goes, or its pool's blocks are all given back).
//
// Chunks start at 16 KiB and double up to 1 MiB, so that a pool holding one
// small result takes little and a pool growing to megabytes takes few
// chunks. Regions below 64 KiB come from the C heap; from 64 KiB on each is a
// mapping of its own with every page in place (MAP_POPULATE), one system call
// instead of a page fault per page, and a mapped large block grows with
// mremap rather than a copy.
#include "arena.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace qorkernel {

using namespace arena_layout;

namespace {

// Pool requests are 32-bit; the header holds no more.
constexpr std::size_t kLargestBlock = UINT32_MAX;
constexpr std::size_t kFirstChunkSize = std::size_t{16} << 10;
constexpr std::size_t kLargestChunkSize = std::size_t{1} << 20;
// Chunks and large blocks from this size on are mappings of their own.
constexpr std::size_t kMappedSize = std::size_t{64} << 10;
constexpr std::size_t kPage = 4096;

constexpr std::size_t pagesFor(std::size_t bytes) {
  return (bytes + kPage - 1) & ~(kPage - 1);
}

// `bytes` zero bytes: from the C heap, or from kMappedSize on a mapping of
// their own with every page in place, so that a pool growing to megabytes
// (a big expansion) takes one system call per chunk or large block instead
// of a page fault per page. `mapped` receives the length mapped (0: heap).
void* newRegion(std::size_t bytes, std::size_t& mapped) {
  if (bytes < kMappedSize) {
    mapped = 0;
    return std::calloc(1, bytes);
  }
  mapped = pagesFor(bytes);
  void* region = mmap(nullptr, mapped, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  return region == MAP_FAILED ? nullptr : region;
}

void freeRegion(void* region, std::size_t mapped) {
  if (mapped == 0) {
    std::free(region);
  } else {
    munmap(region, mapped);
  }
}

// The region resized to `bytes`, its leading `keep` bytes kept: in place
// where realloc or mremap can extend it, else moved (a region that crosses
// kMappedSize always moves to the other kind). Null, the region untouched,
// when memory runs out.
void* resizeRegion(void* region, std::size_t& mapped, std::size_t keep, std::size_t bytes) {
  const bool mapping = bytes >= kMappedSize;
  if (!mapping && mapped == 0) return std::realloc(region, bytes);
  if (mapping && mapped != 0) {
    void* moved = mremap(region, mapped, pagesFor(bytes), MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) return nullptr;
    mapped = pagesFor(bytes);
    return moved;
  }
  std::size_t fresh = 0;
  void* moved = newRegion(bytes, fresh);
  if (moved == nullptr) return nullptr;
  std::memcpy(moved, region, std::min(keep, bytes));
  freeRegion(region, mapped);
  mapped = fresh;
  return moved;
}

}  // namespace

struct Arena::Chunk {
  Chunk* next;
  std::size_t size;
  std::size_t mapped;  // 0: from the C heap
};

// Large blocks: the link, then the header, then the block.
struct Arena::LargeLink {
  LargeLink* previous;
  LargeLink* next;
  std::size_t mapped;  // 0: from the C heap
};

Arena::~Arena() {
  releaseAll();
}

void Arena::releaseAll() {
  for (Chunk* chunk = chunks_; chunk != nullptr;) {
    Chunk* next = chunk->next;
    freeRegion(chunk, chunk->mapped);
    chunk = next;
  }
  for (LargeLink* link = large_; link != nullptr;) {
    LargeLink* next = link->next;
    freeRegion(link, link->mapped);
    link = next;
  }
  freeLists_.fill(nullptr);
  chunks_ = nullptr;
  cursor_ = end_ = nullptr;
  nextChunkSize_ = 0;
  large_ = nullptr;
}

// Chunks come zero-filled and are carved front to back, so a carved block
// is zero without being cleared. What is left of a chunk
// when the next block does not fit stays unused.
void* Arena::carveFromNewChunk(std::size_t room) {
  static_assert(sizeof(Chunk) % 8 == 0, "carved blocks stay 8-byte aligned");
  nextChunkSize_ = std::clamp(nextChunkSize_ * 2, kFirstChunkSize, kLargestChunkSize);
  const std::size_t size = std::max(nextChunkSize_, sizeof(Chunk) + room);
  std::size_t mapped = 0;
  auto* chunk = static_cast<Chunk*>(newRegion(size, mapped));
  if (chunk == nullptr) return nullptr;
  *chunk = Chunk{chunks_, size, mapped};
  chunks_ = chunk;
  cursor_ = reinterpret_cast<char*>(chunk + 1) + room;
  end_ = reinterpret_cast<char*>(chunk) + size;
  return reinterpret_cast<char*>(chunk + 1) + sizeof(Header);
}

void* Arena::allocateLarge(std::size_t size) {
  if (size > kLargestBlock) return nullptr;
  static_assert(sizeof(LargeLink) % 8 == 0, "large blocks stay 8-byte aligned");
  std::size_t mapped = 0;
  auto* link =
      static_cast<LargeLink*>(newRegion(sizeof(LargeLink) + sizeof(Header) + size, mapped));
  if (link == nullptr) return nullptr;
  *link = LargeLink{nullptr, large_, mapped};
  if (large_ != nullptr) large_->previous = link;
  large_ = link;
  void* block = reinterpret_cast<char*>(link + 1) + sizeof(Header);
  headerOf(block) = Header{static_cast<std::uint32_t>(size), kLargeClass};
  return block;
}

Arena::LargeLink* Arena::linkOf(void* block) {
  return reinterpret_cast<LargeLink*>(static_cast<char*>(block) - sizeof(Header)) - 1;
}

void Arena::releaseLarge(void* block) {
  LargeLink* link = linkOf(block);
  if (link->previous != nullptr) link->previous->next = link->next;
  if (link->next != nullptr) link->next->previous = link->previous;
  if (large_ == link) large_ = link->next;
  freeRegion(link, link->mapped);
}

void* Arena::resize(void* block, std::size_t size) {
  if (block == nullptr) return allocate(size);
  if (size > kLargestBlock) return nullptr;
  Header& header = headerOf(block);
  if (header.sizeClass == kLargeClass) return resizeLarge(block, size);
  if (size <= kClassSizes[header.sizeClass]) {
    if (size > header.size)
      std::memset(static_cast<char*>(block) + header.size, 0, size - header.size);
    header.size = static_cast<std::uint32_t>(size);
    return block;
  }
  void* moved = allocate(size);
  if (moved == nullptr) return nullptr;
  // The old block's class is too small, so its size is below the new one.
  std::memcpy(moved, block, header.size);
  release(block);
  return moved;
}

// The block grows in place where realloc or mremap can extend it and moves
// otherwise; the list is mended either way.
void* Arena::resizeLarge(void* block, std::size_t size) {
  constexpr std::size_t kPrefix = sizeof(LargeLink) + sizeof(Header);
  LargeLink* link = linkOf(block);
  const std::size_t old = headerOf(block).size;
  const bool first = large_ == link;
  std::size_t mapped = link->mapped;
  auto* grown = static_cast<LargeLink*>(resizeRegion(link, mapped, kPrefix + old, kPrefix + size));
  if (grown == nullptr) return nullptr;
  grown->mapped = mapped;
  if (grown->previous != nullptr) grown->previous->next = grown;
  if (grown->next != nullptr) grown->next->previous = grown;
  if (first) large_ = grown;
  void* resized = reinterpret_cast<char*>(grown + 1) + sizeof(Header);
  if (size > old) std::memset(static_cast<char*>(resized) + old, 0, size - old);
  headerOf(resized).size = static_cast<std::uint32_t>(size);
  return resized;
}

}  // namespace qorkernel
