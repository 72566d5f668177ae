// Request batches: growing a state from resource requests. Each request
// names a kind of resource and where it goes; the demand search must find
// exactly one open record it can satisfy (or several equivalent ones, when
// the request allows it), and then the state gains what satisfies it: an
// occurrence plus an edge for a composable, an overlay for an external or an
// identifier binding.
//
// Requests are read in full before anything changes (the binding layer does
// the reading, since requests are dictionaries); applying then runs request
// by request, each seeing the effects of those before it. A request that
// fails leaves the ones before it applied: there is no rollback.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/assembly_state.h"
#include "engine/engine.h"
#include "engine/error.h"
#include "engine/queries.h"

namespace quorbin::engine {

enum class ResourceKind : unsigned char { Composable, External, Identifier };

// "composable", "external", "identifier"; nullopt for any other text.
std::optional<ResourceKind> parse_resource_kind(std::string_view text);
std::string_view resource_kind_text(ResourceKind kind);

// The inventory kinds a request of `kind` may target, in search order.
const std::vector<std::string>& target_kinds(ResourceKind kind);

// The splice operation an edge into a hole of `inventory_kind` uses; empty
// for a kind a composable cannot target.
std::string_view operation_for_hole(std::string_view inventory_kind);

struct BatchRequest {
  ResourceKind kind = ResourceKind::Composable;
  uint64_t source_template = 0;      // composable; checked against the engine when read
  std::string source_instance_name;  // composable
  int64_t operation_order = 0;       // composable
  uint64_t value_token = 0;          // external; echoed, never stored
  std::string identifier;            // identifier
  DemandTarget target;  // name, build_match, owner_match
  bool allow_equivalent_demand_sites = false;
};

struct BatchEvent {
  ResourceKind kind = ResourceKind::Composable;
  uint64_t request_index = 0;
  RecordId target;
  // composable
  std::vector<uint64_t> production_records;
  std::vector<std::string> source_build_path;
  uint64_t source_occurrence = 0;
  uint64_t edge_id = 0;
  std::string_view operation_key;
  int64_t order = 0;
  bool mark_satisfied = false;
  // external and identifier
  uint64_t overlay_id = 0;
  std::string source_label;
  uint64_t value_token = 0;  // external
};

struct BatchOutcome {
  std::vector<BatchEvent> events;
  uint64_t candidate_count = 0;
};

// Applies the read requests to state `state_index` (whose owner the reader
// has checked). On an error the requests before the failing one stay
// applied.
[[nodiscard]] Result<BatchOutcome> apply_request_batch(Engine& engine, uint64_t state_index,
                                                       const std::vector<BatchRequest>& requests);

}  // namespace quorbin::engine
