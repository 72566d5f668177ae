// An assembly state: occurrences of templates joined by edges and overlays.
// The assembly-state layer fills in the rows; the vectors are what handle
// resolution checks indexes against.
#pragma once

#include <vector>

namespace quorbin::engine {

struct Occurrence {};
struct Edge {};
struct Overlay {};

struct AssemblyState {
  std::vector<Occurrence> occurrences;
  std::vector<Edge> edges;
  std::vector<Overlay> overlays;
};

}  // namespace quorbin::engine
