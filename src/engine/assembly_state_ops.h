// Creating assembly states and appending to them, with every handle check in
// the order the exported functions apply it. Each operation either completes
// or changes nothing: all checks run before the first write.
//
// Which family a foreign handle falls into differs between operations: a
// foreign occurrence or parent is a stale handle, while a foreign edge
// endpoint, overlay target or satisfied record is a schema error (the caller
// combined handles that cannot go together).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/assembly_state.h"
#include "engine/engine.h"
#include "engine/error.h"
#include "engine/handle.h"
#include "engine/template.h"

namespace quorbin::engine {

// ---- reading records through their templates

// The template of an occurrence; the occurrence must exist and its template
// index must be in range (both hold for every occurrence an append made).
const RegisteredTemplate& template_of(const Engine& engine, const Occurrence& occurrence);
const RegisteredRecord& record_of(const Engine& engine, const AssemblyState& state, RecordId id);

// The check shared by edges, overlays, satisfied marks and batches, in its
// order: occurrence in range ("unknown native occurrence handle"), engine
// open, the occurrence's template in range ("unknown native template
// handle"), the record index in range ("unknown native template record").
[[nodiscard]] Status check_target_record(const Engine& engine, const AssemblyState& state, RecordId id);

// Closed, owner, range of a state handle: the opening of every read-only
// operation on a state. Returns the state.
[[nodiscard]] Result<const AssemblyState*> resolve_state(const Engine& engine, const HandleRef& state);

// ---- the six operations

[[nodiscard]] Result<uint64_t> create_assembly_state(Engine& engine);

// The checks of append_occurrence that come before its build path is read:
// engine open, then the owners of the state and the template.
[[nodiscard]] Status check_append_occurrence_owners(const Engine& engine, const HandleRef& state,
                                                    const HandleRef& tmpl);
// The remaining checks (repeating the ones above, which are cheap), then the
// append. Returns the new occurrence index.
[[nodiscard]] Result<uint64_t> append_occurrence(Engine& engine, const HandleRef& state, const HandleRef& tmpl,
                                                 std::vector<std::string> build_path, const HandleRef* parent);

// Checks only; the record id of a record handle to be issued.
[[nodiscard]] Result<RecordId> check_record_handle(const Engine& engine, const HandleRef& state,
                                                   const HandleRef& occurrence, uint64_t template_record_index);

[[nodiscard]] Result<uint64_t> append_edge(Engine& engine, const HandleRef& state, const HandleRef& target,
                                           const HandleRef& source, std::string operation_key, int64_t order);

[[nodiscard]] Result<uint64_t> append_overlay(Engine& engine, const HandleRef& state, const HandleRef& target,
                                              std::string kind, std::string source_label);

[[nodiscard]] Status mark_satisfied(Engine& engine, const HandleRef& state, const HandleRef& record);

// ---- unchecked appends, for callers that have validated everything

// Pushes the occurrence and files each of its records under the six indexes.
uint64_t push_occurrence(AssemblyState& state, const RegisteredTemplate& tmpl, uint64_t template_index,
                         std::vector<std::string> build_path, std::optional<uint64_t> parent);
uint64_t push_edge(AssemblyState& state, Edge edge);
uint64_t push_overlay(AssemblyState& state, Overlay overlay);

}  // namespace quorbin::engine
