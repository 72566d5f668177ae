#include "engine/template.h"

namespace quorbin::engine {

uint64_t next_first_global_locator_id(const std::vector<RegisteredTemplate>& templates) {
  if (templates.empty()) return 0;
  const RegisteredTemplate& last = templates.back();
  return last.first_global_locator_id + last.locators.size();
}

}  // namespace quorbin::engine
