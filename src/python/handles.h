// The handle classes: EngineHandle, which holds an engine, and the seven
// small value classes that name an object of an engine.
#pragma once

#include <Python.h>

#include "engine/engine.h"
#include "engine/handle.h"
#include "python/borrow.h"
#include "python/pyref.h"
#include "python/types.h"

namespace quorbin::python {

struct EngineObject {
  ObjectHeader header;
  engine::Engine engine;  // lives exactly as long as the object
};

struct HandleObject {
  ObjectHeader header;
  engine::HandleRef ref;
};

inline engine::Engine& engine_of(PyObject* object) { return reinterpret_cast<EngineObject*>(object)->engine; }
inline const engine::HandleRef& handle_of(PyObject* object) { return reinterpret_cast<HandleObject*>(object)->ref; }

ClassId class_of(engine::HandleKind kind);

// A new EngineHandle that takes over `engine`.
Ref new_engine_handle(engine::Engine&& engine);
// A new handle object of the class of `ref.kind`. Handles are never cached:
// every call gives a new object.
Ref new_handle(const engine::HandleRef& ref);

// The engine snapshot dictionary (EngineHandle.snapshot(), engine_snapshot).
Ref engine_snapshot(const engine::Engine& engine);

}  // namespace quorbin::python
