#include "ldif/connection.h"

#include <vqeldap/options.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/status.h"
#include "engine/password.h"
#include "engine/search.h"
#include "engine/updates.h"
#include "ldif/store.h"

namespace vqeldap::ldif {

namespace {

constexpr VQStatus kBadParameter = kernelStatus(Code::kParameterError);
constexpr int kHighestDeref = 3;  // always

// "PATH:LINE: reason", or "PATH: reason" when no line is at fault.
std::string describeLoadFailure(const std::string& path, const LoadFailure& failure) {
  std::string where = path;
  if (failure.line > 0) where += ":" + std::to_string(failure.line);
  return where + ": " + failure.reason;
}

class LdifConnection final : public Connection {
 public:
  LdifConnection(std::unique_ptr<Store> store, const std::string& base, std::string boundDn,
                 int64_t timeoutSeconds)
      : store_(std::move(store)),
        baseIsDn_(engine::normalDn(store_->directory().schema(), base, normalBase_)),
        timeout_(timeoutSeconds) {
    reader_.boundDn = boundDn;
    writer_.boundDn = std::move(boundDn);
  }

  void search(const SearchRequest& request, SearchOutcome& outcome) override;
  VQStatus add(const std::string& dn, const ChangeSet& attributes) override {
    const std::vector<engine::NamedValues> named = engine::namedValuesOf(attributes);
    return change([&](const engine::Directory& directory, engine::PendingChange& pending) {
      return prepareAdd(directory, dn, named, writer_, pending);
    });
  }
  VQStatus modify(const std::string& dn, const ChangeSet& changes) override {
    return change([&](const engine::Directory& directory, engine::PendingChange& pending) {
      return prepareModify(directory, dn, changes, writer_, pending);
    });
  }
  VQStatus remove(const std::string& dn) override {
    return change([&](const engine::Directory& directory, engine::PendingChange& pending) {
      return prepareRemove(directory, dn, writer_, pending);
    });
  }
  VQStatus compare(const std::string& dn, const std::string& attribute,
                   std::string_view value) override {
    if (VQStatus s = refreshed(); s != 0) return s;
    return engine::compare(store_->directory(), reader_, dn, attribute, value);
  }
  VQStatus setOption(int64_t option, int64_t value) override;

 private:
  // The file loaded again if it changed; a failure says why in the
  // diagnostic text ("PATH:LINE: reason"), as a failed open does.
  VQStatus refreshed() {
    const VQStatus status = store_->refresh();
    if (status != 0) {
      diagnostic_.add("additional info",
                      describeLoadFailure(store_->path(), store_->refreshFailure()));
    }
    return status;
  }
  // A write through the store, with why it failed in the diagnostic text.
  VQStatus change(const Store::Prepare& prepare) {
    writer_.readOnly = store_->readOnly();
    WriteFailure failure;
    const VQStatus status = store_->change(prepare, timeout_, failure);
    diagnostic_.add("additional info", failure.text);
    return status;
  }

