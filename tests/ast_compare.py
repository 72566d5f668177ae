"""Shared by the differential tests: one source through the native parser and
through the reference interpreter's ast.parse, and a short account of the
first difference."""

import ast
import warnings

import _quorbin_native_engine as native


def reference_parse(source, filename="<unknown>"):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return ast.parse(source, filename)


_MISSING = object()


def same_tree(a, b, with_positions):
    """Whether two trees would give equal ast.dump texts (include_attributes
    as `with_positions`), only stricter: a required field missing on one side
    differs from any value. A plain walk, several times faster than dumping."""
    stack = [(a, b)]
    pop = stack.pop
    push = stack.append
    node_type = ast.AST
    while stack:
        x, y = pop()
        t = type(x)
        if t is not type(y):
            return False
        if t is list:
            if len(x) != len(y):
                return False
            stack.extend(zip(x, y))
        elif isinstance(x, node_type):
            for name in t._fields:
                push((getattr(x, name, _MISSING), getattr(y, name, _MISSING)))
            if with_positions:
                for name in t._attributes:
                    if getattr(x, name, _MISSING) != getattr(y, name, _MISSING):
                        return False
        elif t is float or t is complex:
            if repr(x) != repr(y):  # tells -0.0 from 0.0; nan never equals itself
                return False
        elif x != y:
            return False
    return True


def first_difference(ours, theirs, with_positions):
    """The first differing line of two trees' indented dumps, as text."""
    a = ast.dump(ours, include_attributes=with_positions, indent=1).splitlines()
    b = ast.dump(theirs, include_attributes=with_positions, indent=1).splitlines()
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return f"dump line {i + 1}: ours {x.strip()!r}, reference {y.strip()!r}"
    if len(a) != len(b):
        return f"dumps differ in length: ours {len(a)} lines, reference {len(b)}"
    return "equal dumps, but a required field is missing or a value differs in type"


def compare(source, filename, reference, with_positions=True, explain=True):
    """None when the native parser agrees with the reference on `source`, else
    what differs. `reference` is the reference's tree, or None when it refuses
    the source; for an accepted source the dumps must be equal (positions
    included unless told otherwise). Without `explain` a tree difference is
    not located (locating it dumps both trees, which is slow)."""
    try:
        ours = native.parse_module(source, filename=filename)
    except SyntaxError as e:
        if reference is None:
            return None
        return f"refused what the reference accepts: {e.msg} (line {e.lineno}, offset {e.offset})"
    except Exception as e:  # a crash of the binding is a difference too, not a test error
        return f"raised {type(e).__name__}: {e}"
    if reference is None:
        return "accepted what the reference refuses"
    if not isinstance(ours, ast.Module):
        return f"returned {type(ours).__name__}, not ast.Module"
    if same_tree(ours, reference, with_positions):
        return None
    return first_difference(ours, reference, with_positions) if explain else "trees differ"


def reference_tree(source, filename="<unknown>"):
    """The reference's tree, or None when it refuses the source."""
    try:
        return reference_parse(source, filename)
    except SyntaxError:
        return None


REPORTED = 25  # differences shown in one failure message


def report(differences, total, what, limit=REPORTED):
    """One assertion message for all the differences: the first `limit` of them."""
    lines = [f"{len(differences)} of {total} {what} differ from the reference:"]
    for name, detail in differences[:limit]:
        lines.append(f"  {name}: {detail}")
    if len(differences) > limit:
        lines.append(f"  ... and {len(differences) - limit} more")
    return "\n".join(lines)
