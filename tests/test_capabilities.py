"""version, capabilities, self_test, parser_backend."""

import _quorbin_native_engine as native

FEATURES = [
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
]


def test_version():
    assert native.version() == "1.0.7"


def test_capabilities_contents():
    caps = native.capabilities()
    assert list(caps) == [
        "abi_schema_version",
        "version",
        "backend_label",
        "build_profile",
        "engine_features",
        "supported_bundle_schema_versions",
        "supported_snapshot_schema_versions",
        "supported_operation_primitives",
        "artifact_kinds",
        "parser_backend",
        "parser_grammar_version",
        "parsing_releases_gil",
        "materialization_releases_gil",
    ]
    assert caps["abi_schema_version"] == 1
    assert caps["version"] == native.version()
    assert caps["engine_features"] == FEATURES
    assert caps["supported_bundle_schema_versions"] == [1]
    assert caps["supported_snapshot_schema_versions"] == [1]
    assert caps["supported_operation_primitives"] == []
    assert caps["artifact_kinds"] == ["python_ast"]
    assert caps["parser_backend"] == native.parser_backend()
    assert caps["parser_grammar_version"] == "python-3-compatible"
    assert caps["parsing_releases_gil"] is True
    assert caps["materialization_releases_gil"] is False
    for label in ("backend_label", "build_profile", "parser_backend"):
        assert isinstance(caps[label], str) and caps[label] and "\n" not in caps[label]


def test_capabilities_is_new_every_time():
    first = native.capabilities()
    first["engine_features"].append("mine")
    first["artifact_kinds"].clear()
    first["version"] = "0"
    second = native.capabilities()
    assert second["engine_features"] == FEATURES
    assert second["artifact_kinds"] == ["python_ast"]
    assert second["version"] == "1.0.7"
    assert second["supported_operation_primitives"] is not native.capabilities()["supported_operation_primitives"]


def test_labels_are_fixed():
    assert native.parser_backend() == native.parser_backend()
    assert native.capabilities()["backend_label"] == native.capabilities()["backend_label"]


def test_self_test_returns_true_and_consumes_one_owner_id():
    before = native.engine_create().snapshot()["owner_id"]
    assert native.self_test() is True
    assert native.self_test() is True
    assert native.engine_create().snapshot()["owner_id"] == before + 3
