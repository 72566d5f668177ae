#include "engine/template.h"

namespace quorbin::engine {

uint64_t next_first_global_locator_id(const std::vector<RegisteredTemplate>& templates) {
  if (templates.empty()) return 0;
  const RegisteredTemplate& last = templates.back();
  return last.first_global_locator_id + last.locators.size();
}

namespace snapshot_checks {

Status schema(std::string_view schema) {
  if (schema != kSchema) return schema_error("unsupported template snapshot schema");
  return {};
}

Status template_count(size_t count) {
  if (count != 1) return schema_error("template snapshot must contain exactly one template");
  return {};
}

Status locator_id(uint64_t id, size_t position) {
  if (id != position) return schema_error("template locators must be ordered by local locator_id");
  return {};
}

Status record_id(size_t count, uint64_t first, uint64_t second, size_t position) {
  // A snapshot of one template names its records as occurrence 0.
  if (count != 2 || first != 0 || second != position)
    return schema_error("template records must use local record ids [0, template_record_id]");
  return {};
}

Status template_record_id(uint64_t id, size_t position) {
  if (id != position) return schema_error("template records must be ordered by template_record_id");
  return {};
}

Status record_count(uint64_t declared, size_t records) {
  if (declared != records) return schema_error("template record_count does not match records length");
  return {};
}

}  // namespace snapshot_checks

}  // namespace quorbin::engine
