#include "engine/filter.h"

#include <lber.h>
#include <ldap.h>

#include <algorithm>

#include "common/libldap.h"
#include "common/status.h"

namespace vqeldap::engine {

namespace {

enum class Kind {
  kAnd,
  kOr,
  kNot,
  kEquality,
  kApproximate,
  kSubstrings,
  kGreaterOrEqual,
  kLessOrEqual,
  kPresent,
  kUndefined,
};

constexpr VQStatus kFilterError = kernelStatus(Code::kFilterError);
constexpr int kDeepestFilter = 64;

// A libldap handle for the filter encoder, one per thread: the encoder
// records its errors in the handle. It never connects anywhere.
class EncoderHandle {
 public:
  EncoderHandle() {
    initialiseLibldap();
    ldap_initialize(&ld_, nullptr);
  }
  ~EncoderHandle() {
    if (ld_ != nullptr) ldap_unbind_ext(ld_, nullptr, nullptr);
  }
  EncoderHandle(const EncoderHandle&) = delete;
  EncoderHandle& operator=(const EncoderHandle&) = delete;
  LDAP* get() const { return ld_; }

 private:
  LDAP* ld_ = nullptr;
};

struct FreeBer {
  void operator()(BerElement* ber) const { ber_free(ber, 1); }
};

std::string_view viewOf(const berval& bytes) {
  return {bytes.bv_val, bytes.bv_len};
}

}  // namespace

struct Filter::Node {
  Kind kind = Kind::kUndefined;
  const AttributeType* type = nullptr;
  Rule rule = Rule::kNone;
  std::string value;                 // the normalised assertion
  const ObjectClass* cls = nullptr;  // objectClass equality with a known class
  int order = 0;                     // kGreaterOrEqual: 1, kLessOrEqual: -1
  Substrings substrings;
  std::vector<std::string> sounds;  // kApproximate: the assertion's words (matching.h)
  std::vector<Node> children;
};

namespace {

using Node = Filter::Node;

// Reads the BER of a filter into nodes, normalising each assertion once.
class Decoder {
 public:
  Decoder(const Schema& schema, BerElement* ber) : schema_(schema), ber_(ber) {}
  VQStatus status() const { return status_; }

  bool node(Node& out, int depth) {
    if (depth > kDeepestFilter) return fail(kFilterError);
    ber_len_t length = 0;
    switch (ber_peek_tag(ber_, &length)) {
      case LDAP_FILTER_AND:
        return list(Kind::kAnd, out, depth);
      case LDAP_FILTER_OR:
        return list(Kind::kOr, out, depth);
      case LDAP_FILTER_NOT:
        out.kind = Kind::kNot;
        if (ber_skip_tag(ber_, &length) == LBER_DEFAULT) return fail(kFilterError);
        return node(out.children.emplace_back(), depth + 1);
      case LDAP_FILTER_EQUALITY:
        return assertion(Kind::kEquality, out);
      case LDAP_FILTER_APPROX:
        return assertion(Kind::kApproximate, out);
      case LDAP_FILTER_GE:
        return assertion(Kind::kGreaterOrEqual, out);
      case LDAP_FILTER_LE:
        return assertion(Kind::kLessOrEqual, out);
      case LDAP_FILTER_PRESENT:
        return presence(out);
      case LDAP_FILTER_SUBSTRINGS:
        return substrings(out);
      case LDAP_FILTER_EXT:
        return fail(kernelStatus(Code::kUnwillingToPerform));
      default:
        return fail(kFilterError);
    }
  }

 private:
  bool fail(VQStatus status) {
    status_ = status;
    return false;
  }

  bool list(Kind kind, Node& out, int depth) {
    out.kind = kind;
    ber_len_t length = 0;
    char* last = nullptr;
    for (ber_tag_t tag = ber_first_element(ber_, &length, &last); tag != LBER_DEFAULT;
         tag = ber_next_element(ber_, &length, last)) {
      if (!node(out.children.emplace_back(), depth + 1)) return false;
    }
    return true;
  }

  bool assertion(Kind kind, Node& out) {
    berval description{}, value{};
    if (ber_scanf(ber_, "{mm}", &description, &value) == LBER_ERROR) return fail(kFilterError);
    out.type = schema_.attribute(viewOf(description));
    if (out.type == nullptr) return true;  // Undefined
    const bool ordering = kind == Kind::kGreaterOrEqual || kind == Kind::kLessOrEqual;
    out.rule = ordering ? out.type->ordering : out.type->equality;
    out.order = kind == Kind::kGreaterOrEqual ? 1 : -1;
    if (out.rule == Rule::kNone || !normalize(schema_, out.rule, viewOf(value), out.value)) {
      return true;
    }
    if (out.type == &schema_.objectClassType()) out.cls = schema_.objectClass(viewOf(value));
    if (kind == Kind::kApproximate && !hasApproximateMatch(out.rule)) kind = Kind::kEquality;
    if (kind == Kind::kApproximate) out.sounds = soundsOf(out.value);
    out.kind = kind;
    return true;
  }

