#include "replica/server_schema.h"

#include <sys/time.h>

#include <vector>

namespace vqeldap::replica {
namespace {

constexpr long kTimeoutSeconds = 5;

struct FreeMessage {
  void operator()(LDAPMessage* message) const { ldap_msgfree(message); }
};
using Message = std::unique_ptr<LDAPMessage, FreeMessage>;

// libldap's text for a failed operation, with the server's diagnostic
// message when it sent one.
std::string failure(LDAP* ld, int code) {
  std::string text = ldap_err2string(code);
  char* diagnostic = nullptr;
  ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &diagnostic);
  if (diagnostic != nullptr && *diagnostic != '\0') text += std::string(" (") + diagnostic + ")";
  ldap_memfree(diagnostic);
  return text;
}

// A base search of `dn` for the attributes asked for: the result in
// `found`, with no entry when `filter` finds none there. False with the
// reason when the search fails.
bool searchBase(LDAP* ld, const std::string& dn, const char* filter,
                std::vector<std::string> attributes, Message& found, std::string& error) {
  std::vector<char*> names;
  names.reserve(attributes.size() + 1);
  for (std::string& name : attributes) names.push_back(name.data());
  names.push_back(nullptr);
  timeval timeout{kTimeoutSeconds, 0};
  LDAPMessage* result = nullptr;
  const int code = ldap_search_ext_s(ld, dn.c_str(), LDAP_SCOPE_BASE, filter, names.data(), 0,
                                     nullptr, nullptr, &timeout, 1, &result);
  found.reset(result);
  if (code == LDAP_SUCCESS || code == LDAP_NO_SUCH_OBJECT) return true;
  error = "reading " + (dn.empty() ? std::string("the root DSE") : dn) + ": " + failure(ld, code);
  return false;
}

// The values of `attribute` in the first entry of `result`; none when it
// holds no entry.
std::vector<std::string> valuesOf(LDAP* ld, const Message& result, const char* attribute) {
  std::vector<std::string> out;
  LDAPMessage* entry = ldap_first_entry(ld, result.get());
  if (entry == nullptr) return out;
  berval** values = ldap_get_values_len(ld, entry, attribute);
  for (berval** value = values; value != nullptr && *value != nullptr; ++value) {
    out.emplace_back((*value)->bv_val, (*value)->bv_len);
  }
  ldap_value_free_len(values);
  return out;
}

}  // namespace

std::shared_ptr<const engine::Schema> readServerSchema(LDAP* ld, std::string& error) {
  Message root;
  if (!searchBase(ld, "", "(objectClass=*)", {"subschemaSubentry"}, root, error)) return nullptr;
  const std::vector<std::string> named = valuesOf(ld, root, "subschemaSubentry");
  const std::string dn = named.empty() ? "cn=Subschema" : named.front();
  Message subschema;
  if (!searchBase(ld, dn, "(objectClass=subschema)", {"attributeTypes", "objectClasses"}, subschema,
                  error)) {
    return nullptr;
  }
  if (ldap_first_entry(ld, subschema.get()) == nullptr) {
    error = "reading " + dn + ": no subschema entry there";
    return nullptr;
  }
  return engine::Schema::withServerDefinitions(valuesOf(ld, subschema, "attributeTypes"),
                                               valuesOf(ld, subschema, "objectClasses"), error);
}

}  // namespace vqeldap::replica
