// dsopen: a pool of its own for the connection, the handle in it, a status
// object of its own, the settings gathered into ldparm, and the connection
// object from the extension. On every failure everything allocated is given
// back and the pool deleted, so a failed dsopen leaves nothing behind.
//
// Each handle owns its status object (the module state's object is not
// shared out): a handle's requests record their outcome in it, so dsgeterr
// and every bracket around a request read that handle's own last status,
// whatever other handles do meanwhile, on this thread or another.
#include <cstdint>

#include <qorldap/abi/gcb.h>
#include <qorldap/abi/image.h>
#include <qorldap/abi/routines.h>
#include <qorldap/status.h>
#include <qorldap/table.h>

#include "conn/settings.h"
#include "extension_client/requests.h"
#include "extension_client/status_object.h"
#include "host/pool.h"
#include "module/state.h"

namespace qorldap::conn {
namespace {

constexpr uint32_t kOpenFlags = 0x80000000u;
constexpr const char* kConnectionName = "DS LDAP conn";

// The current task's macro-symbol table, or null when it has none.
qor_symbol_table* symbolTable(const qor_gcb* gcb) {
  const qor_task* task = gcb->currentTask;
  if (task == nullptr || task->context == nullptr) return nullptr;
  return xalanch(task->context->symbolScope);
}

uint64_t kernelContext() {
  const auto* kernel = static_cast<const qor_kernel*>(Exported_VQHandle);
  return kernel == nullptr ? 0 : kernel->kernelContext;
}

// Why openConnection gave no connection, as a module status. The status
// object was made for this open, so whatever it holds is this open's.
uint32_t openFailure(qor_status_object* status) {
  const uint32_t reported = extension_client::reportedStatus(extension_client::lastStatus(status));
  return reported == DS_OK ? DS_E_NOT_OPENED : reported;
}

// Fills the handle of a new pool with its extension and connection.
uint32_t connect(const qor_gcb* gcb, qor_symbol_table* symbols, const Arguments& arguments,
                 dshandle* handle) {
  const dsstate* state = module::state();
  if (state == nullptr || state->extension == nullptr) return DS_E_NO_EXTENSION;
  handle->extension = state->extension;
  // A host that makes no status objects gets a handle without one, whose
  // failures then read as unknown (dsgeterr says so).
  handle->statusObject = wrjnlc(0, 0);

  ldparm* parameters = host::allocateRecord<ldparm>(handle->pool);
  if (parameters == nullptr) return DS_E_NO_MEMORY;
  parameters->hostCode = gcb->hostCode;
  parameters->openFlags = kOpenFlags;
  parameters->kernelContext = kernelContext();
  uint32_t status = gatherSettings(handle->pool, symbols, arguments, parameters);
  qor_connection* connection = nullptr;
  if (status == DS_OK) {
    qor_extension* extension = handle->extension;
    connection =
        extension->openConnection(extension, parameters, handle->statusObject, kConnectionName);
  }
  releaseParameters(handle->pool, parameters);
  if (status != DS_OK) return status;
  if (connection == nullptr) return openFailure(handle->statusObject);
  handle->connection = connection;
  return DS_OK;
}

}  // namespace
}  // namespace qorldap::conn

// Without a host control block there is no extension to open with; without a
// place for the handle nothing is opened (the connection would be lost).
extern "C" uint32_t dsopen(dshandle** out, const char* hostName, int32_t port, void* /*unused*/,
                           const char* base, const char* bindDn, const char* bindPw) {
  namespace conn = qorldap::conn;
  namespace host = qorldap::host;
  const qor_gcb* gcb = qorldap::module::gcb();
  if (gcb == nullptr) return DS_E_NO_EXTENSION;
  if (out == nullptr) return DS_E_MISSING_ARGUMENT;
  qor_symbol_table* symbols = conn::symbolTable(gcb);

  qor_pool* pool = nullptr;
  if (wmtpc(&pool, QOR_POOL_INITIAL, QOR_POOL_INCREMENT, QOR_POOL_ATTRIBUTES, gcb->currentTask) !=
          0 ||
      pool == nullptr) {
    return DS_E_NO_MEMORY;
  }
  auto* handle = host::allocateRecord<dshandle>(pool);
  if (handle == nullptr) {
    wmpoold(pool);
    return DS_E_NO_MEMORY;
  }
  handle->pool = pool;
  const conn::Arguments arguments{hostName, port, base, bindDn, bindPw};
  uint32_t status = conn::connect(gcb, symbols, arguments, handle);
  if (status != DS_OK) {
    qorldap::extension_client::releaseStatusObject(handle->statusObject);
    host::release(pool, handle);
    wmpoold(pool);
    return status;
  }
  handle->options = DSOPT_OPEN;
  *out = handle;
  return DS_OK;
}