  bool presence(Node& out) {
    berval description{};
    if (ber_scanf(ber_, "m", &description) == LBER_ERROR) return fail(kFilterError);
    out.type = schema_.attribute(viewOf(description));
    if (out.type != nullptr) out.kind = Kind::kPresent;
    return true;
  }

  bool substrings(Node& out) {
    berval description{};
    if (ber_scanf(ber_, "{m", &description) == LBER_ERROR) return fail(kFilterError);
    out.type = schema_.attribute(viewOf(description));
    out.rule = out.type == nullptr ? Rule::kNone : out.type->substrings;
    bool valid = out.rule != Rule::kNone;
    partRule_ = out.rule;
    ber_len_t length = 0;
    char* last = nullptr;
    for (ber_tag_t tag = ber_first_element(ber_, &length, &last); tag != LBER_DEFAULT;
         tag = ber_next_element(ber_, &length, last)) {
      berval part{};
      if (ber_scanf(ber_, "m", &part) == LBER_ERROR) return fail(kFilterError);
      if (valid) valid = addPart(tag, viewOf(part), out.substrings);
    }
    if (valid) out.kind = Kind::kSubstrings;
    return true;
  }

  bool addPart(ber_tag_t tag, std::string_view text, Substrings& parts) {
    std::string normalized;
    switch (tag) {
      case LDAP_SUBSTRING_INITIAL:
        parts.hasInitial = true;
        return normalize(schema_, partRule_, text, parts.initial, Part::kInitial);
      case LDAP_SUBSTRING_FINAL:
        parts.hasFinal = true;
        return normalize(schema_, partRule_, text, parts.final, Part::kFinal);
      default:
        if (!normalize(schema_, partRule_, text, normalized, Part::kAny)) return false;
        parts.any.push_back(std::move(normalized));
        return true;
    }
  }

