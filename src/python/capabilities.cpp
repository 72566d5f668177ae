// version, capabilities, self_test, parser_backend.
#include "engine/build_info.h"
#include "engine/engine.h"
#include "python/exports.h"
#include "python/frame.h"
#include "python/handles.h"
#include "python/snapshot_writer.h"

namespace quorbin::python {
namespace {

Outcome version() { return new_str(engine::kVersion); }

Outcome parser_backend() { return new_str(engine::kParserLabel); }

Outcome capabilities() {
  ListWriter features;
  for (std::string_view feature : engine::kEngineFeatures) features.str(feature);
  ListWriter bundle_versions;
  bundle_versions.u64(1);
  ListWriter snapshot_versions;
  snapshot_versions.u64(1);
  ListWriter artifact_kinds;
  artifact_kinds.str("python_ast");

  DictWriter d;
  d.u64("abi_schema_version", engine::kAbiSchemaVersion)
      .str("version", engine::kVersion)
      .str("backend_label", engine::kBackendLabel)
      .str("build_profile", engine::kBuildProfile)
      .set("engine_features", features.finish())
      .set("supported_bundle_schema_versions", bundle_versions.finish())
      .set("supported_snapshot_schema_versions", snapshot_versions.finish())
      .set("supported_operation_primitives", ListWriter().finish())
      .set("artifact_kinds", artifact_kinds.finish())
      .str("parser_backend", engine::kParserLabel)
      .str("parser_grammar_version", engine::kParserGrammarVersion)
      .boolean("parsing_releases_gil", true)
      .boolean("materialization_releases_gil", false);
  return d.finish();
}

// Builds and discards what engine_create and engine_snapshot would, so that
// a broken build fails here rather than in the first real call.
Outcome self_test() {
  engine::Engine probe = engine::create_engine();
  if (!engine_snapshot(probe)) return Outcome::raised();
  if (engine::Status s = engine::close_engine(probe); !s) return std::move(s).error();
  return new_bool(true);
}

}  // namespace

namespace exports {
PyMethodDef version = QUORBIN_NOARGS_DEF("version", quorbin::python::version, "version()");
PyMethodDef capabilities = QUORBIN_NOARGS_DEF("capabilities", quorbin::python::capabilities, "capabilities()");
PyMethodDef self_test = QUORBIN_NOARGS_DEF("self_test", quorbin::python::self_test, "self_test()");
PyMethodDef parser_backend = QUORBIN_NOARGS_DEF("parser_backend", quorbin::python::parser_backend, "parser_backend()");
}  // namespace exports

}  // namespace quorbin::python
