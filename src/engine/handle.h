// Handles: small values that name an object of an engine from Python, and
// the one rule by which every operation resolves them against its engine.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "engine/engine.h"
#include "engine/error.h"

namespace quorbin::engine {

enum class HandleKind : unsigned char { Template, AssemblyState, Occurrence, Record, Edge, Overlay, Workspace };

// The fields a handle object carries; which of them are meaningful depends on
// the kind (a template uses owner_id and index; a record uses state_index,
// occurrence_index and template_record_index). Fixed at creation.
struct HandleRef {
  HandleKind kind = HandleKind::Template;
  uint64_t owner_id = 0;
  uint64_t state_index = 0;
  uint64_t index = 0;
  uint64_t occurrence_index = 0;
  uint64_t template_record_index = 0;
  uint64_t generation = 0;  // always 0 for issued handles; reported, never compared
};

HandleRef template_handle(const Engine& engine, uint64_t index);
HandleRef assembly_state_handle(const Engine& engine, uint64_t index);
HandleRef occurrence_handle(const Engine& engine, uint64_t state_index, uint64_t index);
HandleRef record_handle(const Engine& engine, uint64_t state_index, uint64_t occurrence_index,
                        uint64_t template_record_index);
HandleRef edge_handle(const Engine& engine, uint64_t state_index, uint64_t index);
HandleRef overlay_handle(const Engine& engine, uint64_t state_index, uint64_t index);
HandleRef workspace_handle(const Engine& engine, uint64_t index);

// Resolution, in the order operations apply it. Each step is its own
// function because several operations interleave them with checks of their
// own; `resolve` is the common sequence.

// "engine handle is already closed"; comes before any other check.
[[nodiscard]] Status check_open(const Engine& engine);
// "handle belongs to another native engine".
[[nodiscard]] Status check_owner(const Engine& engine, const HandleRef& handle);
// "unknown native ... handle": a template, state or workspace index against
// the engine's vectors; an occurrence, edge or overlay index (and a record's
// occurrence index) against its state, after the state index itself. A
// record's template record index is checked by the assembly-state layer,
// which knows the templates' records.
[[nodiscard]] Status check_range(const Engine& engine, const HandleRef& handle);
// `member` (an occurrence, record, edge or overlay) must lie in the state
// named by `state`; otherwise "<what> belongs to another native assembly
// state", as a schema or stale-handle error as the caller's operation says.
[[nodiscard]] Status check_member(const HandleRef& state, const HandleRef& member, ErrorKind family,
                                  std::string_view what);

// Closed check, then every owner in order, then every range in order.
[[nodiscard]] Status resolve(const Engine& engine, std::initializer_list<const HandleRef*> handles);

}  // namespace quorbin::engine