  const Schema& schema_;
  BerElement* ber_;
  Rule partRule_ = Rule::kNone;
  VQStatus status_ = kFilterError;
};

// What a filter is tested on: an entry, and where the directory holds it
// when it does.
struct Subject {
  const Schema& schema;
  const Entry& entry;
  const Reader& reader;
  const Directory* directory = nullptr;
  uint32_t slot = 0;
};

// The values of `node.type` and its subtypes in the entry, normalised by
// the node's rule, until `test` holds for one. Undefined when the reader
// may not see an attribute concerned.
template <typename Test>
Truth anyValue(const Subject& subject, const Node& node, Test test) {
  const Schema& schema = subject.schema;
  const Entry& entry = subject.entry;
  if (!subject.reader.maySee(schema, entry, node.type)) return Truth::kUndefined;
  std::string normalized;
  for (const Entry::Attribute& attribute : entry.attributes()) {
    if (!attribute.type->isA(node.type)) continue;
    for (uint32_t k = 0; k < attribute.count; ++k) {
      const std::string_view value = entry.value(attribute, k);
      if (node.cls != nullptr) {
        const ObjectClass* cls = schema.objectClass(value);
        if (cls != nullptr && cls->isA(node.cls)) return Truth::kTrue;
        continue;
      }
      if (normalize(schema, node.rule, value, normalized) && test(normalized)) return Truth::kTrue;
    }
  }
  return Truth::kFalse;
}

Truth evaluateNode(const Subject& subject, const Node& node);

Truth combine(const Subject& subject, const Node& node) {
  const Truth decisive = node.kind == Kind::kAnd ? Truth::kFalse : Truth::kTrue;
  bool undefined = false;
  for (const Node& child : node.children) {
    const Truth truth = evaluateNode(subject, child);
    if (truth == decisive) return decisive;
    undefined = undefined || truth == Truth::kUndefined;
  }
  if (undefined) return Truth::kUndefined;
  return node.kind == Kind::kAnd ? Truth::kTrue : Truth::kFalse;
}

Truth presence(const Subject& subject, const Node& node) {
  if (!subject.reader.maySee(subject.schema, subject.entry, node.type)) return Truth::kUndefined;
  for (const Entry::Attribute& attribute : subject.entry.attributes()) {
    if (attribute.type->isA(node.type)) return Truth::kTrue;
  }
  return Truth::kFalse;
}

// Equality; on an indexed type of an entry of the directory, the index
// answers.
Truth equality(const Subject& subject, const Node& node) {
  if (subject.directory != nullptr && subject.directory->indexed(node.type)) {
    return subject.directory->holds(subject.slot, node.type, node.value) ? Truth::kTrue
                                                                         : Truth::kFalse;
  }
  return anyValue(subject, node, [&](std::string_view value) {
    return equalNormalized(node.rule, value, node.value);
  });
}

Truth evaluateNode(const Subject& subject, const Node& node) {
  switch (node.kind) {
    case Kind::kAnd:
    case Kind::kOr:
      return combine(subject, node);
    case Kind::kNot: {
      const Truth truth = evaluateNode(subject, node.children.front());
      if (truth == Truth::kUndefined) return truth;
      return truth == Truth::kTrue ? Truth::kFalse : Truth::kTrue;
    }
    case Kind::kEquality:
      return equality(subject, node);
    case Kind::kGreaterOrEqual:
    case Kind::kLessOrEqual:
      return anyValue(subject, node, [&](std::string_view value) {
        return compareNormalized(node.rule, value, node.value) * node.order >= 0;
      });
    case Kind::kApproximate:
      return anyValue(subject, node, [&](std::string_view value) {
        return approximatelyMatches(value, node.sounds);
      });
    case Kind::kSubstrings:
      return anyValue(subject, node, [&](std::string_view value) {
        return matchesSubstrings(value, node.substrings);
      });
    case Kind::kPresent:
      return presence(subject, node);
    case Kind::kUndefined:
      return Truth::kUndefined;
  }
  return Truth::kUndefined;
}

// How many entries an index can narrow a node to; nullopt when it cannot.
std::optional<std::size_t> estimate(const Directory& directory, const Node& node) {
  switch (node.kind) {
    case Kind::kEquality:
      if (!directory.indexed(node.type)) return std::nullopt;
      return directory.lookup(node.type, node.value).size();
    case Kind::kUndefined:
      return 0;  // never True, wherever it stands outside a "not"
    case Kind::kAnd: {
      std::optional<std::size_t> best;
      for (const Node& child : node.children) {
        std::optional<std::size_t> size = estimate(directory, child);
        if (size && (!best || *size < *best)) best = size;
      }
      return best;
    }
    case Kind::kOr: {
      std::size_t total = 0;
      for (const Node& child : node.children) {
        std::optional<std::size_t> size = estimate(directory, child);
        if (!size) return std::nullopt;
        total += *size;
      }
      return total;
    }
    default:
      return std::nullopt;
  }
}

// The slots of a node that estimate() narrowed, possibly unsorted.
void collect(const Directory& directory, const Node& node, std::vector<uint32_t>& out) {
  switch (node.kind) {
    case Kind::kEquality: {
      const std::vector<uint32_t>& slots = directory.lookup(node.type, node.value);
      out.insert(out.end(), slots.begin(), slots.end());
      return;
    }
    case Kind::kAnd: {
      const Node* best = nullptr;
      std::size_t bestSize = 0;
      for (const Node& child : node.children) {
        std::optional<std::size_t> size = estimate(directory, child);
        if (size && (best == nullptr || *size < bestSize)) best = &child, bestSize = *size;
      }
      if (best != nullptr) collect(directory, *best, out);
      return;
    }
    case Kind::kOr:
      for (const Node& child : node.children) collect(directory, child, out);
      return;
    default:
      return;
  }
}

}  // namespace

bool Reader::maySee(const Schema& schema, const Entry& /*entry*/, const AttributeType* type) const {
  return seesPasswords || type != &schema.userPasswordType();
}

VQStatus Filter::parse(const Schema& schema, const std::string& text, Filter& out) {
  auto root = std::make_shared<Node>();
  if (text.empty()) {
    root->kind = Kind::kPresent;
    root->type = &schema.objectClassType();
    out.root_ = std::move(root);
    return 0;
  }
  thread_local EncoderHandle encoder;
  if (encoder.get() == nullptr) return kernelStatus(Code::kNoMemory);
  berval encoded{};
  if (ldap_create_assertion_control_value(encoder.get(), const_cast<char*>(text.c_str()),
                                          &encoded) != LDAP_SUCCESS) {
    return kFilterError;
  }
  std::unique_ptr<char, decltype(&ldap_memfree)> heldEncoded(encoded.bv_val, ldap_memfree);
  std::unique_ptr<BerElement, FreeBer> ber(ber_init(&encoded));
  if (ber == nullptr) return kernelStatus(Code::kNoMemory);
  Decoder decoder(schema, ber.get());
  if (!decoder.node(*root, 0)) return decoder.status();
  out.root_ = std::move(root);
  return 0;
}

Truth Filter::evaluate(const Schema& schema, const Entry& entry, const Reader& reader) const {
  return evaluateNode(Subject{schema, entry, reader}, *root_);
}

Truth Filter::evaluate(const Directory& directory, uint32_t slot, const Reader& reader) const {
  return evaluateNode(Subject{directory.schema(), *directory.entry(slot), reader, &directory, slot},
                      *root_);
}

std::optional<std::vector<uint32_t>> Filter::candidates(const Directory& directory) const {
  if (!estimate(directory, *root_)) return std::nullopt;
  std::vector<uint32_t> slots;
  collect(directory, *root_, slots);
  std::sort(slots.begin(), slots.end());
  slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
  return slots;
}

}  // namespace vqeldap::engine
