#include "arena.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace qorhost {

using namespace arena_layout;

namespace {

// Pool requests are 32-bit; the header holds no more.
constexpr std::size_t kLargestBlock = UINT32_MAX;
constexpr std::size_t kFirstChunkSize = std::size_t{16} << 10;
constexpr std::size_t kLargestChunkSize = std::size_t{1} << 20;
// Chunks from this size on are mapped with their pages populated at once.
constexpr std::size_t kMappedChunkSize = std::size_t{64} << 10;

// A zero-filled chunk. A large one is mapped with all its pages in place: a
// pool that grows to many megabytes (a big expansion) then takes one system
// call per chunk instead of a page fault per page.
void* newChunk(std::size_t size) {
  if (size < kMappedChunkSize) return std::calloc(1, size);
  void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  return mapped == MAP_FAILED ? nullptr : mapped;
}

void freeChunk(void* chunk, std::size_t size) {
  if (size < kMappedChunkSize) {
    std::free(chunk);
  } else {
    munmap(chunk, size);
  }
}

}  // namespace

struct Arena::Chunk {
  Chunk* next;
  std::size_t size;
};

// Large blocks: the link, then the header, then the block.
struct Arena::LargeLink {
  LargeLink* previous;
  LargeLink* next;
};

Arena::~Arena() {
  releaseAll();
}

void Arena::releaseAll() {
  for (Chunk* chunk = chunks_; chunk != nullptr;) {
    Chunk* next = chunk->next;
    freeChunk(chunk, chunk->size);
    chunk = next;
  }
  for (LargeLink* link = large_; link != nullptr;) {
    LargeLink* next = link->next;
    std::free(link);
    link = next;
  }
  freeLists_.fill(nullptr);
  chunks_ = nullptr;
  cursor_ = end_ = nullptr;
  nextChunkSize_ = 0;
  large_ = nullptr;
}

// Chunks come zero-filled from the C heap and are carved front to back, so
// a carved block is zero without being cleared. What is left of a chunk
// when the next block does not fit stays unused.
void* Arena::carveFromNewChunk(std::size_t room) {
  static_assert(sizeof(Chunk) % 8 == 0, "carved blocks stay 8-byte aligned");
  nextChunkSize_ = std::clamp(nextChunkSize_ * 2, kFirstChunkSize, kLargestChunkSize);
  const std::size_t size = std::max(nextChunkSize_, sizeof(Chunk) + room);
  auto* chunk = static_cast<Chunk*>(newChunk(size));
  if (chunk == nullptr) return nullptr;
  *chunk = Chunk{chunks_, size};
  chunks_ = chunk;
  cursor_ = reinterpret_cast<char*>(chunk + 1) + room;
  end_ = reinterpret_cast<char*>(chunk) + size;
  return reinterpret_cast<char*>(chunk + 1) + sizeof(Header);
}

void* Arena::allocateLarge(std::size_t size) {
  if (size > kLargestBlock) return nullptr;
  static_assert(sizeof(LargeLink) % 8 == 0, "large blocks stay 8-byte aligned");
  auto* link = static_cast<LargeLink*>(std::calloc(1, sizeof(LargeLink) + sizeof(Header) + size));
  if (link == nullptr) return nullptr;
  *link = LargeLink{nullptr, large_};
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
  std::free(link);
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

// realloc extends the block where the heap has room after it and moves it
// otherwise; the list is mended either way.
void* Arena::resizeLarge(void* block, std::size_t size) {
  LargeLink* link = linkOf(block);
  const std::size_t old = headerOf(block).size;
  const bool first = large_ == link;
  auto* grown =
      static_cast<LargeLink*>(std::realloc(link, sizeof(LargeLink) + sizeof(Header) + size));
  if (grown == nullptr) return nullptr;
  if (grown->previous != nullptr) grown->previous->next = grown;
  if (grown->next != nullptr) grown->next->previous = grown;
  if (first) large_ = grown;
  void* resized = reinterpret_cast<char*>(grown + 1) + sizeof(Header);
  if (size > old) std::memset(static_cast<char*>(resized) + old, 0, size - old);
  headerOf(resized).size = static_cast<std::uint32_t>(size);
  return resized;
}

}  // namespace qorhost
