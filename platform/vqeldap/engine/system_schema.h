// The text of examples/schema/qorldap.schema, embedded by the build
// (system_schema.cpp.in), so that the extension reads the schema the
// project ships without looking for the file at run time.
#pragma once

#include <string_view>

namespace vqeldap::engine {

extern const std::string_view kSystemSchemaText;

}  // namespace vqeldap::engine
