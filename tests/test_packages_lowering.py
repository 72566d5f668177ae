"""Lowering a registered template into the Python library's builder, with a
fake builder module installed in sys.modules by each test."""

import sys
import types

import pytest

import _quorbin_native_engine as qe

MODULE = "quorbin.lower_engine.package_v2"

# Keyword order of every call, as the builder receives it.
CALL_KEYWORDS = {
    "LowerTemplatePackageV2": ["template_key", "source_summary", "surface_bundle_signature"],
    "add_locator": ["ast_path", "role_key", "authored_summary", "materialization_anchor", "parent_locator_id",
                    "locator_id"],
    "add_record": ["surface_key", "locator_id", "inventory_kind", "owner_path", "semantic_summary", "resource_name",
                   "template_record_id"],
    "add_scope": ["scope_kind", "ast_path", "owner_path", "local_bindings", "arguments", "parent_scope_id",
                  "start_line"],
    "add_marker": ["marker_kind", "source_name", "ast_path", "statement_path", "owner_path", "scope_id",
                   "source_order", "resource_name", "operation_key", "flags"],
    "add_pyimport_marker": ["marker_id", "module_path", "names", "as_name", "flags"],
    "add_comment_marker": ["marker_id", "payload", "flags"],
    "add_ref_marker": ["marker_id", "ref_kind", "context", "sentinel_attr", "literal_path", "flags"],
    "add_unroll_marker": ["marker_id", "statement_path", "target_ast_path", "iter_ast_path", "domain_ast_path",
                          "body_path", "orelse_path", "target_bindings", "domain_shape", "flags"],
}

# The package table each add_* call replays; managed imports are not replayed.
CALL_TABLES = [
    ("add_locator", "locators"),
    ("add_record", "records"),
    ("add_scope", "scopes"),
    ("add_marker", "markers"),
    ("add_pyimport_marker", "pyimport_markers"),
    ("add_comment_marker", "comment_markers"),
    ("add_ref_marker", "ref_markers"),
    ("add_unroll_marker", "unroll_markers"),
]

SOURCE = (
    "quorbin_pyimport(module=os.path, names=(join,))\n"
    "quorbin_pyimport(module=re)\n"
    "quorbin_comment(\"note\")\n"
    "quorbin_comment(\"\\udc80\")\n"  # a lone surrogate reaches the builder as written
    "def f__quorbin_arg__(a, b__quorbin_param_hole__):\n"
    "    x = quorbin_ref(\"pkg.mod\")\n"
    "    y = quorbin_ref(name)._\n"
    "    for i in quorbin_for(range(2)):\n"
    "        quorbin_hole(body)\n"
    "    for j in quorbin_for(items):\n"
    "        pass\n"
    "    else:\n"
    "        pass\n"
)


class Recorder:
    """A stand-in for the library's builder: records every call as
    (name, [(keyword, value), ...]), in order."""

    calls = None
    hooks = {}

    def __init__(self, **kwargs):
        Recorder.calls.append(("LowerTemplatePackageV2", list(kwargs.items())))
        self.hook("LowerTemplatePackageV2")

    def hook(self, name):
        if name in Recorder.hooks:
            return Recorder.hooks[name](self)
        return None

    def _record(name):
        def method(self, **kwargs):
            Recorder.calls.append((name, list(kwargs.items())))
            return self.hook(name)

        method.__name__ = name
        return method

    for _name in CALL_KEYWORDS:
        if _name.startswith("add_"):
            locals()[_name] = _record(_name)
    del _name, _record


@pytest.fixture
def builder(monkeypatch):
    """Installs the fake module and its parent packages; yields the recorder."""
    for name in ("quorbin", "quorbin.lower_engine"):
        monkeypatch.setitem(sys.modules, name, types.ModuleType(name))
    module = types.ModuleType(MODULE)
    module.LowerTemplatePackageV2 = Recorder
    monkeypatch.setitem(sys.modules, MODULE, module)
    monkeypatch.setattr(Recorder, "calls", [])
    monkeypatch.setattr(Recorder, "hooks", {})
    return module


def expected_calls(pkg):
    """The call sequence a package dictionary stands for, values as the builder
    receives them: lists become tuples, absent values None."""

    def value(v):
        return tuple(v) if isinstance(v, list) else v

    calls = [("LowerTemplatePackageV2", [(k, pkg[k]) for k in CALL_KEYWORDS["LowerTemplatePackageV2"]])]
    for name, table in CALL_TABLES:
        for row in pkg[table]:
            calls.append((name, [(k, value(row[k])) for k in CALL_KEYWORDS[name]]))
    return calls


