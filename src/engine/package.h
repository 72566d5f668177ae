// Template packages: the compact, interned form of an extracted template.
// Every string, name path, AST path and set of names is stored once in a
// table and rows refer to it by index, so a package is cheap to keep for every
// template and to replay into Python. A package is built once, by the
// extraction in package_extract.cpp, and never changed afterwards.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/error.h"
#include "engine/extract.h"
#include "engine/fault.h"
#include "engine/template.h"
#include "syntax/tree.h"

namespace quorbin::engine {

// Indexes into the four tables. Distinct names only for the reader: all are
// positions.
using StringId = uint32_t;
using PathId = uint32_t;
using AstPathId = uint32_t;
using BindingSetId = uint32_t;

inline constexpr std::string_view kPackageSchema = "quorbin.lower-template-package.v2";

struct PackageLocator {
  uint64_t locator_id = 0;
  AstPathId ast_path = 0;
  StringId authored_summary = 0;
  StringId materialization_anchor = 0;
  std::optional<uint64_t> parent_locator_id;
  StringId role_key = 0;
};

struct PackageRecord {
  uint64_t template_record_id = 0;
  uint64_t locator_id = 0;
  StringId inventory_kind = 0;
  PathId owner_path = 0;
  std::optional<StringId> resource_name;
  StringId semantic_summary = 0;
  StringId surface_key = 0;
};

struct ScopeRow {
  uint64_t scope_id = 0;
  std::optional<uint64_t> parent_scope_id;
  StringId scope_kind = 0;
  AstPathId ast_path = 0;
  PathId owner_path = 0;
  BindingSetId local_bindings = 0;
  BindingSetId arguments = 0;
  std::optional<uint64_t> start_line;
};

struct MarkerRow {
  uint64_t marker_id = 0;
  StringId marker_kind = 0;
  StringId source_name = 0;
  AstPathId ast_path = 0;
  std::optional<AstPathId> statement_path;
  PathId owner_path = 0;
  uint64_t scope_id = 0;
  uint64_t source_order = 0;
  std::optional<StringId> resource_name;
  StringId operation_key = 0;
  std::vector<StringId> flags;
};

struct PyimportMarkerRow {
  uint64_t pyimport_marker_id = 0;
  uint64_t marker_id = 0;
  std::optional<PathId> module_path;
  BindingSetId names = 0;
  StringId as_name = 0;
  std::vector<StringId> flags;
};

struct ManagedImportRow {
  uint64_t managed_import_id = 0;
  uint64_t marker_id = 0;
  StringId final_local_name = 0;
  std::optional<PathId> module_path;
  std::optional<StringId> original_symbol;
  uint64_t scope_id = 0;
  uint64_t source_order = 0;
  std::vector<StringId> flags;
};

struct CommentMarkerRow {
  uint64_t comment_marker_id = 0;
  uint64_t marker_id = 0;
  StringId payload = 0;
  std::vector<StringId> flags;
};

struct RefMarkerRow {
  uint64_t ref_marker_id = 0;
  uint64_t marker_id = 0;
  StringId ref_kind = 0;
  StringId context = 0;
  StringId sentinel_attr = 0;
  std::optional<PathId> literal_path;
  std::vector<StringId> flags;
};

struct UnrollMarkerRow {
  uint64_t unroll_marker_id = 0;
  uint64_t marker_id = 0;
  AstPathId statement_path = 0;
  AstPathId target_ast_path = 0;
  AstPathId iter_ast_path = 0;
  AstPathId domain_ast_path = 0;
  AstPathId body_path = 0;
  std::optional<AstPathId> orelse_path;
  BindingSetId target_bindings = 0;
  StringId domain_shape = 0;
  std::vector<StringId> flags;
};

struct TemplatePackage {
  // Entries 0, 1 and 2 are always the bundle signature, the template key and
  // the source summary, even when two of them are equal.
  std::vector<std::string> strings;
  std::vector<std::vector<StringId>> paths;
  std::vector<std::string> ast_paths;
  std::vector<std::vector<StringId>> binding_sets;  // each sorted by content, no duplicates

