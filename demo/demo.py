"""A tour of the native engine: an engine with the built-in vocabulary, what
the build supports, and a parse of a small module."""

import ast
import json
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import _quorbin_native_engine as native  # noqa: E402
from builtin_bundle import build_builtin_bundle  # noqa: E402

SAMPLE = '''\
def greet(name, *, punctuation="!"):
    return f"Hello, {name}{punctuation}"
'''


def show(title, value):
    print(f"== {title}")
    # Handles have no representation of their own: show their snapshots.
    def plain(o):
        return o.snapshot() if hasattr(o, "snapshot") else repr(o)

    print(json.dumps(value, indent=2, default=plain) if not isinstance(value, str) else value)
    print()


# A root template with a block hole inside a function, and a block production
# that fills it. Materializing the result into one module comes with the
# materialization functions; until then the demo stops at the plan.
ROOT_TEMPLATE = """\
quorbin_pyimport(module=os.path, names=(join,))
def main(base):
    quorbin_hole(body)
    return base
"""
LEAF_TEMPLATE = """\
path = join(base, "data")
print(path)
"""


def compose(engine):
    root = native.register_template_package_v2_source(engine, ROOT_TEMPLATE, "root.py")
    leaf = native.register_template_package_v2_source(engine, LEAF_TEMPLATE, "leaf.py")
    records = native.extract_template_snapshot(engine, ROOT_TEMPLATE, "root.py")["records"]
    show("root template records", [r["semantic_summary"] for r in records])

    state = native.assembly_state_create(engine)
    native.assembly_state_append_occurrence(engine, state, root, ["main"])
    events = native.assembly_state_apply_request_batch(engine, state, [{
        "resource_kind": "composable", "source_template": leaf, "source_instance_name": "leaf",
        "operation_order": 0, "name": "body", "build_match": None, "owner_match": None,
        "allow_equivalent_demand_sites": False,
    }])
    show("request batch events", events)
    plan = native.assembly_state_materialization_plan_snapshot(engine, state, 0)
    show("materialization plan: operations", plan["operation_stream"])
    show("materialization plan: hygiene", plan["hygiene_stream"])


def main():
    engine = native.engine_create()
    bundle = native.register_surface_bundle(engine, build_builtin_bundle())

    show("capabilities", native.capabilities())
    show("engine snapshot", native.engine_snapshot(engine))
    show(
        "registered surface bundle",
        {
            "bundle_key": bundle["bundle_key"],
            "surfaces": [s["surface_key"] for s in bundle["surfaces"]],
            "operations": [o["operation_key"] for o in bundle["operations"]],
            "compatibility_rules": [
                f'{r["target_surface_key"]} <- {r["production_surface_key"]}' for r in bundle["compatibility_rules"]
            ],
        },
    )

    try:
        module = native.compile_composable(SAMPLE, "greet.py")
    except NotImplementedError as error:
        show("parse", f"skipped: {error}")
    else:
        show("parsed module", repr(module))
        show("node counts", module.node_counts())
        tree = module.copy_to_python_ast()
        show("ast (native positions)", ast.dump(tree.body[0].args, include_attributes=True, indent=2))
        show("source again", module.to_source())

    compose(engine)

    native.engine_close(engine)
    print("engine closed:", engine.closed, "generation:", engine.generation)
    print("self test:", native.self_test())


if __name__ == "__main__":
    main()
