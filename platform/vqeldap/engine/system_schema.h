// The schema files compiled into the extension, in the order they are
// read: OpenLDAP's core, cosine and inetorgperson as the slapd package
// installs them, then the system's own examples/schema/qorldap.schema. The
// build embeds their text (system_schema.cpp.in), so the extension reads
// the same statements as a slapd that includes those files, without
// looking for them at run time.
#pragma once

#include <span>
#include <string_view>

namespace vqeldap::engine {

struct EmbeddedSchema {
  std::string_view name;  // "core", "cosine", "inetorgperson", "qorldap"
  std::string_view text;
};

extern const std::span<const EmbeddedSchema> kEmbeddedSchemas;

}  // namespace vqeldap::engine
