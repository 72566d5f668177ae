"""The canonical surface bundle of the built-in vocabulary.

It declares every surface and operation key the engine itself assigns or
tests for, and one compatibility rule per kind of hole, pairing the hole with
the production that fills it. Rules ask for a live target record, which is
what the engine's compatibility test applies. The demo and the tests share
this one bundle; build_builtin_bundle() returns a fresh copy each time, so a
caller may edit what it gets.
"""

BUNDLE_KEY = "quorbin.bundle.builtin"
BUNDLE_SIGNATURE = "quorbin.bundle.builtin.v1"

# (surface key, summary)
SURFACES = [
    ("quorbin.surface.block.hole", "a block hole in statement position"),
    ("quorbin.surface.block.production", "a template whose whole body is a block production"),
    ("quorbin.surface.expression.hole", "an expression hole"),
    ("quorbin.surface.expression.production", "an expression production"),
    ("quorbin.surface.funcargs.hole", "a variadic call-argument hole (* and ** positions)"),
    ("quorbin.surface.funcargs.production", "a call-argument production"),
    ("quorbin.surface.parameter.hole", "a parameter hole"),
    ("quorbin.surface.parameter.production", "a parameter production"),
    ("quorbin.surface.elif.target", "a place where an elif clause can be appended"),
    ("quorbin.surface.elif.production", "an elif clause production"),
    ("quorbin.surface.identifier.demand", "an identifier that must be supplied from outside"),
    ("quorbin.surface.identifier.supply", "an identifier that a template exports"),
    ("quorbin.surface.external.demand", "an external value bound by a reference marker"),
]

# (operation key, summary)
OPERATIONS = [
    ("quorbin.operation.splice_body_at_marker", "splice a block production at a block marker"),
    ("quorbin.operation.append_clause", "append an elif clause to an if statement"),
    ("quorbin.operation.replace_expression", "replace an expression hole by an expression"),
    ("quorbin.operation.splice_call_arguments", "splice call arguments into a variadic position"),
    ("quorbin.operation.splice_parameters", "splice parameters into a parameter hole"),
    ("quorbin.operation.rewrite_identifier", "rename an identifier (identifier overlays)"),
    ("quorbin.operation.lower_external_ref", "lower an external reference to a literal"),
    ("quorbin.operation.gate_no_unresolved", "refuse output with unresolved live demands"),
    ("quorbin.operation.keep_name", "keep a name out of hygienic renaming"),
    ("quorbin.operation.managed_import_request", "emit a managed import"),
    ("quorbin.operation.rename_if_collides", "rename a binding that collides"),
    ("quorbin.operation.strip_marker", "strip a boundary marker statement"),
    # Overlays of a kind without a dedicated operation are named by this
    # prefix and their kind; identifier_suffix is the one the engine applies.
    ("quorbin.operation.overlay.identifier_suffix", "rename a suffixed identifier (identifier_suffix overlays)"),
]

# (hole surface key, production surface key)
HOLE_PRODUCTION_PAIRS = [
    ("quorbin.surface.block.hole", "quorbin.surface.block.production"),
    ("quorbin.surface.expression.hole", "quorbin.surface.expression.production"),
    ("quorbin.surface.funcargs.hole", "quorbin.surface.funcargs.production"),
    ("quorbin.surface.parameter.hole", "quorbin.surface.parameter.production"),
    ("quorbin.surface.elif.target", "quorbin.surface.elif.production"),
]


def build_builtin_bundle():
    """A new bundle dictionary, ready for register_surface_bundle."""
    return {
        "schema_version": 1,
        "bundle_key": BUNDLE_KEY,
        "bundle_signature": BUNDLE_SIGNATURE,
        "surfaces": [{"surface_key": key, "version": 1, "summary": summary} for key, summary in SURFACES],
        "operations": [
            {"operation_key": key, "version": 1, "summary": summary} for key, summary in OPERATIONS
        ],
        "patterns": [],
        "compatibility_rules": [
            {
                "target_surface_key": hole,
                "production_surface_key": production,
                "predicate": {
                    "target_expectations": [{"field_name": "state", "expected_value": "live"}],
                    "production_expectations": [],
                },
                "result_policy": {
                    "policy_key": "quorbin.policy.fill",
                    "summary": "the production fills the live hole",
                },
            }
            for hole, production in HOLE_PRODUCTION_PAIRS
        ],
    }
