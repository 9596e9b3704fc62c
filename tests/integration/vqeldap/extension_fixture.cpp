#include "integration/vqeldap/extension_fixture.h"

#include <strings.h>

#include <cstring>

namespace qortest {

std::vector<std::string> Attr::texts() const {
  std::vector<std::string> out;
  for (const Value& value : values) out.push_back(value.bytes);
  return out;
}

const Attr* Ent::find(const std::string& name) const {
  for (const Attr& attribute : attributes) {
    if (strcasecmp(attribute.name.c_str(), name.c_str()) == 0) return &attribute;
  }
  return nullptr;
}

std::vector<std::string> Ent::texts(const std::string& name) const {
  const Attr* attribute = find(name);
  return attribute == nullptr ? std::vector<std::string>{} : attribute->texts();
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_ = old;
  if (value) {
    setenv(name_.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (old_) {
    setenv(name_.c_str(), old_->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

namespace {

std::string counted(const char* text, int64_t length) {
  return length <= 0 ? std::string() : std::string(text, static_cast<std::size_t>(length));
}

}  // namespace

std::vector<Ent> copyResult(ldent** result) {
  std::vector<Ent> entries;
  if (result == nullptr) return entries;
  for (ldent** slot = result; *slot != nullptr; ++slot) {
    const ldent& in = **slot;
    Ent entry;
    entry.dn = counted(in.dn, in.dnlen);
    EXPECT_EQ(in.dn[in.dnlen], '\0') << entry.dn;
    EXPECT_GE(in.natts, 0);
    EXPECT_EQ(in.atts[in.natts], nullptr) << "attribute array not terminated: " << entry.dn;
    for (int32_t j = 0; j < in.natts; ++j) {
      const ldatt* att = in.atts[j];
      if (att == nullptr) {
        ADD_FAILURE() << "null attribute slot " << j << " in " << entry.dn;
        continue;
      }
      Attr attribute;
      attribute.name = counted(att->name, att->namelen);
      EXPECT_EQ(att->name[att->namelen], '\0') << attribute.name;
      EXPECT_EQ(att->vals[att->nvals], nullptr) << "value array not terminated: " << attribute.name;
      for (int32_t k = 0; k < att->nvals; ++k) {
        const ldval& v = *att->vals[k];
        Value value{v.type, counted(v.text, v.textlen)};
        EXPECT_EQ(v.text[v.textlen], '\0') << attribute.name;
        if (v.type == LDV_BINARY) {
          EXPECT_EQ(v.data.bytes, v.text) << attribute.name;
          EXPECT_EQ(v.len, v.textlen) << attribute.name;
        } else {
          EXPECT_EQ(v.type, LDV_STRING) << attribute.name;
        }
        attribute.values.push_back(std::move(value));
      }
      entry.attributes.push_back(std::move(attribute));
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

void ExtensionTest::SetUp() {
  server_ = SlapdEnvironment::server(serverOptions());
  ASSERT_NE(server_, nullptr);
  kernel_ = std::make_unique<qorkernel::Kernel>();
  kernel_->setExtensionDirectory(QOR_VQELDAP_DIR);
  static const uint32_t kName[] = {'v', 'q', 'e', 'l', 'd', 'a', 'p'};
  qor_kernel* handle = kernel_->handle();
  extension_ = handle->loadExtension(handle, kName, 7, 0);
  ASSERT_NE(extension_, nullptr) << kernel_->lastExtensionError();
  status_ = qorkernel::newStatusObject(*kernel_);
  ASSERT_NE(status_, nullptr);
}

void ExtensionTest::TearDown() {
  for (qor_connection* connection : open_) EXPECT_EQ(connection->close(connection), 0u);
  open_.clear();
  if (status_ != nullptr) status_->release(status_);
  if (extension_ != nullptr) extension_->release(extension_);
  kernel_.reset();
}

VQStatus ExtensionTest::lastStatus() {
  uint32_t code = 0;
  const VQStatus result = status_->getLastStatus(status_, &code);
  return result != 0 ? result : code;
}

std::string ExtensionTest::lastText() {
  int64_t length = 0;
  const char* text = status_->getLastText(status_, &length);
  return text == nullptr ? std::string() : std::string(text, static_cast<std::size_t>(length));
}

qor_connection* ExtensionTest::open(OpenRequest request) {
  if (!request.base) request.base = server_->base();
  ldparm parameters{};
  parameters.timeout = request.timeout;
  parameters.openFlags = 0x80000000u;
  parameters.port = request.port;
  parameters.tls = request.tls;
  parameters.host = request.host.c_str();
  parameters.hostLen = static_cast<int64_t>(request.host.size());
  auto set = [](const std::optional<std::string>& text, const char*& pointer, int64_t& length) {
    if (text) {
      pointer = text->c_str();
      length = static_cast<int64_t>(text->size());
    }
  };
  set(request.base, parameters.base, parameters.baseLen);
  set(request.bindDn, parameters.bindDn, parameters.bindDnLen);
  set(request.bindPw, parameters.bindPw, parameters.bindPwLen);
  // Some other status first, so a success that records nothing shows.
  status_->setLastStatus(status_, VQ_LDAP(0x50));
  qor_connection* connection =
      extension_->openConnection(extension_, &parameters, status_, "DS LDAP conn");
  // The texts go away at once, as the module's do.
  request = OpenRequest("");
  if (connection != nullptr) open_.push_back(connection);
  return connection;
}

qor_connection* ExtensionTest::openAsAdmin() {
  OpenRequest request(server_->uri());
  request.bindDn = server_->adminDn();
  request.bindPw = server_->adminPassword();
  return open(request);
}

void ExtensionTest::close(qor_connection* connection) {
  for (auto it = open_.begin(); it != open_.end(); ++it) {
    if (*it == connection) {
      open_.erase(it);
      break;
    }
  }
  EXPECT_EQ(connection->close(connection), 0u);
}

std::vector<Ent> ExtensionTest::search(qor_connection* connection, uint64_t flags,
                                       const std::string& text, const char* const* attributes,
                                       bool* found) {
  ldent** result = connection->search(connection, flags, text.c_str(),
                                      static_cast<int64_t>(text.size()), attributes, status_);
  if (found != nullptr) *found = result != nullptr;
  std::vector<Ent> entries = copyResult(result);
  if (result != nullptr) {
    EXPECT_FALSE(entries.empty()) << "an empty array instead of null";
    connection->freeResult(connection, result);
  }
  return entries;
}

std::optional<Ent> ExtensionTest::read(qor_connection* connection, const std::string& dn) {
  std::vector<Ent> entries = search(connection, QOR_SEARCH_READ_DN, dn);
  if (entries.empty()) return std::nullopt;
  EXPECT_EQ(entries.size(), 1u);
  return entries.front();
}

}  // namespace qortest
