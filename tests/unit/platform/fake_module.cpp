// Libraries that look like modules but are wrong in one way each, for the
// loader's refusals. FAKE_FAULT selects the fault.
#include <cstdint>

#include <qorldap/abi/image.h>

#define FAKE_NO_MAIN 1
#define FAKE_BAD_MARKER 2
#define FAKE_BAD_MAGIC 3
#define FAKE_BAD_NODE 4
#define FAKE_NO_TABLE 5
#define FAKE_NO_NODE 6

namespace {

void entry() {}  // registers nothing

const qor_pcn node = {QOR_PCN_HEAD,
                      1024,
                      1024,
#if FAKE_FAULT == FAKE_BAD_NODE
                      {'q', 'o', 'r', 'l', 'd', 'a', 'p', 'x'},
#else
                       {'q', 'o', 'r', 'l', 'd', 'a', 'p', ' '},
#endif
                      0,
                      entry,
                      1,
                      9683,
                      5350825,
                      15};

#if FAKE_FAULT == FAKE_NO_NODE
const qor_pcn* const nodes[2] = {nullptr, nullptr};
#else
const qor_pcn* const nodes[2] = {&node, nullptr};
#endif

const qor_image_info image = {
#if FAKE_FAULT == FAKE_BAD_MARKER
    "QOR_Image_Informatio!",
#else
    QOR_IMAGE_MARKER,
#endif
#if FAKE_FAULT == FAKE_BAD_MAGIC
    0xB0BDEBEEull,
#else
    QOR_IMAGE_MAGIC,
#endif
    8,
    "1.00",
    "",
    "",
    nodes,
    "fake",
    "001"};

}  // namespace

#if FAKE_FAULT != FAKE_NO_MAIN
extern "C" __attribute__((visibility("default"))) const qor_image_info* mcn_main(void*, void*) {
  return &image;
}
#endif
