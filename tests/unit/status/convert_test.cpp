// dsConvertVQStatus through the module's export, and the normalisation of
// status-object statuses.
#include <cstdint>
#include <set>

#include <gtest/gtest.h>

#include <qorldap/status.h>

#include "unit/util/module_symbols.h"

namespace qortest {
namespace {

using ConvertFn = decltype(&::dsConvertVQStatus);

class ConvertTest : public ModuleSymbols {
 protected:
  ConvertFn convert_ = exported<ConvertFn>("dsConvertVQStatus");
};

struct Conversion {
  uint32_t input;
  uint32_t output;
};

// The edges of every range in the table and their neighbours outside it.
const Conversion kConversions[] = {
    // LDAP result codes in kernel form.
    {0x807FF801, 0x80144001},
    {0x807FF805, DS_E_COMPARE_FALSE},
    {0x807FF806, DS_E_COMPARE_TRUE},
    {0x807FF80E, 0x8014400E},
    {0x807FF810, 0x80144010},
    {0x807FF815, 0x80144015},
    {0x807FF820, 0x80144020},
    {0x807FF822, DS_E_NO_DN},
    {0x807FF824, 0x80144024},
    {0x807FF830, 0x80144030},
    {0x807FF836, 0x80144036},
    {0x807FF840, 0x80144040},
    {0x807FF847, 0x80144047},
    {0x807FF850, DS_E_OTHER},
    {0x807FF851, DS_E_NOT_OPENED},
    {0x807FF859, DS_E_MISSING_ARGUMENT},
    {0x807FF85A, DS_E_NO_MEMORY},
    {0x807FF861, 0x80144061},
    {0x807FF896, 0x80144096},
    {0x807FF897, 0x80144097},
    {0x807FF898, DS_E_NO_HOST},
    // Kernel-form codes that map to other module codes.
    {0x807FF899, DS_E_NO_CONNECTION},
    {0x807FF89A, DS_E_NOTHING_TO_CHANGE},
    {0x807FF89B, DS_E_NO_VALUE},
    {0x807FF89D, 0x0014409D},
    {0x807FF89E, 0x0014409E},
    // Small numbers without the kernel part.
    {0x62, 0x80144062},
    {0x6C, 0x8014406C},
    {0x79, 0x80144079},
    {0x80, 0x80144080},
    {0x81, DS_W_NOT_FOUND},
    {0x84, 0x00144084},
    {0x85, 0x80144085},
    {0x87, 0x80144087},
    {0x8A, 0x8014408A},
    {0x8E, 0x8014408E},
    {0x90, 0x80144090},
    {0x91, DS_E_OTHER},
    {0x92, 0x80144092},
    // Outside the table.
    {0, DS_E_OTHER},
    {0x807FF800, DS_E_OTHER},
    {0x807FF80F, DS_E_OTHER},
    {0x807FF816, DS_E_OTHER},
    {0x807FF81F, DS_E_OTHER},
    {0x807FF825, DS_E_OTHER},
    {0x807FF82F, DS_E_OTHER},
    {0x807FF837, DS_E_OTHER},
    {0x807FF83F, DS_E_OTHER},
    {0x807FF848, DS_E_OTHER},
    {0x807FF84F, DS_E_OTHER},
    {0x807FF862, DS_E_OTHER},
    {0x807FF881, DS_E_OTHER},
    {0x807FF895, DS_E_OTHER},
    {0x807FF89C, DS_E_OTHER},
    {0x807FF89F, DS_E_OTHER},
    {0x807FF8FF, DS_E_OTHER},
    {0x807FF901, DS_E_OTHER},
    {0x807FF7FF, DS_E_OTHER},
    {0x007FF801, DS_E_OTHER},
    {0x803FC801, DS_E_OTHER},
    {0x01, DS_E_OTHER},
    {0x61, DS_E_OTHER},
    {0x6D, DS_E_OTHER},
    {0x78, DS_E_OTHER},
    {0x88, DS_E_OTHER},
    {0x89, DS_E_OTHER},
    {0x8F, DS_E_OTHER},
    {0x93, DS_E_OTHER},
    {0x99, DS_E_OTHER},
    {0x80144001, DS_E_OTHER},
    {VQ_INVALID_STATUS_OBJECT, DS_E_OTHER},
    {0xFFFFFFFF, DS_E_OTHER},
};

TEST_F(ConvertTest, EachStatusMeetsItsRow) {
  for (const Conversion& c : kConversions) {
    EXPECT_EQ(convert_(c.input), c.output) << std::hex << "input 0x" << c.input;
  }
}

// Counted over the whole neighbourhood of the table, independently of its
// rows: 61 kernel-form codes less 0x807FF850, which meets the default; 33
// bare numbers (0x91, which meets the default, is not among them); and the
// five kernel-form codes 0x99, 0x9A, 0x9B, 0x9D and 0x9E.
TEST_F(ConvertTest, ExactlyTheListedInputsLeaveTheDefault) {
  std::set<uint32_t> moved;
  for (uint32_t base : {0u, VQ_LDAP_BASE, VQ_LDAP_BASE - 0x100u, VQ_LDAP_BASE + 0x100u}) {
    for (uint32_t n = 0; n < 0x200; ++n) {
      if (convert_(base + n) != DS_E_OTHER) moved.insert(base + n);
    }
  }
  EXPECT_EQ(moved.size(), 60u + 33u + 5u);
  for (uint32_t input : moved) {
    const uint32_t output = convert_(input);
    // Every converted status keeps the module's base and its own code range.
    EXPECT_TRUE((output & ~DS_CODE_MASK) == DS_ERROR_BASE ||
                (output & ~DS_CODE_MASK) == DS_WARNING_BASE)
        << std::hex << input;
    EXPECT_GE(output & DS_CODE_MASK, 0x01u) << std::hex << input;
    EXPECT_LE(output & DS_CODE_MASK, 0x9Eu) << std::hex << input;
  }
}

struct Normalisation {
  uint32_t status;
  uint32_t normalised;
  uint32_t converted;
};

const Normalisation kNormalisations[] = {
    {VQ_INVALID_STATUS_OBJECT, 0x803FC805, DS_E_OTHER},
    {0x80403801, 0x807FF801, 0x80144001},  // bits 14 to 21 clear
    {0x407FF801, 0x807FF801, 0x80144001},  // bit 30 set, bit 31 clear
    {0x007FF801, 0x807FF801, 0x80144001},  // bit 31 clear
    {0xC07FF822, 0x807FF822, DS_E_NO_DN},  // bits 30 and 31 set
    {0x807FF851, 0x807FF851, DS_E_NOT_OPENED},
    {0x00000051, 0x803FC051, DS_E_OTHER},  // bare numbers do not survive it
    {0x3FC03FFF, 0xBFFFFFFF, DS_E_OTHER},
    {0xFFFFFFFF, 0xBFFFFFFF, DS_E_OTHER},
};

TEST_F(ConvertTest, StatusObjectStatusesAreNormalisedFirst) {
  for (const Normalisation& n : kNormalisations) {
    EXPECT_EQ(VQ_NORMALISE(n.status), n.normalised) << std::hex << n.status;
    EXPECT_EQ(convert_(VQ_NORMALISE(n.status)), n.converted) << std::hex << n.status;
  }
}

struct Form {
  uint32_t status;
  uint32_t error;
  uint32_t warning;
};

const Form kForms[] = {
    {DS_W_NOT_FOUND, 0x80144081, 0x00144081},
    {DS_E_OTHER, DS_E_OTHER, 0x00144050},
    {0x0014409D, 0x8014409D, 0x0014409D},
};

TEST_F(ConvertTest, ErrorAndWarningFormsKeepTheCode) {
  for (const Form& f : kForms) {
    EXPECT_EQ(DS_ERROR_FORM(f.status), f.error);
    EXPECT_EQ(DS_WARNING_FORM(f.status), f.warning);
    EXPECT_EQ(DS_IS_ERROR(DS_ERROR_FORM(f.status)), true);
    EXPECT_EQ(DS_IS_ERROR(DS_WARNING_FORM(f.status)), false);
  }
}

}  // namespace
}  // namespace qortest
