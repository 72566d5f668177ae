// engine_create, engine_close, engine_snapshot, engine_assert_same_owner.
#include "engine/engine.h"
#include "engine/handle.h"
#include "python/exports.h"
#include "python/frame.h"
#include "python/handles.h"
#include "python/snapshot_writer.h"

namespace quorbin::python {
namespace {

Outcome engine_create(Args& args) {
  PyObject* request = args.object(0);
  // Only the shape is checked; the contents are for later versions.
  if (request && request != Py_None && !PyDict_Check(request)) {
    return engine::schema_error("engine_create request must be a dict or None");
  }
  return new_engine_handle(engine::create_engine());
}

Outcome engine_close(Args& args) {
  if (engine::Status s = engine::close_engine(args.engine(0)); !s) return std::move(s).error();
  return new_none();
}

Outcome engine_snapshot_function(Args& args) {
  const engine::Engine& e = args.engine(0);
  if (engine::Status s = engine::check_open(e); !s) return std::move(s).error();
  return engine_snapshot(e);
}

Outcome engine_assert_same_owner(Args& args) {
  const engine::Engine& left = args.engine(0);
  const engine::Engine& right = args.engine(1);
  if (engine::Status s = engine::check_open(left); !s) return std::move(s).error();
  if (engine::Status s = engine::check_open(right); !s) return std::move(s).error();
  if (left.owner_id != right.owner_id) return engine::stale_handle_error("handle belongs to another native engine");
  return new_bool(true);
}

constexpr Param kCreateParams[] = {{"request", Conv::Object, false}};
constexpr Param kCloseParams[] = {{"handle", Conv::EngineMut}};
constexpr Param kSnapshotParams[] = {{"handle", Conv::Engine}};
constexpr Param kSameOwnerParams[] = {{"left", Conv::Engine}, {"right", Conv::Engine}};

constexpr FunctionSpec kCreate{"engine_create", nullptr, kCreateParams, 1, engine_create};
constexpr FunctionSpec kClose{"engine_close", nullptr, kCloseParams, 1, engine_close};
constexpr FunctionSpec kSnapshot{"engine_snapshot", nullptr, kSnapshotParams, 1, engine_snapshot_function};
constexpr FunctionSpec kSameOwner{"engine_assert_same_owner", nullptr, kSameOwnerParams, 2, engine_assert_same_owner};

}  // namespace

namespace exports {
PyMethodDef engine_create = QUORBIN_FUNCTION_DEF(kCreate, "engine_create(request=None)");
PyMethodDef engine_close = QUORBIN_FUNCTION_DEF(kClose, "engine_close(handle)");
PyMethodDef engine_snapshot = QUORBIN_FUNCTION_DEF(kSnapshot, "engine_snapshot(handle)");
PyMethodDef engine_assert_same_owner = QUORBIN_FUNCTION_DEF(kSameOwner, "engine_assert_same_owner(left, right)");
}  // namespace exports

}  // namespace quorbin::python
