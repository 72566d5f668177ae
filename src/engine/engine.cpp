#include "engine/engine.h"

#include <atomic>

namespace quorbin::engine {
namespace {

// The only process-wide state of the system.
std::atomic<uint64_t> g_next_owner_id{1};

}  // namespace

uint64_t take_owner_id() { return g_next_owner_id.fetch_add(1, std::memory_order_relaxed); }

Engine create_engine() {
  Engine engine;
  engine.owner_id = take_owner_id();
  return engine;
}

Status close_engine(Engine& engine) {
  if (engine.closed) return stale_handle_error("engine handle is already closed");
  engine.closed = true;
  engine.generation += 1;
  return {};
}

Status install_surface_bundle(Engine& engine, SurfaceBundle&& bundle) {
  if (engine.closed) return stale_handle_error("engine handle is already closed");
  if (engine.surface_bundle) return schema_error("surface bundle is already registered");
  engine.surface_bundle.emplace(std::move(bundle));
  return {};
}

Result<const SurfaceBundle*> registered_surface_bundle(const Engine& engine) {
  if (!engine.surface_bundle) return schema_error("surface bundle has not been registered");
  return &*engine.surface_bundle;
}

}  // namespace quorbin::engine
