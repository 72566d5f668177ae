// Functions whose operations are not built yet. Each binds its arguments
// like the finished function will (so signatures and binding errors hold
// already) and then raises NotImplementedError naming itself. A family that
// gets built moves its entries into its own file.
#include "python/exports.h"
#include "python/frame.h"

namespace quorbin::python {
namespace {

Outcome not_built(Args& args) {
  PyErr_Format(PyExc_NotImplementedError, "%s() is not implemented yet", args.spec().name);
  return Outcome::raised();
}

constexpr Param kMaterializationWorkspaceCreateParams[] = {{"engine", Conv::Object}, {"template", Conv::Object}};
constexpr FunctionSpec kMaterializationWorkspaceCreate{"materialization_workspace_create", nullptr, kMaterializationWorkspaceCreateParams, 2, not_built};
constexpr Param kMaterializationWorkspaceSnapshotParams[] = {{"engine", Conv::Object}, {"workspace", Conv::Object}};
constexpr FunctionSpec kMaterializationWorkspaceSnapshot{"materialization_workspace_snapshot", nullptr, kMaterializationWorkspaceSnapshotParams, 2, not_built};
constexpr Param kMaterializationWorkspaceResolveLocatorParams[] = {{"engine", Conv::Object}, {"workspace", Conv::Object}, {"locator_id", Conv::Object}};
constexpr FunctionSpec kMaterializationWorkspaceResolveLocator{"materialization_workspace_resolve_locator", nullptr, kMaterializationWorkspaceResolveLocatorParams, 3, not_built};
constexpr Param kMaterializationWorkspaceResolveAstPathParams[] = {{"engine", Conv::Object}, {"workspace", Conv::Object}, {"ast_path", Conv::Object}};
constexpr FunctionSpec kMaterializationWorkspaceResolveAstPath{"materialization_workspace_resolve_ast_path", nullptr, kMaterializationWorkspaceResolveAstPathParams, 3, not_built};
constexpr Param kMaterializationWorkspaceReplaceStatementWithPassParams[] = {{"engine", Conv::Object}, {"workspace", Conv::Object}, {"locator_id", Conv::Object}};
constexpr FunctionSpec kMaterializationWorkspaceReplaceStatementWithPass{"materialization_workspace_replace_statement_with_pass", nullptr, kMaterializationWorkspaceReplaceStatementWithPassParams, 3, not_built};
constexpr Param kMaterializationWorkspaceApplyExpressionEdgeParams[] = {{"engine", Conv::Object}, {"workspace", Conv::Object}, {"state", Conv::Object}, {"edge", Conv::Object}};
constexpr FunctionSpec kMaterializationWorkspaceApplyExpressionEdge{"materialization_workspace_apply_expression_edge", nullptr, kMaterializationWorkspaceApplyExpressionEdgeParams, 4, not_built};
constexpr Param kMaterializationWorkspaceApplyBlockEdgeParams[] = {{"engine", Conv::Object}, {"workspace", Conv::Object}, {"state", Conv::Object}, {"edge", Conv::Object}};
constexpr FunctionSpec kMaterializationWorkspaceApplyBlockEdge{"materialization_workspace_apply_block_edge", nullptr, kMaterializationWorkspaceApplyBlockEdgeParams, 4, not_built};
constexpr Param kMaterializationWorkspaceApplyParameterEdgeParams[] = {{"engine", Conv::Object}, {"workspace", Conv::Object}, {"state", Conv::Object}, {"edge", Conv::Object}};
constexpr FunctionSpec kMaterializationWorkspaceApplyParameterEdge{"materialization_workspace_apply_parameter_edge", nullptr, kMaterializationWorkspaceApplyParameterEdgeParams, 4, not_built};
constexpr Param kMaterializationWorkspaceApplyCallArgumentEdgeParams[] = {{"engine", Conv::Object}, {"workspace", Conv::Object}, {"state", Conv::Object}, {"edge", Conv::Object}};
constexpr FunctionSpec kMaterializationWorkspaceApplyCallArgumentEdge{"materialization_workspace_apply_call_argument_edge", nullptr, kMaterializationWorkspaceApplyCallArgumentEdgeParams, 4, not_built};
constexpr Param kMaterializationWorkspaceLowerLiteralRefsParams[] = {{"engine", Conv::Object}, {"workspace", Conv::Object}};
constexpr FunctionSpec kMaterializationWorkspaceLowerLiteralRefs{"materialization_workspace_lower_literal_refs", nullptr, kMaterializationWorkspaceLowerLiteralRefsParams, 2, not_built};
constexpr Param kMaterializationWorkspaceApplyExternalOverlayLiteralParams[] = {{"engine", Conv::Object}, {"workspace", Conv::Object}, {"state", Conv::Object}, {"overlay", Conv::Object}, {"expression_source", Conv::Object}};
constexpr FunctionSpec kMaterializationWorkspaceApplyExternalOverlayLiteral{"materialization_workspace_apply_external_overlay_literal", nullptr, kMaterializationWorkspaceApplyExternalOverlayLiteralParams, 5, not_built};
constexpr Param kMaterializationWorkspaceApplyIdentifierOverlayParams[] = {{"engine", Conv::Object}, {"workspace", Conv::Object}, {"state", Conv::Object}, {"overlay", Conv::Object}};
constexpr FunctionSpec kMaterializationWorkspaceApplyIdentifierOverlay{"materialization_workspace_apply_identifier_overlay", nullptr, kMaterializationWorkspaceApplyIdentifierOverlayParams, 4, not_built};
constexpr Param kAssemblyStateMaterializeToPythonAstParams[] = {{"engine", Conv::Object}, {"state", Conv::Object}, {"external_literals", Conv::Object}, {"root_occurrence_index", Conv::Object, false}, {"location_policy", Conv::Object, false, "fix_missing"}};
constexpr FunctionSpec kAssemblyStateMaterializeToPythonAst{"assembly_state_materialize_to_python_ast", nullptr, kAssemblyStateMaterializeToPythonAstParams, 5, not_built};
constexpr Param kMaterializationWorkspaceCopyToPythonAstParams[] = {{"engine", Conv::Object}, {"workspace", Conv::Object}, {"location_policy", Conv::Object, false, "fix_missing"}};
constexpr FunctionSpec kMaterializationWorkspaceCopyToPythonAst{"materialization_workspace_copy_to_python_ast", nullptr, kMaterializationWorkspaceCopyToPythonAstParams, 3, not_built};
constexpr Param kMaterializationWorkspaceToSourceParams[] = {{"engine", Conv::Object}, {"workspace", Conv::Object}, {"location_policy", Conv::Object, false, "fix_missing"}};
constexpr FunctionSpec kMaterializationWorkspaceToSource{"materialization_workspace_to_source", nullptr, kMaterializationWorkspaceToSourceParams, 3, not_built};

}  // namespace

namespace exports {
PyMethodDef materialization_workspace_create = QUORBIN_FUNCTION_DEF(kMaterializationWorkspaceCreate, "materialization_workspace_create(engine, template)");
PyMethodDef materialization_workspace_snapshot = QUORBIN_FUNCTION_DEF(kMaterializationWorkspaceSnapshot, "materialization_workspace_snapshot(engine, workspace)");
PyMethodDef materialization_workspace_resolve_locator = QUORBIN_FUNCTION_DEF(kMaterializationWorkspaceResolveLocator, "materialization_workspace_resolve_locator(engine, workspace, locator_id)");
PyMethodDef materialization_workspace_resolve_ast_path = QUORBIN_FUNCTION_DEF(kMaterializationWorkspaceResolveAstPath, "materialization_workspace_resolve_ast_path(engine, workspace, ast_path)");
PyMethodDef materialization_workspace_replace_statement_with_pass = QUORBIN_FUNCTION_DEF(kMaterializationWorkspaceReplaceStatementWithPass, "materialization_workspace_replace_statement_with_pass(engine, workspace, locator_id)");
PyMethodDef materialization_workspace_apply_expression_edge = QUORBIN_FUNCTION_DEF(kMaterializationWorkspaceApplyExpressionEdge, "materialization_workspace_apply_expression_edge(engine, workspace, state, edge)");
PyMethodDef materialization_workspace_apply_block_edge = QUORBIN_FUNCTION_DEF(kMaterializationWorkspaceApplyBlockEdge, "materialization_workspace_apply_block_edge(engine, workspace, state, edge)");
PyMethodDef materialization_workspace_apply_parameter_edge = QUORBIN_FUNCTION_DEF(kMaterializationWorkspaceApplyParameterEdge, "materialization_workspace_apply_parameter_edge(engine, workspace, state, edge)");
PyMethodDef materialization_workspace_apply_call_argument_edge = QUORBIN_FUNCTION_DEF(kMaterializationWorkspaceApplyCallArgumentEdge, "materialization_workspace_apply_call_argument_edge(engine, workspace, state, edge)");
PyMethodDef materialization_workspace_lower_literal_refs = QUORBIN_FUNCTION_DEF(kMaterializationWorkspaceLowerLiteralRefs, "materialization_workspace_lower_literal_refs(engine, workspace)");
PyMethodDef materialization_workspace_apply_external_overlay_literal = QUORBIN_FUNCTION_DEF(kMaterializationWorkspaceApplyExternalOverlayLiteral, "materialization_workspace_apply_external_overlay_literal(engine, workspace, state, overlay, expression_source)");
PyMethodDef materialization_workspace_apply_identifier_overlay = QUORBIN_FUNCTION_DEF(kMaterializationWorkspaceApplyIdentifierOverlay, "materialization_workspace_apply_identifier_overlay(engine, workspace, state, overlay)");
PyMethodDef assembly_state_materialize_to_python_ast = QUORBIN_FUNCTION_DEF(kAssemblyStateMaterializeToPythonAst, "assembly_state_materialize_to_python_ast(engine, state, external_literals, root_occurrence_index=None, location_policy=\"fix_missing\")");
PyMethodDef materialization_workspace_copy_to_python_ast = QUORBIN_FUNCTION_DEF(kMaterializationWorkspaceCopyToPythonAst, "materialization_workspace_copy_to_python_ast(engine, workspace, location_policy=\"fix_missing\")");
PyMethodDef materialization_workspace_to_source = QUORBIN_FUNCTION_DEF(kMaterializationWorkspaceToSource, "materialization_workspace_to_source(engine, workspace, location_policy=\"fix_missing\")");
}  // namespace exports

}  // namespace quorbin::python
