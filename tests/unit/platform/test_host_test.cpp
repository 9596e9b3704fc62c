// The unit-test host itself: the scripted extension records and answers as
// the tests rely on, and the module fixture starts and stops the module.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/module_fixture.h"
#include "support/scripted_extension.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace {

using qortest::Entries;
using qortest::ScriptedExtension;
using qortest::SearchResponse;

class ScriptedExtensionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    status = qorkernel::newStatusObject(kernel);
    parameters.host = host;
    parameters.hostLen = 9;
    parameters.port = 389;
    connection =
        extension.object()->openConnection(extension.object(), &parameters, status, "DS LDAP conn");
    ASSERT_NE(connection, nullptr);
  }
  void TearDown() override { status->release(status); }

  ldent** search(const char* text) {
    return connection->search(connection, 0, text, static_cast<int64_t>(std::strlen(text)), nullptr,
                              status);
  }
  VQStatus lastStatus() {
    uint32_t code = 0;
    status->getLastStatus(status, &code);
    return code;
  }

  qorkernel::Kernel kernel;
  ScriptedExtension extension;
  qor_status_object* status = nullptr;
  char host[10] = "ldap.test";
  ldparm parameters{};
  qor_connection* connection = nullptr;
};

TEST_F(ScriptedExtensionTest, OpenConnectionRecordsTheParametersAndTheirTexts) {
  ASSERT_EQ(extension.count<qortest::OpenConnectionCall>(), 1u);
  const auto open = extension.calls<qortest::OpenConnectionCall>()[0];
  EXPECT_EQ(open.host, "ldap.test");
  EXPECT_EQ(open.base, std::nullopt);
  EXPECT_EQ(open.parameters.port, 389);
  EXPECT_EQ(open.name, "DS LDAP conn");
  EXPECT_EQ(open.status, status);
  EXPECT_EQ(extension.liveConnections(), 1u);

  extension.scriptOpen(false, VQ_LDAP(0x51));
  EXPECT_EQ(extension.object()->openConnection(extension.object(), &parameters, status, "x"),
            nullptr);
  EXPECT_EQ(lastStatus(), VQ_LDAP(0x51));
  EXPECT_EQ(extension.liveConnections(), 1u);
}

TEST_F(ScriptedExtensionTest, SearchResultsAreCountedUnterminatedRecordsOfTheScriptedData) {
  const Entries entries = {
      {"cn=a,o=test", {{"cn", {"a"}}, {"member", {"cn=x", std::string("b\0c", 3)}}}},
      {"cn=b,o=test", {}},
  };
  extension.queueSearch({entries, std::nullopt});
  ldent** result = search("(cn=*)");
  ASSERT_NE(result, nullptr);
  ASSERT_NE(result[0], nullptr);
  ASSERT_NE(result[1], nullptr);
  EXPECT_EQ(result[2], nullptr);

  const ldent& first = *result[0];
  EXPECT_EQ(std::string(first.dn, static_cast<std::size_t>(first.dnlen)), "cn=a,o=test");
  ASSERT_EQ(first.natts, 2);
  EXPECT_EQ(first.atts[2], nullptr);
  const ldatt& member = *first.atts[1];
  EXPECT_EQ(std::string(member.name, static_cast<std::size_t>(member.namelen)), "member");
  ASSERT_EQ(member.nvals, 2);
  EXPECT_EQ(member.vals[2], nullptr);
  EXPECT_EQ(member.vals[1]->type, LDV_STRING);
  EXPECT_EQ(std::string(member.vals[1]->text, static_cast<std::size_t>(member.vals[1]->textlen)),
            std::string("b\0c", 3));
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_TRUE(__asan_address_is_poisoned(first.dn + first.dnlen));
  EXPECT_TRUE(__asan_address_is_poisoned(member.vals[0]->text + member.vals[0]->textlen));
#endif
  EXPECT_EQ(result[1]->natts, 0);
  EXPECT_EQ(result[1]->atts[0], nullptr);

  EXPECT_EQ(extension.outstandingResults(), 1u);
  connection->freeResult(connection, result);
  EXPECT_EQ(extension.outstandingResults(), 0u);
  EXPECT_EQ(extension.badFrees(), 0u);
  connection->freeResult(connection, result);
  connection->freeResult(connection, nullptr);
  EXPECT_EQ(extension.badFrees(), 2u);
}