  std::vector<PackageLocator> locators;
  std::vector<PackageRecord> records;
  std::vector<ScopeRow> scopes;
  std::vector<MarkerRow> markers;
  std::vector<PyimportMarkerRow> pyimport_markers;
  std::vector<ManagedImportRow> managed_imports;
  std::vector<CommentMarkerRow> comment_markers;
  std::vector<RefMarkerRow> ref_markers;
  std::vector<UnrollMarkerRow> unroll_markers;

  // Resolution. Rows are only ever built by interning, so an index that names
  // no entry is a broken invariant.
  const std::string& string(StringId id) const {
    QUORBIN_CHECK(id < strings.size());
    return strings[id];
  }
  const std::vector<StringId>& path(PathId id) const {
    QUORBIN_CHECK(id < paths.size());
    return paths[id];
  }
  const std::string& ast_path(AstPathId id) const {
    QUORBIN_CHECK(id < ast_paths.size());
    return ast_paths[id];
  }
  const std::vector<StringId>& binding_set(BindingSetId id) const {
    QUORBIN_CHECK(id < binding_sets.size());
    return binding_sets[id];
  }
  // The names of a path or binding set, resolved.
  std::vector<std::string> path_names(PathId id) const;
  std::vector<std::string> binding_names(BindingSetId id) const;
};

// Builds the tables of one package. Lookups go through ordered maps keyed by
// content, so the same content always gets the same index.
class PackageInterner {
 public:
  // The header strings take entries 0 to 2 unconditionally; later interning
  // of an equal string finds the first of them.
  PackageInterner(std::string_view signature, std::string_view template_key, std::string_view source_summary);

  StringId string(std::string_view text);
  AstPathId ast_path(std::string_view path);
  // Each name is interned first; the path holds their indexes.
  template <class Names>
  PathId path(const Names& names) {
    std::vector<StringId> ids;
    ids.reserve(std::size(names));
    for (const auto& name : names) ids.push_back(string(name));
    return path_of_ids(std::move(ids));
  }
  // Sorted by content and deduplicated, then interned by content.
  BindingSetId binding_set(std::vector<std::string_view> names);

  TemplatePackage& package() { return package_; }
  TemplatePackage take() { return std::move(package_); }

 private:
  PathId path_of_ids(std::vector<StringId> ids);

  TemplatePackage package_;
  std::map<std::string, StringId, std::less<>> strings_;
  std::map<std::string, AstPathId, std::less<>> ast_paths_;
  std::map<std::vector<StringId>, PathId> paths_;
  std::map<std::vector<StringId>, BindingSetId> binding_sets_;
};

// Builds the package of a module that passed the parse-and-check step and
// whose records `records` the template extraction produced. `source` is the
// text the tree's offsets refer to. Refuses marker misuse that only the
// package reads (boundary keywords, references used as statements, a site
// without its marker row).
Result<TemplatePackage> build_template_package(const syntax::Node* module, std::string_view source,
                                               uint32_t line_number, std::string_view bundle_signature,
                                               const std::vector<TemplateRecord>& records);

// A template package with the tree it was built from.
struct ExtractedPackage {
  syntax::Tree tree;
  TemplatePackage package;
};

// The whole extraction: parse and check under `filename`, the template
// extraction, then the package. Runs without the interpreter.
Result<ExtractedPackage> extract_template_package(std::string_view source, std::string_view filename,
                                                  uint32_t line_number, std::string_view bundle_signature);

// The registered template for an extracted package: locators and records
// resolved from the package rows, with the package and the module tree
// attached. Appending it to an engine is the caller's step.
RegisteredTemplate registered_template_from_package(ExtractedPackage&& extracted, std::string source,
                                                    uint64_t first_global_locator_id);

}  // namespace quorbin::engine
