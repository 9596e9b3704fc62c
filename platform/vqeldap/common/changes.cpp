#include "common/changes.h"

#include <charconv>
#include <cmath>

#include "common/status.h"

namespace vqeldap {

namespace {

constexpr VQStatus kBadParameter = kernelStatus(Code::kParameterError);

static_assert(static_cast<uint32_t>(ModOp::kAdd) == LDMOD_ADD);
static_assert(static_cast<uint32_t>(ModOp::kDelete) == LDMOD_DELETE);
static_assert(static_cast<uint32_t>(ModOp::kReplace) == LDMOD_REPLACE);

VQStatus attributeName(const ldatt& attribute, std::string_view& out) {
  if (attribute.namelen <= 0 || countedText(attribute.name, attribute.namelen, out) != 0) {
    return kBadParameter;
  }
  return out.find('\0') == std::string_view::npos ? 0 : kBadParameter;
}

}  // namespace

VQStatus countedText(const char* text, int64_t length, std::string_view& out) {
  if (length < 0 || (text == nullptr && length > 0)) return kBadParameter;
  out = length == 0 ? std::string_view() : std::string_view(text, static_cast<std::size_t>(length));
  return 0;
}

bool decimalText(int64_t number, std::string& out) {
  char buffer[24];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, number);
  if (error != std::errc()) return false;
  out.assign(buffer, end);
  return true;
}

bool decimalText(double number, std::string& out) {
  if (!std::isfinite(number)) return false;
  char buffer[32];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, number);
  if (error != std::errc()) return false;
  out.assign(buffer, end);
  return true;
}

VQStatus modOpOf(uint64_t code, ModOp& op) {
  if (code > static_cast<uint64_t>(ModOp::kReplace)) return kBadParameter;
  op = static_cast<ModOp>(code);
  return 0;
}

VQStatus ChangeSet::appendValue(const ldval& value, std::vector<std::string_view>& out) {
  std::string_view bytes;
  switch (value.type) {
    case LDV_LONG:
    case LDV_DOUBLE: {
      std::string text;
      const bool ok = value.type == LDV_LONG ? decimalText(value.data.number, text)
                                             : decimalText(value.data.real, text);
      if (!ok) return kBadParameter;
      bytes = numbers_.emplace_back(std::move(text));
      break;
    }
    case LDV_BINARY:
      if (countedText(static_cast<const char*>(value.data.bytes), value.len, bytes) != 0) {
        return kBadParameter;
      }
      break;
    case LDV_STRING:
      if (countedText(value.text, value.textlen, bytes) != 0) return kBadParameter;
      break;
    default:
      return kBadParameter;
  }
  out.push_back(bytes);
  return 0;
}

VQStatus ChangeSet::addAttribute(ModOp op, const ldatt& attribute) {
  std::string_view name;
  if (attributeName(attribute, name) != 0) return kBadParameter;
  if (attribute.nvals < 0 || (attribute.nvals > 0 && attribute.vals == nullptr)) {
    return kBadParameter;
  }
  Change change{op, std::string(name), {}};
  change.values.reserve(static_cast<std::size_t>(attribute.nvals));
  for (int32_t k = 0; k < attribute.nvals; ++k) {
    if (attribute.vals[k] == nullptr) return kBadParameter;
    if (VQStatus status = appendValue(*attribute.vals[k], change.values); status != 0) {
      return status;
    }
  }
  changes_.push_back(std::move(change));
  return 0;
}

VQStatus ChangeSet::addText(ModOp op, std::string_view name, const char* value) {
  if (name.empty() || name.find('\0') != std::string_view::npos) return kBadParameter;
  Change change{op, std::string(name), {}};
  if (value != nullptr) change.values.emplace_back(value);
  changes_.push_back(std::move(change));
  return 0;
}

VQStatus translateEntry(const ldent& entry, ChangeSet& out) {
  if (entry.natts < 0 || (entry.natts > 0 && entry.atts == nullptr)) return kBadParameter;
  for (int32_t j = 0; j < entry.natts; ++j) {
    // An attribute without values cannot be added; the module leaves such
    // slots null, and a count of 0 means the same.
    if (entry.atts[j] == nullptr || entry.atts[j]->nvals == 0) continue;
    if (VQStatus status = out.addAttribute(ModOp::kAdd, *entry.atts[j]); status != 0) {
      return status;
    }
  }
  return 0;
}

VQStatus translateMods(ldmod* const* mods, ChangeSet& out) {
  if (mods == nullptr) return kBadParameter;
  for (ldmod* const* mod = mods; *mod != nullptr; ++mod) {
    ModOp op;
    if (modOpOf((*mod)->op, op) != 0 || (*mod)->att == nullptr) return kBadParameter;
    if (VQStatus status = out.addAttribute(op, *(*mod)->att); status != 0) return status;
  }
  return 0;
}

VQStatus translateModLists(ldmodp* const* mods, ChangeSet& out) {
  if (mods == nullptr) return kBadParameter;
  for (ldmodp* const* mod = mods; *mod != nullptr; ++mod) {
    ModOp op;
    if (modOpOf((*mod)->op, op) != 0) return kBadParameter;
    if ((*mod)->atts == nullptr) continue;
    for (ldatt** att = (*mod)->atts; *att != nullptr; ++att) {
      if (VQStatus status = out.addAttribute(op, **att); status != 0) return status;
    }
  }
  return 0;
}

}  // namespace vqeldap
