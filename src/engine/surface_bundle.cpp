#include "engine/surface_bundle.h"

#include <string>
#include <unordered_map>
#include <unordered_set>

#include "engine/quote.h"

namespace quorbin::engine {
namespace {

// Keys met a second time, each once, in the order of their second occurrence.
template <class Items, class KeyOf>
std::vector<std::string_view> duplicated_keys(const Items& items, KeyOf key_of) {
  std::unordered_map<std::string_view, unsigned> seen;
  seen.reserve(items.size());
  std::vector<std::string_view> duplicates;
  for (const auto& item : items) {
    std::string_view key = key_of(item);
    if (++seen[key] == 2) duplicates.push_back(key);
  }
  return duplicates;
}

template <class Items, class KeyOf>
Status check_unique(const char* what, const Items& items, KeyOf key_of) {
  auto duplicates = duplicated_keys(items, key_of);
  if (duplicates.empty()) return {};
  return schema_error(std::string("duplicate ") + what + " keys: " + quoted_list(duplicates));
}

}  // namespace

bool SurfaceBundle::has_surface(std::string_view key) const {
  for (const Surface& s : surfaces) {
    if (s.surface_key == key) return true;
  }
  return false;
}

bool SurfaceBundle::has_operation(std::string_view key) const {
  for (const Operation& o : operations) {
    if (o.operation_key == key) return true;
  }
  return false;
}

Status check_bundle_schema_version(uint64_t version) {
  if (version != kSurfaceBundleSchemaVersion) return schema_error("unsupported surface bundle schema");
  return {};
}

Status finish_pattern(Pattern& pattern, uint64_t position) {
  if (pattern.template_key.empty()) return schema_error("pattern template_key must not be empty");
  pattern.position = position;
  pattern.template_family = pattern.template_key.substr(0, pattern.template_key.find('+'));
  return {};
}

Status validate_surface_bundle(const SurfaceBundle& bundle) {
  if (Status s = check_unique("surface", bundle.surfaces, [](const Surface& x) -> std::string_view { return x.surface_key; }); !s) {
    return s;
  }
  if (Status s = check_unique("operation", bundle.operations, [](const Operation& x) -> std::string_view { return x.operation_key; }); !s) {
    return s;
  }
  if (Status s = check_unique("pattern", bundle.patterns, [](const Pattern& x) -> std::string_view { return x.pattern_key; }); !s) {
    return s;
  }

  // Sets, not scans: a bundle may be large, and a scan per reference would
  // make registration quadratic.
  std::unordered_set<std::string_view> surfaces;
  surfaces.reserve(bundle.surfaces.size());
  for (const Surface& x : bundle.surfaces) surfaces.insert(x.surface_key);
  std::unordered_set<std::string_view> operations;
  operations.reserve(bundle.operations.size());
  for (const Operation& x : bundle.operations) operations.insert(x.operation_key);

  for (const Pattern& p : bundle.patterns) {
    if (!surfaces.contains(p.surface_key)) return schema_error("pattern references unknown surface: " + p.surface_key);
    if (!operations.contains(p.operation_key)) {
      return schema_error("pattern references unknown operation: " + p.operation_key);
    }
  }
  for (const CompatibilityRule& r : bundle.compatibility_rules) {
    if (!surfaces.contains(r.target_surface_key)) {
      return schema_error("rule references unknown target surface: " + r.target_surface_key);
    }
    if (!surfaces.contains(r.production_surface_key)) {
      return schema_error("rule references unknown production surface: " + r.production_surface_key);
    }
  }
  return {};
}

}  // namespace quorbin::engine
