// Registered templates: what an engine keeps of each template it accepts, and
// the checks that turn a template snapshot into one. Templates are appended to
// the engine and never changed afterwards, so positions and locator ids stay
// valid for the engine's life.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/error.h"
#include "syntax/tree.h"

namespace quorbin::engine {

struct RegisteredLocator {
  std::string ast_path;
  std::string authored_summary;
  std::string materialization_anchor;
  std::string role_key;
  // Local to the template; kept as given (a snapshot may name any value).
  std::optional<uint64_t> parent_locator_id;
};

struct RegisteredRecord {
  std::vector<std::string> code_owner;
  std::string inventory_kind;
  std::string resource_name;
  std::string semantic_summary;
  std::string surface_key;
  // Kept as given; whoever resolves it reports an id that names no locator.
  uint64_t locator_id = 0;
};

// The parsed tree of a template registered from source, with the text its
// byte ranges refer to (needed to report native positions).
struct TemplateModule {
  syntax::Tree tree;
  std::string source;
};

// Defined with the template packages; a template registered from a snapshot
// has none.
struct TemplatePackage;

struct RegisteredTemplate {
  std::string template_key;
  std::string source_summary;
  std::vector<RegisteredLocator> locators;  // local locator id order
  std::vector<RegisteredRecord> records;    // template record id order
  // Engine-wide id of locators[0]: the locator count of every earlier template.
  uint64_t first_global_locator_id = 0;
  std::optional<TemplateModule> module;
  std::shared_ptr<const TemplatePackage> package;
};

// The first global locator id the next template appended to `templates` gets.
uint64_t next_first_global_locator_id(const std::vector<RegisteredTemplate>& templates);

// The checks that registration applies to a template snapshot, each called
// as soon as the value it needs has been read, so that the first misfit in
// reading order is the one reported.
namespace snapshot_checks {

inline constexpr std::string_view kSchema = "quorbin.structural-inventory.v1";

Status schema(std::string_view schema);
Status template_count(size_t count);
Status locator_id(uint64_t id, size_t position);
// `count` elements were read, of which the first two (when present) are given.
Status record_id(size_t count, uint64_t first, uint64_t second, size_t position);
Status template_record_id(uint64_t id, size_t position);
Status record_count(uint64_t declared, size_t records);

}  // namespace snapshot_checks

}  // namespace quorbin::engine