def test_replays_every_row_in_order(registered_engine, builder):
    template = qe.register_template_package_v2_source(registered_engine, SOURCE)
    pkg = qe.template_package_v2_snapshot(registered_engine, template)
    result = qe.lower_template_package_v2_from_registered_template(registered_engine, template)
    assert type(result) is Recorder
    assert Recorder.calls == expected_calls(pkg)
    names = [name for name, _ in Recorder.calls]
    for name, table in CALL_TABLES:
        assert names.count(name) == len(pkg[table]) > 0, name
    assert pkg["managed_imports"] and not any("managed" in n for n in names)
    assert [dict(kw)["payload"] for name, kw in Recorder.calls if name == "add_comment_marker"] == ["note", "\udc80"]


def test_value_types(registered_engine, builder):
    template = qe.register_template_package_v2_source(registered_engine, SOURCE)
    qe.lower_template_package_v2_from_registered_template(registered_engine, template)
    tuples = {"owner_path", "local_bindings", "arguments", "flags", "names", "target_bindings"}
    optional_tuples = {"module_path", "literal_path"}
    optional_ints = {"parent_locator_id", "parent_scope_id", "start_line"}
    optional_strs = {"statement_path", "orelse_path"}
    ints = {"locator_id", "template_record_id", "scope_id", "source_order", "marker_id"}
    seen = {}
    for name, kwargs in Recorder.calls:
        for key, value in kwargs:
            seen.setdefault(key, set()).add(type(value))
            if key in tuples or (key in optional_tuples and value is not None):
                assert type(value) is tuple and all(type(s) is str for s in value), (name, key, value)
            elif key in optional_tuples:
                assert value is None
            elif key in optional_ints:
                assert value is None or type(value) is int, (name, key)
            elif key in optional_strs:
                assert value is None or type(value) is str, (name, key)
            elif key in ints:
                assert type(value) is int, (name, key)
            else:
                assert type(value) is str, (name, key)
    # Absent values do occur in this package, and reach Python as None.
    assert None in {v for name, kw in Recorder.calls for k, v in kw if k in ("parent_locator_id", "orelse_path")}
    assert seen["parent_scope_id"] == {type(None), int}
    assert seen["module_path"] == {tuple}
    assert seen["literal_path"] == {tuple, type(None)}
    marker_calls = [kw for name, kw in Recorder.calls if name == "add_marker"]
    assert all("marker_id" not in dict(kw) for kw in marker_calls)


def test_template_without_markers(registered_engine, builder):
    template = qe.register_template_package_v2_source(registered_engine, "x = 1\n")
    qe.lower_template_package_v2_from_registered_template(registered_engine, template)
    assert [name for name, _ in Recorder.calls] == ["LowerTemplatePackageV2", "add_locator", "add_record", "add_scope"]
    assert dict(Recorder.calls[3][1])["parent_scope_id"] is None


def test_snapshot_registered_template_is_refused_before_importing(registered_engine, monkeypatch):
    # An import now would fail with ImportError; the package check comes first.
    monkeypatch.setitem(sys.modules, MODULE, None)
    template = qe.register_template_snapshot(registered_engine, qe.extract_template_snapshot(registered_engine, "x"))
    with pytest.raises(ValueError, match="^native schema error: native template does not carry package-v2 rows$"):
        qe.lower_template_package_v2_from_registered_template(registered_engine, template)


def test_handle_checks(registered_engine, builtin_bundle, builder):
    other = qe.engine_create()
    qe.register_surface_bundle(other, builtin_bundle)
    foreign = qe.register_template_package_v2_source(other, "x = 1")
    with pytest.raises(RuntimeError, match="^native stale handle: handle belongs to another native engine$"):
        qe.lower_template_package_v2_from_registered_template(registered_engine, foreign)
    with pytest.raises(TypeError) as info:
        qe.lower_template_package_v2_from_registered_template(registered_engine, qe.assembly_state_create(other))
    assert info.value.__notes__ == ["while processing 'template'"]
    qe.engine_close(other)
    with pytest.raises(RuntimeError, match="^native stale handle: engine handle is already closed$"):
        qe.lower_template_package_v2_from_registered_template(other, foreign)
    assert Recorder.calls == []