TEST_F(ScriptedExtensionTest, SearchAnswersFromTheQueueThenTheResponderElseNull) {
  extension.queueSearch({Entries{}, VQ_LDAP(0x20)});
  std::vector<std::string> asked;
  extension.onSearch([&](const qortest::SearchCall& call) {
    asked.push_back(call.text.value_or("(null)"));
    return SearchResponse{std::nullopt, VQ_LDAP(0x32)};
  });

  const uint32_t messagesBefore = kernel.messageNumber();
  ldent** queued = search("first");
  ASSERT_NE(queued, nullptr);
  EXPECT_EQ(queued[0], nullptr);  // an empty list, as scripted
  EXPECT_EQ(lastStatus(), VQ_LDAP(0x20));
  EXPECT_EQ(search("second"), nullptr);
  EXPECT_EQ(lastStatus(), VQ_LDAP(0x32));
  EXPECT_EQ(kernel.messageNumber(), messagesBefore + 2);
  EXPECT_EQ(asked, std::vector<std::string>{"second"});
  connection->freeResult(connection, queued);

  extension.onSearch(nullptr);
  EXPECT_EQ(search("third"), nullptr);
  EXPECT_EQ(lastStatus(), VQ_LDAP(0x32)) << "no scripted status: the object is left alone";

  const std::vector<qortest::SearchCall> searches = extension.calls<qortest::SearchCall>();
  ASSERT_EQ(searches.size(), 3u);
  EXPECT_EQ(searches[2].text, "third");
  EXPECT_EQ(searches[2].length, 5);
  EXPECT_EQ(searches[2].attributes, std::nullopt);
}

TEST_F(ScriptedExtensionTest, ReceivedRecordsAreCopiedAtCallTime) {
  char name[] = "cn";
  char text[] = "value";
  ldval value{};
  value.type = LDV_STRING;
  value.text = text;
  value.textlen = 5;
  ldval* vals[] = {&value, nullptr};
  ldatt attribute{name, 2, 0, 1, vals};
  ldatt* atts[] = {&attribute, nullptr};
  ldent entry{};
  entry.natts = 1;
  entry.atts = atts;
  const char* dn = "cn=new,o=test";
  EXPECT_EQ(connection->addEntry(connection, dn, 13, &entry, status), 0u);
  text[0] = 'X';  // the module releases its records right after the call
  name[0] = 'X';

  const auto add = extension.calls<qortest::AddEntryCall>().at(0);
  EXPECT_EQ(add.dn, "cn=new,o=test");
  ASSERT_TRUE(add.entry.has_value());
  EXPECT_TRUE(add.entry->attsTerminated);
  ASSERT_EQ(add.entry->attributes.size(), 1u);
  const qortest::LdAttributeCopy& copied = *add.entry->attributes[0];
  EXPECT_EQ(copied.name, "cn");
  EXPECT_TRUE(copied.valsTerminated);
  ASSERT_EQ(copied.values.size(), 1u);
  EXPECT_EQ(copied.values[0].text, "value");
  EXPECT_EQ(copied.values[0].textPointer, text);

  ldmod mod{LDMOD_REPLACE, 0, &attribute};
  ldmod* mods[] = {&mod, nullptr};
  extension.queueResult<qortest::ModifyEntryCall>(VQ_LDAP(0x10));
  EXPECT_EQ(connection->modifyEntry(connection, dn, 13, mods, status), VQ_LDAP(0x10));
  EXPECT_EQ(connection->modifyEntry(connection, dn, 13, mods, status), 0u);
  const auto modify = extension.calls<qortest::ModifyEntryCall>().at(0);
  ASSERT_EQ(modify.mods.size(), 1u);
  EXPECT_EQ(modify.mods[0].op, static_cast<uint32_t>(LDMOD_REPLACE));
  ASSERT_TRUE(modify.mods[0].attribute);
  EXPECT_EQ(modify.mods[0].attribute->name, "Xn");
}

TEST_F(ScriptedExtensionTest, AFailedCloseKeepsTheConnectionAndLaterCallsOnAClosedOneAreCounted) {
  extension.queueResult<qortest::CloseCall>(VQ_LDAP(0x51));
  EXPECT_EQ(connection->close(connection), VQ_LDAP(0x51));
  EXPECT_EQ(extension.liveConnections(), 1u);
  EXPECT_EQ(connection->close(connection), 0u);
  EXPECT_EQ(extension.liveConnections(), 0u);
  EXPECT_EQ(search("after"), nullptr);
  EXPECT_EQ(extension.callsOnClosedConnections(), 1u);
  EXPECT_EQ(extension.count<qortest::SearchCall>(), 0u);
}

// The fixture that the module's unit tests derive from.
class FixtureTest : public qortest::ModuleTest {};

TEST_F(FixtureTest, TheModuleRunsWithTheScriptedExtensionAndTermReleasesIt) {
  auto* const* state = static_cast<void* const*>(kernel().gcb()->moduleState);
  ASSERT_NE(state, nullptr);
  EXPECT_EQ(state[0], extension().object());
  EXPECT_EQ(kernel().liveStatusObjects(), 1u);
  ops().term();
  EXPECT_EQ(extension().releases(), 1u);
  EXPECT_EQ(kernel().liveStatusObjects(), 0u);
  EXPECT_EQ(kernel().gcb()->moduleState, nullptr);
}

TEST_F(FixtureTest, OpenHandsOutAConnectionOfTheScriptedExtension) {
  dshandle* handle = open();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(extension().liveConnections(), 1u);
  const auto opens = extension().calls<qortest::OpenConnectionCall>();
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].host, "ldap.test");
  EXPECT_EQ(opens[0].base, "o=test");
  EXPECT_EQ(ops().dsclose(handle), 0u);
  EXPECT_EQ(extension().liveConnections(), 0u);
}

}  // namespace
