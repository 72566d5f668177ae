"""The module object: its exports in order, their signatures, its classes."""

import importlib.util
import inspect
import pickle
import subprocess
import sys

import pytest

import _quorbin_native_engine as native

CLASS = "class"


class Constant(str):
    pass


# Every export in __all__ order: functions with their text signature,
# classes, and the two constants with their values.
EXPORTS = [
    ('version', 'version()'),
    ('capabilities', 'capabilities()'),
    ('self_test', 'self_test()'),
    ('EngineHandle', CLASS),
    ('engine_create', 'engine_create(request=None)'),
    ('engine_close', 'engine_close(handle)'),
    ('engine_snapshot', 'engine_snapshot(handle)'),
    ('engine_assert_same_owner', 'engine_assert_same_owner(left, right)'),
    ('HANDLE_KIND_ENGINE', Constant('engine')),
    ('NativeMaterializationWorkspaceHandle', CLASS),
    ('materialization_workspace_create', 'materialization_workspace_create(engine, template)'),
    ('materialization_workspace_snapshot', 'materialization_workspace_snapshot(engine, workspace)'),
    ('materialization_workspace_resolve_locator', 'materialization_workspace_resolve_locator(engine, workspace, locator_id)'),
    ('materialization_workspace_resolve_ast_path', 'materialization_workspace_resolve_ast_path(engine, workspace, ast_path)'),
    ('materialization_workspace_replace_statement_with_pass', 'materialization_workspace_replace_statement_with_pass(engine, workspace, locator_id)'),
    ('materialization_workspace_apply_expression_edge', 'materialization_workspace_apply_expression_edge(engine, workspace, state, edge)'),
    ('materialization_workspace_apply_block_edge', 'materialization_workspace_apply_block_edge(engine, workspace, state, edge)'),
    ('materialization_workspace_apply_parameter_edge', 'materialization_workspace_apply_parameter_edge(engine, workspace, state, edge)'),
    ('materialization_workspace_apply_call_argument_edge', 'materialization_workspace_apply_call_argument_edge(engine, workspace, state, edge)'),
    ('materialization_workspace_lower_literal_refs', 'materialization_workspace_lower_literal_refs(engine, workspace)'),
    ('materialization_workspace_apply_external_overlay_literal', 'materialization_workspace_apply_external_overlay_literal(engine, workspace, state, overlay, expression_source)'),
    ('materialization_workspace_apply_identifier_overlay', 'materialization_workspace_apply_identifier_overlay(engine, workspace, state, overlay)'),
    ('assembly_state_materialize_to_python_ast', 'assembly_state_materialize_to_python_ast(engine, state, external_literals, root_occurrence_index=None, location_policy="fix_missing")'),
    ('materialization_workspace_copy_to_python_ast', 'materialization_workspace_copy_to_python_ast(engine, workspace, location_policy="fix_missing")'),
    ('materialization_workspace_to_source', 'materialization_workspace_to_source(engine, workspace, location_policy="fix_missing")'),
    ('HANDLE_KIND_MATERIALIZATION_WORKSPACE', Constant('materialization-workspace')),
    ('NativeTemplateHandle', CLASS),
    ('NativeAssemblyStateHandle', CLASS),
    ('NativeOccurrenceHandle', CLASS),
    ('NativeRecordHandle', CLASS),
    ('NativeEdgeHandle', CLASS),
    ('NativeOverlayHandle', CLASS),
    ('register_template_snapshot', 'register_template_snapshot(engine, snapshot)'),
    ('lower_template_package_v2_from_registered_template', 'lower_template_package_v2_from_registered_template(engine, template)'),
    ('assembly_state_create', 'assembly_state_create(engine)'),
    ('assembly_state_append_occurrence', 'assembly_state_append_occurrence(engine, state, template, build_path, parent_occurrence=None)'),
    ('assembly_state_record_handle', 'assembly_state_record_handle(engine, state, occurrence, template_record_index)'),
    ('assembly_state_append_edge', 'assembly_state_append_edge(engine, state, target, source, operation_key, order)'),
    ('assembly_state_mark_satisfied', 'assembly_state_mark_satisfied(engine, state, record)'),
    ('assembly_state_append_overlay', 'assembly_state_append_overlay(engine, state, target, kind, source_label)'),
    ('assembly_state_snapshot', 'assembly_state_snapshot(engine, state)'),
    ('assembly_state_index_snapshot', 'assembly_state_index_snapshot(engine, state)'),
    ('assembly_state_materialization_plan_snapshot', 'assembly_state_materialization_plan_snapshot(engine, state, root_occurrence_index)'),
    ('assembly_state_query_composable_candidates', 'assembly_state_query_composable_candidates(engine, state, source_template, request)'),
    ('assembly_state_query_demand_candidates', 'assembly_state_query_demand_candidates(engine, state, request)'),
    ('assembly_state_apply_request_batch', 'assembly_state_apply_request_batch(engine, state, requests)'),
    ('NativeModule', CLASS),
    ('parse_module', 'parse_module(source, filename=None, location_policy="native")'),
    ('compile_composable', 'compile_composable(source, filename=None)'),
    ('copy_to_python_ast', 'copy_to_python_ast(composable, location_policy="native")'),
    ('to_source', 'to_source(composable, location_policy="native")'),
    ('bench_parse_convert', 'bench_parse_convert(source, iterations, filename=None, location_policy="native")'),
    ('parser_backend', 'parser_backend()'),
    ('register_surface_bundle', 'register_surface_bundle(engine, bundle)'),
    ('surface_bundle_snapshot', 'surface_bundle_snapshot(engine)'),
    ('extract_template_snapshot', 'extract_template_snapshot(engine, source, filename=None, line_number=1)'),
    ('compile_validate_source', 'compile_validate_source(source, filename=None)'),
    ('extract_template_package_v2_snapshot', 'extract_template_package_v2_snapshot(engine, source, filename=None, line_number=1)'),
    ('register_template_package_v2_source', 'register_template_package_v2_source(engine, source, filename=None, line_number=1)'),
    ('template_package_v2_snapshot', 'template_package_v2_snapshot(engine, template)'),
]

