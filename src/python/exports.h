// The module's functions, one PyMethodDef each, defined by the file of their
// family. module.cpp adds them, with the classes and constants, in the order
// of the module's __all__.
#pragma once

#include <Python.h>

namespace quorbin::python::exports {

// capabilities.cpp
extern PyMethodDef version, capabilities, self_test, parser_backend;

// engine_functions.cpp
extern PyMethodDef engine_create, engine_close, engine_snapshot, engine_assert_same_owner;

// materialization (pending.cpp until built)
extern PyMethodDef materialization_workspace_create, materialization_workspace_snapshot,
    materialization_workspace_resolve_locator, materialization_workspace_resolve_ast_path,
    materialization_workspace_replace_statement_with_pass, materialization_workspace_apply_expression_edge,
    materialization_workspace_apply_block_edge, materialization_workspace_apply_parameter_edge,
    materialization_workspace_apply_call_argument_edge, materialization_workspace_lower_literal_refs,
    materialization_workspace_apply_external_overlay_literal, materialization_workspace_apply_identifier_overlay,
    assembly_state_materialize_to_python_ast, materialization_workspace_copy_to_python_ast,
    materialization_workspace_to_source;

// templates and assembly states (pending.cpp until built)
extern PyMethodDef register_template_snapshot, lower_template_package_v2_from_registered_template,
    assembly_state_create, assembly_state_append_occurrence, assembly_state_record_handle,
    assembly_state_append_edge, assembly_state_mark_satisfied, assembly_state_append_overlay,
    assembly_state_snapshot, assembly_state_index_snapshot, assembly_state_materialization_plan_snapshot,
    assembly_state_query_composable_candidates, assembly_state_query_demand_candidates,
    assembly_state_apply_request_batch;

// parser_functions.cpp
extern PyMethodDef parse_module, compile_composable, copy_to_python_ast, to_source, bench_parse_convert;

// surface_functions.cpp
extern PyMethodDef register_surface_bundle, surface_bundle_snapshot;

// extraction and packages (pending.cpp until built)
extern PyMethodDef extract_template_snapshot, compile_validate_source, extract_template_package_v2_snapshot,
    register_template_package_v2_source, template_package_v2_snapshot;

}  // namespace quorbin::python::exports