  std::unique_ptr<Store> store_;
  std::string normalBase_;  // of the base of filter searches
  bool baseIsDn_;
  engine::Reader reader_;
  engine::Writer writer_;
  int64_t sizeLimit_ = 0;
  int64_t timeout_;  // seconds a write waits for the lock; 0: no limit
};

void LdifConnection::search(const SearchRequest& request, SearchOutcome& outcome) {
  if (VQStatus s = refreshed(); s != 0) {
    outcome.status = s;
    return;
  }
  const engine::SearchBase base{normalBase_, baseIsDn_};
  engine::search(store_->directory(), reader_, request, base, sizeLimit_, outcome);
}

VQStatus LdifConnection::setOption(int64_t option, int64_t value) {
  if (value < 0 || value > INT32_MAX) return kBadParameter;
  switch (option) {
    case VQELDAP_OPT_SIZE_LIMIT:
      sizeLimit_ = value;
      return 0;
    case VQELDAP_OPT_DEREF:
      return value > kHighestDeref ? kBadParameter : 0;
    case VQELDAP_OPT_TIMEOUT:
      timeout_ = value;
      return 0;
    case VQELDAP_OPT_PAGE_SIZE:
      return 0;
    default:
      return kBadParameter;
  }
}

// The normal DN of the entry the bind names, or the failure.
VQStatus bindAs(const engine::Directory& directory, const std::string& dn, const Secret& password,
                std::string& bound) {
  if (!engine::normalDn(directory.schema(), dn, bound)) return kernelStatus(Code::kInvalidDnSyntax);
  const std::optional<uint32_t> slot = directory.find(bound);
  const VQStatus refused = kernelStatus(Code::kInvalidCredentials);
  if (!slot) return refused;
  const engine::Entry& entry = *directory.entry(*slot);
  const engine::Entry::Attribute* secrets = entry.find(&directory.schema().userPasswordType());
  const std::string_view given(password.data(), password.size());
  for (uint32_t k = 0; secrets != nullptr && k < secrets->count; ++k) {
    if (engine::passwordMatches(entry.value(*secrets, k), given)) return 0;
  }
  return refused;
}

// "PATH:LINE: reason", or "PATH: reason" when no line is at fault.

// The schema the open asked for: the standard one, or it with the site's
// files read after it.
std::shared_ptr<const engine::Schema> schemaFor(const OpenParameters& parameters,
                                                std::string& error) {
  if (parameters.schemaFiles.empty()) return engine::Schema::standardShared();
  return engine::Schema::load(parameters.schemaFiles, error);
}

}  // namespace

bool parseHostText(std::string_view text, OpenParameters& out) {
  if (!text.starts_with(kHostPrefix)) return false;
  text.remove_prefix(kHostPrefix.size());
  constexpr std::string_view kSchema = "schema=";
  std::size_t end = text.find(';');
  out.path.assign(text.substr(0, end));
  out.schemaFiles.clear();
  while (end != std::string_view::npos) {
    text.remove_prefix(end + 1);
    end = text.find(';');
    const std::string_view parameter = text.substr(0, end);
    if (!parameter.starts_with(kSchema) || parameter.size() == kSchema.size()) return false;
    out.schemaFiles.emplace_back(parameter.substr(kSchema.size()));
  }
  return !out.path.empty();
}

std::unique_ptr<Connection> open(OpenParameters parameters, VQStatus& status,
                                 Diagnostic& diagnostic) {
  // As with a server: a bind DN without a password is refused rather than
  // taken for an anonymous login. The password is wiped with `parameters`.
  if (parameters.bindDn && parameters.password.empty()) {
    status = kernelStatus(Code::kUnwillingToPerform);
    return nullptr;
  }
  std::string schemaError;
  std::shared_ptr<const engine::Schema> schema = schemaFor(parameters, schemaError);
  if (schema == nullptr) {
    status = kernelStatus(Code::kDecodingError);
    diagnostic.add("additional info", schemaError);
    return nullptr;
  }
  LoadFailure failure;
  std::unique_ptr<Store> store = Store::open(parameters.path, std::move(schema), failure);
  if (store == nullptr) {
    status = failure.status;
    diagnostic.add("additional info", describeLoadFailure(parameters.path, failure));
    return nullptr;
  }
  std::string bound;
  if (parameters.bindDn) {
    status = bindAs(store->directory(), *parameters.bindDn, parameters.password, bound);
    if (status != 0) return nullptr;
  }
  status = 0;
  diagnostic.add("server",
                 "ldif:" + parameters.path + ": loaded, " +
                     (parameters.bindDn ? "bound as " + *parameters.bindDn : "anonymous"));
  return std::make_unique<LdifConnection>(std::move(store), parameters.base, std::move(bound),
                                          parameters.timeout);
}

}  // namespace vqeldap::ldif
