// Finding open demand records: path selectors, identifier bindings and
// effective names, the demand search over the record indexes, surface
// compatibility, and the two candidate queries built on them. Request
// batches (request_batch.h) run the same search and then change the state;
// everything here only reads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/assembly_state.h"
#include "engine/engine.h"
#include "engine/error.h"
#include "engine/handle.h"
#include "engine/surface_bundle.h"
#include "engine/template.h"

namespace quorbin::engine {

// ---- path selectors

// Parts matched against a path (a build path or an effective code owner).
// A one-character part `*` (zero or more elements), `+` (one or more), `.`
// (exactly one) or `?` (zero or one) is a wildcard; any other part is a
// literal that must equal the element. A part is validated only when the
// matcher reaches it, so a malformed part behind a failing literal goes
// unreported: an empty part, or a literal holding one of `.+?*/`, is a
// schema error at that point. Memoized per (part, element) and run with an
// explicit stack, so neither many wildcards nor long inputs can blow up.
using PathSelector = std::vector<std::string>;

[[nodiscard]] Result<bool> match_path_selector(const PathSelector& selector, const std::vector<std::string>& path);

// ---- identifier bindings

// Per occurrence, record resource name -> bound label. Rebuilt for every
// search, so it is a flat table of views rather than a tree of copies: the
// names and labels stay in the templates, the overlays and the query, and a
// table is valid until the state it was built from next changes.
class IdentifierBindings {
 public:
  bool empty() const { return entries_.empty(); }
  // A later binding for the same occurrence and name replaces an earlier one
  // (once seal() has run).
  void bind(uint64_t occurrence, std::string_view name, std::string_view label);
  // Orders the table for lookups; call once, after the last bind().
  void seal();
  // The label bound to `name` in `occurrence`, or nullptr.
  const std::string_view* find(uint64_t occurrence, std::string_view name) const;
  // Whether any name of `occurrence` is bound.
  bool binds(uint64_t occurrence) const;

 private:
  struct Entry {
    uint64_t occurrence;
    std::string_view name;
    std::string_view label;
  };
  std::vector<Entry> entries_;
};

// An extra binding a query carries on top of the state's own.
struct ExtraBinding {
  uint64_t occurrence = 0;
  std::string source_name;
  std::string target_name;
};

// The state's bindings, from its identifier overlays in overlay order, then
// `extra` on top. An identifier overlay on a record without a resource name
// is a schema error.
[[nodiscard]] Result<IdentifierBindings> build_identifier_bindings(const Engine& engine, const AssemblyState& state,
                                                                   const std::vector<ExtraBinding>& extra);

// The bound label of the record's resource name (even an empty one), else
// the resource name itself.
std::string_view effective_name(const IdentifierBindings& bindings, uint64_t occurrence,
                                  const RegisteredRecord& record);
// The record's code owner with every element replaced the same way.
std::vector<std::string> effective_code_owner(const IdentifierBindings& bindings, uint64_t occurrence,
                                              const RegisteredRecord& record);

// ---- the demand search

// Where a demand must be: everything but the inventory kinds, which come
// with the kind of request.
struct DemandTarget {
  std::optional<std::string> name;
  std::optional<PathSelector> build_match;
  std::optional<PathSelector> owner_match;
};

// The open records of one of `kinds` that match `target`, in walk order.
// The source list is the name index when a name is given and no binding can
// rename a record; otherwise the inventory-kind lists of `kinds`, in order. A record
// is kept when it is live, of one of the kinds, carries the effective name,
// and its build path and effective owner match the selectors; the tests run
// in that order and the first failing one ends the test of the record.
[[nodiscard]] Result<std::vector<RecordId>> demand_search(const Engine& engine, const AssemblyState& state,
                                                          const std::vector<std::string>& kinds,
                                                          const DemandTarget& target,
                                                          const IdentifierBindings& bindings);

// ---- surface compatibility

// Whether a production surface may fill a target record. A bundle rule
// applies when its surfaces match and every expectation on either side asks
// for the record state "live"; rules with any other expectation are passed
// over. Without an applying rule, only an expression production into a
// variadic call-argument hole is accepted.
bool surfaces_compatible(const SurfaceBundle& bundle, std::string_view production_surface,
                         std::string_view target_surface, std::string_view target_kind);

// The records of `source` (ascending) whose inventory kind begins with
// "production." and whose surface is compatible with `target`.
std::vector<uint64_t> production_records(const SurfaceBundle& bundle, const RegisteredTemplate& source,
                                         const RegisteredRecord& target);

// Two demand sites are equivalent when their occurrences share a build path
// and the records share inventory kind, effective name and effective owner.
[[nodiscard]] Result<bool> equivalent_demand_sites(const Engine& engine, const AssemblyState& state,
                                                   const IdentifierBindings& bindings, RecordId a, RecordId b);

// ---- candidate queries

struct CandidateQuery {
  std::vector<std::string> kinds;  // target_inventory_kinds
  DemandTarget target;
  std::vector<ExtraBinding> extra_bindings;
};

struct Candidate {
  RecordId target;
  std::vector<uint64_t> production_records;  // composable queries only
};

// The opening checks of each query, in their order; the query dictionary is
// read after them.
[[nodiscard]] Status check_demand_query(const Engine& engine, const HandleRef& state);
[[nodiscard]] Status check_composable_query(const Engine& engine, const HandleRef& state,
                                            const HandleRef& source_template);

[[nodiscard]] Result<std::vector<Candidate>> query_demand_candidates(const Engine& engine, const HandleRef& state,
                                                                     const CandidateQuery& query);
[[nodiscard]] Result<std::vector<Candidate>> query_composable_candidates(const Engine& engine,
                                                                         const HandleRef& state,
                                                                         const HandleRef& source_template,
                                                                         const CandidateQuery& query);

}  // namespace quorbin::engine
