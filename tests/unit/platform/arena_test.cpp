// The production pools' arena, in both layouts (blocks carved from chunks,
// and every block on its own as under AddressSanitizer): blocks never
// overlap, arrive zero-filled when reused, and keep their contents across
// every kind of resize.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "arena.h"
#include "support/case_names.h"

namespace {

using qorkernel::Arena;

struct Layout {
  const char* label;
  bool separateBlocks;
};

class ArenaTest : public ::testing::TestWithParam<Layout> {
 protected:
  static bool allBytes(const void* block, std::size_t from, std::size_t to, unsigned char byte) {
    const auto* bytes = static_cast<const unsigned char*>(block);
    for (std::size_t i = from; i < to; ++i) {
      if (bytes[i] != byte) return false;
    }
    return true;
  }
  Arena arena{GetParam().separateBlocks};
};

INSTANTIATE_TEST_SUITE_P(Layouts, ArenaTest,
                         ::testing::Values(Layout{"chunked", false}, Layout{"separate", true}),
                         qortest::LabelName{});

// Sizes across the classes, their edges and the large blocks; each block is
// filled with its own byte, so a block carved over another shows.
TEST_P(ArenaTest, BlocksOfEverySizeAreDisjointAndReusedBlocksArriveZeroed) {
  const std::vector<std::size_t> sizes = {0,   1,   8,   15,   16,   17,   255,   256,
                                          257, 320, 321, 4095, 4096, 4097, 10000, 70000};
  for (int round = 0; round < 2; ++round) {
    std::vector<void*> blocks;
    for (int copy = 0; copy < 40; ++copy) {
      for (std::size_t size : sizes) {
        void* block = arena.allocate(size);
        ASSERT_NE(block, nullptr);
        ASSERT_EQ(Arena::sizeOf(block), size);
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(block) % 8, 0u)
            << "records need 8-byte alignment";
        ASSERT_TRUE(allBytes(block, 0, size, 0)) << "round " << round << ", size " << size;
        std::memset(block, static_cast<int>(blocks.size() % 251 + 1), size);
        blocks.push_back(block);
      }
    }
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      const auto byte = static_cast<unsigned char>(i % 251 + 1);
      EXPECT_TRUE(allBytes(blocks[i], 0, Arena::sizeOf(blocks[i]), byte)) << i;
    }
    // The second round takes the same sizes from the free lists.
    for (void* block : blocks) arena.release(block);
  }
}

struct Resize {
  const char* label;
  std::size_t from;
  std::size_t to;
  bool inPlace;  // in the chunked layout
};

class ArenaResizeTest : public ::testing::TestWithParam<Resize> {};

INSTANTIATE_TEST_SUITE_P(Resizes, ArenaResizeTest,
                         ::testing::Values(Resize{"within its class", 17, 24, true},
                                           Resize{"to the next class", 24, 25, false},
                                           Resize{"from nothing", 0, 8, true},
                                           Resize{"shrink", 300, 40, true},
                                           Resize{"small to large", 200, 9000, false},
                                           Resize{"large to larger", 9000, 300000, false},
                                           Resize{"large to small", 9000, 100, false},
                                           Resize{"mapped to larger", 100000, 400000, false},
                                           Resize{"mapped to heap", 200000, 30000, false},
                                           Resize{"mapped to small", 200000, 100, false}),
                         qortest::LabelName{});

TEST_P(ArenaResizeTest, KeepsTheContentsAndZeroFillsTheGrowth) {
  const Resize& resize = GetParam();
  for (bool separate : {false, true}) {
    SCOPED_TRACE(separate ? "separate" : "chunked");
    Arena arena(separate);
    auto* block = static_cast<unsigned char*>(arena.allocate(resize.from));
    void* neighbour = arena.allocate(resize.from);  // so that a large block cannot just extend
    for (std::size_t i = 0; i < resize.from; ++i)
      block[i] = static_cast<unsigned char>(i % 200 + 1);
    auto* resized = static_cast<unsigned char*>(arena.resize(block, resize.to));
    ASSERT_NE(resized, nullptr);
    if (!separate && resize.inPlace) {
      EXPECT_EQ(resized, block);
    }
    EXPECT_EQ(Arena::sizeOf(resized), resize.to);
    const std::size_t kept = std::min(resize.from, resize.to);
    for (std::size_t i = 0; i < kept; ++i) ASSERT_EQ(resized[i], i % 200 + 1) << i;
    for (std::size_t i = kept; i < resize.to; ++i) ASSERT_EQ(resized[i], 0) << i;
    // Shrunk and grown again, the bytes that went away come back as zero.
    resized = static_cast<unsigned char*>(arena.resize(resized, resize.to / 2));
    resized = static_cast<unsigned char*>(arena.resize(resized, resize.to));
    ASSERT_NE(resized, nullptr);
    for (std::size_t i = std::min(kept, resize.to / 2); i < resize.to; ++i) {
      ASSERT_EQ(resized[i], 0) << i;
    }
    arena.release(neighbour);
  }  // the arena releases the resized block: a broken large-block list leaks or crashes here
}

}  // namespace
