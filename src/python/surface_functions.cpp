// register_surface_bundle, surface_bundle_snapshot.
#include "engine/engine.h"
#include "engine/handle.h"
#include "python/exports.h"
#include "python/frame.h"
#include "python/surface_bundle.h"

namespace quorbin::python {
namespace {

Outcome register_surface_bundle(Args& args) {
  engine::Engine& e = args.engine(0);
  if (engine::Status s = engine::check_open(e); !s) return std::move(s).error();
  engine::Result<engine::SurfaceBundle> bundle = read_surface_bundle(args.object(1));
  if (!bundle) return std::move(bundle).error();
  Ref snapshot = surface_bundle_snapshot(*bundle);
  if (!snapshot) return Outcome::raised();
  // Refusing a second bundle only now lets an invalid one report its own
  // fault; install_surface_bundle also repeats the closed check.
  if (engine::Status s = engine::install_surface_bundle(e, std::move(bundle).value()); !s) {
    return std::move(s).error();
  }
  return snapshot;
}

Outcome surface_bundle_snapshot_function(Args& args) {
  const engine::Engine& e = args.engine(0);
  if (engine::Status s = engine::check_open(e); !s) return std::move(s).error();
  engine::Result<const engine::SurfaceBundle*> bundle = engine::registered_surface_bundle(e);
  if (!bundle) return std::move(bundle).error();
  return surface_bundle_snapshot(**bundle);
}

constexpr Param kRegisterParams[] = {{"engine", Conv::EngineMut}, {"bundle", Conv::Dict}};
constexpr Param kSnapshotParams[] = {{"engine", Conv::Engine}};
constexpr FunctionSpec kRegister{"register_surface_bundle", nullptr, kRegisterParams, 2, register_surface_bundle};
constexpr FunctionSpec kSnapshot{"surface_bundle_snapshot", nullptr, kSnapshotParams, 1,
                                 surface_bundle_snapshot_function};

}  // namespace

namespace exports {
PyMethodDef register_surface_bundle = QUORBIN_FUNCTION_DEF(kRegister, "register_surface_bundle(engine, bundle)");
PyMethodDef surface_bundle_snapshot = QUORBIN_FUNCTION_DEF(kSnapshot, "surface_bundle_snapshot(engine)");
}  // namespace exports

}  // namespace quorbin::python