def test_missing_module_is_the_interpreters_import_error(registered_engine, monkeypatch):
    template = qe.register_template_package_v2_source(registered_engine, "x = 1")
    for name in ("quorbin", "quorbin.lower_engine", MODULE):
        monkeypatch.delitem(sys.modules, name, raising=False)
    with pytest.raises(ModuleNotFoundError):
        qe.lower_template_package_v2_from_registered_template(registered_engine, template)
    monkeypatch.setitem(sys.modules, MODULE, None)
    with pytest.raises(ImportError):
        qe.lower_template_package_v2_from_registered_template(registered_engine, template)


def test_missing_class_is_the_interpreters_attribute_error(registered_engine, builder):
    template = qe.register_template_package_v2_source(registered_engine, "x = 1")
    del builder.LowerTemplatePackageV2
    with pytest.raises(AttributeError):
        qe.lower_template_package_v2_from_registered_template(registered_engine, template)


@pytest.mark.parametrize("failing", ["LowerTemplatePackageV2", "add_locator", "add_scope", "add_marker",
                                     "add_ref_marker", "add_unroll_marker"])
def test_builder_errors_propagate_unchanged_and_stop(registered_engine, builder, failing):
    template = qe.register_template_package_v2_source(registered_engine, SOURCE)
    error = LookupError("from the builder")

    def fail(_self):
        raise error

    Recorder.hooks[failing] = fail
    with pytest.raises(LookupError) as info:
        qe.lower_template_package_v2_from_registered_template(registered_engine, template)
    assert info.value is error
    names = [name for name, _ in Recorder.calls]
    assert names[-1] == failing and names.count(failing) == 1
    # The engine is not held after the failure.
    assert qe.register_template_package_v2_source(registered_engine, "x = 1").index == 1


def test_odd_builders_are_not_crashes(registered_engine, builder):
    template = qe.register_template_package_v2_source(registered_engine, SOURCE)
    # Method results are dropped, whatever they are.
    for name in CALL_KEYWORDS:
        Recorder.hooks[name] = lambda self: object()
    assert type(qe.lower_template_package_v2_from_registered_template(registered_engine, template)) is Recorder
    # Whatever the class returns is the builder: here one without methods.
    builder.LowerTemplatePackageV2 = lambda **kwargs: 42
    with pytest.raises(AttributeError, match="add_locator"):
        qe.lower_template_package_v2_from_registered_template(registered_engine, template)
    # A method that is not callable, or that refuses keywords.
    builder.LowerTemplatePackageV2 = type("NoKeywords", (), {"__init__": lambda self, **kw: None,
                                                             "add_locator": 5})
    with pytest.raises(TypeError):
        qe.lower_template_package_v2_from_registered_template(registered_engine, template)
    builder.LowerTemplatePackageV2 = type("Positional", (), {"__init__": lambda self, a, b, c: None})
    with pytest.raises(TypeError):
        qe.lower_template_package_v2_from_registered_template(registered_engine, template)


def test_builder_may_read_the_engine_but_not_change_it(registered_engine, builder):
    template = qe.register_template_package_v2_source(registered_engine, SOURCE)
    seen = {}

    def reenter(_self):
        seen["snapshot"] = qe.template_package_v2_snapshot(registered_engine, template)
        seen["engine"] = qe.engine_snapshot(registered_engine)
        for name, call in [("register", lambda: qe.register_template_package_v2_source(registered_engine, "x = 1")),
                           ("close", lambda: qe.engine_close(registered_engine))]:
            try:
                call()
            except RuntimeError as error:
                seen[name] = (str(error), error.__notes__)

    Recorder.hooks["add_marker"] = reenter
    qe.lower_template_package_v2_from_registered_template(registered_engine, template)
    assert seen["snapshot"]["template_key"] == Recorder.calls[0][1][0][1]
    assert seen["engine"]["closed"] is False
    assert seen["register"] == ("Already borrowed", ["while processing 'engine'"])
    assert seen["close"] == ("Already borrowed", ["while processing 'handle'"])

    def refuse(_self):
        qe.register_template_package_v2_source(registered_engine, "x = 1")

    Recorder.hooks["add_marker"] = refuse
    with pytest.raises(RuntimeError) as info:
        qe.lower_template_package_v2_from_registered_template(registered_engine, template)
    assert info.value.args == ("Already borrowed",)
    # Nothing was registered by the refused calls.
    assert qe.register_template_package_v2_source(registered_engine, "x = 1").index == 1
