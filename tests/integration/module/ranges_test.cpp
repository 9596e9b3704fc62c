// The module over a server that sends many-valued attributes in slices, as
// a Windows domain controller does (integration/support/ranging_relay.h):
// dsexpgrp and dsrslvdn of a group of 5,000 members answer what they
// answer straight from slapd, and a slice that cannot be had fails them.
#include <string>

#include "integration/support/large_group.h"
#include "integration/support/ranging_relay.h"
#include "support/slapd_module_fixture.h"

namespace qortest {
namespace {

constexpr std::size_t kMembers = 5000;

class RangedGroupTest : public SlapdModuleTest {
 protected:
  SlapdOptions serverOptions() const override {
    SlapdOptions options;
    options.ldifs = {QOR_SOURCE_DIR "/examples/directory.ldif", largeGroupLdif(kMembers)};
    return options;
  }
  // dsrslvdn of the group: its attributes' names and member's values.
  struct Read {
    uint32_t status = 0;
    std::vector<std::string> names;
    std::vector<std::string> members;
  };
  Read readGroup(dshandle* handle) {
    Read read;
    dsent** list = nullptr;
    read.status = ops().dsrslvdn(handle, kLargeGroupDn.c_str(), nullptr, &list);
    if (list == nullptr || list[0] == nullptr) return read;
    for (dsatt** att = list[0]->atts; *att != nullptr; ++att) read.names.emplace_back((*att)->name);
    read.members = textsOf(list[0], "member");
    EXPECT_EQ(ops().dsfree(handle, list), 0u);
    return read;
  }
};

TEST_F(RangedGroupTest, AnswersAreSlapdsOwnOrAFailure) {
  RangingRelay relay(server().port());
  dshandle* direct = open();
  dshandle* relayed = nullptr;
  ASSERT_EQ(openWith(&relayed, relay.uri().c_str(), 0, server().base().c_str()), 0u);

  const Found expected = expand(direct, kLargeGroupDn, 1);
  ASSERT_EQ(expected.dns.size(), kMembers);
  const Found found = expand(relayed, kLargeGroupDn, 1);
  EXPECT_EQ(found.status, 0u) << std::hex << found.status;
  EXPECT_EQ(found.dns, expected.dns);

  const Read straight = readGroup(direct);
  const Read read = readGroup(relayed);
  EXPECT_EQ(read.status, 0u) << std::hex << read.status;
  EXPECT_EQ(read.names, straight.names);
  EXPECT_EQ(read.members.size(), kMembers);
  EXPECT_EQ(read.members, straight.members);
  EXPECT_EQ(relay.sliceRequests(), 6);

  relay.failSlices(SliceFault::kErrorResult, 53, "no ranges today");
  const Found refused = expand(relayed, kLargeGroupDn, 1);
  EXPECT_EQ(refused.status, DS_ERROR_BASE + 0x35) << std::hex << refused.status;
  EXPECT_FALSE(refused.stored);
  EXPECT_EQ(readGroup(relayed).status, DS_ERROR_BASE + 0x35);
}

}  // namespace
}  // namespace qortest
