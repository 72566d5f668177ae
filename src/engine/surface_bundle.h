// The surface bundle: the vocabulary an engine registers once (surfaces,
// operations, patterns, compatibility rules), held by value.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/error.h"

namespace quorbin::engine {

struct Surface {
  std::string surface_key;
  uint32_t version = 0;
  std::string summary;
};

struct Operation {
  std::string operation_key;
  uint32_t version = 0;
  std::string summary;
};

struct Pattern {
  std::string pattern_key;
  std::string template_key;  // never empty once registered
  std::string surface_key;
  std::string operation_key;
  std::string summary;
  uint32_t version = 0;
  bool enabled = false;
  bool diagnostic_only = false;
  // Derived when the pattern is read; kept for the matching that later
  // layers may do, never reported.
  uint64_t position = 0;
  std::string template_family;  // template_key up to the first '+'
};

struct Expectation {
  std::string field_name;
  std::string expected_value;
};

struct CompatibilityRule {
  std::string target_surface_key;
  std::string production_surface_key;
  std::vector<Expectation> target_expectations;
  std::vector<Expectation> production_expectations;
  std::string policy_key;
  std::string policy_summary;
};

struct SurfaceBundle {
  std::string bundle_key;
  std::string bundle_signature;
  std::vector<Surface> surfaces;
  std::vector<Operation> operations;
  std::vector<Pattern> patterns;
  std::vector<CompatibilityRule> compatibility_rules;
  uint32_t schema_version = 1;

  bool has_surface(std::string_view key) const;
  bool has_operation(std::string_view key) const;
};

inline constexpr uint32_t kSurfaceBundleSchemaVersion = 1;

// Schema version check of a bundle being read.
[[nodiscard]] Status check_bundle_schema_version(uint64_t version);

// Completes a pattern whose fields have been read: refuses an empty template
// key and derives the position and template family.
[[nodiscard]] Status finish_pattern(Pattern& pattern, uint64_t position);

// The checks that need the whole bundle, in order: unique surface, operation
// and pattern keys, then the references of patterns and rules.
[[nodiscard]] Status validate_surface_bundle(const SurfaceBundle& bundle);

}  // namespace quorbin::engine
