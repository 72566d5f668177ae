// An assembly state: the graph one output module is built from. Occurrences
// place registered templates; edges and overlays attach to the records those
// templates expose. Records themselves are never stored here: record k of
// occurrence o is record k of o's template, read through the engine. Every
// vector only grows, so a position issued in a handle stays valid.
//
// The six record indexes are kept up to date on every append so that the
// demand search reads a few lists instead of walking the state.
#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorbin::engine {

// (occurrence index, template record index).
struct RecordId {
  uint64_t occurrence = 0;
  uint64_t record = 0;
  friend auto operator<=>(const RecordId&, const RecordId&) = default;
};

struct Occurrence {
  uint64_t template_index = 0;
  // For occurrences a request batch makes: the parent's path plus one name.
  std::vector<std::string> build_path;
  std::optional<uint64_t> parent;
  // No exported operation clears it; a dead occurrence hides its records
  // and cannot be materialized.
  bool live = true;
};

struct Edge {
  RecordId target;
  uint64_t source_occurrence = 0;
  std::string operation_key;  // given meaning by materialization, not checked here
  int64_t order = 0;
};

struct Overlay {
  RecordId target;
  std::string kind;  // batches write "external" and "identifier"; not checked here
  std::string source_label;
};

using RecordList = std::vector<RecordId>;
using NameList = std::vector<std::string>;

// Keys order by bytes (std::string compares as unsigned char), lists element
// by element with a prefix first, pairs by first then second: the order the
// index snapshot reports. Lists under a key keep append order, which is
// occurrence order and then template record order.
struct RecordIndexes {
  std::map<NameList, RecordList> by_build_path;
  std::map<std::string, RecordList, std::less<>> by_surface;
  std::map<std::string, RecordList, std::less<>> by_resource_name;
  std::map<std::string, RecordList, std::less<>> by_inventory_kind;
  std::map<NameList, RecordList> by_owner;
  std::map<std::pair<std::string, std::string>, RecordList> by_name_and_kind;
};

struct AssemblyState {
  std::vector<Occurrence> occurrences;
  std::vector<Edge> edges;
  std::vector<Overlay> overlays;
  RecordIndexes indexes;
  std::set<RecordId> satisfied;
  // Starts empty; no exported operation adds to it. Kept because the record
  // state (and everything that reports or filters on it) is defined over it.
  std::set<RecordId> dead;
  // Positions of the overlays of kind "identifier", in overlay order. The
  // identifier bindings are rebuilt from them on every search; keeping the
  // positions spares that rebuild a walk over every other overlay.
  std::vector<uint64_t> identifier_overlays;
};

enum class RecordState : unsigned char { Live, Satisfied, Dead };

// "live", "satisfied", "dead".
std::string_view record_state_text(RecordState state);

// Derived, never stored: dead when the occurrence is not live or the record
// is in the dead set; otherwise satisfied when marked; otherwise live.
// `id.occurrence` must name an occurrence of `state`.
RecordState record_state(const AssemblyState& state, RecordId id);

inline bool is_satisfied(const AssemblyState& state, RecordId id) { return state.satisfied.count(id) != 0; }

inline constexpr std::string_view kIdentifierOverlayKind = "identifier";
inline constexpr std::string_view kExternalOverlayKind = "external";

}  // namespace quorbin::engine
