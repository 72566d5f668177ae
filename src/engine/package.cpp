#include "engine/package.h"

#include <algorithm>
#include <limits>

namespace quorbin::engine {

namespace {

// Tables are indexed by 32-bit ids; a source large enough to overflow one
// cannot be parsed (offsets are 32-bit too), so running out is a fault.
template <class Table>
uint32_t next_id(const Table& table) {
  QUORBIN_CHECK(table.size() < std::numeric_limits<uint32_t>::max());
  return static_cast<uint32_t>(table.size());
}

}  // namespace

std::vector<std::string> TemplatePackage::path_names(PathId id) const {
  std::vector<std::string> names;
  for (StringId s : path(id)) names.push_back(string(s));
  return names;
}

std::vector<std::string> TemplatePackage::binding_names(BindingSetId id) const {
  std::vector<std::string> names;
  for (StringId s : binding_set(id)) names.push_back(string(s));
  return names;
}

PackageInterner::PackageInterner(std::string_view signature, std::string_view template_key,
                                 std::string_view source_summary) {
  // The header is read back by position, so it is appended as is; the map
  // keeps the first index of a repeated header string.
  for (std::string_view header : {signature, template_key, source_summary}) {
    const StringId id = next_id(package_.strings);
    package_.strings.emplace_back(header);
    strings_.emplace(std::string(header), id);
  }
}

StringId PackageInterner::string(std::string_view text) {
  if (auto it = strings_.find(text); it != strings_.end()) return it->second;
  const StringId id = next_id(package_.strings);
  package_.strings.emplace_back(text);
  strings_.emplace(std::string(text), id);
  return id;
}

AstPathId PackageInterner::ast_path(std::string_view path) {
  if (auto it = ast_paths_.find(path); it != ast_paths_.end()) return it->second;
  const AstPathId id = next_id(package_.ast_paths);
  package_.ast_paths.emplace_back(path);
  ast_paths_.emplace(std::string(path), id);
  return id;
}

PathId PackageInterner::path_of_ids(std::vector<StringId> ids) {
  if (auto it = paths_.find(ids); it != paths_.end()) return it->second;
  const PathId id = next_id(package_.paths);
  package_.paths.push_back(ids);
  paths_.emplace(std::move(ids), id);
  return id;
}

BindingSetId PackageInterner::binding_set(std::vector<std::string_view> names) {
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  std::vector<StringId> ids;
  ids.reserve(names.size());
  for (std::string_view name : names) ids.push_back(string(name));
  if (auto it = binding_sets_.find(ids); it != binding_sets_.end()) return it->second;
  const BindingSetId id = next_id(package_.binding_sets);
  package_.binding_sets.push_back(ids);
  binding_sets_.emplace(std::move(ids), id);
  return id;
}

RegisteredTemplate registered_template_from_package(ExtractedPackage&& extracted, std::string source,
                                                    uint64_t first_global_locator_id) {
  const TemplatePackage& package = extracted.package;
  RegisteredTemplate registered;
  registered.template_key = package.string(1);
  registered.source_summary = package.string(2);
  registered.first_global_locator_id = first_global_locator_id;
  for (const PackageLocator& row : package.locators) {
    RegisteredLocator locator;
    locator.ast_path = package.ast_path(row.ast_path);
    locator.authored_summary = package.string(row.authored_summary);
    locator.materialization_anchor = package.string(row.materialization_anchor);
    locator.role_key = package.string(row.role_key);
    locator.parent_locator_id = row.parent_locator_id;
    registered.locators.push_back(std::move(locator));
  }
  for (const PackageRecord& row : package.records) {
    RegisteredRecord record;
    record.code_owner = package.path_names(row.owner_path);
    record.inventory_kind = package.string(row.inventory_kind);
    if (row.resource_name) record.resource_name = package.string(*row.resource_name);
    record.semantic_summary = package.string(row.semantic_summary);
    record.surface_key = package.string(row.surface_key);
    record.locator_id = row.locator_id;
    registered.records.push_back(std::move(record));
  }
  registered.module = TemplateModule{std::move(extracted.tree), std::move(source)};
  registered.package = std::make_shared<const TemplatePackage>(std::move(extracted.package));
  return registered;
}

}  // namespace quorbin::engine
