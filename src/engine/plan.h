// The materialization plan: what materializing a state would do, computed
// fresh from the state, its templates and the bundle, changing nothing. One
// stream lists the splices and overlays in append order; the other lists the
// hygiene work (renames where bindings collide, managed imports, boundary
// markers) and ends with the gate against unresolved demands. Every
// operation the plan names must be registered in the bundle.
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

namespace quorbin::engine {

inline constexpr std::string_view kSpliceBodyAtMarker = "quorbin.operation.splice_body_at_marker";
inline constexpr std::string_view kRenameIfCollides = "quorbin.operation.rename_if_collides";
inline constexpr std::string_view kManagedImportRequest = "quorbin.operation.managed_import_request";
inline constexpr std::string_view kKeepName = "quorbin.operation.keep_name";
inline constexpr std::string_view kStripMarker = "quorbin.operation.strip_marker";
inline constexpr std::string_view kGateNoUnresolved = "quorbin.operation.gate_no_unresolved";

// The operation an overlay of `kind` is applied by: identifier overlays
// rewrite identifiers, external ones lower references, any other kind K is
// "quorbin.operation.overlay." + K.
std::string overlay_operation_key(std::string_view kind);

// One entry of the operation stream: an edge or an overlay.
struct PlanOperation {
  bool is_edge = true;
  uint64_t id = 0;  // edge or overlay index
  RecordId target;
  RecordState target_state = RecordState::Live;
  std::string operation_key;
  int64_t order = 0;                 // edges; 0 for overlays
  uint64_t source_occurrence = 0;    // edges
  std::string overlay_kind;          // overlays
  std::string source_label;          // overlays
};

enum class HygieneKind : unsigned char { RootRename, ManagedImport, EdgeRename, BoundaryMarker, Gate };

// One entry of the hygiene stream; which capture fields are meaningful
// depends on the kind.
struct PlanHygiene {
  HygieneKind kind = HygieneKind::Gate;
  std::string_view operation_key;
  std::optional<RecordId> record_id;  // edge renames
  uint64_t target_scope_id = 0;
  std::optional<uint64_t> root_occurrence;  // root renames, managed imports, the gate
  std::vector<std::string> colliding_names;  // renames, sorted
  uint64_t source_occurrence = 0;            // edge renames
  std::string final_local_name;              // managed imports
  std::string module_path;                   // managed imports, dotted
  std::optional<std::string> original_symbol;
  std::string marker;  // boundary markers: the marker's source name
  std::string name;    // boundary markers: its resource name, or ""
  uint64_t occurrence = 0;
  uint64_t live_record_count = 0;  // the gate
  uint64_t satisfied_record_count = 0;
  uint64_t unresolved_capable_record_count = 0;
  uint64_t unresolved_live_record_count = 0;
};

struct MaterializationPlan {
  std::vector<PlanOperation> operations;
  std::vector<PlanHygiene> hygiene;
  uint64_t edge_count = 0;
  uint64_t overlay_count = 0;
  uint64_t boundary_marker_count = 0;          // edge renames plus boundary markers
  uint64_t managed_import_request_count = 0;
  std::optional<uint64_t> root;
};

// With `root_index` absent the root is the first live occurrence without a
// parent, if any.
[[nodiscard]] Result<MaterializationPlan> materialization_plan(const Engine& engine, const HandleRef& state,
                                                               std::optional<uint64_t> root_index);

}  // namespace quorbin::engine
