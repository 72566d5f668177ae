// Surface bundles between Python and the engine: the reader of the bundle
// dictionary and the writer of its snapshot (also embedded, under
// "surface_bundle", in the structural snapshots).
#pragma once

#include <Python.h>

#include "engine/error.h"
#include "engine/surface_bundle.h"
#include "python/pyref.h"

namespace quorbin::python {

// Reads and validates a bundle dictionary; nothing is registered here.
engine::Result<engine::SurfaceBundle> read_surface_bundle(PyObject* bundle);

// A new snapshot dictionary of `bundle`, keys in their fixed order.
Ref surface_bundle_snapshot(const engine::SurfaceBundle& bundle);

}  // namespace quorbin::python