FUNCTIONS = [(name, sig) for name, sig in EXPORTS if sig is not CLASS and not isinstance(sig, Constant)]
CLASSES = [name for name, sig in EXPORTS if sig is CLASS]

# Always built: these must never refuse as not implemented.
FOUNDATION = {
    "version", "capabilities", "self_test", "parser_backend",
    "engine_create", "engine_close", "engine_snapshot", "engine_assert_same_owner",
    "register_surface_bundle", "surface_bundle_snapshot",
}


def test_all_lists_every_export_in_order():
    assert native.__all__ == [name for name, _ in EXPORTS]
    assert len(native.__all__) == 60
    assert len(FUNCTIONS) == 49 and len(CLASSES) == 9


def test_module_basics():
    assert native.__doc__ == ""
    assert native.__name__ == "_quorbin_native_engine"
    assert native.HANDLE_KIND_ENGINE == "engine"
    assert native.HANDLE_KIND_MATERIALIZATION_WORKSPACE == "materialization-workspace"
    public = {name for name in dir(native) if not name.startswith("_")}
    assert public == set(native.__all__)


@pytest.mark.parametrize("name, signature", FUNCTIONS)
def test_function_signature(name, signature):
    function = getattr(native, name)
    assert function.__name__ == name
    assert function.__module__ == "_quorbin_native_engine"
    assert name + str(inspect.signature(function)) == signature.replace('"', "'")
    assert function.__doc__ is None  # the signature is the whole documentation


def test_signature_parameters_are_positional_or_keyword():
    for name, _ in FUNCTIONS:
        for parameter in inspect.signature(getattr(native, name)).parameters.values():
            assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD


@pytest.mark.parametrize("name", CLASSES)
def test_class_shape(name):
    cls = getattr(native, name)
    assert cls.__module__ == "_quorbin_native_engine"
    assert cls.__qualname__ == name
    assert cls.__name__ == name
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert "__dict__" not in dir(cls)
    assert "__weakref__" not in dir(cls)
    assert cls.__weakrefoffset__ == 0
    assert cls.__dictoffset__ == 0
    with pytest.raises(TypeError):
        cls.kind = "x"  # immutable type


def test_instances_have_no_dict_weakref_or_pickling():
    import weakref

    engine = native.engine_create()
    with pytest.raises(AttributeError):
        engine.__dict__
    with pytest.raises(AttributeError):
        engine.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(engine)
    with pytest.raises(TypeError):
        pickle.dumps(engine)


@pytest.mark.parametrize("name, signature", [(n, s) for n, s in FUNCTIONS if "()" not in s])
def test_every_function_binds_and_refuses_only_by_name(name, signature):
    # Functions whose operations are not built yet bind their arguments and
    # then refuse with NotImplementedError naming themselves; built ones
    # reject these placeholder arguments some other way.
    function = getattr(native, name)
    parameters = inspect.signature(function).parameters
    arguments = [object() for p in parameters.values() if p.default is inspect.Parameter.empty]
    try:
        function(*arguments)
    except NotImplementedError as error:
        assert name not in FOUNDATION
        assert str(error).startswith(f"{name}() is not implemented yet")
    except Exception:
        pass
    with pytest.raises(TypeError, match=r"takes .*positional arguments but"):
        function(*([None] * (len(parameters) + 1)))


def test_executing_the_module_again_reuses_the_classes():
    # A second module object from the same extension shares the type objects,
    # so handles made by one are instances for the other.
    spec = importlib.util.find_spec("_quorbin_native_engine")
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again is not native
    assert again.__all__ == native.__all__
    for name in CLASSES:
        assert getattr(again, name) is getattr(native, name)
    engine = again.engine_create()
    assert native.engine_snapshot(engine)["kind"] == "engine"
    assert sys.modules["_quorbin_native_engine"] is native


SUBINTERPRETER_IMPORT = """
import _testcapi
code = '''
try:
    import _quorbin_native_engine
    outcome = "imported"
except ImportError as error:
    outcome = str(error)
with open(%r, "w") as f:
    f.write(outcome)
'''
"""


@pytest.mark.parametrize("main_first", [True, False])
def test_other_interpreters_are_refused(tmp_path, main_first):
    # The classes are shared by the whole process and owned by the main
    # interpreter; a subinterpreter must not get them.
    pytest.importorskip("_testcapi")
    out = tmp_path / "outcome.txt"
    script = SUBINTERPRETER_IMPORT % str(out)
    script += "import _quorbin_native_engine\n" if main_first else ""
    script += "assert _testcapi.run_in_subinterp(code) == 0\n"
    script += "import _quorbin_native_engine as native\nprint(native.engine_create().snapshot()['owner_id'])\n"
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert out.read_text() == "_quorbin_native_engine can only be imported in the main interpreter"
    assert result.stdout.strip() == "1"
