#include "engine/template.h"

namespace quorbin::engine {

uint64_t next_first_global_locator_id(const std::vector<RegisteredTemplate>& templates) {
  if (templates.empty()) return 0;
  const RegisteredTemplate& last = templates.back();
  return last.first_global_locator_id + last.locators.size();
}

namespace snapshot_checks {

Refusal schema(std::string_view schema) {
  if (schema != kSchema) return "unsupported template snapshot schema";
  return std::nullopt;
}

Refusal template_count(size_t count) {
  if (count != 1) return "template snapshot must contain exactly one template";
  return std::nullopt;
}

Refusal locator_id(uint64_t id, size_t position) {
  if (id != position) return "template locators must be ordered by local locator_id";
  return std::nullopt;
}

Refusal record_id(size_t count, uint64_t first, uint64_t second, size_t position) {
  // A snapshot of one template names its records as occurrence 0.
  if (count != 2 || first != 0 || second != position)
    return "template records must use local record ids [0, template_record_id]";
  return std::nullopt;
}

Refusal template_record_id(uint64_t id, size_t position) {
  if (id != position) return "template records must be ordered by template_record_id";
  return std::nullopt;
}

Refusal record_count(uint64_t declared, size_t records) {
  if (declared != records) return "template record_count does not match records length";
  return std::nullopt;
}

}  // namespace snapshot_checks

}  // namespace quorbin::engine
