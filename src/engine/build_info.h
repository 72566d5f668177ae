// Fixed facts about this build, reported by version(), capabilities() and
// parser_backend(). None of them is read from the environment.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace quorbin::engine {

inline constexpr std::string_view kVersion = "1.0.7";
inline constexpr uint64_t kAbiSchemaVersion = 1;
inline constexpr std::string_view kBackendLabel = "quorbin-native-engine 1.0.7 (C++20, CPython C API)";
#ifdef NDEBUG
inline constexpr std::string_view kBuildProfile = "release";
#else
inline constexpr std::string_view kBuildProfile = "debug";
#endif
// Names the parser component and its version. It is also the parser_backend
// attribute of every NativeModule and appears in its repr.
inline constexpr std::string_view kParserLabel = "quorbin-syntax 1.0.7 (hand-written Python 3.12 parser)";
inline constexpr std::string_view kParserGrammarVersion = "python-3-compatible";

// The feature identifiers the Python side tests for, in their fixed order.
inline constexpr std::array<std::string_view, 42> kEngineFeatures = {
    "native.extension.v1",
    "native.engine_core.v1",
    "native.parser_ir.v1",
    "native.surface_registry.v1",
    "native.pattern_registry.v1",
    "native.template_snapshot.empty.v1",
    "native.template_extract.direct_call.v1",
    "native.template_extract.identifier_suffix.v1",
    "native.template_extract.payload.v1",
    "native.template_extract.insert_metadata.v1",
    "native.occurrence_store.v1",
    "native.record_indexes.v1",
    "native.candidate_query.v1",
    "native.overlay_store.v1",
    "native.materialization_operation_stream.v1",
    "native.materialization_overlay_stream.v1",
    "native.materialization_workspace.v1",
    "native.materialization_expression.v1",
    "native.materialization_block.v1",
    "native.materialization_parameters.v1",
    "native.materialization_call_arguments.v1",
    "native.materialization_identifier_overlay.v1",
    "native.materialization_literal_ref.v1",
    "native.materialization_external_overlay_literal.v1",
    "native.hygiene_gate.v1",
    "native.artifact_builder.python_ast.baseline.v1",
    "native.lower_template_package_v2.snapshot.partial.v1",
    "native.lower_template_package_v2.v1",
    "native.full_lower_engine.current_surfaces.v1",
    "native.self_native.literal_payload_abi.v1",
    "native.self_native.scope_no_mirror_replay.v1",
    "native.self_native.bind_external.v1",
    "native.self_native.bind_identifier.v1",
    "native.self_native.keep_names.v1",
    "native.self_native.reproject.v1",
    "native.self_native.facade_builder_tree_projection.v1",
    "native.self_native.compile_validation.v1",
    "native.self_native.no_python_parse_compile.v1",
    "native.self_native.materialize_no_python_fallback.v1",
    "native.self_native.current_surfaces.v1",
    "native.self_native.handoff_transfer.v1",
    "native.self_native.no_pydict_snapshots.v1",
};

}  // namespace quorbin::engine
