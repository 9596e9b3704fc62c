#include "arena.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

namespace qorhost {

namespace {

constexpr std::uint32_t kLargeClass = UINT32_MAX;
constexpr std::size_t kFirstChunkSize = std::size_t{16} << 10;
constexpr std::size_t kLargestChunkSize = std::size_t{1} << 20;
// Far beyond any pool request (they are 32-bit), so no size sum can wrap.
constexpr std::size_t kLargestBlock = std::size_t{1} << 40;

struct Header {
  std::uint64_t size;  // as last asked for
  std::uint32_t sizeClass;
  std::uint32_t reserved;
};
static_assert(sizeof(Header) == 16, "blocks stay 16-byte aligned");

Header& headerOf(const void* block) {
  return *(reinterpret_cast<Header*>(const_cast<void*>(block)) - 1);
}

constexpr std::array<std::uint32_t, Arena::kClassCount> classSizes() {
  std::array<std::uint32_t, Arena::kClassCount> sizes{};
  for (std::uint32_t i = 0; i < 16; ++i) sizes[i] = 16 * (i + 1);
  for (std::uint32_t i = 16; i < Arena::kClassCount; ++i) {
    const std::uint32_t doubling = 256u << ((i - 16) / 4);
    sizes[i] = doubling + doubling / 4 * ((i - 16) % 4 + 1);
  }
  return sizes;
}
constexpr std::array<std::uint32_t, Arena::kClassCount> kClassSizes = classSizes();
static_assert(kClassSizes[15] == 256 && kClassSizes[16] == 320 && kClassSizes[19] == 512);
static_assert(kClassSizes[Arena::kClassCount - 1] == Arena::kLargestClassed);

// The smallest class that holds `size` bytes (at most kLargestClassed).
std::uint32_t classOf(std::size_t size) {
  if (size <= 256) return size == 0 ? 0 : static_cast<std::uint32_t>((size - 1) / 16);
  const auto topBit = static_cast<std::uint32_t>(std::bit_width(size - 1) - 1);  // 8 for 257..512
  const auto quarter = static_cast<std::uint32_t>(((size - 1) >> (topBit - 2)) & 3);
  return 16 + (topBit - 8) * 4 + quarter;
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
    std::free(chunk);
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

void* Arena::allocate(std::size_t size) {
  if (size > kLargestBlock) return nullptr;
  if (separateBlocks_ || size > kLargestClassed) return allocateLarge(size);
  return allocateClassed(size, classOf(size));
}

void* Arena::allocateClassed(std::size_t size, std::uint32_t sizeClass) {
  void* block = freeLists_[sizeClass];
  if (block != nullptr) {
    std::memcpy(&freeLists_[sizeClass], block, sizeof(void*));
    std::memset(block, 0, size);
  } else {
    block = carve(sizeof(Header) + kClassSizes[sizeClass]);
    if (block == nullptr) return nullptr;
  }
  headerOf(block) = Header{size, sizeClass, 0};
  return block;
}

// `room` bytes (header included) of the newest chunk, which is zero-filled
// where nothing was carved yet; a new chunk when they do not fit. The rest
// of a chunk that is left behind stays unused.
void* Arena::carve(std::size_t room) {
  static_assert(sizeof(Chunk) % 16 == 0, "carved blocks stay 16-byte aligned");
  if (static_cast<std::size_t>(end_ - cursor_) < room) {
    nextChunkSize_ = std::clamp(nextChunkSize_ * 2, kFirstChunkSize, kLargestChunkSize);
    const std::size_t size = std::max(nextChunkSize_, sizeof(Chunk) + room);
    auto* chunk = static_cast<Chunk*>(std::calloc(1, size));
    if (chunk == nullptr) return nullptr;
    *chunk = Chunk{chunks_, size};
    chunks_ = chunk;
    cursor_ = reinterpret_cast<char*>(chunk + 1);
    end_ = reinterpret_cast<char*>(chunk) + size;
  }
  char* at = cursor_;
  cursor_ += room;
  return at + sizeof(Header);
}

void* Arena::allocateLarge(std::size_t size) {
  static_assert(sizeof(LargeLink) % 16 == 0, "large blocks stay 16-byte aligned");
  auto* link = static_cast<LargeLink*>(std::calloc(1, sizeof(LargeLink) + sizeof(Header) + size));
  if (link == nullptr) return nullptr;
  *link = LargeLink{nullptr, large_};
  if (large_ != nullptr) large_->previous = link;
  large_ = link;
  void* block = reinterpret_cast<char*>(link + 1) + sizeof(Header);
  headerOf(block) = Header{size, kLargeClass, 0};
  return block;
}

void Arena::release(void* block) {
  if (block == nullptr) return;
  const std::uint32_t sizeClass = headerOf(block).sizeClass;
  if (sizeClass == kLargeClass) {
    releaseLarge(block);
    return;
  }
  std::memcpy(block, &freeLists_[sizeClass], sizeof(void*));
  freeLists_[sizeClass] = block;
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
    header.size = size;
    return block;
  }
  void* moved = allocate(size);
  if (moved == nullptr) return nullptr;
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
  headerOf(resized).size = size;
  return resized;
}

std::size_t Arena::sizeOf(const void* block) {
  return headerOf(block).size;
}

}  // namespace qorhost
