// The engine: the container of all composition state, owned by the Python
// object that represents it. Everything in it lives in append-only vectors,
// so an index, once issued in a handle, names the same object for the
// engine's whole life.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/assembly_state.h"
#include "engine/error.h"
#include "engine/surface_bundle.h"
#include "engine/template.h"
#include "engine/workspace.h"

namespace quorbin::engine {

struct Engine {
  std::vector<RegisteredTemplate> templates;
  std::vector<AssemblyState> assembly_states;
  std::vector<MaterializationWorkspace> workspaces;
  std::optional<SurfaceBundle> surface_bundle;  // registered at most once, never removed
  uint64_t engine_epoch = 1;
  uint64_t owner_id = 0;
  uint64_t index = 0;
  uint64_t generation = 0;  // the only generation that ever changes: +1 on close
  bool closed = false;
};

// Takes the next owner id from the process-wide counter (1, 2, 3, ... in
// creation order, never reused). Safe from any thread.
uint64_t take_owner_id();

// A new open engine with the next owner id.
Engine create_engine();

// Marks an open engine closed; a closed engine stays closed.
[[nodiscard]] Status close_engine(Engine& engine);

// Stores a validated bundle: refused on a closed engine, and refused when a
// bundle is already registered (that bundle stays as it was).
[[nodiscard]] Status install_surface_bundle(Engine& engine, SurfaceBundle&& bundle);

// The registered bundle, or the schema error of an engine that has none.
[[nodiscard]] Result<const SurfaceBundle*> registered_surface_bundle(const Engine& engine);

}  // namespace quorbin::engine
