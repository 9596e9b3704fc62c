#include "engine/access.h"

#include <algorithm>

#include "common/status.h"
#include "engine/dn.h"

namespace vqeldap::engine {

namespace {

constexpr VQStatus kRefused = kernelStatus(Code::kInsufficientAccess);
constexpr std::string_view kAdministrators = "cn=administrators,";

// The top entry above `normal` (or `normal` itself): the highest of its
// ancestors that the directory holds; empty when it holds none.
std::string_view topEntryOf(const Directory& directory, std::string_view normal) {
  std::string_view top;
  for (std::string_view at = normal; !at.empty(); at = parentOf(at)) {
    if (directory.find(at)) top = at;
  }
  return top;
}

bool isGroupOfNames(const Schema& schema, const Entry& entry) {
  const ObjectClass* groups = schema.objectClass("groupOfNames");
  const Entry::Attribute* classes = entry.find(&schema.objectClassType());
  for (uint32_t k = 0; groups != nullptr && classes != nullptr && k < classes->count; ++k) {
    const ObjectClass* cls = schema.objectClass(entry.value(*classes, k));
    if (cls != nullptr && cls->isA(groups)) return true;
  }
  return false;
}

bool holdsMember(const Schema& schema, const Entry& group, std::string_view bound) {
  const Entry::Attribute* members = group.find(schema.attribute("member"));
  std::string normal;
  for (uint32_t k = 0; members != nullptr && k < members->count; ++k) {
    if (normalDn(schema, group.value(*members, k), normal) && normal == bound) return true;
  }
  return false;
}

// True when the bound DN is a member of the administrators of the part of
// the directory that holds `normal`.
bool isAdministrator(const Directory& directory, std::string_view bound, std::string_view normal) {
  const std::string_view top = topEntryOf(directory, normal);
  std::string groupDn;
  if (bound.empty() || top.empty() ||
      !normalDn(directory.schema(), std::string(kAdministrators).append(top), groupDn)) {
    return false;
  }
  const std::optional<uint32_t> slot = directory.find(groupDn);
  if (!slot) return false;
  const Entry& group = *directory.entry(*slot);
  return isGroupOfNames(directory.schema(), group) && holdsMember(directory.schema(), group, bound);
}

}  // namespace

VQStatus restrictionOf(const Writer& writer) {
  if (writer.loading) return 0;
  if (writer.readOnly) return kernelStatus(Code::kUnwillingToPerform);
  if (writer.boundDn.empty()) return kernelStatus(Code::kStrongAuthRequired);
  return 0;
}

VQStatus mayAddOrRemove(const Directory& directory, const Writer& writer, std::string_view normal) {
  if (writer.loading || isAdministrator(directory, writer.boundDn, normal)) return 0;
  return kRefused;
}

VQStatus mayModify(const Directory& directory, const Writer& writer, std::string_view normal,
                   const std::vector<const AttributeType*>& types) {
  if (writer.loading || isAdministrator(directory, writer.boundDn, normal)) return 0;
  const AttributeType* password = &directory.schema().userPasswordType();
  const bool onlyPassword = std::all_of(
      types.begin(), types.end(), [&](const AttributeType* type) { return type == password; });
  return normal == writer.boundDn && onlyPassword ? 0 : kRefused;
}

}  // namespace vqeldap::engine
