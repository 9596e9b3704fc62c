// Finding the optional batch operation of a connection. It is asked for
// through setOption with a zeroed slot, so a connection that does not offer
// it (refusing or ignoring the option) leaves the slot null, and its record
// is never read past the words every connection has.
#pragma once

#include <qorldap/abi/objects.h>

namespace qorldap::extension_client {

inline qor_search_batch findSearchBatch(qor_connection* connection) {
  qor_search_batch batch = nullptr;
  constexpr char kName[] = QOR_SEARCH_BATCH_NAME;
  const VQStatus status =
      connection->setOption(connection, QOR_OPTION_SEARCH_BATCH,
                            static_cast<int64_t>(reinterpret_cast<uintptr_t>(&batch)), 0, kName,
                            static_cast<int64_t>(sizeof(kName) - 1));
  return status == 0 ? batch : nullptr;
}

}  // namespace qorldap::extension_client
